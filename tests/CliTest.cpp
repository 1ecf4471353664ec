// End-to-end tests of cloudstack-cli: the real executable against the real simulator (or the
// scripted test server for faults the simulator does not produce), each in a process of its own.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackAddress.h"
#include "TestServer.h"

extern char** environ;

namespace {

using Json = nlohmann::json;

const char* const kCli = CLOUDSTACK_CLI_PATH;
const char* const kSimulator = CLOUDSTACK_SIM_PATH;

// ---------------------------------------------------------------------------------------------
// Running a program

struct RunResult {
    int status = -1;       // exit status; -1 when it did not exit normally
    std::string out;       // standard output
    std::string err;       // standard error (when it went to a pipe)
    std::string terminal;  // what the program wrote to its terminal, when it had one
};

struct Launch {
    std::vector<std::string> argv;
    std::map<std::string, std::string> env;  // CLOUDSTACK_* variables; the rest comes from this process
    bool withTerminal = false;               // a pseudo-terminal becomes the controlling terminal
    bool stderrToTerminal = false;           // standard error goes to that terminal
    std::string typeAfter;                   // once the terminal shows this text ...
    std::string typed;                       // ... this is typed on it
};

std::vector<std::string> Environment(const std::map<std::string, std::string>& overrides) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string variable = *entry;
        if (variable.rfind("CLOUDSTACK_", 0) != 0) env.push_back(variable);
    }
    for (const auto& [name, value] : overrides) env.push_back(name + "=" + value);
    return env;
}

