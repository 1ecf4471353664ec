// End-to-end tests of cloudstack-cli's output: the real executable against a simulator child
// process: tables, JSON with the server's attribute names, CSV, show, and the usage errors,
// help and version that need no server.

#include <sys/stat.h>

#include <cctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "CliHarness.h"

namespace {

using namespace clitest;

// Code points before byte offset @p bytes: the column a terminal shows it in.
std::size_t CodePoints(const std::string& text, std::size_t bytes) {
    std::size_t count = 0;
    for (std::size_t i = 0; i < bytes && i < text.size(); ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) ++count;
    return count;
}

std::string OneDecimal(double value, const char* unit) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.1f%s", value, unit);
    return buffer;
}

class CliOutputTest : public CliTest {
protected:
    // Every record appears on a line of its own that starts with its name, and its id stands in the
    // ID column, counted in characters as a terminal shows them.
    void ExpectTableRows(const RunResult& run, const std::vector<Json>& records) {
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_EQ(run.err, "");
        const std::vector<std::string> lines = Lines(run.out);
        ASSERT_EQ(lines.size(), records.size() + 1) << run.out;
        const std::size_t idHeading = lines[0].rfind("ID");
        ASSERT_NE(idHeading, std::string::npos) << lines[0];
        const std::size_t idColumn = CodePoints(lines[0], idHeading);
        for (const Json& record : records) {
            const std::string name = record["name"];
            const std::string id = record["id"];
            bool found = false;
            for (const std::string& line : lines) {
                if (line.rfind(name + "  ", 0) != 0 || line.find(id) == std::string::npos) continue;
                found = true;
                EXPECT_EQ(CodePoints(line, line.find(id)), idColumn) << "misaligned: " << line;
            }
            EXPECT_TRUE(found) << "no row for " << name << " in\n" << run.out;
        }
    }

    std::string RowOf(const RunResult& run, const std::string& name) {
        for (const std::string& line : Lines(run.out))
            if (line.rfind(name + "  ", 0) == 0) return line;
        ADD_FAILURE() << "no row for " << name << " in\n" << run.out;
        return "";
    }

    // Every member the client printed is the server's member of that name, of the same JSON type.
    // The library's records hold 0 for a number the server left out, and so does the output.
    static void ExpectServerAttributes(const Json& printed, const Json& server) {
        ASSERT_TRUE(printed.is_object()) << printed.dump();
        for (const auto& [key, value] : printed.items()) {
            if (!server.contains(key) && value == 0) continue;
            ASSERT_TRUE(server.contains(key)) << "'" << key << "' is no attribute of " << server.dump();
            EXPECT_EQ(value, server[key]) << key;
            EXPECT_EQ(value.type_name(), std::string(server[key].type_name())) << key;
        }
    }
};

// Names that are not ASCII: alignment has to count characters, not bytes.
class CliNonAsciiInventoryTest : public CliOutputTest {
protected:
    std::vector<std::string> SimulatorArguments() override {
        Json inventory = BuiltInInventory();
        inventory["clusters"][0]["name"] = "Clúster Ñandú ✓";
        inventory["clusters"][1]["zonename"] = "zöne-€u";
        return ServeInventory(inventory);
    }
};

// Names holding what CSV has to quote.
const char* const kOddClusterName = "Cluster, \"GPU\"\nrack 2";
const char* const kOddHostName = "kvm,01";

class CliOddNamesTest : public CliOutputTest {
protected:
    std::vector<std::string> SimulatorArguments() override {
        Json inventory = BuiltInInventory();
        inventory["clusters"][0]["name"] = kOddClusterName;
        inventory["hosts"][0]["name"] = kOddHostName;
        inventory["hosts"][0]["clustername"] = kOddClusterName;
        return ServeInventory(inventory);
    }
};

// Nothing listens on this process's address: a run that wrongly went to the network would fail
// with status 1, not 2.
class CliUsageTest : public CliProcessTest {
protected:
    void ExpectUsageError(const std::vector<std::string>& args, const std::string& mentioned) {
        SCOPED_TRACE(::testing::PrintToString(args));
        const RunResult run = Cli(args);
        EXPECT_EQ(run.status, 2) << run.err;
        EXPECT_EQ(run.out, "");
        ASSERT_EQ(Lines(run.err).size(), 1u) << run.err;
        EXPECT_EQ(run.err.rfind("cloudstack-cli: ", 0), 0u) << run.err;
        EXPECT_TRUE(Contains(run.err, mentioned)) << run.err;
    }
};

// ---------------------------------------------------------------------------------------------
// Tables

TEST_F(CliOutputTest, ZonesTableListsEveryZone) {
    const RunResult run = Cli({"zones"});
    ExpectTableRows(run, BuiltInInventory()["zones"]);
    EXPECT_EQ(Lines(run.out)[0].rfind("NAME", 0), 0u);
}

