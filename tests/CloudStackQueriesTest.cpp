// The list queries, lookups and job query against the in-process test server.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Components.h"
#include "LogCapture.h"
#include "TestServer.h"

using namespace CloudStackSDKWrapper;
using cstest::RecordedRequest;
using cstest::Reply;

namespace {

std::string VMObject(const std::string& id, const std::string& name) {
    return "{\"id\":\"" + id + "\",\"name\":\"" + name + "\",\"state\":\"Running\",\"zonename\":\"z1\"}";
}

// A list answer in the server's shape: count is the total, the array holds one page.
std::string ListBody(const std::string& responseKey, const std::string& itemKey, const std::vector<std::string>& items,
                     long long total) {
    std::string body = "{\"" + responseKey + "\":{\"count\":" + std::to_string(total) + ",\"" + itemKey + "\":[";
    for (size_t i = 0; i < items.size(); ++i) body += (i ? "," : "") + items[i];
    return body + "]}}";
}

std::string VMList(const std::vector<std::pair<std::string, std::string>>& vms) {
    std::vector<std::string> items;
    for (const auto& vm : vms) items.push_back(VMObject(vm.first, vm.second));
    return ListBody("listvirtualmachinesresponse", "virtualmachine", items, static_cast<long long>(items.size()));
}

class QueriesTest : public ::testing::Test, protected cstest::Components {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.Start());
        ASSERT_TRUE(connection.connect(server.Address(), "admin", "password"));
        server.ClearRequests();
    }

    // Serves a generated inventory of `total` machines, at most `cap` per answer, honouring page/pagesize.
    void ServePagedVMs(int total, int cap) {
        server.SetHandler([total, cap](const RecordedRequest& r) -> std::optional<Reply> {
            if (r.Command() != "listVirtualMachines") return std::nullopt;
            int page = 1, size = cap;
            if (r.Has("page")) {
                page = std::stoi(r.Param("page"));
                size = std::stoi(r.Param("pagesize"));
            }
            if (size > cap) return Reply{431, {}, cstest::Fixture("error-431-pagesize.json")};
            std::vector<std::string> items;
            for (int i = (page - 1) * size; i < total && i < page * size; ++i) {
                items.push_back(VMObject("id-" + std::to_string(i), "vm-" + std::to_string(i)));
            }
            if (items.empty())
                return Reply{200, {}, "{\"listvirtualmachinesresponse\":{\"count\":" + std::to_string(total) + "}}"};
            return Reply{200, {}, ListBody("listvirtualmachinesresponse", "virtualmachine", items, total)};
        });
    }

    cstest::TestServer server;
};

TEST_F(QueriesTest, EachListSendsItsBareCommandByGetAndFillsRecords) {
    std::vector<SProjectInfoLib> projects;
    std::vector<SZoneInfoLib> zones;
    std::vector<SPodInfoLib> pods;
    std::vector<SClusterInfoLib> clusters;
    std::vector<SHostInfoLib> hosts;
    std::vector<SVMInfoLib> vms;
    ASSERT_TRUE(queries.GetProjectInfoList(projects, 0));
    ASSERT_TRUE(queries.GetZoneInfoList(zones, 7));
    ASSERT_TRUE(queries.GetPodInfoList(pods, ~0ULL));
    ASSERT_TRUE(queries.GetClusterInfoList(clusters, 1));
    ASSERT_TRUE(queries.GetHostInfoList(hosts, 0));
    ASSERT_TRUE(queries.GetVMInfoList(vms, 0));

    const std::vector<std::string> commands{"listProjects", "listZones", "listPods",
                                            "listClusters", "listHosts", "listVirtualMachines"};
    const auto requests = server.Requests();
    ASSERT_EQ(requests.size(), commands.size());
    for (size_t i = 0; i < commands.size(); ++i) {
        EXPECT_EQ(requests[i].method, "GET");
        EXPECT_EQ(requests[i].Command(), commands[i]);
        // command, response and the session key: no filter and no paging.
        std::vector<std::string> names;
        for (const auto& p : requests[i].params) names.push_back(p.first);
        EXPECT_EQ(names, (std::vector<std::string>{"command", "response", "sessionkey"})) << commands[i];
    }
    EXPECT_FALSE(projects.empty());
    ASSERT_FALSE(zones.empty());
    EXPECT_FALSE(zones[0].strId.empty());
    EXPECT_FALSE(pods.empty());
    EXPECT_FALSE(clusters.empty());
    ASSERT_FALSE(hosts.empty());
    EXPECT_GT(hosts[0].ullMemoryTotal, 0xFFFFFFFFULL);
    ASSERT_FALSE(vms.empty());
    EXPECT_FALSE(vms[0].strZoneName.empty());
}

