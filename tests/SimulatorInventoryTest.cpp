#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>

#include "Inventory.h"
#include "MachineGenerator.h"
#include "Replies.h"
#include "SimulatorTestHelpers.h"

namespace {

using simtest::json;

class SimulatorInventoryTest : public ::testing::Test {};

TEST_F(SimulatorInventoryTest, DumpedInventoryLoadsBackUnchanged) {
    const cssim::Inventory builtIn = cssim::Inventory::BuiltIn();
    cssim::Inventory loaded;
    std::string error;
    ASSERT_TRUE(cssim::Inventory::FromJson(builtIn.ToJson().dump(2), loaded, error)) << error;
    EXPECT_EQ(loaded.ToJson(), builtIn.ToJson());
}

TEST_F(SimulatorInventoryTest, LoadRejectsRecordWithoutId) {
    cssim::Inventory loaded;
    std::string error;
    EXPECT_FALSE(cssim::Inventory::FromJson(R"({"zones":[{"name":"x"}]})", loaded, error));
    EXPECT_NE(error.find("zones"), std::string::npos);
    EXPECT_FALSE(cssim::Inventory::FromJson(R"({"hosts":{}})", loaded, error));
    EXPECT_FALSE(cssim::Inventory::FromJson(R"({"virtualmachines":[{"id":"a","name":"b"}]})", loaded, error));
}

TEST_F(SimulatorInventoryTest, BuiltInRecordsReferToEachOther) {
    const cssim::Inventory inventory = cssim::Inventory::BuiltIn();
    std::set<std::string> hostIds;
    std::set<std::string> ids;
    for (const auto& host : inventory.hosts) hostIds.insert(host["id"].get<std::string>());
    for (const auto* records : {&inventory.zones, &inventory.pods, &inventory.clusters, &inventory.hosts,
                                &inventory.virtualmachines, &inventory.projects}) {
        for (const auto& record : *records) EXPECT_TRUE(ids.insert(record["id"].get<std::string>()).second);
    }
    for (const auto& vm : inventory.virtualmachines) {
        const bool running = vm["state"] == "Running";
        EXPECT_EQ(vm.contains("hostid"), running) << vm["name"];
        if (running) {
            EXPECT_EQ(hostIds.count(vm["hostid"].get<std::string>()), 1u) << vm["name"];
        }
    }
}

TEST_F(SimulatorInventoryTest, GeneratedMachinesHaveUniqueNamesAndIds) {
    const cssim::Inventory& inventory = simtest::SharedGenerated(1234);
    ASSERT_EQ(inventory.virtualmachines.size(), 1234u);
    std::set<std::string> names;
    std::set<std::string> ids;
    for (const auto& vm : inventory.virtualmachines) {
        names.insert(vm["name"].get<std::string>());
        ids.insert(vm["id"].get<std::string>());
    }
    EXPECT_EQ(names.size(), 1234u);
    EXPECT_EQ(ids.size(), 1234u);
    EXPECT_EQ(inventory.virtualmachines.front()["name"], "vm-00001");
}

TEST_F(SimulatorInventoryTest, BuiltInVolumesAreThoseOfItsMachines) {
    const cssim::Inventory inventory = cssim::Inventory::BuiltIn();
    std::vector<cssim::Json> expected;
    for (const auto& vm : inventory.virtualmachines) {
        for (auto& volume : cssim::MachineVolumes(vm)) expected.push_back(std::move(volume));
    }
    EXPECT_EQ(inventory.volumes, expected);
}

TEST_F(SimulatorInventoryTest, BuiltInUsersDomainsAndOfferingsAreConsistent) {
    const cssim::Inventory inventory = cssim::Inventory::BuiltIn();
    std::map<std::string, std::string> domainPaths;
    for (const auto& domain : inventory.domains) domainPaths[domain["id"]] = domain["path"];
    ASSERT_EQ(inventory.domains.front()["path"], "ROOT");
    std::set<std::string> offerings;
    for (const auto& offering : inventory.serviceofferings) offerings.insert(offering["id"].get<std::string>());
    std::set<std::string> accounts;
    for (const auto& user : inventory.users) {
        EXPECT_EQ(domainPaths.count(user["domainid"]), 1u) << user["username"];
        accounts.insert(user["account"].get<std::string>());
    }
    for (const auto& vm : inventory.virtualmachines) {
        EXPECT_EQ(offerings.count(vm["serviceofferingid"]), 1u) << vm["name"];
        EXPECT_EQ(accounts.count(vm["account"]), 1u) << vm["name"];
        EXPECT_EQ(domainPaths[vm["domainid"]], vm["domainpath"]) << vm["name"];
    }
}

TEST_F(SimulatorInventoryTest, GeneratedMachinesHaveTheShapeOfRealOnes) {
    const cssim::Inventory& inventory = simtest::SharedGenerated(1234);
    std::set<std::string> upHosts;
    for (const auto& host : inventory.hosts) {
        if (host["state"] == "Up") upHosts.insert(host["id"].get<std::string>());
    }
    int secondNics = 0;
    int tagged = 0;
    int nonAscii = 0;
    for (const auto& vm : inventory.virtualmachines) {
        const std::string name = vm["name"];
        const bool running = vm["state"] == "Running";
        EXPECT_EQ(vm.contains("hostid"), running) << name;
        if (running) {
            EXPECT_EQ(upHosts.count(vm["hostid"]), 1u) << name;
        }
        int defaults = 0;
        for (const auto& nic : vm["nic"]) defaults += nic["isdefault"].get<bool>() ? 1 : 0;
        EXPECT_EQ(defaults, 1) << name;
        secondNics += vm["nic"].size() == 2 ? 1 : 0;
        for (const auto& tag : vm["tags"]) EXPECT_EQ(tag["resourceid"], vm["id"]) << name;
        tagged += vm["tags"].empty() ? 0 : 1;
        const std::string display = vm["displayname"];
        for (const char c : display) {
            if (static_cast<unsigned char>(c) >= 0x80) {
                ++nonAscii;
                break;
            }
        }
        // Valid UTF-8 survives a strict round trip.
        EXPECT_EQ(json::parse(vm.dump())["displayname"], display);
    }
    EXPECT_EQ(secondNics, 1234 / 4);
    EXPECT_GT(tagged, 1234 / 2);
    EXPECT_GT(nonAscii, 1234 / 4);
}

TEST_F(SimulatorInventoryTest, GeneratorGivesTheSameMachinesForTheSameArguments) {
    const cssim::Inventory infrastructure = cssim::Inventory::BuiltIn();
    const auto twenty = cssim::GenerateMachines(20, infrastructure);
    EXPECT_EQ(cssim::GenerateMachines(20, infrastructure), twenty);
    const auto later = cssim::GenerateMachines(10, infrastructure, 11);
    ASSERT_EQ(later.size(), 10u);
    EXPECT_EQ(later.front(), twenty[10]);
    EXPECT_EQ(later.front()["name"], "vm-00011");
}

TEST_F(SimulatorInventoryTest, DataDisksOnlyForLargerMachines) {
    for (const auto& vm : simtest::SharedGenerated(1234).virtualmachines) {
        const auto volumes = cssim::MachineVolumes(vm);
        EXPECT_EQ(volumes.size(), vm["memory"].get<int>() >= 4096 ? 2u : 1u) << vm["name"];
        EXPECT_EQ(volumes.front()["type"], "ROOT");
        EXPECT_EQ(volumes.front()["vmstate"], vm["state"]);
    }
}

TEST_F(SimulatorInventoryTest, ListBodiesHaveTheServersShapes) {
    EXPECT_EQ(cssim::ListBody("listzonesresponse", "zone", {}, 0), R"({"listzonesresponse":{}})");
    EXPECT_EQ(cssim::ListBody("listpodsresponse", "pod", {}, 7), R"({"listpodsresponse":{"count":7}})");
    EXPECT_EQ(cssim::ListBody("listpodsresponse", "pod", {R"({"id":"a"})", R"({"id":"b"})"}, 9),
              R"({"listpodsresponse":{"count":9,"pod":[{"id":"a"},{"id":"b"}]}})");
    const json body = json::parse(cssim::GeneratedMachineListBody(300));
    EXPECT_EQ(body["listvirtualmachinesresponse"]["count"], 300);
    ASSERT_EQ(body["listvirtualmachinesresponse"]["virtualmachine"].size(), 300u);
    EXPECT_EQ(body["listvirtualmachinesresponse"]["virtualmachine"][299]["name"], "vm-00300");
}

}  // namespace