TEST_F(CliOutputTest, ProjectsTableListsTheAccountsProjectsWithState) {
    const RunResult run = Cli({"projects"});
    const std::vector<Json> projects = OwnedByAdmin(BuiltInInventory()["projects"]);
    ExpectTableRows(run, projects);
    for (const Json& project : projects)
        EXPECT_NE(RowOf(run, project["name"]).find(project["state"].get<std::string>()), std::string::npos);
}

TEST_F(CliOutputTest, PodsTableShowsZoneGatewayAndNetmask) {
    const RunResult run = Cli({"pods"});
    ExpectTableRows(run, BuiltInInventory()["pods"]);
    for (const Json& pod : BuiltInInventory()["pods"]) {
        const std::string row = RowOf(run, pod["name"]);
        EXPECT_NE(row.find(pod["zonename"].get<std::string>()), std::string::npos) << row;
        EXPECT_NE(row.find(pod["gateway"].get<std::string>() + "  " + pod["netmask"].get<std::string>()),
                  std::string::npos)
            << row;
    }
}

TEST_F(CliOutputTest, ClustersTableKeepsANameWithBlanksInItsColumn) {
    const RunResult run = Cli({"clusters"});
    ExpectTableRows(run, BuiltInInventory()["clusters"]);
    bool blankInName = false;
    for (const Json& cluster : BuiltInInventory()["clusters"])
        blankInName = blankInName || cluster["name"].get<std::string>().find(' ') != std::string::npos;
    EXPECT_TRUE(blankInName) << "the built-in inventory no longer has a cluster name with a blank";
}

TEST_F(CliOutputTest, HostsTableShowsCpuAndMemoryInGiB) {
    const RunResult run = Cli({"hosts"});
    ExpectTableRows(run, BuiltInInventory()["hosts"]);
    for (const Json& host : BuiltInInventory()["hosts"]) {
        const std::string row = RowOf(run, host["name"]);
        const double GiB = 1024.0 * 1024.0 * 1024.0;
        const std::string memory = OneDecimal(host.value("memoryused", 0.0) / GiB, " / ") +
                                   OneDecimal(host["memorytotal"].get<double>() / GiB, " GiB");
        EXPECT_NE(row.find(memory), std::string::npos) << row << "\nwants " << memory;
        const std::string cpu =
            std::to_string(host["cpunumber"].get<int>()) + " x " + std::to_string(host["cpuspeed"].get<int>()) + " MHz";
        EXPECT_NE(row.find(cpu), std::string::npos) << row;
        if (host.contains("cpuused")) {
            EXPECT_NE(row.find(host["cpuused"].get<std::string>()), std::string::npos) << row;
        }
    }
}

TEST_F(CliOutputTest, VmsTableShowsHostCpusAndMemoryOfEachMachine) {
    const RunResult run = Cli({"vms"});
    const std::vector<Json> vms = OwnedByAdmin(BuiltInInventory()["virtualmachines"]);
    ExpectTableRows(run, vms);
    for (const Json& vm : vms) {
        const std::string row = RowOf(run, vm["name"]);
        EXPECT_NE(row.find(vm["state"].get<std::string>()), std::string::npos) << row;
        if (vm.contains("hostname")) {
            EXPECT_NE(row.find(vm["hostname"].get<std::string>()), std::string::npos) << row;
        }
        const std::string memory = OneDecimal(vm["memory"].get<double>() / 1024.0, " GiB");
        EXPECT_NE(row.find(" " + memory + "  "), std::string::npos) << row << "\nwants " << memory;
    }
}

TEST_F(CliNonAsciiInventoryTest, ColumnsAlignByCharactersNotBytes) {
    const RunResult run = Cli({"clusters"});
    std::vector<Json> clusters = BuiltInInventory()["clusters"];
    clusters[0]["name"] = "Clúster Ñandú ✓";
    ExpectTableRows(run, clusters);
    // The zone column starts at the same character in every line, also after a non-ASCII name.
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_GE(lines.size(), 3u);
    const std::size_t zoneColumn = CodePoints(lines[0], lines[0].find("ZONE"));
    EXPECT_EQ(CodePoints(lines[1], lines[1].find("zone-")), zoneColumn) << lines[1];
    EXPECT_EQ(CodePoints(lines[2], lines[2].find("zöne-€u")), zoneColumn) << lines[2];
    const std::size_t podColumn = CodePoints(lines[0], lines[0].find("POD"));
    EXPECT_EQ(CodePoints(lines[2], lines[2].find("pod-")), podColumn) << lines[2];
}

// ---------------------------------------------------------------------------------------------
// JSON, CSV and show

