#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "CloudStackParser.h"
#include "LogCapture.h"

using namespace CloudStackSDKWrapper;

namespace {

std::string Fixture(const std::string& name) {
    std::ifstream in(std::string(CLOUDSTACK_FIXTURES_DIR) + "/" + name, std::ios::binary);
    EXPECT_TRUE(in.good()) << name;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class ParserFixture : public ::testing::Test {
protected:
    CCloudStackParser m_parser;
    cstest::LogCapture m_log;
};

// ---------------------------------------------------------------------------
// Every record type from a real answer, every field.
class CloudStackParserRecordTest : public ParserFixture {};

TEST_F(CloudStackParserRecordTest, Projects) {
    std::vector<SProjectInfoLib> projects;
    ASSERT_TRUE(m_parser.ParseNestedList(Fixture("listProjects.json"), "listprojectsresponse", "project", projects));
    ASSERT_EQ(projects.size(), 1u);
    const SProjectInfoLib& p = projects[0];
    EXPECT_EQ(p.strId, "96ae8b8d-86d2-4470-a455-61fd103759b0");
    EXPECT_EQ(p.strName, "billing");
    EXPECT_EQ(p.strDisplayText, "Billing team project");
    EXPECT_EQ(p.strState, "Active");
    EXPECT_EQ(p.strDomainId, "8c682961-f32e-4d08-a61a-6e2fdec2d9d7");
    EXPECT_EQ(p.strDomain, "ROOT");
    EXPECT_EQ(p.strAccount, "");  // current servers send an "owner" array instead
    EXPECT_EQ(p.strProjectAccountName, "PrjAcct-billing-2");
}

TEST_F(CloudStackParserRecordTest, Zones) {
    std::vector<SZoneInfoLib> zones;
    ASSERT_TRUE(m_parser.ParseNestedList(Fixture("listZones.json"), "listzonesresponse", "zone", zones));
    ASSERT_EQ(zones.size(), 2u);
    EXPECT_EQ(zones[0].strId, "017e4c46-d7f2-4612-a2b8-4c07d998a2ba");
    EXPECT_EQ(zones[0].strName, "zone-eu1");
    EXPECT_EQ(zones[0].strAllocationState, "Enabled");
    EXPECT_EQ(zones[1].strId, "0c285fb8-dc8e-4df2-b82c-4f9196b191db");
    EXPECT_EQ(zones[1].strName, "zone-eu2");
    EXPECT_EQ(zones[1].strAllocationState, "Disabled");
}

TEST_F(CloudStackParserRecordTest, Pods) {
    std::vector<SPodInfoLib> pods;
    ASSERT_TRUE(m_parser.ParseNestedList(Fixture("listPods.json"), "listpodsresponse", "pod", pods));
    ASSERT_EQ(pods.size(), 1u);
    EXPECT_EQ(pods[0].strId, "9428946b-3515-4770-8dce-b273e2c96c93");
    EXPECT_EQ(pods[0].strName, "pod-a");
    EXPECT_EQ(pods[0].strAllocationState, "Enabled");
    EXPECT_EQ(pods[0].strZoneId, "017e4c46-d7f2-4612-a2b8-4c07d998a2ba");
    EXPECT_EQ(pods[0].strZoneName, "zone-eu1");
    EXPECT_EQ(pods[0].strGateway, "10.10.0.1");
    EXPECT_EQ(pods[0].strNetmask, "255.255.255.0");
}

TEST_F(CloudStackParserRecordTest, Clusters) {
    std::vector<SClusterInfoLib> clusters;
    ASSERT_TRUE(m_parser.ParseNestedList(Fixture("listClusters.json"), "listclustersresponse", "cluster", clusters));
    ASSERT_EQ(clusters.size(), 2u);
    const SClusterInfoLib& c = clusters[1];
    EXPECT_EQ(c.strId, "9fecfaa3-25e6-4aa6-b4ed-49910c39868a");
    EXPECT_EQ(c.strName, "Cluster B (GPU)");
    EXPECT_EQ(c.strPodId, "9428946b-3515-4770-8dce-b273e2c96c93");
    EXPECT_EQ(c.strPodName, "pod-a");
    EXPECT_EQ(c.strZoneId, "017e4c46-d7f2-4612-a2b8-4c07d998a2ba");
    EXPECT_EQ(c.strZoneName, "zone-eu1");
    EXPECT_EQ(c.strHypervisorType, "KVM");
    EXPECT_EQ(c.strClusterType, "CloudManaged");
    EXPECT_EQ(c.strAllocationState, "Disabled");
    EXPECT_EQ(c.strManagedState, "Managed");
    EXPECT_EQ(clusters[0].strName, "cluster1");
}

TEST_F(CloudStackParserRecordTest, HostsWithMemoryBeyond32Bits) {
    std::vector<SHostInfoLib> hosts;
    ASSERT_TRUE(m_parser.ParseNestedList(Fixture("listHosts.json"), "listhostsresponse", "host", hosts));
    ASSERT_EQ(hosts.size(), 2u);
    const SHostInfoLib& h = hosts[0];
    EXPECT_EQ(h.strId, "7caad899-5e45-4176-9704-98367d31d944");
    EXPECT_EQ(h.strName, "kvm-01");
    EXPECT_EQ(h.strState, "Up");
    EXPECT_EQ(h.strType, "Routing");
    EXPECT_EQ(h.strIpAddress, "10.10.0.11");
    EXPECT_EQ(h.strZoneId, "017e4c46-d7f2-4612-a2b8-4c07d998a2ba");
    EXPECT_EQ(h.strZoneName, "zone-eu1");
    EXPECT_EQ(h.strPodId, "9428946b-3515-4770-8dce-b273e2c96c93");
    EXPECT_EQ(h.strPodName, "pod-a");
    EXPECT_EQ(h.strClusterId, "579d5504-f22e-414b-8c07-cf3f2b3aee01");
    EXPECT_EQ(h.strClusterName, "cluster1");
    EXPECT_EQ(h.strClusterType, "CloudManaged");
    EXPECT_EQ(h.strVersion, "4.20.1.0");
    EXPECT_EQ(h.strHypervisor, "KVM");
    EXPECT_EQ(h.nCpuNumber, 32);
    EXPECT_EQ(h.nCpuSpeed, 2400);
    EXPECT_EQ(h.strCpuAllocated, "12.5%");
    EXPECT_EQ(h.strCpuUsed, "3.41%");
    EXPECT_EQ(h.ullMemoryTotal, 135089188864ull);
    EXPECT_EQ(h.ullMemoryAllocated, 17179869184ull);
    EXPECT_EQ(h.ullMemoryUsed, 40532111360ull);
    // A disconnected host reports no usage at all.
    EXPECT_EQ(hosts[1].strState, "Disconnected");
    EXPECT_EQ(hosts[1].strClusterName, "Cluster B (GPU)");
    EXPECT_EQ(hosts[1].strCpuUsed, "");
    EXPECT_EQ(hosts[1].ullMemoryAllocated, 0u);
    EXPECT_EQ(hosts[1].ullMemoryUsed, 0u);
}

TEST_F(CloudStackParserRecordTest, VirtualMachines) {
    std::vector<SVMInfoLib> vms;
    ASSERT_TRUE(m_parser.ParseNestedList(Fixture("listVirtualMachines.json"), "listvirtualmachinesresponse",
                                         "virtualmachine", vms));
    ASSERT_EQ(vms.size(), 2u);
    const SVMInfoLib& v = vms[0];
    EXPECT_EQ(v.strId, "fcbea053-779e-4c4b-8c30-b22ece7c5b3d");
    EXPECT_EQ(v.strName, "web-01");
    EXPECT_EQ(v.strDisplayName, "Web server 01");
    EXPECT_EQ(v.strState, "Running");
    EXPECT_EQ(v.strHypervisor, "KVM");
    EXPECT_EQ(v.strInstanceName, "i-2-14-VM");
    EXPECT_EQ(v.strAccount, "admin");
    EXPECT_EQ(v.strUserId, "c0af26a7-7b31-4dd1-8597-749503c49a29");
    EXPECT_EQ(v.strUserName, "admin");
    EXPECT_EQ(v.strDomainId, "8c682961-f32e-4d08-a61a-6e2fdec2d9d7");
    EXPECT_EQ(v.strDomain, "ROOT");
    EXPECT_EQ(v.strZoneId, "017e4c46-d7f2-4612-a2b8-4c07d998a2ba");
    EXPECT_EQ(v.strZoneName, "zone-eu1");
    EXPECT_EQ(v.strHostId, "7caad899-5e45-4176-9704-98367d31d944");
    EXPECT_EQ(v.strHostName, "kvm-01");
    EXPECT_EQ(v.strTemplateId, "e0172120-c901-4e92-9ca3-cba221927f9a");
    EXPECT_EQ(v.strTemplateName, "Ubuntu 24.04");
    EXPECT_EQ(v.strTemplateDisplayText, "Ubuntu 24.04 LTS");
    EXPECT_EQ(v.nCpuNumber, 2);
    EXPECT_EQ(v.nCpuSpeed, 1000);
    EXPECT_EQ(v.ullMemory, 2048u);
    EXPECT_EQ(v.strGuestOsId, "f50c977d-4204-407d-a41c-1ce90a82df08");
    EXPECT_EQ(v.strOsTypeId, "f50c977d-4204-407d-a41c-1ce90a82df08");
    // A stopped VM has no host.
    EXPECT_EQ(vms[1].strName, "db-01");
    EXPECT_EQ(vms[1].strUserName, "alice");
    EXPECT_EQ(vms[1].strState, "Stopped");
    EXPECT_EQ(vms[1].strHostId, "");
    EXPECT_EQ(vms[1].strHostName, "");
}

TEST_F(CloudStackParserRecordTest, MixedCaseKeyPreferredOverLowerCase) {
    std::vector<SVMInfoLib> vms;
    ASSERT_TRUE(m_parser.ParseNestedList(
        R"({"r":{"vm":[{"zonename":"lower","zoneName":"exact","domainid":"d","cpunumber":"4"}]}})", "r", "vm", vms));
    ASSERT_EQ(vms.size(), 1u);
    EXPECT_EQ(vms[0].strZoneName, "exact");
    EXPECT_EQ(vms[0].strDomainId, "d");
    EXPECT_EQ(vms[0].nCpuNumber, 4);
}

TEST_F(CloudStackParserRecordTest, JobSucceeded) {
    SJobInfoLib job;
    ASSERT_TRUE(
        m_parser.ParseNestedObject(Fixture("queryAsyncJobResult-success.json"), "queryasyncjobresultresponse", job));
    EXPECT_EQ(job.strJobId, "799be2d9-34ce-4f26-aa1b-33c9269292ec");
    EXPECT_EQ(job.strJobInstanceId, "fcbea053-779e-4c4b-8c30-b22ece7c5b3d");
    EXPECT_EQ(job.strJobInstanceType, "VirtualMachine");
    EXPECT_EQ(job.strCreated, "2025-10-30T14:03:11+0000");
    EXPECT_EQ(job.strCompleted, "2025-10-30T14:03:29+0000");
    EXPECT_EQ(job.strCmd, "org.apache.cloudstack.api.command.admin.vm.StartVMCmdByAdmin");
    EXPECT_EQ(job.strAccountId, "550c68f9-5da2-4299-8225-e91853601d7e");
    EXPECT_EQ(job.strUserId, "c0af26a7-7b31-4dd1-8597-749503c49a29");
    EXPECT_EQ(job.nJobStatus, 1);
    EXPECT_EQ(job.nJobProcStatus, 0);
    EXPECT_EQ(job.nJobResultCode, 0);
    EXPECT_EQ(job.strJobResultType, "object");
}

TEST_F(CloudStackParserRecordTest, SecondJobAnswerLeavesNothingOfTheFirst) {
    SJobInfoLib job;
    ASSERT_TRUE(
        m_parser.ParseNestedObject(Fixture("queryAsyncJobResult-success.json"), "queryasyncjobresultresponse", job));
    ASSERT_TRUE(
        m_parser.ParseNestedObject(Fixture("queryAsyncJobResult-pending.json"), "queryasyncjobresultresponse", job));
    EXPECT_EQ(job.nJobStatus, 0);
    EXPECT_EQ(job.strCompleted, "");
    EXPECT_EQ(job.strJobResultType, "");
    EXPECT_EQ(job.strCreated, "2025-10-30T14:03:11+0000");

    // The cancelled answer has no "jobresulttype" either, but a result code.
    job.strJobResultType = "stale";
    ASSERT_TRUE(m_parser.ParseNestedObject(Fixture("queryAsyncJobResult-cancelled-530.json"),
                                           "queryasyncjobresultresponse", job));
    EXPECT_EQ(job.nJobStatus, 2);
    EXPECT_EQ(job.nJobResultCode, 530);
    EXPECT_EQ(job.strJobResultType, "");
    EXPECT_EQ(job.strCmd, "org.apache.cloudstack.api.command.admin.vm.StopVMCmdByAdmin");
}

TEST_F(CloudStackParserRecordTest, EmptyResponseObjectAssignsMissingKeyValues) {
    SJobInfoLib job{"j", "i", "t", "c", "d", "cmd", "a", "u", 1, 2, 3, "r"};
    ASSERT_TRUE(
        m_parser.ParseNestedObject(R"({"queryasyncjobresultresponse":{}})", "queryasyncjobresultresponse", job));
    for (const std::string* text :
         {&job.strJobId, &job.strJobInstanceId, &job.strJobInstanceType, &job.strCreated, &job.strCompleted,
          &job.strCmd, &job.strAccountId, &job.strUserId, &job.strJobResultType}) {
        EXPECT_EQ(*text, "");
    }
    EXPECT_EQ(job.nJobStatus, 0);
    EXPECT_EQ(job.nJobProcStatus, 0);
    EXPECT_EQ(job.nJobResultCode, 0);
}

// ---------------------------------------------------------------------------
// Answers that are not lists of records.
class CloudStackParserListTest : public ParserFixture {};

TEST_F(CloudStackParserListTest, EmptyAnswersAreSuccessesThatAppendNothing) {
    std::vector<SZoneInfoLib> zones(1);
    zones[0].strName = "existing";
    EXPECT_TRUE(m_parser.ParseNestedList(Fixture("listZones-empty.json"), "listzonesresponse", "zone", zones));
    std::vector<SVMInfoLib> vms;
    EXPECT_TRUE(m_parser.ParseNestedList(Fixture("listVirtualMachines-empty.json"), "listvirtualmachinesresponse",
                                         "virtualmachine", vms));
    std::vector<SProjectInfoLib> projects;
    EXPECT_TRUE(
        m_parser.ParseNestedList(Fixture("listProjects-empty.json"), "listprojectsresponse", "project", projects));
    std::vector<SPodInfoLib> pods;
    EXPECT_TRUE(m_parser.ParseNestedList(Fixture("listPods-page-past-end.json"), "listpodsresponse", "pod", pods));
    ASSERT_EQ(zones.size(), 1u);
    EXPECT_EQ(zones[0].strName, "existing");
    EXPECT_TRUE(vms.empty());
    EXPECT_TRUE(projects.empty());
    EXPECT_TRUE(pods.empty());
    EXPECT_EQ(m_log.Count(), 0u);
}

TEST_F(CloudStackParserListTest, ErrorEnvelopesUnderTheResponseKeyFail) {
    std::vector<SZoneInfoLib> zones;
    EXPECT_FALSE(m_parser.ParseNestedList(Fixture("error-401-no-session.json"), "listzonesresponse", "zone", zones));
    std::vector<SVMInfoLib> vms;
    EXPECT_FALSE(m_parser.ParseNestedList(Fixture("error-401-bad-sessionkey.json"), "listvirtualmachinesresponse",
                                          "virtualmachine", vms));
    std::vector<SClusterInfoLib> clusters;
    EXPECT_FALSE(
        m_parser.ParseNestedList(Fixture("error-431-pagesize.json"), "listclustersresponse", "cluster", clusters));
    std::vector<SHostInfoLib> hosts;
    EXPECT_FALSE(m_parser.ParseNestedList(Fixture("error-431-bad-uuid.json"), "listhostsresponse", "host", hosts));
    EXPECT_FALSE(
        m_parser.ParseNestedList(Fixture("error-432-unknown-command.json"), "listzonesresponse", "zone", zones));
    EXPECT_TRUE(zones.empty() && vms.empty() && clusters.empty() && hosts.empty());
    EXPECT_EQ(m_log.Count(), 0u);
}

TEST_F(CloudStackParserListTest, ItemKeyHoldingNoArrayFails) {
    std::vector<SZoneInfoLib> zones;
    EXPECT_FALSE(m_parser.ParseNestedList(R"({"r":{"zone":{"id":"z"}}})", "r", "zone", zones));
    EXPECT_FALSE(m_parser.ParseNestedList(R"({"r":{"zone":null}})", "r", "zone", zones));
    EXPECT_TRUE(zones.empty());
}

TEST_F(CloudStackParserListTest, BodiesWithoutTheResponseObjectFailSilently) {
    std::vector<SZoneInfoLib> zones;
    for (const char* body :
         {"", "not json", "[]", R"("text")", "<html><body>502</body></html>", R"({"otherresponse":{}})",
          R"({"listzonesresponse":[]})", R"({"listzonesresponse":"x"})", R"({"ListZonesResponse":{}})"}) {
        EXPECT_FALSE(m_parser.ParseNestedList(body, "listzonesresponse", "zone", zones)) << body;
    }
    SJobInfoLib job;
    job.strJobId = "kept";
    EXPECT_FALSE(m_parser.ParseNestedObject("garbage", "queryasyncjobresultresponse", job));
    EXPECT_FALSE(
        m_parser.ParseNestedObject(R"({"queryasyncjobresultresponse":[]})", "queryasyncjobresultresponse", job));
    EXPECT_FALSE(m_parser.ParseNestedObject(R"({"other":{"jobid":"x"}})", "queryasyncjobresultresponse", job));
    EXPECT_EQ(job.strJobId, "kept");
    EXPECT_TRUE(zones.empty());
    EXPECT_EQ(m_log.Count(), 0u);
}

TEST_F(CloudStackParserListTest, AppendsAfterExistingRecordsInOrder) {
    std::vector<SZoneInfoLib> zones;
    ASSERT_TRUE(m_parser.ParseNestedList(Fixture("listZones.json"), "listzonesresponse", "zone", zones));
    ASSERT_TRUE(m_parser.ParseNestedList(R"({"r":{"zone":[{"name":"third"}]}})", "r", "zone", zones));
    ASSERT_EQ(zones.size(), 3u);
    EXPECT_EQ(zones[0].strName, "zone-eu1");
    EXPECT_EQ(zones[1].strName, "zone-eu2");
    EXPECT_EQ(zones[2].strName, "third");
}

TEST_F(CloudStackParserListTest, NonObjectElementsAreSkipped) {
    std::vector<SZoneInfoLib> zones;
    ASSERT_TRUE(m_parser.ParseNestedList(R"({"r":{"zone":[1,"x",null,{"name":"a"},[],true,{"name":"b"},{}]}})", "r",
                                         "zone", zones));
    ASSERT_EQ(zones.size(), 3u);
    EXPECT_EQ(zones[0].strName, "a");
    EXPECT_EQ(zones[1].strName, "b");
    EXPECT_EQ(zones[2].strName, "");
    EXPECT_EQ(m_log.Count(), 0u);
}

// ---------------------------------------------------------------------------
// A value that cannot be converted fails the parse with one error line.
class CloudStackParserExceptionTest : public ParserFixture {};

TEST_F(CloudStackParserExceptionTest, ListKeepsRecordsBeforeTheBadOneAndLogsOneLine) {
    const std::string body = R"({"listvirtualmachinesresponse":{"count":3,"virtualmachine":[{"name":"a","memory":512},)"
                             R"({"name":"b","memory":1.5},{"name":"c","memory":1024}]}})";
    std::vector<SVMInfoLib> vms(1);
    EXPECT_FALSE(m_parser.ParseNestedList(body, "listvirtualmachinesresponse", "virtualmachine", vms));
    ASSERT_EQ(vms.size(), 2u);
    EXPECT_EQ(vms[1].strName, "a");
    EXPECT_EQ(vms[1].ullMemory, 512u);

    const auto errors = m_log.Errors();
    ASSERT_EQ(m_log.Count(), 1u);
    ASSERT_EQ(errors.size(), 1u);
    const std::string& message = errors[0].message;
    const std::string prefix = "Exception parsing json list [virtualmachine] - ";
    ASSERT_EQ(message.compare(0, prefix.size(), prefix), 0) << message;
    const std::size_t newline = message.find('\n');
    ASSERT_NE(newline, std::string::npos);
    const std::string what = message.substr(prefix.size(), newline - prefix.size());
    EXPECT_NE(what.find("memory"), std::string::npos) << what;
    EXPECT_NE(what.find("1.5"), std::string::npos) << what;
    EXPECT_EQ(message.substr(newline + 1), body);
    EXPECT_NE(errors[0].function.find("ParseNestedList"), std::string::npos) << errors[0].function;
    // The entry point the caller used, not a helper or the paging overload.
    EXPECT_EQ(errors[0].function.find("SListPageInfo"), std::string::npos) << errors[0].function;
    EXPECT_NE(errors[0].function.find("T = CloudStackSDKWrapper::SVMInfoLib"), std::string::npos) << errors[0].function;
}

TEST_F(CloudStackParserExceptionTest, ADeeplyNestedValueWhereANumberBelongsFailsWithoutCrashing) {
    // Describing the bad value must not recurse through it: 200,000 levels exhaust any stack.
    const std::size_t depth = 200000;
    const std::string body =
        R"({"r":{"h":[{"id":"a","cpunumber":)" + std::string(depth, '[') + std::string(depth, ']') + "}]}}";
    std::vector<SHostInfoLib> hosts;
    EXPECT_FALSE(m_parser.ParseNestedList(body, "r", "h", hosts));
    EXPECT_TRUE(hosts.empty());
    ASSERT_EQ(m_log.Errors().size(), 1u);
    EXPECT_NE(m_log.Errors()[0].message.find("cpunumber"), std::string::npos);
}

TEST_F(CloudStackParserExceptionTest, NumbersBeyondTheirTypeFailTheList) {
    std::vector<SHostInfoLib> hosts;
    EXPECT_TRUE(m_parser.ParseNestedList(R"({"r":{"h":[{"cpunumber":2147483647,"memorytotal":18446744073709551615}]}})",
                                         "r", "h", hosts));
    EXPECT_FALSE(m_parser.ParseNestedList(R"({"r":{"h":[{"cpunumber":2147483648}]}})", "r", "h", hosts));
    EXPECT_FALSE(m_parser.ParseNestedList(R"({"r":{"h":[{"memoryused":-1}]}})", "r", "h", hosts));
    EXPECT_FALSE(m_parser.ParseNestedList(R"({"r":{"h":[{"cpuspeed":"fast"}]}})", "r", "h", hosts));
    ASSERT_EQ(hosts.size(), 1u);
    EXPECT_EQ(hosts[0].nCpuNumber, 2147483647);
    EXPECT_EQ(hosts[0].ullMemoryTotal, 18446744073709551615ull);
    EXPECT_EQ(m_log.Errors().size(), 3u);
}

TEST_F(CloudStackParserExceptionTest, ObjectLogsOneLineWithTheResponseKey) {
    std::string body = Fixture("queryAsyncJobResult-pending.json");
    const std::string status = "\"jobstatus\":0";
    const std::size_t at = body.find(status);
    ASSERT_NE(at, std::string::npos);
    body.replace(at, status.size(), "\"jobstatus\":\"pending\"");

    SJobInfoLib job;
    EXPECT_FALSE(m_parser.ParseNestedObject(body, "queryasyncjobresultresponse", job));
    const auto errors = m_log.Errors();
    ASSERT_EQ(m_log.Count(), 1u);
    ASSERT_EQ(errors.size(), 1u);
    const std::string prefix = "Exception parsing json obj [queryasyncjobresultresponse] - ";
    const std::string& message = errors[0].message;
    ASSERT_EQ(message.compare(0, prefix.size(), prefix), 0) << message;
    const std::size_t newline = message.find('\n');
    ASSERT_NE(newline, std::string::npos);
    EXPECT_NE(message.substr(0, newline).find("jobstatus"), std::string::npos) << message;
    EXPECT_EQ(message.substr(newline + 1), body);
}

// ---------------------------------------------------------------------------
class CloudStackParserPageTest : public ParserFixture {
protected:
    SListPageInfo Page(const std::string& body, bool expected = true) {
        SListPageInfo page;
        std::vector<SPodInfoLib> pods;
        EXPECT_EQ(m_parser.ParseNestedList(body, "listpodsresponse", "pod", pods, &page), expected) << body;
        return page;
    }
};

TEST_F(CloudStackParserPageTest, CountAndItemsOfRealAnswers) {
    const SListPageInfo full = Page(Fixture("listPods.json"));
    EXPECT_EQ(full.nCount, 1);
    EXPECT_EQ(full.nItems, 1u);
    const SListPageInfo past = Page(Fixture("listPods-page-past-end.json"));
    EXPECT_EQ(past.nCount, 1);
    EXPECT_EQ(past.nItems, 0u);
    const SListPageInfo empty = Page(R"({"listpodsresponse":{}})");
    EXPECT_EQ(empty.nCount, -1);
    EXPECT_EQ(empty.nItems, 0u);
}

TEST_F(CloudStackParserPageTest, ItemsCountsEveryElementAndCountNeverThrows) {
    const SListPageInfo mixed = Page(R"({"listpodsresponse":{"count":"7","pod":[{},1,{}]}})");
    EXPECT_EQ(mixed.nCount, 7);
    EXPECT_EQ(mixed.nItems, 3u);
    for (const char* count : {"-1", "2.0", "\"many\"", "null", "{}", "9223372036854775808"}) {
        const SListPageInfo page = Page(std::string(R"({"listpodsresponse":{"pod":[],"count":)") + count + "}}");
        EXPECT_EQ(page.nCount, -1) << count;
    }
    EXPECT_EQ(m_log.Count(), 0u);
}

TEST_F(CloudStackParserPageTest, LeftAloneWithoutResponseObjectFilledForErrors) {
    SListPageInfo page{42, 42};
    std::vector<SPodInfoLib> pods;
    EXPECT_FALSE(m_parser.ParseNestedList(R"({"other":{"count":1}})", "listpodsresponse", "pod", pods, &page));
    EXPECT_EQ(page.nCount, 42);
    EXPECT_EQ(page.nItems, 42u);
    const SListPageInfo error = Page(R"({"listpodsresponse":{"uuidList":[],"errorcode":401}})", false);
    EXPECT_EQ(error.nCount, -1);
    EXPECT_EQ(error.nItems, 0u);
}

}  // namespace
