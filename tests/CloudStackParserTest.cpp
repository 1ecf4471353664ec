#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CloudStackParser.h"
#include "LogCapture.h"
#include "TeskJson.h"
#include "TestServer.h"

using namespace CloudStackSDKWrapper;

namespace {

// What stands between the reason and the body in a parse failure's one error line.
const std::string kBodySeparator = "; body: ";

using cstest::Fixture;

class ParserFixture : public ::testing::Test {
protected:
    CCloudStackParser m_parser;
    cstest::LogCapture m_log;
};

// ---------------------------------------------------------------------------
// Every record type from a real answer, every field.
class CloudStackParserRecordTest : public ParserFixture {};

TEST_F(CloudStackParserRecordTest, ProjectTakesEveryMappedFieldButNoAccountFromAnOwnerArray) {
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

TEST_F(CloudStackParserRecordTest, ZonesKeepTheAnswersOrderAndAllocationStates) {
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

TEST_F(CloudStackParserRecordTest, PodTakesItsZoneGatewayAndNetmask) {
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

TEST_F(CloudStackParserRecordTest, ClusterTakesPodZoneHypervisorAndStates) {
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

TEST_F(CloudStackParserRecordTest, MachineTakesEveryMappedFieldAndAStoppedOneHasNoHost) {
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

TEST_F(CloudStackParserRecordTest, ServerSpellingPreferredOverMixedCase) {
    std::vector<SVMInfoLib> vms;
    ASSERT_TRUE(m_parser.ParseNestedList(
        R"({"r":{"vm":[{"zonename":"server","zoneName":"mixed","domainid":"d","cpunumber":"4"},)"
        R"({"zoneName":"mixed only","domainId":"d2"}]}})",
        "r", "vm", vms));
    ASSERT_EQ(vms.size(), 2u);
    EXPECT_EQ(vms[0].strZoneName, "server");
    EXPECT_EQ(vms[0].strDomainId, "d");
    EXPECT_EQ(vms[0].nCpuNumber, 4);
    // A server that spells a key otherwise still fills the field.
    EXPECT_EQ(vms[1].strZoneName, "mixed only");
    EXPECT_EQ(vms[1].strDomainId, "d2");
}

TEST_F(CloudStackParserRecordTest, SucceededJobTakesStatusResultCodeAndResult) {
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
    // One line for each: the error that a 2xx answer carried, or the key that was not there.
    const auto lines = m_log.Errors();
    ASSERT_EQ(lines.size(), 5u) << m_log.AllText();
    EXPECT_EQ(
        lines[0].message.rfind("Unexpected json list [zone] - API error 401: unable to verify user credentials", 0), 0u)
        << lines[0].message;
    EXPECT_EQ(lines[2].message.rfind("Unexpected json list [cluster] - API error 431: ", 0), 0u) << lines[2].message;
    EXPECT_EQ(lines[4].message.rfind("Unexpected json list [zone] - no \"listzonesresponse\" object; body: ", 0), 0u)
        << lines[4].message;
}

TEST_F(CloudStackParserListTest, ItemKeyHoldingNoArrayFails) {
    std::vector<SZoneInfoLib> zones;
    EXPECT_FALSE(m_parser.ParseNestedList(R"({"r":{"zone":{"id":"z"}}})", "r", "zone", zones));
    EXPECT_FALSE(m_parser.ParseNestedList(R"({"r":{"zone":null}})", "r", "zone", zones));
    EXPECT_TRUE(zones.empty());
}

TEST_F(CloudStackParserListTest, BodiesWithoutTheResponseObjectFailWithOneLineEach) {
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
    // A 2xx answer that is not the answer asked for is a failure the host must see in its log.
    const auto lines = m_log.Errors();
    ASSERT_EQ(lines.size(), 12u) << m_log.AllText();
    EXPECT_EQ(lines[0].message, "Unexpected json list [zone] - the body is empty; body: ");
    EXPECT_EQ(lines[1].message, "Unexpected json list [zone] - not a JSON object; body: not json");
    EXPECT_EQ(lines[5].message,
              "Unexpected json list [zone] - no \"listzonesresponse\" object; body: {\"otherresponse\":{}}");
    EXPECT_EQ(lines[9].message, "Unexpected json obj [queryasyncjobresultresponse] - not a JSON object; body: garbage");
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
    const std::size_t separator = message.find(kBodySeparator);
    ASSERT_NE(separator, std::string::npos);
    const std::string what = message.substr(prefix.size(), separator - prefix.size());
    EXPECT_NE(what.find("memory"), std::string::npos) << what;
    EXPECT_NE(what.find("1.5"), std::string::npos) << what;
    EXPECT_EQ(message.substr(separator + kBodySeparator.size()), body);
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
    const std::size_t separator = message.find(kBodySeparator);
    ASSERT_NE(separator, std::string::npos);
    EXPECT_NE(message.substr(0, separator).find("jobstatus"), std::string::npos) << message;
    // One line: the fixture's line end shows as an escape.
    ASSERT_EQ(body.back(), '\n');
    EXPECT_EQ(message.substr(separator + kBodySeparator.size()), body.substr(0, body.size() - 1) + "\\x0a");
}

// ---------------------------------------------------------------------------------------------
// Answers that would cost the host too much are refused, each with one error line.
class CostLimit {
public:
    explicit CostLimit(std::size_t bytes) : m_previous(TeskJson::SetCostLimit(bytes)) {}
    ~CostLimit() { TeskJson::SetCostLimit(m_previous); }
    CostLimit(const CostLimit&) = delete;
    CostLimit& operator=(const CostLimit&) = delete;

private:
    std::size_t m_previous;
};

class CloudStackParserLimitTest : public ParserFixture {
protected:
    // The one line a refusal writes; fails the test unless there is exactly one.
    std::string OnlyLine() {
        const auto errors = m_log.Errors();
        EXPECT_EQ(m_log.Count(), 1u);
        return errors.size() == 1 ? errors[0].message : std::string();
    }

    static std::string Zones(std::size_t count) {
        std::string body = R"({"listzonesresponse":{"count":)" + std::to_string(count) + R"(,"zone":[)";
        for (std::size_t i = 0; i < count; ++i) {
            body += (i > 0 ? "," : "") + std::string(R"({"id":"z)") + std::to_string(i) + R"(","name":"zone"})";
        }
        return body + "]}}";
    }

    static std::string Nested(std::size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); }
};

TEST_F(CloudStackParserLimitTest, NestingDeeperThanTheLimitIsRefused) {
    // The document, the response, the list and the zone are four levels; tags add the rest.
    const auto body = [](std::size_t tagDepth) {
        return R"({"listzonesresponse":{"zone":[{"name":"a","tags":)" + Nested(tagDepth) + "}]}}";
    };
    std::vector<SZoneInfoLib> zones;
    EXPECT_TRUE(m_parser.ParseNestedList(body(TeskJson::kMaxDepth - 4), "listzonesresponse", "zone", zones));
    EXPECT_EQ(zones.size(), 1u);
    EXPECT_EQ(m_log.Count(), 0u);

    EXPECT_FALSE(m_parser.ParseNestedList(body(TeskJson::kMaxDepth - 3), "listzonesresponse", "zone", zones));
    EXPECT_EQ(zones.size(), 1u);
    const std::string line = OnlyLine();
    EXPECT_EQ(line.rfind("Exception parsing json list [zone] - ", 0), 0u) << line;
    EXPECT_NE(line.find("deeper than 256 levels"), std::string::npos) << line;
}

TEST_F(CloudStackParserLimitTest, MegabytesOfOpeningBracketsAreRefusedCheaply) {
    const std::string brackets(8 << 20, '[');
    std::vector<SZoneInfoLib> zones;
    EXPECT_FALSE(m_parser.ParseNestedList(brackets, "listzonesresponse", "zone", zones));
    EXPECT_NE(OnlyLine().find("deeper than 256 levels"), std::string::npos);
    m_log.Clear();

    const std::string inObject = R"({"queryasyncjobresultresponse":{"jobresult":)" + brackets;
    SJobInfoLib job;
    job.strJobId = "kept";
    EXPECT_FALSE(m_parser.ParseNestedObject(inObject, "queryasyncjobresultresponse", job));
    EXPECT_EQ(job.strJobId, "kept");
    const std::string line = OnlyLine();
    EXPECT_EQ(line.rfind("Exception parsing json obj [queryasyncjobresultresponse] - ", 0), 0u) << line;
    EXPECT_NE(line.find("deeper than 256 levels"), std::string::npos) << line;
}

TEST_F(CloudStackParserLimitTest, ListWhoseRecordsCostTooMuchIsRefusedWhole) {
    const std::string body = Zones(2000);
    {
        CostLimit limit(64 * body.size());
        std::vector<SZoneInfoLib> zones(1);
        EXPECT_TRUE(m_parser.ParseNestedList(body, "listzonesresponse", "zone", zones));
        EXPECT_EQ(zones.size(), 2001u);
        EXPECT_EQ(m_log.Count(), 0u);
    }
    // Room for the index of the body, not for 2000 records as well.
    CostLimit limit(4 * body.size() + 1000 * sizeof(SZoneInfoLib));
    std::vector<SZoneInfoLib> zones(1);
    SListPageInfo page{42, 42};
    EXPECT_FALSE(m_parser.ParseNestedList(body, "listzonesresponse", "zone", zones, &page));
    EXPECT_EQ(zones.size(), 1u);
    EXPECT_EQ(page.nCount, 42);
    const std::string line = OnlyLine();
    EXPECT_EQ(line.rfind("Exception parsing json list [zone] - ", 0), 0u) << line;
    EXPECT_NE(line.find("(the limit)"), std::string::npos) << line;
}

TEST_F(CloudStackParserLimitTest, BodyWhoseIndexAloneCostsTooMuchIsRefusedBeforeParsing) {
    // A thousand numbers in two thousand bytes: the index of their tokens is four times the body.
    std::string body = R"({"listzonesresponse":{"zone":[0)";
    for (int i = 0; i < 1000; ++i) body += ",0";
    body += "]}}";
    CostLimit limit(3 * body.size());
    std::vector<SZoneInfoLib> zones;
    EXPECT_FALSE(m_parser.ParseNestedList(body, "listzonesresponse", "zone", zones));
    EXPECT_NE(OnlyLine().find("for its index (the limit)"), std::string::npos);
}

TEST_F(CloudStackParserLimitTest, IndexCostCountsTokensNotBlanks) {
    // Blanks cost no index entry, so a pretty-printed answer is not refused for its size. The
    // index holds one entry per operator or quote, and per run of other bytes after one or a blank.
    std::string body = "{\"listzonesresponse\" :\n {\"zone\":[";
    for (int i = 0; i < 100; ++i) {
        body += std::string(i > 0 ? "," : "") + std::string(static_cast<std::size_t>(37 + i % 23), ' ') +
                R"({"name":"z)" + std::to_string(i) + R"( a:b","allocationstate": true})";
    }
    body += "\t]}\r\n}";
    std::size_t tokens = 0;
    bool afterBreak = true;
    for (const char c : body) {
        const bool op = std::string("{}[]:,\"").find(c) != std::string::npos;
        const bool blank = std::string(" \t\r\n").find(c) != std::string::npos;
        tokens += op || (afterBreak && !blank) ? 1 : 0;
        afterBreak = op || blank;
    }
    const std::size_t records = 100 * sizeof(SZoneInfoLib);  // every text is short
    ASSERT_LT(4 * tokens + records, 4 * body.size());        // so that the tokens are counted
    {
        CostLimit limit(4 * tokens + records);
        std::vector<SZoneInfoLib> zones;
        EXPECT_TRUE(m_parser.ParseNestedList(body, "listzonesresponse", "zone", zones));
        EXPECT_EQ(zones.size(), 100u);
        EXPECT_EQ(m_log.Count(), 0u);
    }
    CostLimit limit(4 * tokens - 1);
    std::vector<SZoneInfoLib> zones;
    EXPECT_FALSE(m_parser.ParseNestedList(body, "listzonesresponse", "zone", zones));
    EXPECT_NE(OnlyLine().find("for its index (the limit)"), std::string::npos);
}

TEST_F(CloudStackParserLimitTest, ObjectWhoseTreeCostsTooMuchIsRefused) {
    std::string body = Fixture("queryAsyncJobResult-success.json");
    {
        CostLimit limit(64 * body.size());
        SJobInfoLib job;
        EXPECT_TRUE(m_parser.ParseNestedObject(body, "queryasyncjobresultresponse", job));
    }
    CostLimit limit(body.size());
    SJobInfoLib job;
    job.strJobId = "kept";
    EXPECT_FALSE(m_parser.ParseNestedObject(body, "queryasyncjobresultresponse", job));
    EXPECT_EQ(job.strJobId, "kept");
    const std::string line = OnlyLine();
    EXPECT_EQ(line.rfind("Exception parsing json obj [queryasyncjobresultresponse] - ", 0), 0u) << line;
    EXPECT_NE(line.find("bytes of memory to parse (the limit)"), std::string::npos) << line;
}

TEST_F(CloudStackParserLimitTest, RefusedBodyThatIsNotJsonIsStillRefusedOnce) {
    // The tree walk refuses before it parses, so a broken body is refused like a sound one.
    const std::string body = R"({"listzonesresponse":{"zone":[{"name":tru}]},"b":)" + std::string(300, '[');
    std::vector<SZoneInfoLib> zones;
    EXPECT_FALSE(m_parser.ParseNestedList(body, "listzonesresponse", "zone", zones));
    EXPECT_NE(OnlyLine().find("deeper than 256 levels"), std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// The error line shows at most 4 KiB of the body, and never a secret.
class CloudStackParserLogLineTest : public ParserFixture {
protected:
    // The body as the line shows it (everything after the first "; body: ").
    std::string ShownBody() {
        const auto errors = m_log.Errors();
        EXPECT_EQ(errors.size(), 1u);
        if (errors.empty()) return std::string();
        const std::string& message = errors[0].message;
        const std::size_t separator = message.find(kBodySeparator);
        EXPECT_NE(separator, std::string::npos);
        return message.substr(separator + kBodySeparator.size());
    }
};

TEST_F(CloudStackParserLogLineTest, LongBodyIsCutAfter4KiBWithTheBytesLeftOut) {
    std::string body = R"({"listzonesresponse":{"zone":[{"name":"a","tags":")" + std::string(6000, 'x') +
                       R"("},{"name":"b","memory":1.5}],"cpunumber":"#"}})";
    std::vector<SHostInfoLib> hosts;
    body.replace(body.find("\"memory\""), 8, "\"cpuspeed\"");
    EXPECT_FALSE(m_parser.ParseNestedList(body, "listzonesresponse", "zone", hosts));
    const std::string shown = ShownBody();
    const std::string tail =
        " ... [" + std::to_string(body.size() - CCloudStackParser::kLoggedBodyBytes) + " bytes left out]";
    ASSERT_EQ(shown.size(), CCloudStackParser::kLoggedBodyBytes + tail.size());
    EXPECT_EQ(shown.substr(0, CCloudStackParser::kLoggedBodyBytes),
              body.substr(0, CCloudStackParser::kLoggedBodyBytes));
    EXPECT_EQ(shown.substr(CCloudStackParser::kLoggedBodyBytes), tail);
}

TEST_F(CloudStackParserLogLineTest, CutNeverSplitsAUtf8Character) {
    // "ü" is two bytes; place one across the 4 KiB mark.
    std::string body = R"({"r":{"h":[{"cpunumber":"x","name":")";
    body += std::string(CCloudStackParser::kLoggedBodyBytes - body.size() - 1, 'a') + "\xc3\xbc" +
            std::string(100, 'b') + R"("}]}})";
    std::vector<SHostInfoLib> hosts;
    EXPECT_FALSE(m_parser.ParseNestedList(body, "r", "h", hosts));
    const std::string shown = ShownBody();
    EXPECT_EQ(shown.substr(0, CCloudStackParser::kLoggedBodyBytes),
              body.substr(0, CCloudStackParser::kLoggedBodyBytes - 1) + " ");
    EXPECT_NE(shown.find(" ... [" + std::to_string(body.size() - CCloudStackParser::kLoggedBodyBytes + 1) +
                         " bytes left out]"),
              std::string::npos)
        << shown.substr(CCloudStackParser::kLoggedBodyBytes - 10);
}

