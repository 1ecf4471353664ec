// The wrapper end to end against the in-process test server.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <ctime>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <stdexcept>
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

// ---------------------------------------------------------------------------------------------
// Answer shapes of real servers through the generic calls, and the one job wait

class AnswerShapeTest : public WrapperTest {
protected:
    void SetUp() override {
        WrapperTest::SetUp();
        ASSERT_TRUE(wrapper.Connect(server.Address(), "admin", "password"));
        wrapper.SetJobPollInterval(std::chrono::milliseconds(1000));
    }

    static std::string Status(const std::string& jobMember, int status, const std::string& rest = "") {
        return R"({"queryasyncjobresultresponse":{"jobid":)" + jobMember + ",\"jobstatus\":" + std::to_string(status) +
               rest + "}}";
    }

    CCloudStackWrapper wrapper;
};

// Every kind of answer the server gives a command, through Call, CallAndWait and CallList: what each
// returns, the code it leaves, and that each sent the command exactly once (nothing retried) and
// polled the job only as far as the answers call for.
TEST_F(AnswerShapeTest, EveryShapeIsReadTheSameWayByEveryGenericCall) {
    const std::string machine = R"({"virtualmachine":{"id":"vm-1","state":"Running"}})";
    const struct {
        const char* what;
        std::string command;
        std::string answer;  // HTTP 200
        std::string poll;    // the answer to every poll; empty: there is no job to poll
        long call, wait, list;
    } shapes[] = {
        {"the command's own key", "listZones", R"({"listzonesresponse":{"count":1,"zone":[{"id":"z"}]}})", "", 0, 0, 0},
        {"nothing listed", "listZones", R"({"listzonesresponse":{}})", "", 0, 0, 0},
        {"an older command's key, as a job", "restoreVirtualMachine", R"({"restorevmresponse":{"jobid":"j-1"}})",
         Status("\"j-1\"", 1, ",\"jobresult\":" + machine), 0, 0, CS_ERROR_BAD_ANSWER},
        {"an older key beside the server's version", "assignVirtualMachine",
         R"({"cloudstack-version":"4.5.1","moveuservmresponse":{"virtualmachine":{"id":"vm-1"}}})", "", 0, 0,
         CS_ERROR_BAD_ANSWER},
        {"an answer that is no list", "listCapabilities",
         R"({"listcapabilitiesresponse":{"capability":{"cloudstackversion":"4.20.1.0"}}})", "", 0, 0,
         CS_ERROR_BAD_ANSWER},
        {"two members that could be the answer", "restoreVirtualMachine",
         R"({"restorevmresponse":{"jobid":"j-1"},"moveuservmresponse":{}})", "", CS_ERROR_BAD_ANSWER,
         CS_ERROR_BAD_ANSWER, CS_ERROR_BAD_ANSWER},
        {"no member that could be the answer", "listZones", R"({"zones":{"count":0}})", "", CS_ERROR_BAD_ANSWER,
         CS_ERROR_BAD_ANSWER, CS_ERROR_BAD_ANSWER},
        {"an error envelope in a 200", "purgeTheCloud",
         R"({"errorresponse":{"errorcode":432,"errortext":"Unknown API command: purgeTheCloud"}})", "", 432, 432, 432},
        {"a job id that is a number", "deployVirtualMachine",
         R"({"deployvirtualmachineresponse":{"id":7,"jobid":17164}})", Status("17164", 1, ",\"jobresult\":" + machine),
         0, 0, CS_ERROR_BAD_ANSWER},
        {"a job id no poll can ask for", "deployVirtualMachine", R"({"deployvirtualmachineresponse":{"jobid":1.5}})",
         "", 0, CS_ERROR_BAD_ANSWER, CS_ERROR_BAD_ANSWER},
        {"a job that fails without a code", "rebootVirtualMachine",
         R"({"rebootvirtualmachineresponse":{"jobid":"j-2"}})", Status("\"j-2\"", 2), 0, CS_ERROR_JOB_FAILED,
         CS_ERROR_BAD_ANSWER},
        {"a status answer about another job", "rebootVirtualMachine",
         R"({"rebootvirtualmachineresponse":{"jobid":"j-3"}})", Status("\"j-4\"", 1), 0, CS_ERROR_BAD_ANSWER,
         CS_ERROR_BAD_ANSWER},
    };
    for (const auto& shape : shapes) {
        SCOPED_TRACE(shape.what);
        server.Always(shape.command, Reply{200, {}, shape.answer});
        server.Always("queryAsyncJobResult", Reply{200, {}, shape.poll});
        const struct {
            const char* name;
            long code;
            std::function<bool(std::string&)> call;
        } calls[] = {
            {"Call", shape.call, [&](std::string& json) { return wrapper.Call(shape.command, {}, json); }},
            {"CallAndWait", shape.wait,
             [&](std::string& json) { return wrapper.CallAndWait(shape.command, {}, json); }},
            {"CallList", shape.list, [&](std::string& json) { return wrapper.CallList(shape.command, {}, json); }},
        };
        for (const auto& call : calls) {
            SCOPED_TRACE(call.name);
            server.ClearRequests();
            std::string json = "untouched";
            EXPECT_EQ(call.call(json), call.code == 0) << wrapper.GetLastError().strErrorMessage;
            EXPECT_EQ(wrapper.GetLastError().lErrorCode, call.code) << wrapper.GetLastError().strErrorMessage;
            EXPECT_EQ(server.Requests(shape.command).size(), 1u);
            const bool waits = std::string(call.name) == "CallAndWait" && !shape.poll.empty();
            EXPECT_EQ(server.Requests("queryAsyncJobResult").size(), waits ? 1u : 0u);
            if (call.code != 0) {
                EXPECT_EQ(json, "untouched");
            }
        }
    }
    // What each call gives for the older key: the answer, the job's result, and why there is no list.
    server.Always("restoreVirtualMachine", Reply{200, {}, R"({"restorevmresponse":{"jobid":"j-1"}})"});
    server.Always("queryAsyncJobResult", Reply{200, {}, Status("\"j-1\"", 1, ",\"jobresult\":" + machine)});
    std::string json;
    ASSERT_TRUE(wrapper.Call("restoreVirtualMachine", {}, json));
    EXPECT_EQ(json, R"({"jobid":"j-1"})");
    ASSERT_TRUE(wrapper.CallAndWait("restoreVirtualMachine", {}, json));
    EXPECT_EQ(json, machine);
    server.Always("listCapabilities", Reply{200, {}, R"({"listcapabilitiesresponse":{"capability":{}}})"});
    EXPECT_FALSE(wrapper.CallList("listCapabilities", {}, json));
    EXPECT_EQ(wrapper.GetLastError().strErrorMessage, "the answer to listCapabilities holds no list; use Call for it");
}

