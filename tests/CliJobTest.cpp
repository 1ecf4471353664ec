// End-to-end tests of what cloudstack-cli sends through the wrapper's generic calls: start and
// stop with their job waits (--no-wait, --timeout, Ctrl-C), name lookups, the api verb, the
// server-side filters of the lists and --all; the real executable against a simulator child.

#include <algorithm>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "CliHarness.h"

namespace {

using namespace clitest;

const std::regex kJobIdLine("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}\n");
const std::regex kJobIdInText("\\(job id ([0-9a-f-]{36})\\)");

std::string IdOf(const std::string& machine) {
    return Record("virtualmachines", machine)["id"];
}

std::vector<std::string> Names(const Json& array) {
    std::vector<std::string> names;
    for (const Json& item : array) names.push_back(item.value("name", ""));
    std::sort(names.begin(), names.end());
    return names;
}

std::vector<std::string> NamesWhere(const char* kind, bool (*keep)(const Json&)) {
    std::vector<std::string> names;
    for (const Json& record : BuiltInInventory()[kind])
        if (keep(record)) names.push_back(record["name"]);
    std::sort(names.begin(), names.end());
    return names;
}

// The cells of a table line, split at blanks (the columns are padded to the widest cell).
std::vector<std::string> Words(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream cells(line);
    for (std::string word; cells >> word;) words.push_back(word);
    return words;
}

// ---------------------------------------------------------------------------------------------
// start and stop

TEST_F(CliTest, StopThenStartChangesTheListedState) {
    const std::string name = FirstRunningMachine();
    ASSERT_NE(name, "");

    RunResult run = Cli({"stop", "--name", name});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, name + " stopped.\n");
    EXPECT_EQ(run.err, "") << "no status line is written when standard error is not a terminal";
    Json vm = ByName(ParsedVms(), name);
    EXPECT_EQ(vm["state"], "Stopped") << vm.dump();
    EXPECT_FALSE(vm.contains("hostname")) << vm.dump();

    run = Cli({"start", "--id", IdOf(name), "--poll", "0.1"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, name + " started.\n");
    vm = ByName(ParsedVms(), name);
    EXPECT_EQ(vm["state"], "Running") << vm.dump();
}

TEST_F(CliTest, FailedJobAndUnknownNameSayWhatHappened) {
    const std::string name = FirstRunningMachine();
    RunResult run = Cli({"start", "--name", name});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "cloudstack-cli: start " + name + ": the server refused (431): The virtual machine " +
                           IdOf(name) + " (" + name + ") is already running\n");