TEST_F(CloudStackParserLogLineTest, SecretsAreMaskedAtAnyDepth) {
    const std::string body =
        R"({"listvirtualmachinesresponse":{"virtualmachine":[{"name":"a","password":"s3cret-1",)"
        R"("details":{"Password" : "s3cret-2","note":"keep-1"},"nic":[{"sessionkey":"s3cret-3"}],)"
        R"("apikey":12345678,"secretkey":{"v":"s3cret-4"},"password":"s3cret-5","passwordx":"keep-2",)"
        R"("tags":[{"value":"s3cret-6","name":"API_Token"},{"key":"color","value":"keep-3"}],)"
        R"("memory":-1}]}})";
    std::vector<SVMInfoLib> vms;
    EXPECT_FALSE(m_parser.ParseNestedList(body, "listvirtualmachinesresponse", "virtualmachine", vms));
    const std::string shown = ShownBody();
    for (const char* secret : {"s3cret", "12345678", "keep-2"}) {
        EXPECT_EQ(shown.find(secret), std::string::npos) << shown;
    }
    for (const char* kept : {R"("password":"***")", R"("Password" : "***")", R"("sessionkey":"***")",
                             R"("apikey":"***")", R"("secretkey":"***")", R"("password":"***")", "keep-1",
                             R"("passwordx":"***")", R"("value":"***")", R"("value":"keep-3")", R"("memory":-1)"}) {
        EXPECT_NE(shown.find(kept), std::string::npos) << kept << " in " << shown;
    }
}