TEST_F(AnswerShapeTest, CallGivesTheInnerObjectExactlyAsTheServerWroteIt) {
    // Members out of name order, escapes, a number as written, blanks inside and after the object.
    const std::string inner = R"({ "zeta": "caf\u00e9", "alpha" : "a\/b",  "n": 1.50, "e": {}, "list": [1, 2] })";
    server.Always("getCloudIdentifier", Reply{200, {}, "{\"getcloudidentifierresponse\": " + inner + " \n}"});
    std::string json;
    ASSERT_TRUE(wrapper.Call("getCloudIdentifier", {}, json));
    EXPECT_EQ(json, inner);
    // Of two members of the same name, the one the parse keeps: the last.
    server.Always("getCloudIdentifier",
                  Reply{200, {}, R"({"getcloudidentifierresponse":{"a":1},"getcloudidentifierresponse":{"b":2}})"});
    ASSERT_TRUE(wrapper.Call("getCloudIdentifier", {}, json));
    EXPECT_EQ(json, R"({"b":2})");
}

// The wait the host calls itself, for a job it got from Call, with a progress callback that sees
// every poll and may end the wait; the job goes on on the server.
TEST_F(AnswerShapeTest, WaitForJobPollsTheGivenJobAndTheProgressCallbackMayStopIt) {
    struct Poll {
        std::string jobId;
        int status;
        long long elapsedMs;
    };
    std::vector<Poll> seen;
    bool stop = false;
    wrapper.SetJobProgress([&](const std::string& jobId, int status, std::chrono::milliseconds elapsed) {
        seen.push_back({jobId, status, static_cast<long long>(elapsed.count())});
        return !stop;
    });
    server.Queue("queryAsyncJobResult", Reply{200, {}, Status("17164", 0)});
    server.Queue("queryAsyncJobResult", Reply{200, {}, Status("17164", 1, R"(,"jobresult":{"n":1})")});
    std::string json;
    ASSERT_TRUE(wrapper.WaitForJob("17164", json)) << wrapper.GetLastError().strErrorMessage;
    EXPECT_EQ(json, R"({"n":1})");
    for (const auto& poll : server.Requests("queryAsyncJobResult")) EXPECT_EQ(poll.Param("jobid"), "17164");
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].jobId, "17164");
    EXPECT_EQ(seen[0].status, 0);
    EXPECT_EQ(seen[1].status, 1);
    EXPECT_GE(seen[1].elapsedMs, 1000);  // the pause asked for, whatever the clock says

    // false while the job is pending ends the wait after that poll.
    seen.clear();
    server.ClearRequests();
    server.Always("queryAsyncJobResult", Reply{200, {}, Status("\"j-9\"", 0)});
    stop = true;
    json = "untouched";
    EXPECT_FALSE(wrapper.WaitForJob("j-9", json));
    EXPECT_EQ(wrapper.GetLastError().lErrorCode, CS_ERROR_WAIT_STOPPED);
    EXPECT_NE(wrapper.GetLastError().strErrorMessage.find("j-9"), std::string::npos);
    EXPECT_EQ(server.Requests("queryAsyncJobResult").size(), 1u);
    EXPECT_EQ(json, "untouched");

    // A callback that throws ends the call, not the host; StartVM's wait calls it too.
    server.Always("startVirtualMachine", Reply{200, {}, R"({"startvirtualmachineresponse":{"jobid":"j-9"}})"});
    wrapper.SetJobProgress(
        [](const std::string&, int, std::chrono::milliseconds) -> bool { throw std::runtime_error("host bug"); });
    EXPECT_FALSE(wrapper.StartVM("", "vm-1"));
    EXPECT_EQ(wrapper.GetLastError().lErrorCode, CS_ERROR_INTERNAL);
    EXPECT_NE(wrapper.GetLastError().strErrorMessage.find("host bug"), std::string::npos);

    wrapper.SetJobProgress(nullptr);
    server.ClearRequests();
    EXPECT_FALSE(wrapper.WaitForJob("", json));
    EXPECT_EQ(wrapper.GetLastError().lErrorCode, CS_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(server.Count(), 0u);
}

