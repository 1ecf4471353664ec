// The wrapper end to end against the in-process test server.

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "CloudStackWrapper.h"
#include "LogCapture.h"
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
    EXPECT_FALSE(wrapper.Connect(server.Address() + ":8081", "admin", "password"));  // nothing listens there
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

TEST_F(WrapperTest, EveryListLookupAndPowerCallOfASessionCarriesItsKey) {
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

TEST_F(WrapperTest, EveryFailedCallSaysWhyAndTheNextCallClearsIt) {
    CCloudStackWrapper wrapper;
    std::vector<SZoneInfoLib> zones;
    EXPECT_FALSE(wrapper.GetZoneInfoList(zones, 0));
    EXPECT_EQ(wrapper.GetLastError().lErrorCode, CS_ERROR_NOT_CONNECTED);

    EXPECT_FALSE(wrapper.Connect("ftp://" + server.Address(), "admin", "password"));
    EXPECT_EQ(wrapper.GetLastError().lErrorCode, CS_ERROR_INVALID_SERVER);

    EXPECT_FALSE(wrapper.Connect(server.Address() + ":8081", "admin", "password"));  // nothing listens there
    EXPECT_LT(wrapper.GetLastError().lErrorCode, 0);
    EXPECT_NE(wrapper.GetLastError().strErrorMessage.find(server.Address() + ":8081"), std::string::npos)
        << wrapper.GetLastError().strErrorMessage;

    EXPECT_FALSE(wrapper.Connect(server.Address(), "admin", "wrong password"));
    EXPECT_EQ(wrapper.GetLastError().lErrorCode, 531);
    EXPECT_EQ(wrapper.GetLastError().strErrorMessage.find("Failed to authenticate user admin"), 0u);
    EXPECT_EQ(wrapper.GetLastError().strErrorMessage.find("wrong password"), std::string::npos);

    ASSERT_TRUE(wrapper.Connect(server.Address(), "admin", "password"));
    EXPECT_EQ(wrapper.GetLastError().lErrorCode, 0);
    EXPECT_EQ(wrapper.GetLastError().strErrorMessage, "");

    EXPECT_FALSE(wrapper.StopVM("no-such-machine", ""));
    EXPECT_EQ(wrapper.GetLastError().lErrorCode, CS_ERROR_NOT_FOUND);
    EXPECT_TRUE(wrapper.GetZoneInfoList(zones, 0));
    EXPECT_EQ(wrapper.GetLastError().lErrorCode, 0);
}

TEST_F(WrapperTest, AnyCommandGoesOutWithItsParametersInOrderAndItsInnerObjectComesBack) {
    CCloudStackWrapper wrapper;
    ASSERT_TRUE(wrapper.Connect(server.Address(), "admin", "password"));
    std::string json;
    ASSERT_TRUE(wrapper.Call("listZones", {{"name", "zone a&b+c"}, {"available", "true"}}, json));
    const auto list = server.Requests().back();
    EXPECT_EQ(list.method, "GET");
    EXPECT_EQ(list.rawQuery.find("command=listZones&name=zone%20a%26b%2Bc&available=true&response=json"), 0u)
        << list.rawQuery;
    EXPECT_EQ(json.front(), '{');
    EXPECT_NE(json.find("\"zone\":["), std::string::npos) << json;

    server.Queue("rebootVirtualMachine", Reply{200, {}, "{\"rebootvirtualmachineresponse\":{\"jobid\":\"j-1\"}}"});
    ASSERT_TRUE(wrapper.Call("rebootVirtualMachine", {{"id", "vm-1"}, {"note", "a&b=c d"}}, json));
    // A POST names only the command and the format in its URL, which access logs keep; the rest,
    // session key included, travels in a form body.
    const auto reboot = server.Requests().back();
    EXPECT_EQ(reboot.method, "POST");
    EXPECT_EQ(reboot.target, "/client/api?command=rebootVirtualMachine&response=json");
    EXPECT_EQ(reboot.Headers("Content-Type"), std::vector<std::string>{"application/x-www-form-urlencoded"});
    EXPECT_EQ(reboot.body, "id=vm-1&note=a%26b%3Dc%20d&sessionkey=" + server.SessionKey());
    EXPECT_EQ(json, "{\"jobid\":\"j-1\"}");

    for (const char* reserved : {"sessionkey", "command", "response", "signature"}) {
        const std::size_t before = server.Count();
        EXPECT_FALSE(wrapper.Call("listZones", {{reserved, "x"}}, json)) << reserved;
        EXPECT_EQ(wrapper.GetLastError().lErrorCode, CS_ERROR_INVALID_ARGUMENT);
        EXPECT_EQ(server.Count(), before);
    }
    server.Queue("deployVirtualMachine", Reply{431,
                                               {},
                                               "{\"deployvirtualmachineresponse\":{\"errorcode\":431,"
                                               "\"errortext\":\"zoneid is required\"}}"});
    EXPECT_FALSE(wrapper.Call("deployVirtualMachine", {}, json));
    EXPECT_EQ(wrapper.GetLastError().lErrorCode, 431);
    EXPECT_EQ(wrapper.GetLastError().strErrorMessage, "zoneid is required");
}

TEST_F(WrapperTest, NoValueNamedAsASecretReachesALogLineOrTheLastError) {
    struct Param {
        const char* name;
        const char* value;
        bool secret;
    };
    // Each pattern, in any letter case, inside a longer name; an indexed entry's value by its sibling.
    const std::vector<Param> table = {
        {"password", "Pw1-value", true},
        {"currentPassword", "Pw2-value", true},
        {"USERSECRET", "Sc3-value", true},
        {"apiKeyId", "Ky4-value", true},
        {"refresh_token", "Tk5-value", true},
        {"x-signature-b", "Sg6-value", true},
        {"Credentials", "Cr7-value", true},
        {"details[0].key", "rootPassword", true},
        {"details[0].value", "Dv8-value", true},
        {"tags[2].name", "api_token", false},
        {"tags[2].value", "Tv9-value", true},
        {"details[1].key", "color", true},
        {"details[1].value", "Blue10-value", false},
        {"name", "Plain11-value", false},
    };
    CloudStackParams params;
    std::string quoted;  // a server that quotes every value it refused
    for (const Param& param : table) {
        params.emplace_back(param.name, param.value);
        quoted += std::string(quoted.empty() ? "" : ", ") + param.name + "=" + param.value;
    }
    CCloudStackWrapper wrapper;
    wrapper.EnableDebug();
    cstest::LogCapture log;
    ASSERT_TRUE(wrapper.Connect(server.Address(), "admin", "password"));
    server.Queue("updateUser",
                 Reply{431, {}, "{\"updateuserresponse\":{\"errorcode\":431,\"errortext\":\"" + quoted + "\"}}"});
    std::string json;
    EXPECT_FALSE(wrapper.Call("updateUser", params, json));
    EXPECT_EQ(wrapper.GetLastError().lErrorCode, 431);
    const std::string logged = log.AllText();
    const std::string& message = wrapper.GetLastError().strErrorMessage;
    for (const Param& param : table) {
        if (param.secret) {
            EXPECT_EQ(logged.find(param.value), std::string::npos) << param.name << " in " << logged;
            EXPECT_EQ(message.find(param.value), std::string::npos) << param.name << " in " << message;
        } else {
            EXPECT_NE(logged.find(param.value), std::string::npos) << param.name << " not in " << logged;
        }
    }
    EXPECT_TRUE(log.AnyLineContains("with form body [password=*****&currentPassword=*****")) << logged;
    EXPECT_EQ(message.rfind("password=*****, currentPassword=*****", 0), 0u) << message;
}

TEST_F(WrapperTest, CallAndWaitReturnsTheJobResultOrTheJobsError) {
    CCloudStackWrapper wrapper;
    ASSERT_TRUE(wrapper.Connect(server.Address(), "admin", "password"));
    wrapper.SetJobPollInterval(std::chrono::milliseconds(1500));
    const std::string accepted = "{\"rebootvirtualmachineresponse\":{\"jobid\":\"j-2\"}}";
    server.Queue("rebootVirtualMachine", Reply{200, {}, accepted});
    server.Queue("queryAsyncJobResult",
                 Reply{200, {}, "{\"queryasyncjobresultresponse\":{\"jobid\":\"j-2\",\"jobstatus\":0}}"});
    server.Queue("queryAsyncJobResult", Reply{200,
                                              {},
                                              "{\"queryasyncjobresultresponse\":{\"jobid\":\"j-2\","
                                              "\"jobstatus\":1,\"jobresult\":{\"virtualmachine\":{"
                                              "\"id\":\"vm-1\"}}}}"});
    std::string json;
    ASSERT_TRUE(wrapper.CallAndWait("rebootVirtualMachine", {{"id", "vm-1"}}, json));
    EXPECT_EQ(json, "{\"virtualmachine\":{\"id\":\"vm-1\"}}");
    EXPECT_EQ(sleeps.Calls(), std::vector<int>{1500});
    EXPECT_EQ(server.Requests("queryAsyncJobResult").back().Param("jobid"), "j-2");

    server.Queue(
        "rebootVirtualMachine",
        Reply{200, {}, R"({"rebootvirtualmachineresponse":{"jobid":"8187144d-3c01-4bd0-8d4e-e3f2046a4cb4"}})"});
    server.Queue("queryAsyncJobResult", Reply{200, {}, cstest::Fixture("queryAsyncJobResult-failure-431.json")});
    EXPECT_FALSE(wrapper.CallAndWait("rebootVirtualMachine", {{"id", "vm-1"}}, json));
    EXPECT_EQ(wrapper.GetLastError().lErrorCode, 431);
    EXPECT_NE(wrapper.GetLastError().strErrorMessage.find("is already running"), std::string::npos);

    // An answer without a job is the result itself.
    ASSERT_TRUE(wrapper.CallAndWait("listZones", {}, json));
    EXPECT_NE(json.find("\"zone\":["), std::string::npos);
}

TEST_F(WrapperTest, CallListFetchesEveryPageOfAListTheLibraryDoesNotKnow) {
    server.SetHandler([](const cstest::RecordedRequest& r) -> std::optional<Reply> {
        if (r.Command() != "listVolumes") return std::nullopt;
        const int total = 1234;
        const int size = r.Has("pagesize") ? std::stoi(r.Param("pagesize")) : 500;
        const int page = r.Has("page") ? std::stoi(r.Param("page")) : 1;
        std::string items;
        for (int i = (page - 1) * size; i < total && i < page * size; ++i) {
            items += std::string(items.empty() ? "" : ",") + "{\"id\":\"v" + std::to_string(i) +
                     "\",\"size\":" + std::to_string(i) + "}";
        }
        return Reply{200, {}, "{\"listvolumesresponse\":{\"count\":1234,\"volume\":[" + items + "]}}"};
    });
    CCloudStackWrapper wrapper;
    ASSERT_TRUE(wrapper.Connect(server.Address(), "admin", "password"));
    std::string json;
    ASSERT_TRUE(wrapper.CallList("listVolumes", {{"type", "ROOT"}}, json));
    const auto requests = server.Requests("listVolumes");
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[2].Param("page"), "3");
    EXPECT_EQ(requests[2].Param("type"), "ROOT");
    EXPECT_EQ(json.substr(0, 22), "[{\"id\":\"v0\",\"size\":0},");
    EXPECT_EQ(json.substr(json.size() - 27), "{\"id\":\"v1233\",\"size\":1233}]");
    std::size_t items = 0;
    for (std::size_t at = 0; (at = json.find("\"id\"", at)) != std::string::npos; ++at) ++items;
    EXPECT_EQ(items, 1234u);
}