TEST_F(QueriesTest, ListsAppendAndAnEmptyInventoryIsASuccess) {
    std::vector<SZoneInfoLib> zones;
    ASSERT_TRUE(queries.GetZoneInfoList(zones, 0));
    const size_t once = zones.size();
    ASSERT_TRUE(queries.GetZoneInfoList(zones, 0));
    EXPECT_EQ(zones.size(), 2 * once);

    server.Always("listProjects", Reply{200, {}, cstest::Fixture("listProjects-empty.json")});
    std::vector<SProjectInfoLib> projects(1);
    EXPECT_TRUE(queries.GetProjectInfoList(projects, 0));
    EXPECT_EQ(projects.size(), 1u);
}

TEST_F(QueriesTest, FailuresLeaveTheVectorAlone) {
    std::vector<SZoneInfoLib> zones(2);
    server.Queue("listZones", Reply{431, {}, cstest::Fixture("error-431-bad-uuid.json")});
    EXPECT_FALSE(queries.GetZoneInfoList(zones, 0));
    server.Queue("listZones", Reply{200, {}, "<html>not json</html>"});
    EXPECT_FALSE(queries.GetZoneInfoList(zones, 0));
    server.Queue("listZones", Reply{200, {}, "{\"otherresponse\":{}}"});
    EXPECT_FALSE(queries.GetZoneInfoList(zones, 0));
    EXPECT_EQ(zones.size(), 2u);
}

TEST_F(QueriesTest, AnInventoryLargerThanOneAnswerIsFetchedPageByPage) {
    ServePagedVMs(1234, 500);
    std::vector<SVMInfoLib> vms;
    ASSERT_TRUE(queries.GetVMInfoList(vms, 0));
    ASSERT_EQ(vms.size(), 1234u);
    for (size_t i = 0; i < vms.size(); ++i) ASSERT_EQ(vms[i].strId, "id-" + std::to_string(i));

    const auto requests = server.Requests("listVirtualMachines");
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_FALSE(requests[0].Has("page"));
    EXPECT_FALSE(requests[0].Has("pagesize"));
    EXPECT_EQ(requests[1].Param("page"), "2");
    EXPECT_EQ(requests[1].Param("pagesize"), "500");
    EXPECT_EQ(requests[2].Param("page"), "3");
    EXPECT_EQ(requests[2].Param("pagesize"), "500");
}

TEST_F(QueriesTest, AnInventoryThatFitsCostsOneRequest) {
    ServePagedVMs(500, 500);
    std::vector<SVMInfoLib> vms;
    ASSERT_TRUE(queries.GetVMInfoList(vms, 0));
    EXPECT_EQ(vms.size(), 500u);
    EXPECT_EQ(server.Requests("listVirtualMachines").size(), 1u);
}

TEST_F(QueriesTest, PagingStopsAtAnEmptyPageAndFailsOnAFailedPage) {
    // The answer claims more than the server can deliver: stop at the first page without items.
    server.Queue("listVirtualMachines",
                 Reply{200, {}, ListBody("listvirtualmachinesresponse", "virtualmachine", {VMObject("a", "a")}, 3)});
    server.Queue("listVirtualMachines", Reply{200, {}, "{\"listvirtualmachinesresponse\":{\"count\":3}}"});
    std::vector<SVMInfoLib> vms;
    EXPECT_TRUE(queries.GetVMInfoList(vms, 0));
    EXPECT_EQ(vms.size(), 1u);
    // The third page was asked for while the second was read, and abandoned.
    server.WaitForRequests(3);
    EXPECT_EQ(server.Requests("listVirtualMachines").size(), 3u);

    server.Queue("listVirtualMachines",
                 Reply{200, {}, ListBody("listvirtualmachinesresponse", "virtualmachine", {VMObject("a", "a")}, 3)});
    server.Queue("listVirtualMachines", Reply{503, {}, "<html>busy</html>"});
    vms.assign(1, SVMInfoLib{});
    EXPECT_FALSE(queries.GetVMInfoList(vms, 0));  // an incomplete list is not reported as complete
    EXPECT_EQ(vms.size(), 1u) << "what the call appended is taken back";
}