// Any std::chrono value is a limit the wait can keep: huge means none, zero or less too (time-out) or
// no pause (interval).
TEST_F(AnswerShapeTest, JobTimeLimitsSaturate) {
    using std::chrono::milliseconds;
    using std::chrono::seconds;
    const struct {
        milliseconds interval;
        seconds timeout;
        std::vector<int> pauses;  // three pending polls, then the end
        long code;
    } rows[] = {
        {milliseconds(1000), seconds::max(), {1000, 1000, 1000}, 0},
        {milliseconds(1000), seconds::min(), {1000, 1000, 1000}, 0},
        {milliseconds(1000), seconds(-5), {1000, 1000, 1000}, 0},
        {milliseconds::max(), seconds(0), {INT_MAX, INT_MAX, INT_MAX}, 0},
        {milliseconds::min(), seconds(0), {0, 0, 0}, 0},
        {milliseconds::max(), seconds(3), {3000}, CS_ERROR_JOB_TIMEOUT},
    };
    server.Always("startVirtualMachine", Reply{200, {}, R"({"startvirtualmachineresponse":{"jobid":"j-5"}})"});
    for (const auto& row : rows) {
        SCOPED_TRACE(::testing::Message() << row.interval.count() << " ms, " << row.timeout.count() << " s");
        wrapper.SetJobPollInterval(row.interval);
        wrapper.SetJobTimeout(row.timeout);
        server.ClearRequests();
        for (int i = 0; i < 3; ++i) server.Queue("queryAsyncJobResult", Reply{200, {}, Status("\"j-5\"", 0)});
        server.Queue("queryAsyncJobResult", Reply{200, {}, Status("\"j-5\"", 1)});
        cstest::SleepRecorder pauses;
        EXPECT_EQ(wrapper.StartVM("", "vm-1"), row.code == 0);
        EXPECT_EQ(wrapper.GetLastError().lErrorCode, row.code) << wrapper.GetLastError().strErrorMessage;
        EXPECT_EQ(pauses.Calls(), row.pauses);
        while (server.Requests("queryAsyncJobResult").size() < 4) {
            std::string json;  // drain what a shorter wait left queued
            wrapper.Call("queryAsyncJobResult", {{"jobid", "j-5"}}, json);
        }
    }
}

