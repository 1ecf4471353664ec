// The wrapper end to end against the in-process test server.

#include <gtest/gtest.h>

#include "CloudStackWrapper.h"
#include "SleepRecorder.h"
#include "TestServer.h"

using namespace CloudStackSDKWrapper;
using cstest::Reply;

namespace {

class WrapperTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.Start()); }

    cstest::SleepRecorder sleeps;
    cstest::TestServer server;
};

TEST_F(WrapperTest, ConstructionDestructionAndTestSendNothing) {
    {
        CCloudStackWrapper wrapper;
        wrapper.Test();
        wrapper.EnableDebug();
    }
    EXPECT_EQ(server.Count(), 0u);
}

TEST_F(WrapperTest, AFailedConnectIsFollowedByAGoodOne) {
    CCloudStackWrapper wrapper;
    EXPECT_FALSE(wrapper.Connect("127.1.0.1", "admin", "password"));  // nothing listens there
    EXPECT_FALSE(wrapper.Connect(server.Address(), "admin", "bad"));
    ASSERT_TRUE(wrapper.Connect(server.Address(), "admin", "password"));
    std::vector<SZoneInfoLib> zones;
    EXPECT_TRUE(wrapper.GetZoneInfoList(zones, 0));
    const auto list = server.Requests().back();
    EXPECT_EQ(list.Param("sessionkey"), server.SessionKey());
    EXPECT_EQ(list.Headers("Cookie").size(), 2u);
}

TEST_F(WrapperTest, CallsWithoutASessionAreForwardedAllTheSame) {
    CCloudStackWrapper wrapper;
    std::vector<SZoneInfoLib> zones;
    EXPECT_FALSE(wrapper.GetZoneInfoList(zones, 0));  // no server named yet: nowhere to go
    EXPECT_FALSE(wrapper.Connect(server.Address(), "admin", "wrong"));
    EXPECT_FALSE(wrapper.GetZoneInfoList(zones, 0));  // the server answers 401
    ASSERT_EQ(server.Count(), 2u);
    EXPECT_TRUE(server.Requests()[1].Headers("Cookie").empty());
    EXPECT_TRUE(zones.empty());
}

TEST_F(WrapperTest, PowerCallsByNameLookTheMachineUpFirst) {
    CCloudStackWrapper wrapper;
    ASSERT_TRUE(wrapper.Connect(server.Address(), "admin", "password"));
    std::vector<SVMInfoLib> vms;
    ASSERT_TRUE(wrapper.GetVMInfoList(vms, 0));
    ASSERT_FALSE(vms.empty());
    const SVMInfoLib target = vms.front();
    server.ClearRequests();

    std::string upper = target.strName;
    for (char& c : upper) c = static_cast<char>(toupper(static_cast<unsigned char>(c)));
    ASSERT_TRUE(wrapper.StartVM(upper, ""));
    auto requests = server.Requests();
    ASSERT_GE(requests.size(), 3u);
    EXPECT_EQ(requests[0].Command(), "listVirtualMachines");
    EXPECT_EQ(requests[0].Param("name"), upper);
    EXPECT_EQ(requests[1].Command(), "startVirtualMachine");
    EXPECT_EQ(requests[1].Param("id"), target.strId);

    server.ClearRequests();
    ASSERT_TRUE(wrapper.StopVM("whatever", target.strId));
    requests = server.Requests();
    EXPECT_EQ(requests[0].Command(), "stopVirtualMachine");
    EXPECT_EQ(requests[0].Param("id"), target.strId);
    EXPECT_TRUE(server.Requests("listVirtualMachines").empty());
}

TEST_F(WrapperTest, PowerCallsWithNothingToGoOnSendNothing) {
    CCloudStackWrapper wrapper;
    ASSERT_TRUE(wrapper.Connect(server.Address(), "admin", "password"));
    server.ClearRequests();
    EXPECT_FALSE(wrapper.StartVM("", ""));
    EXPECT_FALSE(wrapper.StopVM("", ""));
    EXPECT_EQ(server.Count(), 0u);

    EXPECT_FALSE(wrapper.StopVM("no-such-machine", ""));
    EXPECT_EQ(server.Count(), 1u);  // the lookup only
}

TEST_F(WrapperTest, AWholeSession) {
    CCloudStackWrapper wrapper;
    ASSERT_TRUE(wrapper.Connect(server.Address(), "admin", "password"));
    std::vector<SProjectInfoLib> projects;
    std::vector<SZoneInfoLib> zones;
    std::vector<SPodInfoLib> pods;
    std::vector<SClusterInfoLib> clusters;
    std::vector<SHostInfoLib> hosts;
    std::vector<SVMInfoLib> vms;
    EXPECT_TRUE(wrapper.GetProjectInfoList(projects, 0));
    EXPECT_TRUE(wrapper.GetZoneInfoList(zones, 0));
    EXPECT_TRUE(wrapper.GetPodInfoList(pods, 0));
    EXPECT_TRUE(wrapper.GetClusterInfoList(clusters, 0));
    EXPECT_TRUE(wrapper.GetHostInfoList(hosts, 0));
    ASSERT_TRUE(wrapper.GetVMInfoList(vms, 0));
    ASSERT_FALSE(clusters.empty());
    ASSERT_FALSE(hosts.empty());
    ASSERT_FALSE(vms.empty());

    server.Always("listClusters", Reply{200, {}, cstest::Fixture("listClusters.json")});
    SClusterInfoLib cluster;
    EXPECT_TRUE(wrapper.GetClusterInfo(clusters[0].strName, "", cluster, 0));
    EXPECT_EQ(cluster.strId, clusters[0].strId);
    SHostInfoLib host;
    EXPECT_TRUE(wrapper.GetHostInfo(hosts[0].strName, "", host, 0));
    EXPECT_EQ(host.ullMemoryTotal, hosts[0].ullMemoryTotal);

    EXPECT_TRUE(wrapper.StopVM(vms[0].strName, ""));
    EXPECT_TRUE(wrapper.StartVM(vms[0].strName, ""));
    EXPECT_EQ(server.Requests("stopVirtualMachine").size(), 1u);
    EXPECT_EQ(server.Requests("startVirtualMachine").size(), 1u);
    for (const auto& r : server.Requests()) {
        if (r.Command() != "login") {
            EXPECT_EQ(r.Param("sessionkey"), server.SessionKey()) << r.target;
        }
    }
}

}  // namespace