TEST_F(WrapperTest, AKeyPairIsCheckedOnceAndSignsEveryLaterRequest) {
    CCloudStackWrapper wrapper;
    server.Queue("listCapabilities",
                 Reply{200, {}, "{\"listcapabilitiesresponse\":{\"capability\":{\"cloudstackversion\":\"4.20\"}}}"});
    ASSERT_TRUE(wrapper.ConnectWithApiKey(server.Address(), "key-1", "secret-1"));
    ASSERT_EQ(server.Count(), 1u);
    EXPECT_EQ(server.Requests().front().Param("apikey"), "key-1");
    std::vector<SZoneInfoLib> zones;
    wrapper.GetZoneInfoList(zones, 0);
    EXPECT_EQ(server.Requests().back().Param("apikey"), "key-1");
    EXPECT_TRUE(server.Requests().back().Has("signature"));

    server.Queue("listCapabilities", Reply{401, {}, cstest::Fixture("error-401-no-session.json")});
    EXPECT_FALSE(wrapper.ConnectWithApiKey(server.Address(), "key-2", "wrong"));
    EXPECT_EQ(wrapper.GetLastError().lErrorCode, 401);
    wrapper.GetZoneInfoList(zones, 0);
    EXPECT_FALSE(server.Requests().back().Has("apikey")) << "refused keys are not kept";
    EXPECT_TRUE(wrapper.Disconnect());
}

