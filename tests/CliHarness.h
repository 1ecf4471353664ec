#pragma once

// What the end-to-end tests of cloudstack-cli share: running the real executable (optionally on
// a pseudo-terminal), a simulator child process on this test process's loopback address, and the
// simulator's inventory as the truth to compare with.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "LoopbackAddress.h"
#include "TestServer.h"

extern char** environ;

namespace clitest {

using Json = nlohmann::json;

inline const char* const kCli = CLOUDSTACK_CLI_PATH;
inline const char* const kSimulator = CLOUDSTACK_SIM_PATH;

struct RunResult {
    int status = -1;       // exit status; -1 when it did not exit normally
    std::string out;       // standard output
    std::string err;       // standard error (when it went to a pipe)
    std::string terminal;  // what the program wrote to its terminal, when it had one
};

struct Launch {
    std::vector<std::string> argv;
    std::map<std::string, std::string> env;  // CLOUDSTACK_* and overrides; the rest comes from this process
    bool withTerminal = false;               // a pseudo-terminal becomes the controlling terminal
    bool stderrToTerminal = false;           // standard error goes to that terminal
    bool stdoutToTerminal = false;           // standard output goes to that terminal
    std::string typeAfter;                   // once the terminal shows this text ...
    std::string typed;                       // ... this is typed on it
    std::string directory;                   // working directory; empty: this process's
};

// This process's environment without any CLOUDSTACK_* variable or proxy variable (http_proxy,
// NO_PROXY, ...: a developer's proxy must not carry the tests' requests), then @p overrides (which
// replace a variable of the same name, such as HOME).
inline std::vector<std::string> Environment(const std::map<std::string, std::string>& overrides) {
    std::vector<std::string> env;
    for (char** entry = environ; *entry != nullptr; ++entry) {
        const std::string variable = *entry;
        const std::string name = variable.substr(0, variable.find('='));
        std::string lower = name;
        for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
        const bool proxy = lower.size() > 6 && lower.compare(lower.size() - 6, 6, "_proxy") == 0;
        if (name.rfind("CLOUDSTACK_", 0) != 0 && !proxy && overrides.count(name) == 0) env.push_back(variable);
    }
    for (const auto& [name, value] : overrides) env.push_back(name + "=" + value);
    return env;
}

inline std::vector<char*> Pointers(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    for (std::string& s : strings) pointers.push_back(s.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Every child starts a session of its own, so it has no controlling terminal unless the test
// gives it one: a CLI run from a developer's terminal must not prompt there.
inline RunResult RunProgram(Launch launch) {
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
            if (launch.stdoutToTerminal) dup2(slave, STDOUT_FILENO);
        }
        if (!launch.directory.empty() && chdir(launch.directory.c_str()) != 0) _exit(125);
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

inline std::vector<std::string> Lines(const std::string& text) {
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

// The "Label: value" lines of `show`, by label; a line without a colon fails the test.
inline std::map<std::string, std::string> ShownFields(const std::string& text) {
    std::map<std::string, std::string> fields;
    for (const std::string& line : Lines(text)) {
        const std::size_t colon = line.find(':');
        EXPECT_NE(colon, std::string::npos) << "not a field: " << line;
        if (colon == std::string::npos) continue;
        const std::size_t value = line.find_first_not_of(' ', colon + 1);
        fields[line.substr(0, colon)] = value == std::string::npos ? "" : line.substr(value);
    }
    return fields;
}

inline bool Contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// RFC 4180, as a spreadsheet reads it: quoted fields may hold commas, doubled quotes and line breaks.
inline std::vector<std::vector<std::string>> ParseCsv(const std::string& text) {
    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> row;
    std::string field;
    bool quoted = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                field += '"';
                ++i;
            } else if (c == '"') {
                quoted = false;
            } else {
                field += c;
            }
        } else if (c == '"' && field.empty()) {
            quoted = true;
        } else if (c == ',') {
            row.push_back(field);
            field.clear();
        } else if (c == '\n') {
            row.push_back(field);
            rows.push_back(row);
            row.clear();
            field.clear();
        } else {
            field += c;
        }
    }
    EXPECT_FALSE(quoted) << "an unterminated quoted field";
    EXPECT_TRUE(row.empty() && field.empty()) << "the last line has no line end";
    return rows;
}

// A directory of this test process, made once and removed with everything in it when the process
// ends (children leave through _exit and never remove it): the files the tests write and the CLI's
// home live there, so that no run leaves anything behind in the temporary folder.
inline const std::string& ScratchDirectory() {
    struct Scratch {
        std::string path;
        Scratch() {
            std::string pattern = ::testing::TempDir() + "cli-test-XXXXXX";
            const char* made = mkdtemp(pattern.data());
            path = made != nullptr ? std::string(made) : std::string("/nonexistent");
        }
        ~Scratch() {
            std::error_code ignored;
            if (path != "/nonexistent") std::filesystem::remove_all(path, ignored);
        }
    };
    static const Scratch scratch;
    return scratch.path;
}

// Writes @p text to a file of this test process (readable by its owner only) and returns its path.
inline std::string WriteFile(const std::string& name, const std::string& text) {
    const std::string path = ScratchDirectory() + "/" + name;
    std::ofstream(path, std::ios::binary) << text;
    chmod(path.c_str(), 0600);
    return path;
}

// A home without a ~/.cloudstack.ini, so that no file of the developer's changes what a test sees.
inline const std::string& EmptyDirectory() {
    static const std::string path = [] {
        const std::string home = ScratchDirectory() + "/home";
        return mkdir(home.c_str(), 0700) == 0 ? home : std::string("/nonexistent");
    }();
    return path;
}

// The cache folder the CLI runs of this test process use: catalogues synced in one test process stay there.
inline std::string CacheDirectory() {
    return EmptyDirectory() + "/cache";
}

// The simulator's own inventory is the truth the CLI's output is compared with.
inline const Json& BuiltInInventory() {
    static const Json inventory = [] {
        Launch launch;
        launch.argv = {kSimulator, "--dump-inventory"};
        const RunResult dump = RunProgram(launch);
        return Json::parse(dump.out, nullptr, false);
    }();
    return inventory;
}

inline Json Record(const char* kind, const std::string& name) {
    for (const Json& record : BuiltInInventory()[kind])
        if (record["name"] == name) return record;
    return Json();
}

inline bool AdminOwns(const Json& record) {
    bool mine = !record.contains("account") || record["account"] == "admin";
    if (record.contains("owner")) {
        mine = false;
        for (const Json& owner : record["owner"])
            if (owner.value("account", "") == "admin") mine = true;
    }
    return mine;
}

inline std::vector<Json> OwnedByAdmin(const Json& records) {
    std::vector<Json> owned;
    for (const Json& record : records)
        if (AdminOwns(record)) owned.push_back(record);
    return owned;
}

inline Json ByName(const Json& array, const std::string& name) {
    if (array.is_array())
        for (const Json& object : array)
            if (object.value("name", "") == name) return object;
    return Json();
}

// ---------------------------------------------------------------------------------------------

class CliProcessTest : public ::testing::Test {
protected:
    const std::string address_ = cstest::ProcessLoopbackAddress();