TEST_F(CliOutputTest, JsonUsesTheServersAttributeNamesAndKeepsNumbersNumbers) {
    const RunResult hosts = Cli({"hosts", "--json"});
    ASSERT_EQ(hosts.status, 0) << hosts.err;
    const Json printed = Json::parse(hosts.out, nullptr, false);
    ASSERT_TRUE(printed.is_array()) << hosts.out;
    ASSERT_EQ(printed.size(), BuiltInInventory()["hosts"].size());
    bool above32Bits = false;
    for (const Json& expected : BuiltInInventory()["hosts"]) {
        const Json host = ByName(printed, expected["name"]);
        ExpectServerAttributes(host, expected);
        for (const char* key : {"id", "zonename", "clustername", "ipaddress", "cpunumber", "memorytotal"})
            EXPECT_TRUE(host.contains(key)) << key << " missing in " << host.dump();
        ASSERT_TRUE(host["memorytotal"].is_number_unsigned()) << host.dump();
        above32Bits = above32Bits || host["memorytotal"].get<uint64_t>() > (uint64_t{1} << 32);
    }
    EXPECT_TRUE(above32Bits);

    // --output json is the same; a stopped machine has no host, as the server leaves it out.
    const RunResult vms = Cli({"vms", "--output", "json"});
    ASSERT_EQ(vms.status, 0) << vms.err;
    const Json machines = Json::parse(vms.out, nullptr, false);
    ASSERT_TRUE(machines.is_array()) << vms.out;
    for (const Json& expected : OwnedByAdmin(BuiltInInventory()["virtualmachines"])) {
        const Json vm = ByName(machines, expected["name"]);
        ExpectServerAttributes(vm, expected);
        EXPECT_EQ(vm.contains("hostname"), expected.contains("hostname")) << vm.dump();
        EXPECT_TRUE(vm["memory"].is_number_integer()) << vm.dump();
    }
}