TEST_F(AnswerShapeTest, AfterDisconnectNothingIsSentUntilTheNextConnect) {
    ASSERT_TRUE(wrapper.Disconnect());
    const std::size_t before = server.Count();
    std::vector<SZoneInfoLib> zones;
    std::string json;
    EXPECT_FALSE(wrapper.GetZoneInfoList(zones, 0));
    EXPECT_EQ(wrapper.GetLastError().lErrorCode, CS_ERROR_NOT_CONNECTED);
    EXPECT_FALSE(wrapper.Call("listZones", {}, json));
    EXPECT_EQ(wrapper.GetLastError().lErrorCode, CS_ERROR_NOT_CONNECTED);
    EXPECT_FALSE(wrapper.StopVM("", "vm-1"));
    EXPECT_EQ(wrapper.GetLastError().lErrorCode, CS_ERROR_NOT_CONNECTED);
    EXPECT_FALSE(wrapper.WaitForJob("j-1", json));
    EXPECT_EQ(wrapper.GetLastError().lErrorCode, CS_ERROR_NOT_CONNECTED);
    EXPECT_EQ(server.Count(), before);

    ASSERT_TRUE(wrapper.Connect(server.Address(), "admin", "password"));
    EXPECT_TRUE(wrapper.GetZoneInfoList(zones, 0));
    EXPECT_EQ(server.Requests().back().Param("sessionkey"), server.SessionKey());
}

// A NUL would cut the text the server reads short of what the host gave: refused, nothing sent.
TEST_F(AnswerShapeTest, ANulInAnyStringArgumentIsRefusedAndNothingIsSent) {
    const std::string nul("pa\0ss", 5);
    const std::string address = server.Address();
    const struct {
        const char* what;
        std::function<bool(CCloudStackWrapper&)> call;
    } calls[] = {
        {"Connect: password", [&](CCloudStackWrapper& w) { return w.Connect(address, "admin", nul); }},
        {"Connect: user", [&](CCloudStackWrapper& w) { return w.Connect(address, nul, "password"); }},
        {"Connect: domain", [&](CCloudStackWrapper& w) { return w.Connect(address, "admin", "password", nul); }},
        {"Connect: server", [&](CCloudStackWrapper& w) { return w.Connect(address + nul, "admin", "password"); }},
        {"ConnectWithApiKey", [&](CCloudStackWrapper& w) { return w.ConnectWithApiKey(address, "key", nul); }},
        {"Call: value",
         [&](CCloudStackWrapper& w) {
             std::string json;
             return w.Call("listZones", {{"name", nul}}, json);
         }},
        {"Call: name",
         [&](CCloudStackWrapper& w) {
             std::string json;
             return w.Call("listZones", {{nul, "x"}}, json);
         }},
        {"CallList",
         [&](CCloudStackWrapper& w) {
             std::string json;
             return w.CallList("listVolumes", {{"keyword", nul}}, json);
         }},
        {"CallAndWait",
         [&](CCloudStackWrapper& w) {
             std::string json;
             return w.CallAndWait("rebootVirtualMachine", {{"id", nul}}, json);
         }},
        {"GetVMInfo",
         [&](CCloudStackWrapper& w) {
             SVMInfoLib vm;
             return w.GetVMInfo(nul, "", vm, 0);
         }},
        {"StartVM", [&](CCloudStackWrapper& w) { return w.StartVM("", nul); }},
        {"WaitForJob",
         [&](CCloudStackWrapper& w) {
             std::string json;
             return w.WaitForJob(nul, json);
         }},
    };
    for (const auto& call : calls) {
        SCOPED_TRACE(call.what);
        CCloudStackWrapper fresh;
        ASSERT_TRUE(fresh.Connect(address, "admin", "password"));
        server.ClearRequests();
        EXPECT_FALSE(call.call(fresh));
        EXPECT_EQ(fresh.GetLastError().lErrorCode, CS_ERROR_INVALID_ARGUMENT) << fresh.GetLastError().strErrorMessage;
        EXPECT_EQ(server.Count(), 0u) << server.Requests().front().target;
    }
    wrapper.SetCaFile(nul);
    EXPECT_EQ(wrapper.GetLastError().lErrorCode, CS_ERROR_INVALID_ARGUMENT);
}

