// A host includes only the public headers (the wrapper, and the connection for its digest) and
// links only the shared object: every call here goes through the shared object's exports.
#include <gtest/gtest.h>

#include <type_traits>

#include "CloudStackConnection.h"
#include "CloudStackWrapper.h"
#include "TestServer.h"

namespace {

using namespace CloudStackSDKWrapper;

static_assert(!std::is_copy_constructible<CCloudStackWrapper>::value, "the wrapper owns its components");
static_assert(std::is_nothrow_move_constructible<SVMInfoLib>::value, "records move member-wise");

TEST(PublicHeaderTest, RecordsStartEmptyAndZero) {
    const SHostInfoLib host;
    EXPECT_EQ(host.strName, "");
    EXPECT_EQ(host.nCpuNumber, 0);
    EXPECT_EQ(host.ullMemoryTotal, 0u);
    const SVMInfoLib vm;
    EXPECT_EQ(vm.ullMemory, 0u);
    EXPECT_EQ(vm.strZoneName, "");
}

TEST(PublicHeaderTest, AHostDrivesTheSharedObjectAgainstAServer) {
    cstest::TestServer server;
    ASSERT_TRUE(server.Start());
    CCloudStackWrapper wrapper;
    ASSERT_TRUE(wrapper.Connect(server.Address(), "admin", "password"));
    std::vector<SHostInfoLib> hosts;
    ASSERT_TRUE(wrapper.GetHostInfoList(hosts));
    ASSERT_FALSE(hosts.empty());
    EXPECT_FALSE(hosts[0].strName.empty());
}

TEST(PublicHeaderTest, AHostHashesWithAConnectionOfItsOwn) {
    CCloudStackConnection connection;
    EXPECT_EQ(connection.MD5Hash("password"), "5F4DCC3B5AA765D61D8327DEB882CF99");
}

TEST(PublicHeaderTest, AHostSendsACommandThroughAConnectionOfItsOwn) {
    cstest::TestServer server;
    ASSERT_TRUE(server.Start());
    CCloudStackConnection connection;
    ASSERT_TRUE(connection.connect(server.Address(), "admin", "password"));
    std::string body;
    ASSERT_TRUE(connection.GET("listZones", body));
    EXPECT_NE(body.find("\"listzonesresponse\""), std::string::npos);
    EXPECT_EQ(connection.LastResult().lHttpStatus, 200);
    EXPECT_TRUE(connection.disconnect());
}

}  // namespace