TEST_F(WrapperTest, AnswersNestedPastTheJsonLimitFailTheCallWithoutThrowing) {
    // Refused before any tree is built; the refusal must end as false, never leave the library.
    const std::string deep = std::string(300, '[') + std::string(300, ']');
    CCloudStackWrapper wrapper;
    server.Queue("login", Reply{200, {}, "{\"loginresponse\":" + deep + "}"});
    EXPECT_FALSE(wrapper.Connect(server.Address(), "admin", "password"));
    EXPECT_NE(wrapper.GetLastError().lErrorCode, 0);
    ASSERT_TRUE(wrapper.Connect(server.Address(), "admin", "password"));

    // An error answer whose body cannot be read is known by its status alone.
    std::vector<SZoneInfoLib> zones;
    server.Queue("listZones", Reply{431, {}, "{\"listzonesresponse\":{\"errorcode\":431,\"x\":" + deep + "}}"});
    EXPECT_FALSE(wrapper.GetZoneInfoList(zones, 0));
    EXPECT_EQ(wrapper.GetLastError().lErrorCode, 431);

    std::string json;
    server.Queue("listCapabilities", Reply{200, {}, "{\"listcapabilitiesresponse\":" + deep + "}"});
    EXPECT_FALSE(wrapper.Call("listCapabilities", {}, json));
    EXPECT_EQ(wrapper.GetLastError().lErrorCode, CS_ERROR_BAD_ANSWER);
    server.Queue("listVolumes", Reply{200, {}, "{\"listvolumesresponse\":{\"count\":1,\"volume\":" + deep + "}}"});
    EXPECT_FALSE(wrapper.CallList("listVolumes", {}, json));
    EXPECT_EQ(wrapper.GetLastError().lErrorCode, CS_ERROR_BAD_ANSWER);

    server.Queue("startVirtualMachine", Reply{200, {}, "{\"startvirtualmachineresponse\":{\"jobid\":\"j-9\"}}"});
    server.Queue("queryAsyncJobResult",
                 Reply{200, {}, "{\"queryasyncjobresultresponse\":{\"jobstatus\":1,\"jobresult\":" + deep + "}}"});
    EXPECT_FALSE(wrapper.StartVM("", "vm-1"));
    EXPECT_EQ(wrapper.GetLastError().lErrorCode, CS_ERROR_BAD_ANSWER);
}