// A signed request that the server refuses while its clock and this host's are far apart says so;
// the server's Date is 20 minutes off the host's clock as it answers, whatever that clock says.
TEST_F(AnswerShapeTest, ARefusedSignedRequestNamesAClockSkew) {
    const auto dateIn = [](std::chrono::minutes offset) {
        const std::time_t when = std::chrono::system_clock::to_time_t(std::chrono::system_clock::now() + offset);
        std::tm utc{};
        gmtime_r(&when, &utc);
        char text[64];
        std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &utc);
        return std::string(text);
    };
    for (const int minutes : {20, -20, 1}) {
        SCOPED_TRACE(minutes);
        server.SetHandler([&](const cstest::RecordedRequest& r) -> std::optional<Reply> {
            if (!r.Has("signature")) return std::nullopt;
            return Reply{
                401, {{"Date", dateIn(std::chrono::minutes(minutes))}}, cstest::Fixture("error-401-no-session.json")};
        });
        CCloudStackWrapper keys;
        EXPECT_FALSE(keys.ConnectWithApiKey(server.Address(), "key", "secret"));
        EXPECT_EQ(keys.GetLastError().lErrorCode, 401);
        const std::string& message = keys.GetLastError().strErrorMessage;
        if (minutes == 1) {
            EXPECT_EQ(message, "unable to verify user credentials and/or request signature");
            continue;
        }
        const std::string opening = "the server's clock and this host's differ by ";
        ASSERT_EQ(message.rfind(opening, 0), 0u) << message;
        EXPECT_GT(std::stol(message.substr(opening.size())), 5 * 60) << message;
        EXPECT_NE(message.find(minutes > 0 ? "(the server's is ahead)" : "(the server's is behind)"), std::string::npos)
            << message;
        EXPECT_NE(message.find("; signed requests expire after 600 s"), std::string::npos) << message;
    }
}

// ---------------------------------------------------------------------------------------------
// Many machines and commands at once