TEST_F(QueriesTest, AServerThatRepeatsRecordsOrCountsWithoutBoundsIsNotBelieved) {
    // Page 3 repeats a record of page 1: a server or proxy that ignores paging.
    server.SetHandler([](const RecordedRequest& r) -> std::optional<Reply> {
        if (r.Command() != "listVirtualMachines") return std::nullopt;
        const std::string page = r.Has("page") ? r.Param("page") : "1";
        const std::string first = page == "3" ? "p1-a" : "p" + page + "-a";
        return Reply{200,
                     {},
                     ListBody("listvirtualmachinesresponse", "virtualmachine",
                              {VMObject(first, "x"), VMObject("p" + page + "-b", "y")}, 1000)};
    });
    std::vector<SVMInfoLib> vms(1);
    EXPECT_FALSE(queries.Report(queries.GetVMInfoList(vms, 0)));
    EXPECT_EQ(vms.size(), 1u) << "what the call appended is taken back";
    // Page 4 was on its way while page 3 was read; no page after it.
    server.WaitForRequests(4);
    EXPECT_EQ(server.Requests("listVirtualMachines").size(), 4u);
    EXPECT_EQ(queries.GetErrorCode(), CS_ERROR_LIST_TOO_LONG);

    // A count beyond any real inventory is not paged through, whatever fresh ids each page brings.
    server.ClearRequests();
    server.SetHandler([](const RecordedRequest& r) -> std::optional<Reply> {
        if (r.Command() != "listVirtualMachines") return std::nullopt;
        return Reply{200,
                     {},
                     ListBody("listvirtualmachinesresponse", "virtualmachine", {VMObject(r.Param("page") + "a", "a")},
                              1000000000000000000LL)};
    });
    vms.clear();
    EXPECT_FALSE(queries.Report(queries.GetVMInfoList(vms, 0)));
    EXPECT_TRUE(vms.empty());
    EXPECT_EQ(server.Requests("listVirtualMachines").size(), 1u);
    EXPECT_EQ(queries.GetErrorCode(), CS_ERROR_LIST_TOO_LONG);
}

TEST_F(QueriesTest, AGivenIdWinsAndSendsNoName) {
    server.Always("listVirtualMachines", Reply{200, {}, VMList({{"other-id", "other-name"}})});
    SVMInfoLib vm;
    ASSERT_TRUE(queries.GetVMInfo("web-01", "the-id", vm, 0));
    EXPECT_EQ(vm.strId, "other-id");  // whatever single record the answer holds
    const auto r = server.Requests().back();
    EXPECT_EQ(r.Param("id"), "the-id");
    EXPECT_FALSE(r.Has("name"));
}

TEST_F(QueriesTest, AnIdMatchingNoneOrSeveralRecordsFailsAndLeavesTheRecord) {
    SHostInfoLib host;
    host.strName = "untouched";
    server.Queue("listHosts", Reply{200, {}, "{\"listhostsresponse\":{}}"});
    EXPECT_FALSE(queries.GetHostInfo("", "x", host, 0));
    server.Queue("listHosts",
                 Reply{200, {}, ListBody("listhostsresponse", "host", {VMObject("1", "a"), VMObject("2", "b")}, 2)});
    EXPECT_FALSE(queries.GetHostInfo("", "x", host, 0));
    EXPECT_EQ(host.strName, "untouched");
}

TEST_F(QueriesTest, AnExactNameWinsOverAnEarlierMatchApartFromCase) {
    server.Always("listVirtualMachines",
                  Reply{200, {}, VMList({{"1", "web-01-old"}, {"2", "WEB-01"}, {"3", "web-01"}})});
    SVMInfoLib vm;
    ASSERT_TRUE(queries.GetVMInfo("web-01", "", vm, 0));
    EXPECT_EQ(vm.strId, "3");
    EXPECT_EQ(server.Requests().back().Param("name"), "web-01");
    ASSERT_TRUE(queries.GetVMInfo("WEB-01", "", vm, 0));
    EXPECT_EQ(vm.strId, "2");
}

TEST_F(QueriesTest, OneMatchApartFromCaseIsTakenAndSeveralAreRefused) {
    server.Always("listVirtualMachines", Reply{200, {}, VMList({{"1", "web-01-old"}, {"2", "Web-01"}})});
    SVMInfoLib vm;
    ASSERT_TRUE(queries.GetVMInfo("WEB-01", "", vm, 0));
    EXPECT_EQ(vm.strId, "2");

    server.Always("listVirtualMachines", Reply{200, {}, VMList({{"1", "Web-01"}, {"2", "web-01"}, {"3", "wEB-01"}})});
    vm.strId = "untouched";
    EXPECT_FALSE(queries.Report(queries.GetVMInfo("WEB-01", "", vm, 0)));
    EXPECT_EQ(vm.strId, "untouched");
    EXPECT_EQ(queries.GetErrorCode(), CS_ERROR_AMBIGUOUS);
    EXPECT_EQ(queries.GetErrorMessage(), "name \"WEB-01\" matches 3 machines apart from letter case, none exactly");
}