std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Every child starts a session of its own, so it has no controlling terminal unless the test
// gives it one: a CLI run from a developer's terminal must not prompt there.
RunResult RunProgram(Launch launch) {
    RunResult result;
    int outPipe[2];
    int errPipe[2];
    if (pipe2(outPipe, O_CLOEXEC) != 0 || pipe2(errPipe, O_CLOEXEC) != 0) {
        ADD_FAILURE() << "pipe2 failed";
        return result;
    }
    int master = -1;
    std::string slaveName;
    if (launch.withTerminal) {
        master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 || ptsname(master) == nullptr) {
            ADD_FAILURE() << "no pseudo-terminal";
            return result;
        }
        slaveName = ptsname(master);
    }

    std::vector<std::string> args = launch.argv;
    std::vector<std::string> env = Environment(launch.env);
    std::vector<char*> argvPointers = Pointers(args);
    std::vector<char*> envPointers = Pointers(env);

    const pid_t pid = fork();
    if (pid == 0) {
        setsid();
        const int devNull = open("/dev/null", O_RDONLY);
        dup2(devNull, STDIN_FILENO);
        dup2(outPipe[1], STDOUT_FILENO);
        dup2(errPipe[1], STDERR_FILENO);
        if (launch.withTerminal) {
            const int slave = open(slaveName.c_str(), O_RDWR);  // a session leader's first terminal is its own
            if (slave < 0) _exit(126);
            if (launch.stderrToTerminal) dup2(slave, STDERR_FILENO);
        }
        execve(argvPointers[0], argvPointers.data(), envPointers.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    if (pid < 0) {
        ADD_FAILURE() << "fork failed";
        return result;
    }

    // A hung child would otherwise hang the test; this bound is never the thing under test.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    bool typed = launch.typed.empty();
    std::vector<std::pair<int, std::string*>> streams = {{outPipe[0], &result.out}, {errPipe[0], &result.err}};
    if (master >= 0) streams.push_back({master, &result.terminal});
    while (!streams.empty() && std::chrono::steady_clock::now() < deadline) {
        std::vector<pollfd> fds;
        for (const auto& entry : streams) fds.push_back(pollfd{entry.first, POLLIN, 0});
        if (poll(fds.data(), fds.size(), 200) < 0) continue;
        for (std::size_t i = fds.size(); i-- > 0;) {
            if (fds[i].revents == 0) continue;
            char buffer[4096];
            const ssize_t n = read(fds[i].fd, buffer, sizeof buffer);
            if (n > 0) {
                streams[i].second->append(buffer, static_cast<std::size_t>(n));
            } else if (n == 0 || errno != EINTR) {  // a terminal whose last user left reports EIO
                streams.erase(streams.begin() + static_cast<std::ptrdiff_t>(i));
            }
        }
        if (!typed && result.terminal.find(launch.typeAfter) != std::string::npos) {
            typed =
                write(master, launch.typed.data(), launch.typed.size()) == static_cast<ssize_t>(launch.typed.size());
        }
    }
    if (!streams.empty()) {
        ADD_FAILURE() << launch.argv[0] << " did not finish";
        kill(pid, SIGKILL);
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    close(outPipe[0]);
    close(errPipe[0]);
    if (master >= 0) close(master);
    return result;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

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

bool Accepts(const std::string& address) {
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) return false;
    sockaddr_in target{};
    target.sin_family = AF_INET;
    target.sin_port = htons(8080);
    inet_pton(AF_INET, address.c_str(), &target.sin_addr);
    const bool accepted = connect(s, reinterpret_cast<const sockaddr*>(&target), sizeof target) == 0;
    close(s);
    return accepted;
}

// The simulator's own inventory is the truth the CLI's output is compared with.
const Json& BuiltInInventory() {
    static const Json inventory = [] {
        const RunResult dump = RunProgram(Launch{{kSimulator, "--dump-inventory"}, {}, false, false, "", ""});
        return Json::parse(dump.out, nullptr, false);
    }();
    return inventory;
}

std::vector<Json> OwnedByAdmin(const Json& records) {
    std::vector<Json> owned;
    for (const Json& record : records) {
        bool mine = !record.contains("account") || record["account"] == "admin";
        if (record.contains("owner")) {
            mine = false;
            for (const Json& owner : record["owner"])
                if (owner.value("account", "") == "admin") mine = true;
        }
        if (mine) owned.push_back(record);
    }
    return owned;
}

// ---------------------------------------------------------------------------------------------
// Fixtures

class CliProcessTest : public ::testing::Test {
protected:
    const std::string address_ = cstest::ProcessLoopbackAddress();

    std::map<std::string, std::string> DefaultEnvironment() const {
        return {{"CLOUDSTACK_SERVER", address_}, {"CLOUDSTACK_PASSWORD", "password"}};
    }

    RunResult Cli(const std::vector<std::string>& args) { return CliWith(DefaultEnvironment(), args); }

    RunResult CliWith(const std::map<std::string, std::string>& env, const std::vector<std::string>& args) {
        Launch launch;
        launch.argv.push_back(kCli);
        launch.argv.insert(launch.argv.end(), args.begin(), args.end());
        launch.env = env;
        return RunProgram(launch);
    }
};

// A simulator of its own on this process's loopback address, for each test.
class CliTest : public CliProcessTest {
protected:
    void SetUp() override {
        ASSERT_TRUE(BuiltInInventory().is_object()) << "cloudstack-sim --dump-inventory gave no inventory";
        StartSimulator(SimulatorArguments());
    }

    void TearDown() override {
        if (simulator_ > 0) {
            kill(simulator_, SIGTERM);
            waitpid(simulator_, nullptr, 0);
        }
        if (!inventoryFile_.empty()) std::remove(inventoryFile_.c_str());
    }

    virtual std::vector<std::string> SimulatorArguments() { return {}; }

    // Serves @p inventory from a file instead of the built-in one.
    std::vector<std::string> ServeInventory(const Json& inventory) {
        inventoryFile_ = ::testing::TempDir() + "cli-inventory-" + std::to_string(getpid()) + ".json";
        std::ofstream(inventoryFile_) << inventory.dump();
        return {"--inventory", inventoryFile_};
    }

    void StartSimulator(const std::vector<std::string>& extra) {
        std::vector<std::string> args = {kSimulator, "--listen", address_};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv = Pointers(args);
        simulator_ = fork();
        if (simulator_ == 0) {
            const int devNull = open("/dev/null", O_WRONLY);
            dup2(devNull, STDOUT_FILENO);  // its startup line; errors still reach the test log
            execv(argv[0], argv.data());
            _exit(127);
        }
        ASSERT_GT(simulator_, 0);
        for (int attempt = 0; attempt < 250 && !Accepts(address_); ++attempt) {
            if (waitpid(simulator_, nullptr, WNOHANG) == simulator_) {
                simulator_ = -1;
                FAIL() << "the simulator ended before it listened on " << address_;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ASSERT_TRUE(Accepts(address_)) << "the simulator does not listen on " << address_ << ":8080";
    }

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

    static Json Record(const char* kind, const std::string& name) {
        for (const Json& record : BuiltInInventory()[kind])
            if (record["name"] == name) return record;
        return Json();
    }

    static std::string FirstRunningMachine() {
        for (const Json& vm : OwnedByAdmin(BuiltInInventory()["virtualmachines"]))
            if (vm["state"] == "Running") return vm["name"];
        return "";
    }

    Json ParsedVms() {
        const RunResult run = Cli({"vms", "--json"});
        EXPECT_EQ(run.status, 0) << run.err;
        return Json::parse(run.out, nullptr, false);
    }

    static Json ByName(const Json& array, const std::string& name) {
        if (array.is_array())
            for (const Json& object : array)
                if (object.value("name", "") == name) return object;
        return Json();
    }

    pid_t simulator_ = -1;
    std::string inventoryFile_;
};

// Names that are not ASCII: alignment has to count characters, not bytes.
class CliNonAsciiInventoryTest : public CliTest {
protected:
    std::vector<std::string> SimulatorArguments() override {
        Json inventory = BuiltInInventory();
        inventory["clusters"][0]["name"] = "Clúster Ñandú ✓";
        inventory["clusters"][1]["zonename"] = "zöne-€u";
        return ServeInventory(inventory);
    }
};

// The scripted test server, for answers the simulator never gives.
class CliServerFaultTest : public CliProcessTest {
protected:
    void SetUp() override { ASSERT_TRUE(server_.Start()); }
    void TearDown() override { server_.Stop(); }

    static cstest::Reply Answer(int status, const std::string& body) {
        cstest::Reply reply;
        reply.status = status;
        reply.body = body;
        return reply;
    }

    cstest::TestServer server_{cstest::ProcessLoopbackAddress()};
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
        EXPECT_NE(run.err.find(mentioned), std::string::npos) << run.err;
    }
};

// ---------------------------------------------------------------------------------------------
// Tables

TEST_F(CliTest, ZonesTableListsEveryZone) {
    const RunResult run = Cli({"zones"});
    ExpectTableRows(run, BuiltInInventory()["zones"]);
    EXPECT_EQ(Lines(run.out)[0].rfind("NAME", 0), 0u);
}

TEST_F(CliTest, ProjectsTableListsTheAccountsProjectsWithState) {
    const RunResult run = Cli({"projects"});
    const std::vector<Json> projects = OwnedByAdmin(BuiltInInventory()["projects"]);
    ExpectTableRows(run, projects);
    for (const Json& project : projects)
        EXPECT_NE(RowOf(run, project["name"]).find(project["state"].get<std::string>()), std::string::npos);
}

TEST_F(CliTest, PodsTableShowsZoneGatewayAndNetmask) {
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

TEST_F(CliTest, ClustersTableKeepsANameWithBlanksInItsColumn) {
    const RunResult run = Cli({"clusters"});
    ExpectTableRows(run, BuiltInInventory()["clusters"]);
    bool blankInName = false;
    for (const Json& cluster : BuiltInInventory()["clusters"])
        blankInName = blankInName || cluster["name"].get<std::string>().find(' ') != std::string::npos;
    EXPECT_TRUE(blankInName) << "the built-in inventory no longer has a cluster name with a blank";
}

TEST_F(CliTest, HostsTableShowsCpuAndMemoryInGiB) {
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

TEST_F(CliTest, VmsTableShowsHostCpusAndMemoryOfEachMachine) {
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
// JSON and show

TEST_F(CliTest, HostsJsonHoldsEveryHostWithNumbersAsNumbers) {
    const RunResult run = Cli({"hosts", "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Json hosts = Json::parse(run.out, nullptr, false);
    ASSERT_TRUE(hosts.is_array()) << run.out;
    ASSERT_EQ(hosts.size(), BuiltInInventory()["hosts"].size());
    bool above32Bits = false;
    for (const Json& expected : BuiltInInventory()["hosts"]) {
        const Json host = ByName(hosts, expected["name"]);
        ASSERT_TRUE(host.is_object()) << expected["name"];
        EXPECT_EQ(host["id"], expected["id"]);
        EXPECT_EQ(host["zoneName"], expected["zonename"]);
        EXPECT_EQ(host["clusterName"], expected["clustername"]);
        EXPECT_EQ(host["ipAddress"], expected["ipaddress"]);
        ASSERT_TRUE(host["memoryTotal"].is_number_unsigned()) << host.dump();
        EXPECT_EQ(host["memoryTotal"].get<uint64_t>(), expected["memorytotal"].get<uint64_t>());
        EXPECT_TRUE(host["cpuNumber"].is_number_integer()) << host.dump();
        EXPECT_EQ(host["cpuNumber"], expected["cpunumber"]);
        EXPECT_TRUE(host["cpuUsed"].is_string()) << host.dump();
        above32Bits = above32Bits || host["memoryTotal"].get<uint64_t>() > (uint64_t{1} << 32);
    }
    EXPECT_TRUE(above32Bits);
}

TEST_F(CliTest, ClustersJsonUsesLowerCamelKeysOfEveryField) {
    const RunResult run = Cli({"clusters", "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Json clusters = Json::parse(run.out, nullptr, false);
    ASSERT_TRUE(clusters.is_array()) << run.out;
    ASSERT_EQ(clusters.size(), BuiltInInventory()["clusters"].size());
    for (const char* key : {"name", "id", "podId", "podName", "zoneId", "zoneName", "hypervisorType", "clusterType",
                            "allocationState", "managedState"})
        EXPECT_TRUE(clusters[0].contains(key)) << key << " missing in " << clusters[0].dump();
    EXPECT_EQ(clusters[0]["hypervisorType"], BuiltInInventory()["clusters"][0]["hypervisortype"]);
}

TEST_F(CliTest, ShowHostByNamePrintsOneLabelledLinePerField) {
    const Json expected = BuiltInInventory()["hosts"][2];
    const std::string name = expected["name"];
    std::string upper = name;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

    const RunResult run = Cli({"show", "host", "--name", upper});
    ASSERT_EQ(run.status, 0) << run.err;
    std::map<std::string, std::string> fields;
    for (const std::string& line : Lines(run.out)) {
        const std::size_t colon = line.find(':');
        ASSERT_NE(colon, std::string::npos) << line;
        const std::size_t value = line.find_first_not_of(' ', colon + 1);
        fields[line.substr(0, colon)] = value == std::string::npos ? "" : line.substr(value);
    }
    EXPECT_EQ(fields.size(), 21u) << run.out;
    EXPECT_EQ(fields["Name"], name);
    EXPECT_EQ(fields["Id"], expected["id"]);
    EXPECT_EQ(fields["Cluster name"], expected["clustername"]);
    EXPECT_EQ(fields["Memory total"].rfind(std::to_string(expected["memorytotal"].get<uint64_t>()) + " bytes", 0), 0u)
        << fields["Memory total"];
}

TEST_F(CliTest, ShowClusterByIdAsJsonPrintsOneObject) {
    const Json expected = BuiltInInventory()["clusters"][1];
    const RunResult run = Cli({"show", "cluster", "--id", expected["id"], "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Json cluster = Json::parse(run.out, nullptr, false);
    ASSERT_TRUE(cluster.is_object()) << run.out;
    EXPECT_EQ(cluster["name"], expected["name"]);
    EXPECT_EQ(cluster["podName"], expected["podname"]);
}

// ---------------------------------------------------------------------------------------------
// Power

TEST_F(CliTest, StopThenStartChangesTheListedState) {
    const std::string name = FirstRunningMachine();
    ASSERT_NE(name, "");

    RunResult run = Cli({"stop", "--name", name});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, name + " stopped.\n");
    EXPECT_EQ(run.err, "") << "no status line is written when standard error is not a terminal";
    Json vm = ByName(ParsedVms(), name);
    EXPECT_EQ(vm["state"], "Stopped") << vm.dump();
    EXPECT_EQ(vm["hostName"], "") << vm.dump();

    run = Cli({"start", "--name", name});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, name + " started.\n");
    vm = ByName(ParsedVms(), name);
    EXPECT_EQ(vm["state"], "Running") << vm.dump();
    EXPECT_TRUE(vm["memory"].is_number_unsigned()) << vm.dump();
}

TEST_F(CliTest, StartingARunningMachineReportsTheFailedJob) {
    const std::string name = FirstRunningMachine();
    const RunResult run = Cli({"start", "--name", name});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    ASSERT_EQ(Lines(run.err).size(), 1u) << run.err;
    EXPECT_NE(run.err.find("the start job for " + name + " did not succeed"), std::string::npos) << run.err;
}

TEST_F(CliTest, UnknownMachineNameExitsOneWithOneLine) {
    const RunResult run = Cli({"stop", "--name", "no-such-vm"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "cloudstack-cli: no virtual machine named 'no-such-vm' (or the lookup failed)\n");
}

TEST_F(CliTest, WaitOnATerminalShowsTheStatusLineAndClearsIt) {
    const std::string name = FirstRunningMachine();
    Launch launch;
    launch.argv = {kCli, "stop", "--id", Record("virtualmachines", name)["id"]};
    launch.env = DefaultEnvironment();
    launch.withTerminal = true;
    launch.stderrToTerminal = true;
    const RunResult run = RunProgram(launch);
    EXPECT_EQ(run.status, 0) << run.terminal;
    EXPECT_EQ(run.out, name + " stopped.\n");
    EXPECT_NE(run.terminal.find("\r\033[KStopping " + name + " ... 0s"), std::string::npos) << run.terminal;
    const std::string clear = "\r\033[K";
    ASSERT_GE(run.terminal.size(), clear.size());
    EXPECT_EQ(run.terminal.substr(run.terminal.size() - clear.size()), clear) << "the status line is left standing";
}

// ---------------------------------------------------------------------------------------------
// Login and password sources

TEST_F(CliTest, WrongPasswordExitsOneWithOneLoginLine) {
    std::map<std::string, std::string> env = DefaultEnvironment();
    env["CLOUDSTACK_PASSWORD"] = "wrong";
    const RunResult run = CliWith(env, {"zones"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err,
              "cloudstack-cli: cannot log in to " + address_ + " as admin (check server, user and password)\n");
}

TEST_F(CliTest, OptionsAfterTheCommandOverrideTheEnvironment) {
    std::map<std::string, std::string> env = DefaultEnvironment();
    env["CLOUDSTACK_USER"] = "nobody";
    const RunResult run = CliWith(env, {"zones", "--user", "admin", "--server=" + address_});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find(BuiltInInventory()["zones"][0]["name"].get<std::string>()), std::string::npos);
}

TEST_F(CliTest, PasswordFileFirstLineIsUsedWithoutItsLineEnd) {
    const std::string path = ::testing::TempDir() + "cli-password-" + std::to_string(getpid());
    std::ofstream(path, std::ios::binary) << "password\r\nsecond line\n";
    const RunResult run = CliWith({{"CLOUDSTACK_SERVER", address_}}, {"--password-file", path, "zones"});
    std::remove(path.c_str());
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.out.find(BuiltInInventory()["zones"][0]["name"].get<std::string>()), std::string::npos);
}

TEST_F(CliTest, PasswordPromptReadsTheTerminalWithoutEcho) {
    Launch launch;
    launch.argv = {kCli, "zones"};
    launch.env = {{"CLOUDSTACK_SERVER", address_}};
    launch.withTerminal = true;
    launch.typeAfter = "Password for admin at " + address_ + ": ";
    launch.typed = "password\n";
    const RunResult run = RunProgram(launch);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_NE(run.terminal.find(launch.typeAfter), std::string::npos) << run.terminal;
    EXPECT_EQ(run.terminal.find("password"), std::string::npos) << "echoed: " << run.terminal;
    EXPECT_NE(run.out.find(BuiltInInventory()["zones"][0]["name"].get<std::string>()), std::string::npos);
}

// ---------------------------------------------------------------------------------------------
// Faults of the server

TEST_F(CliServerFaultTest, FailedListExitsOneNamingTheList) {
    server_.Always("listHosts", Answer(530, R"({"listhostsresponse":{"uuidList":[],"errorcode":530,)"
                                            R"("cserrorcode":4250,"errortext":"Internal error"}})"));
    const RunResult run = Cli({"hosts"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "cloudstack-cli: listing hosts failed\n");
}

TEST_F(CliServerFaultTest, FailedJobExitsOneNamingTheMachine) {
    server_.Always("queryAsyncJobResult", Answer(200, cstest::Fixture("queryAsyncJobResult-failure-533.json")));
    const RunResult run = Cli({"stop", "--name", "web-01"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "cloudstack-cli: the stop job for web-01 did not succeed\n");
}

// ---------------------------------------------------------------------------------------------
// Usage

TEST_F(CliUsageTest, UsageErrorsExitTwoWithOneLine) {
    ExpectUsageError({"reboot"}, "unknown command 'reboot'");
    ExpectUsageError({"zones", "--colour"}, "unknown option '--colour'");
    ExpectUsageError({}, "no command");
    ExpectUsageError({"show", "vm"}, "--name NAME or --id ID");
    ExpectUsageError({"stop", "--name", "web-01", "--id", "fcbea053-779e-4c4b-8c30-b22ece7c5b3d"}, "not both");
    ExpectUsageError({"show", "pod", "--name", "pod-a"}, "cluster, host or vm");
    ExpectUsageError({"zones", "--name", "x"}, "--name does not apply");
    ExpectUsageError({"start", "--name"}, "--name needs a value");
}

TEST_F(CliUsageTest, PasswordOptionIsRefusedWithTheReason) {
    ExpectUsageError({"zones", "--password", "s3cret"}, "process list");
    const RunResult run = Cli({"--password=s3cret", "zones"});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.err.find("s3cret"), std::string::npos) << "the refusal repeats the password: " << run.err;
}

TEST_F(CliUsageTest, NoPasswordSourceWithoutTerminalExitsTwo) {
    const RunResult run = CliWith({{"CLOUDSTACK_SERVER", address_}}, {"zones"});
    EXPECT_EQ(run.status, 2);
    ASSERT_EQ(Lines(run.err).size(), 1u) << run.err;
    EXPECT_NE(run.err.find("CLOUDSTACK_PASSWORD"), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("--password-file"), std::string::npos) << run.err;
}

TEST_F(CliUsageTest, HelpForTheProgramAndForACommandExitZero) {
    RunResult run = Cli({"--help"});
    EXPECT_EQ(run.status, 0);
    for (const char* command : {"projects", "zones", "pods", "clusters", "hosts", "vms", "show", "start", "stop"})
        EXPECT_NE(run.out.find(command), std::string::npos) << command;

    run = Cli({"stop", "--help"});
    EXPECT_EQ(run.status, 0);
    EXPECT_EQ(run.out.rfind("Usage: cloudstack-cli stop", 0), 0u) << run.out;
    EXPECT_NE(run.out.find("--id ID"), std::string::npos) << run.out;
}

}  // namespace