// A server of machines "vm-N": a power command on one names the job "j-vm-N", which is pending for the first
// pendingPolls polls and then succeeds. Machine "unknown" does not exist, the job of "failing" fails, and that
// of "slow" never ends.
class BulkTest : public AnswerShapeTest {
protected:
    void SetUp() override {
        AnswerShapeTest::SetUp();
        wrapper.SetJobPollInterval(std::chrono::milliseconds(10000));
        server.SetHandler([this](const cstest::RecordedRequest& request) -> std::optional<Reply> {
            const std::string command = request.Command();
            const std::string lower = command == "stopVirtualMachine"     ? "stopvirtualmachine"
                                      : command == "startVirtualMachine"  ? "startvirtualmachine"
                                      : command == "rebootVirtualMachine" ? "rebootvirtualmachine"
                                                                          : "";
            // As a current server: a key of an ended session is refused.
            if (!command.empty() && request.Param("sessionkey") != server.SessionKey()) {
                return Reply{
                    401, {}, R"({"errorresponse":{"errorcode":401,"errortext":"unable to verify user credentials"}})"};
            }
            if (!lower.empty()) {
                const std::string id = request.Param("id");
                if (id == "unknown") {
                    return Reply{
                        431,
                        {},
                        "{\"" + lower + R"(response":{"errorcode":431,"errortext":"no machine )" + id + "\"}}"};
                }
                std::lock_guard<std::mutex> lock(mutex);
                running.insert("j-" + id);
                mostRunning = std::max(mostRunning, running.size());
                return Reply{200, {}, "{\"" + lower + R"(response":{"jobid":"j-)" + id + "\"}}"};
            }
            if (command != "queryAsyncJobResult") return std::nullopt;
            const std::string job = request.Param("jobid");
            int polls = 0;
            {
                std::lock_guard<std::mutex> lock(mutex);
                polls = ++pollsOf[job];
                // The answer below says this job ended: the client knows it from here on.
                if (job == "j-failing" || (job != "j-slow" && polls > pendingPolls)) running.erase(job);
            }
            const std::string member = "\"" + job + "\"";
            if (job == "j-failing") {
                return Reply{
                    200, {}, Status(member, 2, R"(,"jobresult":{"errorcode":530,"errortext":"host went away"})")};
            }
            if (job == "j-slow" || polls <= pendingPolls) return Reply{200, {}, Status(member, 0)};
            return Reply{
                200, {}, Status(member, 1, R"(,"jobresult":{"virtualmachine":{"id":")" + job.substr(2) + "\"}}")};
        });
    }

    int Polls(const std::string& job) {
        std::lock_guard<std::mutex> lock(mutex);
        return pollsOf[job];
    }

    static std::vector<std::string> Machines(int count) {
        std::vector<std::string> ids;
        for (int i = 1; i <= count; ++i) ids.push_back("vm-" + std::to_string(i));
        return ids;
    }

    std::mutex mutex;
    std::map<std::string, int> pollsOf;
    std::set<std::string> running;  // jobs submitted whose end no answer has told yet
    std::size_t mostRunning = 0;
    int pendingPolls = 1;
};

// Each machine ends its own way, and the waits share their pauses: one per poll interval, not one per job.
TEST_F(BulkTest, EveryMachineEndsItsOwnWayAndPendingJobsArePolledOncePerInterval) {
    wrapper.SetJobTimeout(std::chrono::seconds(30));
    const std::vector<std::string> ids = {"vm-1", "unknown", "vm-2", "failing", "slow", "vm-3"};
    const struct {
        long code;
        const char* text;  // in the message
        int polls;
    } expected[] = {
        {0, "", 2},
        {431, "no machine unknown", 0},
        {0, "", 2},
        {530, "host went away", 1},
        {CS_ERROR_JOB_TIMEOUT, "job j-slow still pending after 30 s", 4},
        {0, "", 2},
    };
    for (const bool start : {false, true}) {
        SCOPED_TRACE(start ? "StartVMs" : "StopVMs");
        pollsOf.clear();
        server.ClearRequests();
        cstest::SleepRecorder pauses;
        std::vector<CCloudStackErrorState> results(2);
        EXPECT_FALSE(start ? wrapper.StartVMs(ids, results) : wrapper.StopVMs(ids, results));
        ASSERT_EQ(results.size(), ids.size());
        for (std::size_t i = 0; i < ids.size(); ++i) {
            SCOPED_TRACE(ids[i]);
            EXPECT_EQ(results[i].lErrorCode, expected[i].code) << results[i].strErrorMessage;
            EXPECT_NE(results[i].strErrorMessage.find(expected[i].text), std::string::npos)
                << results[i].strErrorMessage;
            EXPECT_EQ(results[i].strErrorMessage.empty(), expected[i].code == 0);
            EXPECT_EQ(Polls("j-" + ids[i]), expected[i].polls);
        }
        // The first failure in the order given, and how many there were.
        EXPECT_EQ(wrapper.GetLastError().lErrorCode, 431);
        EXPECT_EQ(wrapper.GetLastError().strErrorMessage, std::string("3 of 6 failed; the first, item 1 (") +
                                                              (start ? "start" : "stop") +
                                                              "VirtualMachine): no machine unknown");
        EXPECT_EQ(server.Requests(start ? "startVirtualMachine" : "stopVirtualMachine").size(), ids.size());
        EXPECT_EQ(pauses.Calls(), (std::vector<int>{10000, 10000, 10000}));
    }

    // Each result is written as its machine ends, where the progress callback can read it: with one machine
    // in progress at a time, the first poll of the last job comes after the others have ended.
    pollsOf.clear();
    wrapper.SetConcurrency(1);
    std::vector<CCloudStackErrorState> results;
    std::vector<long> firstSeen;
    wrapper.SetJobProgress([&](const std::string& job, int, std::chrono::milliseconds) {
        if (job == "j-vm-2" && firstSeen.empty())
            for (const CCloudStackErrorState& result : results) firstSeen.push_back(result.lErrorCode);
        return true;
    });
    EXPECT_FALSE(wrapper.StopVMs({"vm-1", "unknown", "vm-2"}, results));
    EXPECT_EQ(firstSeen, (std::vector<long>{0, 431, CS_ERROR_UNFINISHED}));

    // Every machine done: true, and nothing in the last error.
    wrapper.SetJobProgress(nullptr);
    wrapper.SetConcurrency(0);
    pollsOf.clear();
    EXPECT_TRUE(wrapper.StopVMs(Machines(5), results)) << wrapper.GetLastError().strErrorMessage;
    ASSERT_EQ(results.size(), 5u);
    for (const CCloudStackErrorState& result : results) EXPECT_EQ(result.lErrorCode, 0) << result.strErrorMessage;
    EXPECT_EQ(wrapper.GetLastError().lErrorCode, 0);
    EXPECT_TRUE(wrapper.StopVMs({}, results));
    EXPECT_TRUE(results.empty());
}

TEST_F(BulkTest, AnyCommandsRunTogetherAndEachResultIsWhatCallAndWaitGives) {
    server.Always("listZones", Reply{200, {}, R"({"listzonesresponse":{ "count":1,"zone":[{"id":"z"}]}})"});
    const std::vector<CloudStackRequest> requests = {
        {"rebootVirtualMachine", {{"id", "vm-1"}}},
        {"listZones", {}},
        {"not a command", {}},
        {"rebootVirtualMachine", {{"id", "failing"}}},
        {"rebootVirtualMachine", {{"id", std::string("vm-\0", 4)}}},
    };
    std::vector<CloudStackResult> results;
    EXPECT_FALSE(wrapper.CallAndWaitMany(requests, results));
    ASSERT_EQ(results.size(), requests.size());
    EXPECT_TRUE(results[0].bOk);
    EXPECT_EQ(results[0].strJson, R"({"virtualmachine":{"id":"vm-1"}})");
    EXPECT_EQ(results[0].error.lErrorCode, 0);
    EXPECT_TRUE(results[1].bOk);
    EXPECT_EQ(results[1].strJson, R"({ "count":1,"zone":[{"id":"z"}]})");  // no job: the answer as written
    EXPECT_FALSE(results[2].bOk);
    EXPECT_EQ(results[2].error.lErrorCode, CS_ERROR_INVALID_ARGUMENT);
    EXPECT_FALSE(results[3].bOk);
    EXPECT_EQ(results[3].error.lErrorCode, 530);
    EXPECT_TRUE(results[3].strJson.empty());
    EXPECT_EQ(results[4].error.lErrorCode, CS_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(wrapper.GetLastError().lErrorCode, CS_ERROR_INVALID_ARGUMENT);
    EXPECT_EQ(wrapper.GetLastError().strErrorMessage.rfind("3 of 5 failed; the first, item 2 (not a command): ", 0), 0u)
        << wrapper.GetLastError().strErrorMessage;
    // Neither refused command was sent.
    EXPECT_EQ(server.Requests("rebootVirtualMachine").size(), 2u);
}

// The test server answers nothing until as many requests are open as the setting allows, so a client that
// kept fewer under way would wait for ever; one that kept more would show in the count. Nor are more jobs
// running on the server than the setting: the next command goes when a job has ended.
TEST_F(BulkTest, RequestsUnderWayAndJobsRunningReachTheSettingNeverMoreAndTheirConnectionsAreKept) {
    pendingPolls = 2;
    const struct {
        unsigned setting;
        std::size_t bound;
        int machines;
    } rows[] = {{3, 3, 8}, {0, 4, 9}, {1, 1, 3}, {1000, 64, 70}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.setting);
        wrapper.SetConcurrency(row.setting);
        for (int run = 0; run < 2; ++run) {
            pollsOf.clear();
            mostRunning = 0;
            if (run == 0) server.ClearRequests();
            server.HoldUntilOpen(row.bound);
            std::vector<CCloudStackErrorState> results;
            EXPECT_TRUE(wrapper.StopVMs(Machines(row.machines), results)) << wrapper.GetLastError().strErrorMessage;
            EXPECT_EQ(server.MaxOpen(), row.bound);
            EXPECT_EQ(mostRunning, row.bound);
        }
        // One connection per request under way, whatever the answers' timing: never more than the setting,
        // and the second run went over the connections of the first.
        EXPECT_LE(server.ConnectionCount(), static_cast<int>(row.bound));
    }
}

TEST_F(BulkTest, AProgressCallbackThatSaysStopStopsEveryWait) {
    pendingPolls = 100;
    wrapper.SetConcurrency(2);
    int calls = 0;
    wrapper.SetJobProgress([&](const std::string&, int status, std::chrono::milliseconds) {
        EXPECT_EQ(status, 0);
        return ++calls < 3;
    });
    cstest::SleepRecorder pauses;
    const std::vector<std::string> ids = Machines(6);
    std::vector<CCloudStackErrorState> results;
    EXPECT_FALSE(wrapper.StopVMs(ids, results));
    // The two in progress are polled at once, and again after one poll interval, when the third call says stop.
    EXPECT_EQ(calls, 3);
    EXPECT_EQ(pauses.Calls(), std::vector<int>{10000});
    ASSERT_EQ(results.size(), ids.size());
    // The two in progress stop waiting for their jobs; the others were never sent.
    for (std::size_t i = 0; i < ids.size(); ++i) {
        EXPECT_EQ(results[i].lErrorCode, CS_ERROR_WAIT_STOPPED) << results[i].strErrorMessage;
        const std::string why = i < 2 ? "the wait for job j-" + ids[i] + " was stopped" : "not sent";
        EXPECT_NE(results[i].strErrorMessage.find(why), std::string::npos) << i << ": " << results[i].strErrorMessage;
    }
    EXPECT_EQ(wrapper.GetLastError().lErrorCode, CS_ERROR_WAIT_STOPPED);
    // No poll followed the one that said stop but one already under way.
    EXPECT_EQ(server.Requests("stopVirtualMachine").size(), 2u);
    EXPECT_LE(server.Requests("queryAsyncJobResult").size(), 4u);

    // A stop said after the poll that saw its own job end: that job's end stands, the other waits end.
    pendingPolls = 0;
    wrapper.SetConcurrency(1);
    calls = 0;
    wrapper.SetJobProgress([&](const std::string&, int, std::chrono::milliseconds) {
        ++calls;
        return false;
    });
    EXPECT_FALSE(wrapper.StopVMs({"vm-1", "vm-2"}, results));
    EXPECT_EQ(calls, 1);
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[0].lErrorCode, 0) << results[0].strErrorMessage;
    EXPECT_EQ(results[1].lErrorCode, CS_ERROR_WAIT_STOPPED) << results[1].strErrorMessage;
    pendingPolls = 100;