TEST_F(CloudStackParserLogLineTest, JobResultPasswordIsMaskedInTheObjectLine) {
    // A job that reset a machine's password carries the new one in its result.
    const std::string body =
        R"({"queryasyncjobresultresponse":{"jobid":"j","jobstatus":"done","jobresult":{"virtualmachine":)"
        R"({"id":"v","password":"Gen3rated!","passwordenabled":true}}}})";
    SJobInfoLib job;
    EXPECT_FALSE(m_parser.ParseNestedObject(body, "queryasyncjobresultresponse", job));
    const std::string shown = ShownBody();
    EXPECT_EQ(shown.find("Gen3rated"), std::string::npos) << shown;
    EXPECT_NE(shown.find(R"("password":"***","passwordenabled":"***")"), std::string::npos) << shown;
}

TEST_F(CloudStackParserLogLineTest, SecretValueCutByTheLimitIsStillMasked) {
    std::string body = R"({"r":{"h":[{"cpunumber":"x","name":")";
    body += std::string(CCloudStackParser::kLoggedBodyBytes - body.size() - 20, 'a') +
            R"(","password":"abcdefghijklmnopqrstuvwxyz"}]}})";
    std::vector<SHostInfoLib> hosts;
    EXPECT_FALSE(m_parser.ParseNestedList(body, "r", "h", hosts));
    const std::string shown = ShownBody();
    EXPECT_EQ(shown.find("abcdef"), std::string::npos) << shown.substr(4000);
    EXPECT_NE(shown.find(R"("password":"***")"), std::string::npos) << shown.substr(4000);
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