TEST_F(QueriesTest, SubstringsAndTrailingBlanksDoNotMatch) {
    server.Always("listVirtualMachines", Reply{200, {}, VMList({{"1", "web-01"}, {"2", "web-01 "}})});
    SVMInfoLib vm;
    vm.strId = "untouched";
    EXPECT_FALSE(queries.GetVMInfo("web", "", vm, 0));
    EXPECT_FALSE(queries.GetVMInfo("web-01  ", "", vm, 0));
    server.Always("listVirtualMachines", Reply{200, {}, "{\"listvirtualmachinesresponse\":{}}"});
    EXPECT_FALSE(queries.GetVMInfo("web-01", "", vm, 0));
    EXPECT_EQ(vm.strId, "untouched");
}

TEST_F(QueriesTest, TheExactNameMayStandOnALaterPage) {
    ServePagedVMs(1100, 500);
    SVMInfoLib vm;
    ASSERT_TRUE(queries.GetVMInfo("VM-1050", "", vm, 0));
    EXPECT_EQ(vm.strId, "id-1050");
    const auto requests = server.Requests("listVirtualMachines");
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(requests[2].Param("name"), "VM-1050");
    EXPECT_EQ(requests[2].Param("page"), "3");
}

TEST_F(QueriesTest, BothEmptySendsNothing) {
    SClusterInfoLib cluster;
    EXPECT_FALSE(queries.GetClusterInfo("", "", cluster, 0));
    EXPECT_EQ(server.Count(), 0u);
}

TEST_F(QueriesTest, NamesWithReservedAndNonAsciiCharactersReachTheServerIntact) {
    for (const std::string name : {"Cluster B (GPU)", "a+b&c", "x=y#z", "gr\xC3\xBCn 100%"}) {
        server.Always("listClusters",
                      Reply{200, {}, ListBody("listclustersresponse", "cluster", {VMObject("c", name)}, 1)});
        SClusterInfoLib cluster;
        ASSERT_TRUE(queries.GetClusterInfo(name, "", cluster, 0)) << name;
        EXPECT_EQ(cluster.strName, name);
        const auto r = server.Requests().back();
        EXPECT_EQ(r.Param("name"), name);
        EXPECT_FALSE(r.Has("c")) << "a value leaked a parameter";
    }
    SClusterInfoLib cluster;
    queries.GetClusterInfo("", "id with&amp", cluster, 0);
    EXPECT_EQ(server.Requests().back().Param("id"), "id with&amp");
}

TEST_F(QueriesTest, TheJobQueryAsksForTheRecordsOwnIdAndRefillsIt) {
    SJobInfoLib job;
    job.strJobId = "job 1&x";
    server.Queue("queryAsyncJobResult", Reply{200, {}, cstest::Fixture("queryAsyncJobResult-success.json")});
    ASSERT_TRUE(queries.GetJobInfo(job.strJobId, job));
    EXPECT_EQ(server.Requests().back().Param("jobid"), "job 1&x");
    EXPECT_EQ(job.strJobId, "799be2d9-34ce-4f26-aa1b-33c9269292ec");
    EXPECT_EQ(job.nJobStatus, 1);

    job.strJobId.clear();
    server.Queue("queryAsyncJobResult", Reply{200, {}, cstest::Fixture("queryAsyncJobResult-pending.json")});
    ASSERT_TRUE(queries.GetJobInfo(job.strJobId, job));
    EXPECT_TRUE(server.Requests().back().Has("jobid"));
    EXPECT_EQ(job.nJobStatus, 0);

    const SJobInfoLib before = job;
    server.Queue("queryAsyncJobResult", Reply{431, {}, "{}"});
    EXPECT_FALSE(queries.GetJobInfo("x", job));
    EXPECT_EQ(job.strJobId, before.strJobId);
}