TEST_F(CliOutputTest, FieldsChooseTheColumnsOfTableJsonAndCsv) {
    const Json web = Record("virtualmachines", FirstRunningMachine());
    RunResult run = Cli({"vms", "--fields", "name,memory,hostname"});
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(lines.size(), OwnedByAdmin(BuiltInInventory()["virtualmachines"]).size() + 1);
    EXPECT_EQ(lines[0].substr(0, 4), "NAME");
    EXPECT_TRUE(Contains(lines[0], "MEMORY") && Contains(lines[0], "HOSTNAME")) << lines[0];
    EXPECT_FALSE(Contains(lines[0], "ID")) << lines[0];
    bool found = false;
    for (const std::string& line : lines)
        found = found || (line.rfind(web["name"].get<std::string>() + " ", 0) == 0 &&
                          Contains(line, std::to_string(web["memory"].get<int>())) &&
                          Contains(line, web["hostname"].get<std::string>()));
    EXPECT_TRUE(found) << run.out;

    run = Cli({"vms", "--json", "--fields", "memory,name"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Json vm = ByName(Json::parse(run.out, nullptr, false), web["name"]);
    EXPECT_EQ(vm, (Json{{"memory", web["memory"]}, {"name", web["name"]}})) << run.out;
    EXPECT_EQ(vm.begin().key(), "memory") << "the order asked for";

    run = Cli({"zones", "--output", "csv", "--fields", "id,name"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<std::vector<std::string>> rows = ParseCsv(run.out);
    ASSERT_EQ(rows.size(), BuiltInInventory()["zones"].size() + 1) << run.out;
    EXPECT_EQ(rows[0], (std::vector<std::string>{"id", "name"}));
    EXPECT_EQ(rows[1],
              (std::vector<std::string>{BuiltInInventory()["zones"][0]["id"], BuiltInInventory()["zones"][0]["name"]}));
}

TEST_F(CliOddNamesTest, CsvQuotesCommasQuotesAndLineBreaks) {
    // Cells as the server sent them: quoting alone keeps the line break inside its cell.
    RunResult run = Cli({"clusters", "--output", "csv", "--csv-raw"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Contains(run.out, "\"Cluster, \"\"GPU\"\"\nrack 2\"")) << run.out;
    std::vector<std::vector<std::string>> rows = ParseCsv(run.out);
    ASSERT_EQ(rows.size(), BuiltInInventory()["clusters"].size() + 1) << run.out;
    EXPECT_EQ(rows[0][0], "name");
    EXPECT_EQ(rows[0][1], "id");
    EXPECT_EQ(rows[1][0], kOddClusterName);
    EXPECT_EQ(rows[1][1], BuiltInInventory()["clusters"][0]["id"]);
    for (const auto& row : rows) EXPECT_EQ(row.size(), rows[0].size());

    // Numbers without units; the header names the server's attributes; the line break shows as an escape.
    run = Cli({"hosts", "--output", "csv"});
    ASSERT_EQ(run.status, 0) << run.err;
    rows = ParseCsv(run.out);
    ASSERT_EQ(rows.size(), BuiltInInventory()["hosts"].size() + 1) << run.out;
    std::map<std::string, std::string> host;
    for (std::size_t i = 0; i < rows[0].size(); ++i) host[rows[0][i]] = rows[1][i];
    const Json& expected = BuiltInInventory()["hosts"][0];
    EXPECT_EQ(host["name"], kOddHostName);
    EXPECT_EQ(host["clustername"], "Cluster, \"GPU\"\\x0arack 2");
    EXPECT_EQ(host["memorytotal"], std::to_string(expected["memorytotal"].get<uint64_t>()));
    EXPECT_EQ(host["cpuused"], expected["cpuused"]);

    // A table keeps one line per record: the line break shows as an escape.
    run = Cli({"clusters"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Lines(run.out).size(), BuiltInInventory()["clusters"].size() + 1) << run.out;
    EXPECT_TRUE(Contains(run.out, "Cluster, \"GPU\"\\x0arack 2")) << run.out;
}

TEST_F(CliOutputTest, ShowHostByNamePrintsOneLabelledLinePerField) {
    const Json expected = BuiltInInventory()["hosts"][2];
    const std::string name = expected["name"];
    std::string upper = name;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

    const RunResult run = Cli({"show", "host", "--name", upper});
    ASSERT_EQ(run.status, 0) << run.err;
    std::map<std::string, std::string> fields = ShownFields(run.out);
    EXPECT_EQ(fields.size(), 21u) << run.out;
    EXPECT_EQ(fields["Name"], name);
    EXPECT_EQ(fields["Id"], expected["id"]);
    EXPECT_EQ(fields["Cluster name"], expected["clustername"]);
    EXPECT_EQ(fields["Memory total"].rfind(std::to_string(expected["memorytotal"].get<uint64_t>()) + " bytes", 0), 0u)
        << fields["Memory total"];
}

TEST_F(CliOutputTest, ShowClusterByIdAsJsonOrCsvPrintsOneRecord) {
    const Json expected = BuiltInInventory()["clusters"][1];
    RunResult run = Cli({"show", "cluster", "--id", expected["id"], "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Json cluster = Json::parse(run.out, nullptr, false);
    ExpectServerAttributes(cluster, expected);
    EXPECT_EQ(cluster["podname"], expected["podname"]);

    run = Cli({"show", "cluster", "--id", expected["id"], "--output", "csv"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::vector<std::vector<std::string>> rows = ParseCsv(run.out);
    ASSERT_EQ(rows.size(), 2u) << run.out;
    EXPECT_EQ(rows[0][0], "name");
    EXPECT_EQ(rows[1][0], expected["name"]);
}

TEST_F(CliOutputTest, InsecureWarnsOnStandardError) {
    const RunResult run = Cli({"zones", "--insecure"});
    EXPECT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(Lines(run.err).size(), 1u) << run.err;
    EXPECT_EQ(run.err.rfind("cloudstack-cli: warning: --insecure", 0), 0u) << run.err;
    EXPECT_TRUE(Contains(run.out, BuiltInInventory()["zones"][0]["name"])) << run.out;
}

TEST_F(CliOutputTest, TextOutputIsOneNameEqualsValueLinePerAttribute) {
    const Json& zones = BuiltInInventory()["zones"];
    const RunResult run = Cli({"list", "zones", "-o", "text", "filter=name,id"});
    ASSERT_EQ(run.status, 0) << run.err;
    std::string expected;
    for (const Json& zone : zones)
        expected += std::string(expected.empty() ? "" : "\n") + "name = " + zone["name"].get<std::string>() +
                    "\nid = " + zone["id"].get<std::string>() + "\n";
    EXPECT_EQ(run.out, expected);
}

// ---------------------------------------------------------------------------------------------
// The server's answer as received, the server's catalogue, completion

// Pages of three: every list of the demo cloud but the zones takes several.
class CliPagedTest : public CliOutputTest {
protected:
    std::vector<std::string> SimulatorArguments() override { return {"--page-size", "3"}; }
};

TEST_F(CliPagedTest, RawIsTheServersShapeWithEveryPageOrTheOnePageAskedFor) {
    const Json& machines = BuiltInInventory()["virtualmachines"];
    RunResult run = Cli({"list", "virtualmachines", "--raw", "listall=true"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Json all = Json::parse(run.out, nullptr, false);
    ASSERT_TRUE(all.is_object() && all.size() == 2) << run.out;
    EXPECT_EQ(all["count"], machines.size());
    ASSERT_EQ(all["virtualmachine"].size(), machines.size()) << run.out;
    for (const Json& machine : machines) EXPECT_EQ(ByName(all["virtualmachine"], machine["name"]), machine);

    // page= and pagesize= ask for one page: as received, count the total; without --raw its items.
    run = Cli({"api", "listVirtualMachines", "--raw", "listall=true", "page=2", "pagesize=3"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Json page = Json::parse(run.out, nullptr, false);
    ASSERT_TRUE(page.is_object()) << run.out;
    EXPECT_EQ(page["count"], machines.size());
    ASSERT_EQ(page["virtualmachine"].size(), 3u) << run.out;
    EXPECT_EQ(page["virtualmachine"][0], all["virtualmachine"][3]);
    run = Cli({"api", "listVirtualMachines", "listall=true", "page=2", "pagesize=3"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Json::parse(run.out, nullptr, false), page["virtualmachine"]);

    // filter= keeps those attributes of the records, in the server's shape.
    run = Cli({"list", "zones", "--raw", "filter=name"});
    ASSERT_EQ(run.status, 0) << run.err;
    Json names = Json::array();
    for (const Json& zone : BuiltInInventory()["zones"]) names.push_back(Json{{"name", zone["name"]}});
    EXPECT_EQ(Json::parse(run.out, nullptr, false), (Json{{"count", names.size()}, {"zone", names}})) << run.out;
}

// Every test starts without a cached catalogue.
class CliCatalogueTest : public CliOutputTest {
protected:
    void SetUp() override {
        std::filesystem::remove_all(CacheDirectory());
        CliOutputTest::SetUp();
    }
    void TearDown() override {
        CliOutputTest::TearDown();
        std::filesystem::remove_all(CacheDirectory());
    }

    void Sync() {
        const RunResult run = Cli({"sync"});
        EXPECT_EQ(run.status, 0) << run.err;
        EXPECT_TRUE(Contains(run.out, "(version 4.20.1.0) cached in " + CacheDirectory() + "/cloudstack-cli/"))
            << run.out;
    }

    // The one file sync wrote.
    static std::string CatalogueFile() {
        std::vector<std::string> files;
        for (const auto& entry : std::filesystem::directory_iterator(CacheDirectory() + "/cloudstack-cli"))
            files.push_back(entry.path());
        EXPECT_EQ(files.size(), 1u);
        return files.empty() ? "" : files.front();
    }
};

TEST_F(CliCatalogueTest, SyncGivesHelpAndChecksThatNoCheckTurnsOff) {
    RunResult run = Cli({"api", "startVirtualMachine", "--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(Contains(run.out, "'cloudstack-cli sync'")) << run.out;
    run = Cli({"start", "virtualmachine"});
    EXPECT_EQ(run.status, 1) << "without a catalogue the server judges: " << run.err;

    Sync();
    struct stat info {};
    ASSERT_EQ(stat(CatalogueFile().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(stat((CacheDirectory() + "/cloudstack-cli").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    // Help is the server's own description; both grammars name the same command.
    for (const std::vector<std::string>& args :
         {std::vector<std::string>{"api", "startVirtualMachine", "--help"}, {"start", "virtualmachine", "--help"}}) {
        run = Cli(args);
        EXPECT_EQ(run.status, 0);
        EXPECT_TRUE(Contains(run.out, "Starts a virtual machine.")) << run.out;
        bool idLine = false;
        for (const std::string& line : Lines(run.out))
            idLine = idLine || (line.rfind("  id ", 0) == 0 && Contains(line, "uuid") && Contains(line, "required"));
        EXPECT_TRUE(idLine) << run.out;
    }

    // A required parameter missing: refused before anything is sent (the server's 431 would exit 1).
    run = Cli({"start", "virtualmachine"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    ASSERT_EQ(Lines(run.err).size(), 1u) << run.err;
    EXPECT_TRUE(Contains(run.err, "startVirtualMachine needs the parameter id")) << run.err;
    run = Cli({"start", "virtualmachine", "--no-check"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Contains(run.err, "the server refused (431)")) << run.err;

    // A parameter the command does not have: one warning, and the call goes on.
    run = Cli({"api", "listZones", "colour=blue"});
    EXPECT_EQ(run.status, 0) << run.err;
    ASSERT_EQ(Lines(run.err).size(), 1u) << run.err;
    EXPECT_EQ(run.err.rfind("cloudstack-cli: warning: listZones has no parameter colour", 0), 0u) << run.err;
    EXPECT_EQ(Json::parse(run.out, nullptr, false).size(), BuiltInInventory()["zones"].size()) << run.out;
    run = Cli({"api", "listZones", "colour=blue", "--no-check"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.err, "");

    // A name the catalogue knows only in another letter case.
    run = Cli({"api", "listzones"});
    EXPECT_EQ(run.status, 1);
    EXPECT_TRUE(Contains(Lines(run.err)[0], "did you mean listZones?")) << run.err;
}

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
    const std::size_t at = text.find(from);
    EXPECT_NE(at, std::string::npos) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

// One command a line, side by side; one JSON line for each, in the file's order.
TEST_F(CliCatalogueTest, BatchSendsEveryLineAndPrintsOneJsonLineForEach) {
    const std::string machine = FirstRunningMachine();
    const std::string file =
        WriteFile("batch.txt",
                  "# the morning round\n"
                  "\n"
                  "listZones name=zone-eu1\n"
                  "   rebootVirtualMachine id=no-such-id\r\n"
                  "stopVirtualMachine 'id=" +
                      Record("virtualmachines", machine)["id"].get<std::string>() + "' \"displayname=a \\\"b\\\"\"\n");
    RunResult run = Cli({"api", "--batch", file, "--concurrency", "2"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "cloudstack-cli: --batch: 1 of 3 commands failed\n");
    const std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(lines.size(), 3u) << run.out;
    std::vector<Json> results;
    for (const std::string& line : lines) results.push_back(Json::parse(line, nullptr, false));
    EXPECT_EQ(results[0]["line"], 3);
    EXPECT_EQ(results[0]["command"], "listZones");
    EXPECT_EQ(results[0]["ok"], true);
    EXPECT_EQ(results[0]["result"]["count"], 1) << lines[0];
    EXPECT_EQ(results[1]["line"], 4);
    EXPECT_EQ(results[1]["ok"], false);
    EXPECT_EQ(results[1]["error"]["code"], 431) << lines[1];
    EXPECT_EQ(results[2]["line"], 5);
    EXPECT_EQ(results[2]["ok"], true);
    EXPECT_EQ(results[2]["result"]["virtualmachine"]["state"], "Stopped") << lines[2];
    for (const Json& result : results) EXPECT_TRUE(result["seconds"].is_number()) << result.dump();

    // After sync, a line that lacks a parameter its command requires stops the batch before anything is sent.
    Sync();
    const std::string refused = WriteFile(
        "refused.txt", "startVirtualMachine id=" + Record("virtualmachines", machine)["id"].get<std::string>() +
                           "\nstartVirtualMachine\n");
    run = Cli({"api", "--batch", refused});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(Contains(run.err, "cloudstack-cli: --batch line 2: startVirtualMachine needs the parameter id"))
        << run.err;
    EXPECT_EQ(ByName(Json::parse(Cli({"vms", "--json"}).out), machine)["state"], "Stopped") << "nothing was sent";

    run = Cli({"api", "--batch", WriteFile("open.txt", "listZones name='zone\n")});
    EXPECT_EQ(run.status, 2);
    EXPECT_TRUE(Contains(run.err, "--batch line 1: a quote is not closed")) << run.err;
}

TEST_F(CliCatalogueTest, BrokenOrHostileCacheIsIgnoredWithOneWarning) {
    Sync();
    const std::string file = CatalogueFile();
    std::ostringstream read;
    read << std::ifstream(file, std::ios::binary).rdbuf();
    const std::string good = read.str();
    const struct {
        const char* what;
        std::string content;
    } cases[] = {
        {"no JSON", "catalogue"},
        {"cut short", good.substr(0, good.size() / 2)},
        {"a command name that moves the cursor",
         Replaced(good, R"("name":"startVirtualMachine")", R"("name":"start\u001b[2JVirtualMachine")")},
        {"a parameter name a shell would run", Replaced(good, R"("name":"id")", R"j("name":"$(touch x)")j")},
        {"nested a million deep", std::string(1000000, '[')},
        {"another server's", Replaced(good, R"("endpoint":"http://)", R"("endpoint":"http://elsewhere.)")},
    };
    for (const auto& broken : cases) {
        SCOPED_TRACE(broken.what);
        std::ofstream(file, std::ios::binary | std::ios::trunc) << broken.content;
        // Without the catalogue the call is sent, and the server refuses it.
        const RunResult run = Cli({"start", "virtualmachine"});
        EXPECT_EQ(run.status, 1) << run.err;
        const std::vector<std::string> lines = Lines(run.err);
        ASSERT_EQ(lines.size(), 2u) << run.err;
        EXPECT_EQ(lines[0].rfind("cloudstack-cli: warning: ignoring the cached catalogue", 0), 0u) << run.err;
        EXPECT_TRUE(Contains(lines[1], "the server refused (431)")) << run.err;
    }
}

TEST_F(CliCatalogueTest, BashCompletionOffersTheCachedCatalogueCommandsAndParameters) {
    const std::string script = WriteFile("completion.bash", Cli({"completion", "bash"}).out);
    // COMP_WORDS as bash splits a line, with '=' a word of its own; the last word is the one to complete.
    const auto complete = [&](const std::vector<std::string>& words) {
        std::string commands = "source '" + script + "' && COMP_WORDS=('" + kCli + "'";
        for (const std::string& word : words) commands += " '" + word + "'";
        commands += ") && COMP_CWORD=" + std::to_string(words.size()) +
                    " && _cloudstack_cli && printf '%s\\n' \"${COMPREPLY[@]}\"";
        Launch launch;
        launch.argv = {"/bin/bash", "--norc", "--noprofile", "-c", commands};
        launch.env = DefaultEnvironment();
        launch.env["HOME"] = EmptyDirectory();
        launch.env["XDG_CACHE_HOME"] = CacheDirectory();
        const RunResult run = RunProgram(launch);
        EXPECT_EQ(run.status, 0) << run.err;
        std::vector<std::string> candidates;
        for (const std::string& line : Lines(run.out))
            if (!line.empty()) candidates.push_back(line);
        return candidates;
    };
    using Words = std::vector<std::string>;
    EXPECT_EQ(complete({"api", "listVirt"}), Words{}) << "no catalogue yet";
    EXPECT_EQ(complete({"sta"}), Words{"start"});

    Sync();
    const struct {
        Words typed;
        Words offered;
    } cases[] = {
        {{"api", "listVirt"}, {"listVirtualMachines"}},
        {{"reb"}, {"reboot"}},
        {{"list", "virtualm"}, {"virtualmachines"}},
        {{"list", "virtualmachines", "sta"}, {"state="}},
        {{"start", "virtualmachine", ""}, {"filter=", "id="}},
        {{"start", "virtualmachine", "id", "=", "x", ""}, {"filter="}},
        {{"list", "virtualmachines", "state", "=", "Ru"}, {}},
        {{"list", "virtualmachines", "--ou"}, {"--output"}},
    };
    for (const auto& row : cases) EXPECT_EQ(complete(row.typed), row.offered) << ::testing::PrintToString(row.typed);
}

// ---------------------------------------------------------------------------------------------
// Usage, help and version: no server

TEST_F(CliUsageTest, UsageErrorsExitTwoWithOneLine) {
    ExpectUsageError({"reboot"}, "unknown command 'reboot'");
    ExpectUsageError({"zones", "--colour"}, "unknown option '--colour'");
    ExpectUsageError({}, "no command");
    ExpectUsageError({"show", "vm"}, "--name NAME or --id ID");
    ExpectUsageError({"stop", "--name", "web-01", "--state", "Running"}, "not both");
    ExpectUsageError({"stop"}, "stop needs --name NAME or --id ID (any number of them), or filters");
    ExpectUsageError({"stop", "--pod", "pod-a"}, "--pod does not apply to stop");
    ExpectUsageError({"show", "vm", "--name", "web-01", "--name", "web-02"}, "show takes one --name or --id");
    ExpectUsageError({"stop", "--name", "web-01", "--name", "web-02", "--no-wait"}, "--no-wait takes one machine");
    ExpectUsageError({"stop", "--state", "Running", "--no-wait"}, "--no-wait takes one machine");
    ExpectUsageError({"zones", "--yes"}, "--yes applies to start, stop and api --batch");
    for (const char* count : {"0", "65", "2.5", "many"})
        ExpectUsageError({"stop", "--state", "Running", "--concurrency", count}, "--concurrency takes a whole number");
    ExpectUsageError({"vms", "--batch", "commands.txt"}, "--batch applies to api");
    ExpectUsageError({"api", "listZones", "--batch", "commands.txt"}, "give no COMMAND");
    ExpectUsageError({"api", "--batch", "/nonexistent/commands.txt"},
                     "--batch: cannot read '/nonexistent/commands.txt'");
    ExpectUsageError({"show", "pod", "--name", "pod-a"}, "cluster, host or vm");
    ExpectUsageError({"zones", "--name", "x"}, "--name does not apply");
    ExpectUsageError({"start", "--name"}, "--name needs a value");
    ExpectUsageError({"vms", "--output", "yaml"}, "table, json or csv");
    ExpectUsageError({"vms", "--output", "csv", "--json"}, "contradicts");
    ExpectUsageError({"stop", "--name", "web-01", "--output", "csv"}, "stop prints a table or JSON");
    ExpectUsageError({"wait", "17164", "--yes"}, "--yes applies to");
    ExpectUsageError({"zones", "--state", "Enabled"}, "--state does not apply to zones");
    ExpectUsageError({"vms", "--cluster", "cluster1"}, "--cluster does not apply to vms");
    ExpectUsageError({"hosts", "--all"}, "--all does not apply to hosts");
    ExpectUsageError({"show", "host", "--name", "kvm-01", "--all"}, "--all does not apply to show host");
    ExpectUsageError({"vms", "--no-wait"}, "--no-wait does not apply to vms");
    ExpectUsageError({"stop", "--name", "web-01", "--no-wait", "--timeout", "5"}, "--no-wait excludes");
    ExpectUsageError({"stop", "--name", "web-01", "--poll", "0"}, "--poll takes");
    ExpectUsageError({"stop", "--name", "web-01", "--timeout", "soon"}, "--timeout takes");
    ExpectUsageError({"vms", "--fields", "name,,id"}, "--fields takes");
    ExpectUsageError({"show", "vm", "--name", "web-01", "--fields", "name"}, "--fields does not apply");
    ExpectUsageError({"api"}, "api needs a command name");
    ExpectUsageError({"api", "listZones", "name"}, "NAME=VALUE");
    ExpectUsageError({"api", "listZones", "=x"}, "NAME=VALUE");
    ExpectUsageError({"vms", "--raw"}, "--raw does not apply to vms");
    ExpectUsageError({"list", "zones", "--raw", "-o", "table"}, "--raw prints the server's JSON");
    ExpectUsageError({"list", "zones", "filter=name", "--fields", "id"}, "give one");
    ExpectUsageError({"list", "zones", "filter=name,"}, "filter= takes");
    ExpectUsageError({"completion"}, "bash or zsh");
    ExpectUsageError({"completion", "fish"}, "not 'fish'");
    ExpectUsageError({"vms", "--csv-raw"}, "--csv-raw applies only to --output csv");
    ExpectUsageError({"api", "listZones", "--json", "--csv-raw"}, "--csv-raw applies only to --output csv");
    ExpectUsageError({"wait"}, "wait needs the id of a job");
    ExpectUsageError({"wait", "17164", "--no-wait"}, "--no-wait does not apply to wait");
    ExpectUsageError({"wait", "17164", "extra"}, "unexpected argument 'extra'");
}

TEST_F(CliUsageTest, SecretsOnTheCommandLineAreRefusedWithoutRepeatingThem) {
    ExpectUsageError({"zones", "--password", "s3cret"}, "process list");
    ExpectUsageError({"zones", "--secret-key", "s3cret"}, "process list");
    const RunResult run = Cli({"--password=s3cret", "zones"});
    EXPECT_EQ(run.status, 2);
    EXPECT_FALSE(Contains(run.err, "s3cret")) << "the refusal repeats the password: " << run.err;
}

TEST_F(CliUsageTest, NoPasswordSourceWithoutTerminalExitsTwo) {
    const RunResult run = CliWith({{"CLOUDSTACK_SERVER", address_}}, {"zones"});
    EXPECT_EQ(run.status, 2);
    ASSERT_EQ(Lines(run.err).size(), 1u) << run.err;
    EXPECT_TRUE(Contains(run.err, "CLOUDSTACK_PASSWORD")) << run.err;
    EXPECT_TRUE(Contains(run.err, "--password-file")) << run.err;
}

TEST_F(CliUsageTest, HelpVersionAndCommandHelpExitZero) {
    RunResult run = Cli({"--help"});
    EXPECT_EQ(run.status, 0);
    for (const char* command :
         {"projects", "zones", "pods", "clusters", "hosts", "vms", "show", "start", "stop", "wait", "api"})
        EXPECT_TRUE(Contains(run.out, command)) << command;
    // The order of precedence is documented where a user looks for it.
    EXPECT_TRUE(Contains(run.out, "the command line; the environment")) << run.out;
    for (const char* name :
         {"CLOUDSTACK_API_KEY", "CLOUDSTACK_SECRET", "CLOUDSTACK_ENDPOINT", "cloudstack.ini", "--region", "--ca-file",
          "--insecure", "--domain", "--csv-raw", "chmod 600", "--proxy", "--cert-key", "no_proxy", "verify = false"})
        EXPECT_TRUE(Contains(run.out, name)) << name;

    run = Cli({"stop", "--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind("Usage: cloudstack-cli stop", 0), 0u) << run.out;
    for (const char* option : {"--id ID", "--no-wait", "--poll", "--timeout"})
        EXPECT_TRUE(Contains(run.out, option)) << option;

    run = Cli({"wait", "--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind("Usage: cloudstack-cli wait JOBID", 0), 0u) << run.out;
    for (const char* option : {"--poll", "--timeout", "--output"}) EXPECT_TRUE(Contains(run.out, option)) << option;

    run = Cli({"help", "api"});
    EXPECT_EQ(run.status, 0);
    EXPECT_TRUE(Contains(run.out, "cloudstack-cli api listVirtualMachines state=Running")) << run.out;
    for (const char* help : {"vms", "show", "api"}) {
        run = Cli({help, "--help"});
        EXPECT_TRUE(Contains(run.out, "  --csv-raw ")) << help << ":\n" << run.out;
    }

    run = Cli({"--version"});
    EXPECT_EQ(run.status, 0);
    ASSERT_EQ(Lines(run.out).size(), 1u) << run.out;
    EXPECT_EQ(run.out.rfind("cloudstack-cli ", 0), 0u) << run.out;
    EXPECT_TRUE(std::isdigit(static_cast<unsigned char>(run.out[std::string("cloudstack-cli ").size()]))) << run.out;
}

}  // namespace
