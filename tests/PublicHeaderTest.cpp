// A host includes only the wrapper header and links only the shared object.
#include <gtest/gtest.h>

#include <type_traits>

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

}  // namespace