TEST_F(QueriesTest, AFailureSaysWhyInTheServersWordsOrTheLibrarys) {
    std::vector<SHostInfoLib> hosts;
    server.Queue("listHosts", Reply{431, {}, cstest::Fixture("error-431-bad-uuid.json")});
    EXPECT_FALSE(queries.Report(queries.GetHostInfoList(hosts, 0)));
    EXPECT_EQ(queries.GetErrorCode(), 431);
    EXPECT_EQ(queries.GetErrorMessage().rfind("Unable to execute API command listhosts due to invalid value.", 0), 0u);
    EXPECT_LE(queries.GetErrorMessage().size(), CCloudStackErrorHandler::kMaxErrorMessage);

    server.Queue("listHosts", Reply{502, {}, "<html><body>Bad Gateway</body></html>", "text/html"});
    EXPECT_FALSE(queries.Report(queries.GetHostInfoList(hosts, 0)));
    EXPECT_EQ(queries.GetErrorCode(), 502);
    EXPECT_EQ(queries.GetErrorMessage().find("Bad Gateway"), std::string::npos) << "never the body";

    server.Queue("listHosts", Reply{200, {}, "{\"listhostsresponse\":{\"errorcode\":530,\"errortext\":\"busy\"}}"});
    EXPECT_FALSE(queries.Report(queries.GetHostInfoList(hosts, 0)));
    EXPECT_EQ(queries.GetErrorCode(), 530);
    EXPECT_EQ(queries.GetErrorMessage(), "busy");

    server.Queue("listHosts", Reply{200, {}, "<html>portal</html>", "text/html"});
    EXPECT_FALSE(queries.Report(queries.GetHostInfoList(hosts, 0)));
    EXPECT_EQ(queries.GetErrorCode(), CS_ERROR_BAD_ANSWER);

    SHostInfoLib host;
    server.Queue("listHosts", Reply{200, {}, "{\"listhostsresponse\":{}}"});
    EXPECT_FALSE(queries.Report(queries.GetHostInfo("kvm-9", "", host, 0)));
    EXPECT_EQ(queries.GetErrorCode(), CS_ERROR_NOT_FOUND);
    EXPECT_EQ(queries.GetErrorMessage(), "no host named \"kvm-9\"");
    EXPECT_FALSE(queries.Report(queries.GetHostInfo("", "", host, 0)));
    EXPECT_EQ(queries.GetErrorCode(), CS_ERROR_INVALID_ARGUMENT);
    EXPECT_TRUE(hosts.empty());
}

TEST_F(QueriesTest, ListAllIsSentOnlyWhenOnAndOnlyForAccountScopedLists) {
    std::vector<SVMInfoLib> vms;
    std::vector<SProjectInfoLib> projects;
    std::vector<SZoneInfoLib> zones;
    SVMInfoLib vm;
    queries.GetVMInfoList(vms, 0);
    EXPECT_FALSE(server.Requests().back().Has("listall"));
    queries.SetListAll(true);
    queries.GetVMInfoList(vms, 0);
    EXPECT_EQ(server.Requests().back().Param("listall"), "true");
    queries.GetProjectInfoList(projects, 0);
    EXPECT_EQ(server.Requests().back().Param("listall"), "true");
    queries.GetVMInfo("web-01", "", vm, 0);
    EXPECT_EQ(server.Requests().back().Param("listall"), "true");
    EXPECT_EQ(server.Requests().back().Param("name"), "web-01");
    queries.GetZoneInfoList(zones, 0);
    EXPECT_FALSE(server.Requests().back().Has("listall"));
    queries.SetListAll(false);
    queries.GetVMInfoList(vms, 0);
    EXPECT_FALSE(server.Requests().back().Has("listall"));
}

TEST_F(QueriesTest, AJobAnswerWithoutAStatusOrWithAnErrorIsAFailureNotPending) {
    SJobInfoLib job;
    for (const std::string body :
         {"{\"queryasyncjobresultresponse\":{\"jobid\":\"j\"}}",
          "{\"queryasyncjobresultresponse\":{\"jobid\":\"j\",\"jobstatus\":\"x\"}}",
          "{\"queryasyncjobresultresponse\":{\"errorcode\":530,\"errortext\":\"gone\"}}", "{\"other\":{}}"}) {
        server.Queue("queryAsyncJobResult", Reply{200, {}, body});
        cstest::LogCapture log;
        EXPECT_FALSE(queries.Report(queries.GetJobInfo("j", job))) << body;
        EXPECT_EQ(log.Errors().size(), 1u) << body;
        EXPECT_NE(queries.GetErrorCode(), 0) << body;
    }
}

}  // namespace
