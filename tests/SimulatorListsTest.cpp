#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>

#include "SimulatorTestHelpers.h"
#include "TestServer.h"

namespace {

using namespace simtest;
using namespace std::chrono_literals;

const char* const kWeb01 = "fcbea053-779e-4c4b-8c30-b22ece7c5b3d";
const char* const kCiRunner = "ci-runner-01";

// The fixture without its final line break, as the simulator answers it.
std::string Fixture(const std::string& name) {
    std::string content = cstest::Fixture(name);
    while (!content.empty() && (content.back() == '\n' || content.back() == '\r')) content.pop_back();
    return content;
}

std::set<std::string> Names(const json& list, const char* itemKey) {
    std::set<std::string> names;
    for (const auto& item : list.value(itemKey, json::array())) names.insert(item["name"].get<std::string>());
    return names;
}

/// The demo cloud, logged in as the root admin, through Handle().
class SimulatorListsTest : public ::testing::Test {
protected:
    void SetUp() override {
        cssim::SimulatorOptions options;
        Configure(options);
        simulator_ = std::make_unique<cssim::Simulator>(std::move(options));
        client_ = std::make_unique<Client>(*simulator_);
        admin_ = client_->LogIn();
    }

    virtual void Configure(cssim::SimulatorOptions& /*options*/) {}

    json List(const std::string& query) {
        const Answer answer = client_->Call(admin_, query);
        EXPECT_EQ(answer.status, 200) << query << ": " << answer.text;
        return answer.body.is_object() && !answer.body.empty() ? answer.body.begin().value() : json();
    }