    std::map<std::string, std::string> DefaultEnvironment() const {
        return {{"CLOUDSTACK_SERVER", address_}, {"CLOUDSTACK_PASSWORD", "password"}};
    }

    RunResult Cli(const std::vector<std::string>& args) { return CliWith(DefaultEnvironment(), args); }

    RunResult CliWith(const std::map<std::string, std::string>& env, const std::vector<std::string>& args) {
        return RunProgram(CliLaunch(env, args));
    }

    // The CLI with @p args, as Cli runs it, on a terminal of its own that its standard error goes to
    // as well: the test adds what is typed, and runs it.
    Launch CliOnATerminal(const std::vector<std::string>& args) const {
        Launch launch = CliLaunch(DefaultEnvironment(), args);
        launch.withTerminal = true;
        launch.stderrToTerminal = true;
        return launch;
    }

private:
    static Launch CliLaunch(const std::map<std::string, std::string>& env, const std::vector<std::string>& args) {
        Launch launch;
        launch.argv.push_back(kCli);
        launch.argv.insert(launch.argv.end(), args.begin(), args.end());
        launch.env = env;
        launch.env.emplace("HOME", EmptyDirectory());
        // A developer's own cached catalogues stay out of every test.
        launch.env.emplace("XDG_CACHE_HOME", CacheDirectory());
        return launch;
    }
};

// A simulator child process of its own on this process's loopback address, for each test.
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
        if (startupLine_ >= 0) close(startupLine_);
        if (!inventoryFile_.empty()) std::remove(inventoryFile_.c_str());
    }

    virtual std::vector<std::string> SimulatorArguments() { return {}; }
    // Where the simulator started with SimulatorArguments() says it listens.
    virtual std::string SimulatorUrl() const { return "http://" + address_ + ":8080/client/api"; }

    // Serves @p inventory from a file instead of the built-in one.
    std::vector<std::string> ServeInventory(const Json& inventory) {
        inventoryFile_ = WriteFile("inventory.json", inventory.dump());
        return {"--inventory", inventoryFile_};
    }

    // The simulator prints its startup line once it accepts connections: reading that line (a
    // blocking read) is the wait.
    void StartSimulator(const std::vector<std::string>& extra) {
        std::vector<std::string> args = {kSimulator, "--listen", address_};
        args.insert(args.end(), extra.begin(), extra.end());
        std::vector<char*> argv = Pointers(args);
        int out[2];
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        simulator_ = fork();
        if (simulator_ == 0) {
            dup2(out[1], STDOUT_FILENO);  // errors still reach the test log on stderr
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(out[1]);
        startupLine_ = out[0];  // kept open until TearDown, so that no later write can fail
        ASSERT_GT(simulator_, 0);
        std::string line;
        char c = 0;
        for (;;) {
            const ssize_t n = read(startupLine_, &c, 1);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0 || c == '\n') break;
            line += c;
        }
        const std::string expected = "cloudstack-sim listening on " + SimulatorUrl();
        if (line != expected) {
            waitpid(simulator_, nullptr, 0);
            simulator_ = -1;
            FAIL() << "the simulator did not start on " << address_ << "; it printed '" << line << "'";
        }
    }

    Json ParsedVms(const std::vector<std::string>& extra = {}) {
        std::vector<std::string> args = {"vms", "--json"};
        args.insert(args.end(), extra.begin(), extra.end());
        const RunResult run = Cli(args);
        EXPECT_EQ(run.status, 0) << run.err;
        return Json::parse(run.out, nullptr, false);
    }

    static std::string FirstRunningMachine() {
        for (const Json& vm : OwnedByAdmin(BuiltInInventory()["virtualmachines"]))
            if (vm["state"] == "Running") return vm["name"];
        return "";
    }

    pid_t simulator_ = -1;
    int startupLine_ = -1;
    std::string inventoryFile_;
};

// The scripted, recording test server in this process, for answers the simulator never gives and
// for checks of what the client sent.
class CliServerTest : public CliProcessTest {
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

}  // namespace clitest