    // A callback that throws ends the call; what was under way is abandoned.
    wrapper.SetJobProgress(
        [](const std::string&, int, std::chrono::milliseconds) -> bool { throw std::runtime_error("host bug"); });
    EXPECT_FALSE(wrapper.StopVMs(ids, results));
    EXPECT_EQ(wrapper.GetLastError().lErrorCode, CS_ERROR_INTERNAL);
    ASSERT_EQ(results.size(), ids.size());
    EXPECT_EQ(results.back().lErrorCode, CS_ERROR_UNFINISHED);
    wrapper.SetJobProgress(nullptr);
    pendingPolls = 0;
    EXPECT_TRUE(wrapper.StopVMs(ids, results)) << wrapper.GetLastError().strErrorMessage;
}

// However many requests under way meet the ended session, one login renews it.
TEST_F(BulkTest, AnEndedSessionIsRenewedByOneLogin) {
    pendingPolls = 0;
    wrapper.SetConcurrency(4);
    server.EndSession();
    server.ClearRequests();
    server.HoldUntilOpen(4);
    std::vector<CCloudStackErrorState> results;
    EXPECT_TRUE(wrapper.StopVMs(Machines(6), results)) << wrapper.GetLastError().strErrorMessage;
    EXPECT_EQ(server.Requests("login").size(), 1u);
    const std::string key = server.SessionKey();
    for (const auto& poll : server.Requests("queryAsyncJobResult")) EXPECT_EQ(poll.Param("sessionkey"), key);
}

}  // namespace