TEST_F(WrapperTest, AServerErrorCodeOfZeroStillLeavesAnErrorCode) {
    CCloudStackWrapper wrapper;
    ASSERT_TRUE(wrapper.Connect(server.Address(), "admin", "password"));
    std::vector<SZoneInfoLib> zones;
    server.Queue("listZones", Reply{200, {}, R"({"listzonesresponse":{"errorcode":0,"errortext":""}})"});
    EXPECT_FALSE(wrapper.GetZoneInfoList(zones, 0));
    EXPECT_EQ(wrapper.GetLastError().lErrorCode, CS_ERROR_BAD_ANSWER);

    // A failed job whose result says 0 fails with a code of the library's, never with its status.
    server.Queue("startVirtualMachine", Reply{200, {}, R"({"startvirtualmachineresponse":{"jobid":"j-3"}})"});
    server.Queue("queryAsyncJobResult",
                 Reply{200,
                       {},
                       R"({"queryasyncjobresultresponse":{"jobid":"j-3","jobstatus":2,"jobresultcode":0,)"
                       R"("jobresult":{"errorcode":0,"errortext":"no capacity"}}})"});
    EXPECT_FALSE(wrapper.StartVM("", "vm-1"));
    EXPECT_EQ(wrapper.GetLastError().lErrorCode, CS_ERROR_JOB_FAILED);
    EXPECT_EQ(wrapper.GetLastError().strErrorMessage, "job j-3 failed without an error code: no capacity");

    server.Queue("startVirtualMachine", Reply{200, {}, R"({"startvirtualmachineresponse":{"jobid":"j-4"}})"});
    server.Queue("queryAsyncJobResult", Reply{200, {}, R"({"queryasyncjobresultresponse":{"errorcode":0}})"});
    EXPECT_FALSE(wrapper.StartVM("", "vm-1"));
    EXPECT_EQ(wrapper.GetLastError().lErrorCode, CS_ERROR_BAD_ANSWER);
}

}  // namespace