    std::unique_ptr<cssim::Simulator> simulator_;
    std::unique_ptr<Client> client_;
    Session admin_;
};

TEST_F(SimulatorListsTest, VolumesOfOneMachine) {
    const json volumes = List("command=listVolumes&virtualmachineid=" + std::string(kWeb01));
    ASSERT_EQ(volumes["count"], 1);
    const json& root = volumes["volume"][0];
    EXPECT_EQ(root["type"], "ROOT");
    EXPECT_EQ(root["vmname"], "web-01");
    EXPECT_EQ(root["virtualmachineid"], kWeb01);
    EXPECT_EQ(root["vmstate"], "Running");
    EXPECT_TRUE(root["size"].is_number_integer());
    EXPECT_EQ(root["name"], "ROOT-14");
}

TEST_F(SimulatorListsTest, VolumesAreScopedToTheAccountLikeMachines) {
    const json own = List("command=listVolumes");
    const json all = List("command=listVolumes&listall=true");
    const json machines = List("command=listVirtualMachines&listall=true");
    std::set<std::string> accounts;
    for (const auto& volume : own["volume"]) accounts.insert(volume["account"].get<std::string>());
    EXPECT_EQ(accounts, std::set<std::string>{"admin"});
    EXPECT_GT(all["count"].get<int>(), own["count"].get<int>());
    EXPECT_GE(all["count"].get<int>(), machines["count"].get<int>());  // a ROOT disk per machine at least
}

TEST_F(SimulatorListsTest, VolumeFiltersByTypeKeywordAndPage) {
    const json data = List("command=listVolumes&type=datadisk");
    ASSERT_GT(data["count"].get<int>(), 0);
    for (const auto& volume : data["volume"]) EXPECT_EQ(volume["type"], "DATADISK");
    EXPECT_EQ(Names(List("command=listVolumes&keyword=ROOT-14"), "volume"), std::set<std::string>{"ROOT-14"});
    const json all = List("command=listVolumes");
    const json second = List("command=listVolumes&page=2&pagesize=3");
    EXPECT_EQ(second["count"], all["count"]);
    ASSERT_EQ(second["volume"].size(), 3u);
    EXPECT_EQ(second["volume"][0], all["volume"][3]);
}

TEST_F(SimulatorListsTest, ServiceOfferingsAreListedAndFiltered) {
    const json offerings = List("command=listServiceOfferings");
    EXPECT_EQ(Names(offerings, "serviceoffering"),
              (std::set<std::string>{"Small Instance", "Medium Instance", "Large Instance", "GPU Instance"}));
    const json large = List("command=listServiceOfferings&name=large");
    ASSERT_EQ(large["count"], 1);
    EXPECT_EQ(large["serviceoffering"][0]["memory"], 8192);
    const std::string id = large["serviceoffering"][0]["id"];
    EXPECT_EQ(List("command=listServiceOfferings&id=" + id)["count"], 1);
    EXPECT_EQ(List("command=listServiceOfferings&keyword=GPU")["serviceoffering"][0]["hosttags"], "gpu");
}

TEST_F(SimulatorListsTest, HostsFilterByClusterAndRefuseAMalformedClusterIdLikeTheServer) {
    const json clusters = List("command=listClusters&name=" + simtest::Encode("Cluster B"));
    ASSERT_EQ(clusters["count"], 1);
    const std::string clusterId = clusters["cluster"][0]["id"];
    EXPECT_EQ(Names(List("command=listHosts&clusterid=" + clusterId), "host"),
              (std::set<std::string>{"kvm-02", "kvm-03"}));
    const Answer refused = client_->Call(admin_, "command=listHosts&clusterid=not-a-uuid");
    EXPECT_EQ(refused.status, 431);
    EXPECT_EQ(refused.text, Fixture("error-431-bad-uuid.json"));
}

TEST_F(SimulatorListsTest, IdOfAnotherAccountsMachineNeedsListAll) {
    const json all = List("command=listVirtualMachines&listall=true&name=" + std::string(kCiRunner));
    ASSERT_EQ(all["count"], 1);
    const std::string id = all["virtualmachine"][0]["id"];
    EXPECT_EQ(client_->Call(admin_, "command=listVirtualMachines&id=" + id).text,
              R"({"listvirtualmachinesresponse":{}})");
    EXPECT_EQ(List("command=listVirtualMachines&listall=true&id=" + id)["virtualmachine"][0]["name"], kCiRunner);
}

TEST_F(SimulatorListsTest, KeywordMatchesDisplayNameOrExactState) {
    EXPECT_EQ(Names(List("command=listVirtualMachines&keyword=canary"), "virtualmachine"),
              std::set<std::string>{"web-03"});
    const json stopped = List("command=listVirtualMachines&keyword=stopped");
    ASSERT_GT(stopped["count"].get<int>(), 0);
    for (const auto& vm : stopped["virtualmachine"]) EXPECT_EQ(vm["state"], "Stopped") << vm["name"];
    EXPECT_EQ(client_->Call(admin_, "command=listVirtualMachines&keyword=stop").text,
              R"({"listvirtualmachinesresponse":{}})");
}

TEST_F(SimulatorListsTest, ZoneAndStateFiltersCombine) {
    const json zones = List("command=listZones&name=us1");
    const std::string us = zones["zone"][0]["id"];
    const json running = List("command=listVirtualMachines&zoneid=" + us + "&state=running");
    ASSERT_GT(running["count"].get<int>(), 0);
    for (const auto& vm : running["virtualmachine"]) {
        EXPECT_EQ(vm["zoneid"], us);
        EXPECT_EQ(vm["state"], "Running");
    }
}

TEST_F(SimulatorListsTest, HostFilterFollowsAMachineThatStopped) {
    const json web01 = List("command=listVirtualMachines&id=" + std::string(kWeb01))["virtualmachine"][0];
    const std::string hostId = web01["hostid"];
    EXPECT_EQ(Names(List("command=listVirtualMachines&hostid=" + hostId), "virtualmachine").count("web-01"), 1u);
    ASSERT_EQ(client_->Call(admin_, "command=stopVirtualMachine&id=" + std::string(kWeb01)).status, 200);
    EXPECT_EQ(Names(List("command=listVirtualMachines&hostid=" + hostId), "virtualmachine").count("web-01"), 0u);
    EXPECT_EQ(List("command=listVolumes&virtualmachineid=" + std::string(kWeb01))["volume"][0]["vmstate"], "Stopped");
}

TEST_F(SimulatorListsTest, UnknownCommandAnswers432ButNewCommandsAreKnown) {
    const Answer unknown = client_->Call(admin_, "command=listFoos");
    EXPECT_EQ(unknown.status, 432);
    EXPECT_EQ(unknown.text, Fixture("error-432-unknown-command.json"));
    for (const char* command : {"listVolumes", "listServiceOfferings", "listCapabilities"}) {
        EXPECT_EQ(client_->Call(admin_, std::string("command=") + command).status, 200) << command;
    }
    EXPECT_EQ(client_->Call(admin_, "command=rebootVirtualMachine").status, 431);  // known, but needs an id
}

// The catalogue describes what the simulator does: every command in it is answered, a parameter marked required
// is one the command refuses to go without, and every other command answers without parameters.
TEST_F(SimulatorListsTest, ListApisDescribesEachCommandItAnswersAndWhatItRequires) {
    const json catalogue = List("command=listApis");
    ASSERT_TRUE(catalogue["api"].is_array()) << catalogue.dump();
    EXPECT_EQ(catalogue["count"], catalogue["api"].size());
    std::set<std::string> names;
    for (const json& api : catalogue["api"]) {
        const std::string name = api["name"];
        SCOPED_TRACE(name);
        names.insert(name);
        EXPECT_TRUE(api["isasync"].is_boolean());
        EXPECT_FALSE(api.value("description", "").empty());
        ASSERT_TRUE(api["params"].is_array());
        std::string required;
        for (const json& parameter : api["params"]) {
            EXPECT_TRUE(parameter["required"].is_boolean() && parameter["type"].is_string()) << parameter.dump();
            if (parameter["required"] == true) required = parameter["name"];
        }
        const Answer bare = client_->Call(admin_, "command=" + name);
        EXPECT_EQ(bare.status, required.empty() ? 200 : 431) << bare.text;
        if (!required.empty()) {
            EXPECT_NE(bare.text.find("missing parameter " + required), std::string::npos) << bare.text;
        }
    }
    for (const char* command : {"listVirtualMachines", "listZones", "startVirtualMachine", "queryAsyncJobResult"})
        EXPECT_EQ(names.count(command), 1u) << command;

    const json one = List("command=listApis&name=listVirtualMachines");
    ASSERT_EQ(one["count"], 1);
    std::set<std::string> parameters;
    for (const json& parameter : one["api"][0]["params"]) parameters.insert(parameter["name"].get<std::string>());
    for (const char* parameter : {"id", "zoneid", "hostid", "state", "name", "keyword", "listall", "page", "pagesize"})
        EXPECT_EQ(parameters.count(parameter), 1u) << parameter;
    EXPECT_EQ(client_->Call(admin_, "command=listApis&name=deployVirtualMachine").status, 431);
}

TEST_F(SimulatorListsTest, SetRecordsServesTheNewRecordsAndTheirIndexes) {
    ASSERT_TRUE(
        simulator_->SetRecords("listVolumes", {cssim::Json{{"id", "11111111-2222-4333-8444-555555555555"},
                                                           {"name", "lab disk"},
                                                           {"virtualmachineid", "v-1"},
                                                           {"account", "admin"},
                                                           {"domainid", "8c682961-f32e-4d08-a61a-6e2fdec2d9d7"}}}));
    EXPECT_EQ(List("command=listVolumes")["count"], 1);
    EXPECT_EQ(List("command=listVolumes&virtualmachineid=v-1")["volume"][0]["name"], "lab disk");
    EXPECT_FALSE(simulator_->SetRecords("listFoos", {}));
}

/// Thousands of machines, generated once per test process.
class SimulatorLargeListTest : public SimulatorListsTest {
protected:
    void Configure(cssim::SimulatorOptions& options) override { options.inventory = simtest::SharedGenerated(2345); }
};

TEST_F(SimulatorLargeListTest, PagesJoinToTheWholeListAndMatchTheRecords) {
    const json whole = List("command=listVirtualMachines&page=1&pagesize=-1");
    ASSERT_EQ(whole["virtualmachine"].size(), 2345u);
    json joined = json::array();
    for (int page = 1; page <= 5; ++page) {
        const json part = List("command=listVirtualMachines&pagesize=500&page=" + std::to_string(page));
        EXPECT_EQ(part["count"], 2345);
        for (const auto& vm : part["virtualmachine"]) joined.push_back(vm);
    }
    EXPECT_EQ(joined, whole["virtualmachine"]);
    // The text kept for each record is the record itself.
    const auto& generated = simtest::SharedGenerated(2345).virtualmachines;
    for (std::size_t i = 0; i < generated.size(); i += 97) {
        EXPECT_EQ(whole["virtualmachine"][i], json::parse(generated[i].dump())) << i;
    }
}

TEST_F(SimulatorLargeListTest, NameFilterWithAndWithoutWildcards) {
    EXPECT_EQ(Names(List("command=listVirtualMachines&name=VM-0234"), "virtualmachine"),
              (std::set<std::string>{"vm-02340", "vm-02341", "vm-02342", "vm-02343", "vm-02344", "vm-02345"}));
    EXPECT_EQ(Names(List("command=listVirtualMachines&name=vm-0_234"), "virtualmachine"),
              (std::set<std::string>{"vm-00234", "vm-01234", "vm-02234"}));
    EXPECT_EQ(Names(List("command=listVirtualMachines&name=vm%25345"), "virtualmachine"),
              (std::set<std::string>{"vm-00345", "vm-01345", "vm-02345"}));
}

}  // namespace
