// cloudstack-cli: lists a cloud's inventory and starts or stops virtual machines through the
// management server's HTTP API, using the library as any host program would.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "CloudStackWrapper.h"
#include "CommandLine.h"
#include "Password.h"
#include "RecordFields.h"
#include "Table.h"
#include "WaitTicker.h"

using namespace CloudStackSDKWrapper;
using cscli::Command;
using cscli::Options;

namespace {

constexpr int kExitSuccess = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;

int Fail(const std::string& message) {
    std::fprintf(stderr, "cloudstack-cli: %s\n", cscli::Printable(message).c_str());
    return kExitFailed;
}

int UsageError(const std::string& message) {
    std::fprintf(stderr, "cloudstack-cli: %s (see 'cloudstack-cli --help')\n", cscli::Printable(message).c_str());
    return kExitUsage;
}

void Print(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

// Names and other server text may hold invalid UTF-8; it must not stop the output.
void PrintJson(const nlohmann::ordered_json& value) {
    Print(value.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n");
}

std::string EnvironmentOr(const char* name, const char* fallback) {
    const char* value = std::getenv(name);
    return value != nullptr && *value != '\0' ? value : fallback;
}

template <typename Record>
int PrintList(bool listed, const std::vector<Record>& records, const Options& options, const char* what) {
    if (!listed) return Fail(std::string("listing ") + what + " failed");
    if (options.json) {
        nlohmann::ordered_json array = nlohmann::ordered_json::array();
        for (const Record& record : records) array.push_back(cscli::ToJson(cscli::FieldsOf(record)));
        PrintJson(array);
    } else {
        Print(cscli::TableOf(records));
    }
    return kExitSuccess;
}

std::string NotFound(const char* what, const Options& options) {
    if (options.hasId) return std::string("no ") + what + " with id '" + options.id + "' (or the lookup failed)";
    return std::string("no ") + what + " named '" + options.name + "' (or the lookup failed)";
}

template <typename Record, typename Lookup>
int Show(Lookup lookup, const Options& options, const char* what) {
    Record record;
    if (!lookup(options.hasId ? "" : options.name, options.hasId ? options.id : "", record)) {
        return Fail(NotFound(what, options));
    }
    const std::vector<cscli::Field> fields = cscli::FieldsOf(record);
    if (options.json)
        PrintJson(cscli::ToJson(fields));
    else
        Print(cscli::ToLabelLines(fields));
    return kExitSuccess;
}

int ChangePower(CCloudStackWrapper& cloud, const Options& options, bool start) {
    // Looking the machine up first tells an unknown name apart from a job that failed.
    SVMInfoLib vm;
    if (!cloud.GetVMInfo(options.hasId ? "" : options.name, options.hasId ? options.id : "", vm, 0)) {
        return Fail(NotFound("virtual machine", options));
    }
    const std::string who = vm.strName.empty() ? vm.strId : vm.strName;

    bool done = false;
    {
        // Trace lines of --debug would be torn apart by a line rewritten in place.
        std::optional<cscli::WaitTicker> ticker;
        if (!options.debug && isatty(STDERR_FILENO))
            ticker.emplace(STDERR_FILENO, (start ? "Starting " : "Stopping ") + cscli::Printable(who));
        done = start ? cloud.StartVM("", vm.strId) : cloud.StopVM("", vm.strId);
    }
    if (!done) {
        std::string message = std::string("the ") + (start ? "start" : "stop") + " job for " + who + " did not succeed";
        if (start && vm.strState == "Running") message += " (it was already running)";
        return Fail(message);
    }
    Print(who + (start ? " started.\n" : " stopped.\n"));
    return kExitSuccess;
}

int Run(CCloudStackWrapper& cloud, const Options& options) {
    switch (options.command) {
        case Command::Projects: {
            std::vector<SProjectInfoLib> records;
            const bool listed = cloud.GetProjectInfoList(records, 0);
            return PrintList(listed, records, options, "projects");
        }
        case Command::Zones: {
            std::vector<SZoneInfoLib> records;
            const bool listed = cloud.GetZoneInfoList(records, 0);
            return PrintList(listed, records, options, "zones");
        }
        case Command::Pods: {
            std::vector<SPodInfoLib> records;
            const bool listed = cloud.GetPodInfoList(records, 0);
            return PrintList(listed, records, options, "pods");
        }
        case Command::Clusters: {
            std::vector<SClusterInfoLib> records;
            const bool listed = cloud.GetClusterInfoList(records, 0);
            return PrintList(listed, records, options, "clusters");
        }
        case Command::Hosts: {
            std::vector<SHostInfoLib> records;
            const bool listed = cloud.GetHostInfoList(records, 0);
            return PrintList(listed, records, options, "hosts");
        }
        case Command::Vms: {
            std::vector<SVMInfoLib> records;
            const bool listed = cloud.GetVMInfoList(records, 0);
            return PrintList(listed, records, options, "virtual machines");
        }
        case Command::Show:
            switch (options.showKind) {
                case cscli::ShowKind::Cluster:
                    return Show<SClusterInfoLib>([&](const std::string& n, const std::string& i,
                                                     SClusterInfoLib& r) { return cloud.GetClusterInfo(n, i, r, 0); },
                                                 options, "cluster");
                case cscli::ShowKind::Host:
                    return Show<SHostInfoLib>([&](const std::string& n, const std::string& i,
                                                  SHostInfoLib& r) { return cloud.GetHostInfo(n, i, r, 0); },
                                              options, "host");
                case cscli::ShowKind::Vm:
                    return Show<SVMInfoLib>([&](const std::string& n, const std::string& i,
                                                SVMInfoLib& r) { return cloud.GetVMInfo(n, i, r, 0); },
                                            options, "virtual machine");
                case cscli::ShowKind::None:
                    break;
            }
            break;
        case Command::Start:
            return ChangePower(cloud, options, true);
        case Command::Stop:
            return ChangePower(cloud, options, false);
        case Command::None:
            break;
    }
    return UsageError("no command given");
}

int Main(int argc, char** argv) {
    Options options;
    std::string error;
    if (!cscli::ParseCommandLine(argc, argv, options, error)) return UsageError(error);
    if (options.help) {
        Print(cscli::CommandHelp(options.command));
        return kExitSuccess;
    }

    const std::string server =
        !options.server.empty() ? options.server : EnvironmentOr("CLOUDSTACK_SERVER", "127.0.0.1");
    const std::string user = !options.user.empty() ? options.user : EnvironmentOr("CLOUDSTACK_USER", "admin");
    if (server.find('/') != std::string::npos)
        return UsageError("the server is a host name or address, without scheme, port or path: '" + server + "'");

    std::string password;
    if (const char* fromEnvironment = std::getenv("CLOUDSTACK_PASSWORD");
        fromEnvironment != nullptr && *fromEnvironment != '\0') {
        password = fromEnvironment;
    } else if (!options.passwordFile.empty()) {
        if (!cscli::ReadPasswordFile(options.passwordFile, password, error)) return UsageError(error);
    } else {
        switch (cscli::PromptPassword("Password for " + user + " at " + server + ": ", password)) {
            case cscli::PromptResult::Read:
                break;
            case cscli::PromptResult::NoTerminal:
                std::fprintf(stderr,
                             "cloudstack-cli: no password: set CLOUDSTACK_PASSWORD or use --password-file FILE "
                             "(there is no terminal to ask on)\n");
                return kExitUsage;
            case cscli::PromptResult::NoInput:
                std::fprintf(stderr, "cloudstack-cli: no password was entered\n");
                return kExitUsage;
        }
    }

    // The library writes its own error lines to standard error; without --debug the one line
    // this program prints says what failed, so theirs are dropped.
    if (!options.debug) TraceLog::SetSink([](const TraceLogRecord&) {});

    CCloudStackWrapper cloud;
    if (options.debug) cloud.EnableDebug();
    if (!cloud.Connect(server, user, password)) {
        return Fail("cannot log in to " + server + " as " + user + " (check server, user and password)");
    }
    return Run(cloud, options);
}

}  // namespace

int main(int argc, char** argv) {
    int status = kExitFailed;
    try {
        status = Main(argc, argv);
    } catch (const std::exception& e) {
        status = Fail(std::string("internal error: ") + e.what());
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "cloudstack-cli: cannot write to standard output\n");
        if (status == kExitSuccess) status = kExitFailed;
    }
    return status;
}