    run = Cli({"stop", "--name", "no-such-vm"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    ASSERT_EQ(Lines(run.err).size(), 1u) << run.err;
    EXPECT_EQ(run.err.rfind("cloudstack-cli: ", 0), 0u) << run.err;
    EXPECT_TRUE(Contains(run.err, "no-such-vm")) << run.err;

    // The server refuses an id that is none: the line says what was being looked up.
    run = Cli({"show", "vm", "--id", "no-such-id"});
    EXPECT_EQ(run.status, 1);
    ASSERT_EQ(Lines(run.err).size(), 1u) << run.err;
    EXPECT_EQ(run.err.rfind("cloudstack-cli: looking up the virtual machine with id \"no-such-id\": the server refused "
                            "(431): ",
                            0),
              0u)
        << run.err;
}

TEST_F(CliTest, WaitOnATerminalShowsTheStatusLineAndClearsIt) {
    const std::string name = FirstRunningMachine();
    Launch launch = CliOnATerminal({"stop", "--id", IdOf(name)});
    const RunResult run = RunProgram(launch);
    EXPECT_EQ(run.status, 0) << run.terminal;
    EXPECT_EQ(run.out, name + " stopped.\n");
    EXPECT_TRUE(Contains(run.terminal, "\r\033[KStopping " + name + " ... 0s")) << run.terminal;
    const std::string clear = "\r\033[K";
    ASSERT_GE(run.terminal.size(), clear.size());
    EXPECT_EQ(run.terminal.substr(run.terminal.size() - clear.size()), clear) << "the status line is left standing";
}

// ---------------------------------------------------------------------------------------------
// Many machines at once

// The admin's machines in @p state, in zone @p zone when one is named, sorted by name.
std::vector<std::string> Machines(const std::string& state, const std::string& zone = "") {
    std::vector<std::string> names;
    for (const Json& vm : OwnedByAdmin(BuiltInInventory()["virtualmachines"]))
        if (vm["state"] == state && (zone.empty() || vm["zonename"] == zone)) names.push_back(vm["name"]);
    std::sort(names.begin(), names.end());
    return names;
}

// The rows of a result table, by machine name: the id, the result and the seconds.
std::map<std::string, std::vector<std::string>> ResultRows(const std::string& table) {
    std::map<std::string, std::vector<std::string>> rows;
    const std::vector<std::string> lines = Lines(table);
    EXPECT_FALSE(lines.empty());
    if (lines.empty()) return rows;
    EXPECT_EQ(Words(lines[0]), (std::vector<std::string>{"NAME", "ID", "RESULT", "SECONDS"}));
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const std::vector<std::string> words = Words(lines[i]);
        if (!words.empty()) rows[words[0]] = std::vector<std::string>(words.begin() + 1, words.end());
    }
    return rows;
}

std::string StateOf(const Json& vms, const std::string& name) {
    return ByName(vms, name).value("state", "");
}

TEST_F(CliTest, SeveralMachinesByNameAndIdStopTogetherWithYesAndEachEndsOnItsOwnLine) {
    const std::vector<std::string> running = Machines("Running", "zone-eu1");
    ASSERT_GE(running.size(), 3u);
    const std::string a = running[0];
    const std::string b = running[1];

    // Without a terminal to ask on, several machines need --yes; nothing is sent.
    RunResult run = Cli({"stop", "--name", a, "--id", IdOf(b)});
    EXPECT_EQ(run.status, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "cloudstack-cli: stop 2 machines: there is no terminal to confirm on; give --yes\n");
    EXPECT_EQ(StateOf(ParsedVms(), a), "Running");

    // A machine named twice is stopped once.
    run = Cli({"stop", "--name", a, "--id", IdOf(b), "--name", a, "--yes", "--concurrency", "2"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    const auto rows = ResultRows(run.out);
    ASSERT_EQ(rows.size(), 2u) << run.out;
    for (const std::string& name : {a, b}) {
        ASSERT_EQ(rows.count(name), 1u) << run.out;
        EXPECT_EQ(rows.at(name).size(), 3u) << run.out;
        EXPECT_EQ(rows.at(name)[0], IdOf(name));
        EXPECT_EQ(rows.at(name)[1], "stopped");
    }
    Json vms = ParsedVms();
    EXPECT_EQ(StateOf(vms, a), "Stopped");
    EXPECT_EQ(StateOf(vms, b), "Stopped");

    // One starts, one fails (it runs already): exit 1, and JSON says which and why.
    const std::string c = running[2];
    run = Cli({"start", "--name", a, "--name", c, "--yes", "--output", "json"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "cloudstack-cli: start: 1 of 2 machines failed\n");
    const Json results = Json::parse(run.out, nullptr, false);
    ASSERT_TRUE(results.is_array() && results.size() == 2u) << run.out;
    EXPECT_EQ(results[0]["name"], a);
    EXPECT_EQ(results[0]["id"], IdOf(a));
    EXPECT_EQ(results[0]["result"], "started");
    EXPECT_FALSE(results[0].contains("error"));
    EXPECT_TRUE(results[0]["seconds"].is_number());
    EXPECT_EQ(results[1]["name"], c);
    EXPECT_EQ(results[1]["result"], "failed");
    EXPECT_EQ(results[1]["error"]["code"], 431);
    EXPECT_TRUE(Contains(results[1]["error"]["message"], "is already running")) << run.out;
    EXPECT_EQ(StateOf(ParsedVms(), a), "Running");

    // A name that matches no machine stops it all before anything is sent.
    run = Cli({"stop", "--name", a, "--name", "no-such-vm", "--yes"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(Contains(run.err, "no-such-vm")) << run.err;
    EXPECT_TRUE(Contains(run.err, "cloudstack-cli: stop: 1 of 2 machines not found; nothing was sent\n")) << run.err;
    EXPECT_EQ(StateOf(ParsedVms(), a), "Running");
}

TEST_F(CliTest, FiltersSelectTheMachinesAndTheTerminalConfirms) {
    const std::vector<std::string> selected = Machines("Running", "zone-eu1");
    ASSERT_GE(selected.size(), 2u);
    Launch launch = CliOnATerminal({"stop", "--state", "Running", "--zone", "zone-eu1", "--output", "json"});
    launch.stderrToTerminal = false;
    launch.typeAfter = "[y/N] ";
    launch.typed = "n\n";
    RunResult run = RunProgram(launch);
    EXPECT_EQ(run.status, 1) << run.terminal;
    EXPECT_EQ(run.out, "");
    EXPECT_TRUE(Contains(run.terminal, "stop " + std::to_string(selected.size()) + " machines (")) << run.terminal;
    for (const std::string& name : selected) EXPECT_TRUE(Contains(run.terminal, name)) << run.terminal;
    EXPECT_TRUE(Contains(run.err, "not confirmed; nothing was sent")) << run.err;
    EXPECT_EQ(Names(ParsedVms({"--state", "Running", "--zone", "zone-eu1"})), selected);

    launch.typed = "y\n";
    run = RunProgram(launch);
    EXPECT_EQ(run.status, 0) << run.terminal << run.err;
    const Json results = Json::parse(run.out, nullptr, false);
    ASSERT_TRUE(results.is_array()) << run.out;
    EXPECT_EQ(Names(results), selected);
    for (const Json& result : results) EXPECT_EQ(result["result"], "stopped") << result.dump();
    EXPECT_TRUE(ParsedVms({"--state", "Running", "--zone", "zone-eu1"}).empty());
    // The other zone's machines are left as they were.
    EXPECT_EQ(Names(ParsedVms({"--state", "Running", "--zone", "zone-us1"})), Machines("Running", "zone-us1"));

    run = Cli({"stop", "--state", "Running", "--zone", "zone-eu1", "--yes"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "cloudstack-cli: stop: no virtual machine matches the filters; nothing to do\n");
}

TEST_F(CliTest, ManyMachinesOnATerminalCountTheirJobsOnTheStatusLine) {
    const std::vector<std::string> running = Machines("Running", "zone-eu1");
    Launch launch = CliOnATerminal({"stop", "--name", running[0], "--name", running[1], "--yes", "--poll", "0.1"});
    const RunResult run = RunProgram(launch);
    EXPECT_EQ(run.status, 0) << run.terminal;
    EXPECT_EQ(ResultRows(run.out).size(), 2u) << run.out;
    EXPECT_TRUE(Contains(run.terminal, "\r\033[Kstopping 2 machines: 2 done, 0 failed, 0 waiting, 00:0"))
        << run.terminal;
    const std::string clear = "\r\033[K";
    ASSERT_GE(run.terminal.size(), clear.size());
    EXPECT_EQ(run.terminal.substr(run.terminal.size() - clear.size()), clear) << "the status line is left standing";
}

// An older server: job ids are numbers. Every way the client meets a job reads them, and `wait` picks up a job
// that --no-wait left running.
class CliNumericJobTest : public CliTest {
protected:
    std::vector<std::string> SimulatorArguments() override { return {"--numeric-job-ids"}; }
};

TEST_F(CliNumericJobTest, NumericJobIdsAreWaitedForByEveryCommandAndByWait) {
    const std::string name = FirstRunningMachine();
    RunResult run = Cli({"stop", "--name", name, "--no-wait"});
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_TRUE(std::regex_match(run.out, std::regex("[0-9]+\n"))) << run.out;
    const std::string jobId = run.out.substr(0, run.out.size() - 1);

    run = Cli({"wait", jobId, "--poll", "0.1"});
    ASSERT_EQ(run.status, 0) << run.err;
    Json result = Json::parse(run.out, nullptr, false);
    EXPECT_EQ(result["virtualmachine"].value("state", ""), "Stopped") << run.out;

    run = Cli({"start", "--name", name});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, name + " started.\n");

    run = Cli({"api", "stopVirtualMachine", "id=" + IdOf(name), "--fields", "name,state", "-o", "csv"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "name,state\n" + name + ",Stopped\n");

    // A job that fails: its reason, whether the client waits at once or later.
    run = Cli({"start", "--name", name, "--no-wait"});
    ASSERT_EQ(run.status, 0) << run.err;
    run = Cli({"start", "--name", name, "--no-wait"});  // already starting or running: this job fails
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string failing = run.out.substr(0, run.out.size() - 1);
    run = Cli({"wait", failing});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.rfind("cloudstack-cli: job " + failing + ": the server refused (431): The virtual machine ", 0),
              0u)
        << run.err;
}

// restoreVirtualMachine answers under an older key: the client finds the job in it, waits, and the machine has a
// new root volume.
TEST_F(CliTest, RestoreIsWaitedForAndGivesTheMachineANewRootVolume) {
    const std::string name = FirstRunningMachine();
    const auto rootVolumeId = [&] {
        const RunResult run = Cli({"api", "listVolumes", "virtualmachineid=" + IdOf(name), "type=ROOT"});
        EXPECT_EQ(run.status, 0) << run.err;
        const Json volumes = Json::parse(run.out, nullptr, false);
        return volumes.size() == 1 ? volumes[0].value("id", "") : std::string();
    };
    const std::string before = rootVolumeId();
    ASSERT_FALSE(before.empty());
    const RunResult run = Cli({"api", "restoreVirtualMachine", "virtualmachineid=" + IdOf(name), "--poll", "0.1"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Json::parse(run.out, nullptr, false)["virtualmachine"].value("state", ""), "Running") << run.out;
    const std::string after = rootVolumeId();
    EXPECT_FALSE(after.empty());
    EXPECT_NE(after, before);
}

// Three machines whose names differ only in letter case.
class CliSameNamesTest : public CliTest {
protected:
    std::vector<std::string> SimulatorArguments() override {
        Json inventory = BuiltInInventory();
        inventory["virtualmachines"][0]["name"] = "web";
        inventory["virtualmachines"][1]["name"] = "Web";
        inventory["virtualmachines"][2]["name"] = "WEB";
        inventory["clusters"][0]["name"] = "gpu";
        inventory["clusters"][1]["name"] = "GPU";
        return ServeInventory(inventory);
    }
};

TEST_F(CliSameNamesTest, AmbiguousNameIsRefusedAndAnExactOneIsTaken) {
    RunResult run = Cli({"stop", "--name", "wEB"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    ASSERT_EQ(Lines(run.err).size(), 1u) << run.err;
    EXPECT_TRUE(Contains(run.err, "wEB")) << run.err;
    EXPECT_EQ(run.err.substr(run.err.size() - std::string("; use --id\n").size()), "; use --id\n") << run.err;

    run = Cli({"show", "vm", "--name", "Web", "--json"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Json::parse(run.out, nullptr, false).value("id", ""), BuiltInInventory()["virtualmachines"][1]["id"]);

    // A filter's name is matched the same way, letter case aside.
    run = Cli({"hosts", "--cluster", "Gpu"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "cloudstack-cli: name \"Gpu\" matches 2 clusters; give the cluster's id\n");
    run = Cli({"hosts", "--cluster", "GPU", "--json"});
    EXPECT_EQ(run.status, 0) << run.err;
    const std::string gpuCluster = BuiltInInventory()["clusters"][1]["id"];
    const Json hosts = Json::parse(run.out, nullptr, false);
    ASSERT_TRUE(hosts.is_array() && !hosts.empty()) << run.out;
    for (const Json& host : hosts) EXPECT_EQ(host.value("clusterid", ""), gpuCluster);
}

// Jobs that take a minute: long enough that no test waits for one to end by itself.
class CliSlowJobTest : public CliTest {
protected:
    std::vector<std::string> SimulatorArguments() override { return {"--job-seconds", "60"}; }

    Json JobAnswer(const std::string& jobId) {
        const RunResult run = Cli({"api", "queryAsyncJobResult", "jobid=" + jobId});
        EXPECT_EQ(run.status, 0) << run.err;
        return Json::parse(run.out, nullptr, false);
    }
};

TEST_F(CliSlowJobTest, NoWaitPrintsTheJobIdOnceTheServerAcceptedTheCommand) {
    const std::string name = FirstRunningMachine();
    const RunResult run = Cli({"stop", "--name", name, "--no-wait"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(run.err, "");
    ASSERT_TRUE(std::regex_match(run.out, kJobIdLine)) << run.out;
    const std::string jobId = run.out.substr(0, run.out.size() - 1);

    const Json job = JobAnswer(jobId);
    EXPECT_EQ(job.value("jobid", ""), jobId) << job.dump();
    EXPECT_EQ(job.value("jobstatus", -1), 0) << job.dump();
    EXPECT_EQ(ByName(ParsedVms(), name)["state"], "Stopping");
}

TEST_F(CliSlowJobTest, CtrlCEndsTheWaitNamesTheJobAndExits130) {
    const std::string name = FirstRunningMachine();
    Launch launch = CliOnATerminal({"stop", "--name", name});
    launch.typeAfter = "Stopping " + name + " ... 0s";
    launch.typed = "\x03";  // the terminal's interrupt character: SIGINT to its foreground process group
    const RunResult run = RunProgram(launch);

    EXPECT_EQ(run.status, 130) << run.terminal;
    EXPECT_EQ(run.out, "");
    std::smatch match;
    ASSERT_TRUE(std::regex_search(run.terminal, match, kJobIdInText)) << run.terminal;
    EXPECT_TRUE(Contains(
        run.terminal, "\r\033[Kcloudstack-cli: stop " + name + ": interrupted; the job goes on on the server (job id"))
        << "the status line is not ended before the message: " << run.terminal;
    const Json job = JobAnswer(match[1]);
    EXPECT_EQ(job.value("jobstatus", -1), 0) << job.dump();
}

TEST_F(CliSlowJobTest, WaitForAJobThatGoesOnGivesUpAtItsTimeout) {
    const std::string name = FirstRunningMachine();
    RunResult run = Cli({"stop", "--name", name, "--no-wait"});
    ASSERT_EQ(run.status, 0) << run.err;
    const std::string jobId = run.out.substr(0, run.out.size() - 1);
    run = Cli({"wait", jobId, "--poll", "0.1", "--timeout", "0.3"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(run.err, "cloudstack-cli: job " + jobId +
                           ": not done after 0.3 s; the job goes on on the server (job id " + jobId + ")\n");
    EXPECT_EQ(JobAnswer(jobId).value("jobstatus", -1), 0);
}

TEST_F(CliSlowJobTest, TimeoutGivesUpAndNamesTheJob) {
    const std::string name = FirstRunningMachine();
    const RunResult run = Cli({"stop", "--name", name, "--poll", "0.1", "--timeout", "0.3"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.out, "");
    ASSERT_EQ(Lines(run.err).size(), 1u) << run.err;
    EXPECT_EQ(
        run.err.rfind("cloudstack-cli: stop " + name + ": not done after 0.3 s; the job goes on on the server", 0), 0u)
        << run.err;
    std::smatch match;
    ASSERT_TRUE(std::regex_search(run.err, match, kJobIdInText)) << run.err;
    EXPECT_EQ(JobAnswer(match[1]).value("jobstatus", -1), 0);
}

TEST_F(CliSlowJobTest, CtrlCStopsWaitingForEveryMachineAndEachLineNamesItsJob) {
    const std::vector<std::string> running = Machines("Running", "zone-eu1");
    Launch launch = CliOnATerminal({"stop", "--name", running[0], "--name", running[1], "--yes", "--poll", "0.1"});
    launch.typeAfter = "stopping 2 machines: 0 done, 0 failed, 2 waiting";
    launch.typed = "\x03";
    const RunResult run = RunProgram(launch);
    EXPECT_EQ(run.status, 130) << run.terminal;
    EXPECT_TRUE(
        Contains(run.terminal, "cloudstack-cli: stop: interrupted; the jobs not waited for go on on the server"))
        << run.terminal;
    const auto rows = ResultRows(run.out);
    ASSERT_EQ(rows.size(), 2u) << run.out;
    for (const auto& [name, row] : rows) {
        ASSERT_GE(row.size(), 2u) << run.out;
        EXPECT_EQ(row[1], "interrupted:") << run.out;
    }
    // Each line names its job, which goes on.
    std::smatch match;
    const std::regex job("the wait for job ([0-9a-f-]{36}) was stopped");
    ASSERT_TRUE(std::regex_search(run.out, match, job)) << run.out;
    EXPECT_EQ(JobAnswer(match[1]).value("jobstatus", -1), 0);
}

// ---------------------------------------------------------------------------------------------
// api

TEST_F(CliTest, ApiListsPrintOneJsonArrayOrTheChosenColumns) {
    RunResult run = Cli({"api", "listVirtualMachines", "state=Running", "listall=true"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Lines(run.out).size(), 1u) << "compact when standard output is no terminal";
    const Json machines = Json::parse(run.out, nullptr, false);
    ASSERT_TRUE(machines.is_array()) << run.out;
    EXPECT_EQ(Names(machines), NamesWhere("virtualmachines", [](const Json& vm) { return vm["state"] == "Running"; }));
    // The server's records, whole: nested members too.
    EXPECT_EQ(ByName(machines, FirstRunningMachine()), Record("virtualmachines", FirstRunningMachine()));

    run = Cli({"api", "listHosts", "--output", "table", "--fields", "name,state,clustername"});
    ASSERT_EQ(run.status, 0) << run.err;
    std::vector<std::string> lines = Lines(run.out);
    ASSERT_EQ(lines.size(), BuiltInInventory()["hosts"].size() + 1) << run.out;
    EXPECT_EQ(lines[0].substr(0, 4), "NAME");
    EXPECT_EQ(lines[0].substr(lines[0].size() - std::string("CLUSTERNAME").size()), "CLUSTERNAME") << lines[0];
    const Json& host = BuiltInInventory()["hosts"][1];
    EXPECT_TRUE(Contains(run.out, host["name"].get<std::string>() + " ")) << run.out;
    EXPECT_TRUE(Contains(run.out, host["state"].get<std::string>() + "  " + host["clustername"].get<std::string>()));

    run = Cli({"api", "listZones", "--output", "table"});
    ASSERT_EQ(run.status, 0) << run.err;
    lines = Lines(run.out);
    ASSERT_EQ(lines.size(), BuiltInInventory()["zones"].size() + 1) << run.out;
    EXPECT_EQ(lines[0].rfind("NAME", 0), 0u) << lines[0];
    EXPECT_EQ(lines[0].substr(lines[0].size() - 2), "ID") << lines[0];

    run = Cli({"api", "listZones", "--output", "csv", "--fields", "name,id"});
    ASSERT_EQ(run.status, 0) << run.err;
    std::string expected = "name,id\n";
    for (const Json& zone : BuiltInInventory()["zones"])
        expected += zone["name"].get<std::string>() + "," + zone["id"].get<std::string>() + "\n";
    EXPECT_EQ(run.out, expected);
}

TEST_F(CliTest, ApiAsyncCommandWaitsAndPrintsTheJobResult) {
    const std::string name = FirstRunningMachine();
    RunResult run = Cli({"api", "stopVirtualMachine", "id=" + IdOf(name), "--poll", "0.1"});
    ASSERT_EQ(run.status, 0) << run.err;
    const Json result = Json::parse(run.out, nullptr, false);
    EXPECT_EQ(result["virtualmachine"].value("state", ""), "Stopped") << run.out;
    EXPECT_EQ(result["virtualmachine"].value("name", ""), name) << run.out;

    run = Cli({"api", "startVirtualMachine", "id=" + IdOf(name), "--output", "table", "--fields", "name,state"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Lines(run.out).size(), 2u) << run.out;
    EXPECT_TRUE(Contains(Lines(run.out)[1], name + "  Running")) << run.out;

    run = Cli({"api", "startVirtualMachine", "id=" + IdOf(name)});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err.rfind("cloudstack-cli: startVirtualMachine: the server refused (431): ", 0), 0u) << run.err;

    run = Cli({"api", "rebootTheCloud"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err,
              "cloudstack-cli: rebootTheCloud: the server refused (432): Unknown API command: rebootTheCloud\n");
}

TEST_F(CliTest, ApiOnATerminalIndentsItsJson) {
    Launch launch = CliOnATerminal({"api", "listZones"});
    launch.stderrToTerminal = false;
    launch.stdoutToTerminal = true;
    const RunResult run = RunProgram(launch);
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_TRUE(Contains(run.terminal, "[\r\n  {\r\n    \"")) << run.terminal;
}

// ---------------------------------------------------------------------------------------------
// Filters and --all

TEST_F(CliTest, ListFiltersNameTheirObjectsByNameOrIdAndKeepTheColumns) {
    const RunResult all = Cli({"vms"});
    ASSERT_EQ(all.status, 0) << all.err;
    RunResult run = Cli({"vms", "--state", "Running", "--zone", "zone-eu1"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Words(Lines(run.out)[0]), Words(Lines(all.out)[0])) << "the same columns as without a filter";
    std::vector<std::string> expected;
    for (const Json& vm : OwnedByAdmin(BuiltInInventory()["virtualmachines"]))
        if (vm["state"] == "Running" && vm["zonename"] == "zone-eu1") expected.push_back(vm["name"]);
    std::vector<std::string> shown;
    for (std::size_t i = 1; i < Lines(run.out).size(); ++i)
        shown.push_back(Lines(run.out)[i].substr(0, Lines(run.out)[i].find(' ')));
    std::sort(expected.begin(), expected.end());
    std::sort(shown.begin(), shown.end());
    EXPECT_EQ(shown, expected);
    // Every row holds what the unfiltered table's row of that machine holds.
    std::vector<std::vector<std::string>> unfiltered;
    for (const std::string& line : Lines(all.out)) unfiltered.push_back(Words(line));
    for (std::size_t i = 1; i < Lines(run.out).size(); ++i)
        EXPECT_NE(std::find(unfiltered.begin(), unfiltered.end(), Words(Lines(run.out)[i])), unfiltered.end())
            << Lines(run.out)[i];

    const Json zone = BuiltInInventory()["zones"][1];
    std::vector<std::string> inZone;
    for (const Json& vm : OwnedByAdmin(BuiltInInventory()["virtualmachines"]))
        if (vm["zoneid"] == zone["id"]) inZone.push_back(vm["name"]);
    std::sort(inZone.begin(), inZone.end());
    EXPECT_FALSE(inZone.empty());
    EXPECT_EQ(Names(ParsedVms({"--zone", zone["id"]})), inZone);

    run = Cli({"hosts", "--cluster", "cluster b (gpu)", "--json"});
    ASSERT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Names(Json::parse(run.out, nullptr, false)),
              NamesWhere("hosts", [](const Json& host) { return host["clustername"] == "Cluster B (GPU)"; }));

    run = Cli({"hosts", "--cluster", "no-such-cluster"});
    EXPECT_EQ(run.status, 1);
    EXPECT_EQ(run.err, "cloudstack-cli: no cluster named \"no-such-cluster\"\n");
}

TEST_F(CliTest, AllListsEveryAccountsMachines) {
    const std::vector<std::string> everyone = NamesWhere("virtualmachines", [](const Json&) { return true; });
    const std::vector<std::string> admins = Names(OwnedByAdmin(BuiltInInventory()["virtualmachines"]));
    ASSERT_NE(everyone, admins) << "the built-in inventory no longer has a machine of another account";

    EXPECT_EQ(Names(ParsedVms()), admins);
    EXPECT_EQ(Names(ParsedVms({"--all"})), everyone);
    EXPECT_EQ(Names(ParsedVms({"--all", "--state", "Running"})),
              NamesWhere("virtualmachines", [](const Json& vm) { return vm["state"] == "Running"; }));

    std::string other;
    for (const Json& vm : BuiltInInventory()["virtualmachines"])
        if (!AdminOwns(vm)) other = vm["name"];
    EXPECT_EQ(Cli({"show", "vm", "--name", other}).status, 1);
    const RunResult run = Cli({"show", "vm", "--name", other, "--all", "--json"});
    EXPECT_EQ(run.status, 0) << run.err;
    EXPECT_EQ(Json::parse(run.out, nullptr, false).value("name", ""), other) << run.out;
}

}  // namespace
