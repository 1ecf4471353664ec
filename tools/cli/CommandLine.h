#pragma once

#include <string>
#include <utility>
#include <vector>

namespace cscli {

enum class Command { None, Projects, Zones, Pods, Clusters, Hosts, Vms, Show, Start, Stop, Api };

/// The kind of object `show` prints.
enum class ShowKind { None, Cluster, Host, Vm };

enum class OutputFormat { Table, Json, Csv };

/// What the command line asked for. Connection settings hold only what was given on the
/// command line; the environment and the config file are consulted by the caller.
struct Options {
    Command command{Command::None};
    ShowKind showKind{ShowKind::None};

    std::string server;
    std::string user;
    std::string passwordFile;
    std::string domain;
    std::string region;
    std::string caFile;
    bool insecure{false};

    std::string name;
    std::string id;
    bool hasName{false};
    bool hasId{false};

    OutputFormat output{OutputFormat::Table};
    bool outputGiven{false};
    bool csvRaw{false};  ///< --csv-raw: CSV cells as the server sent them, without formula guard or escapes
    std::vector<std::string> fields;

    // Filters of the list commands, as typed: zone, pod, cluster and host by name or id.
    std::string zone;
    std::string pod;
    std::string cluster;
    std::string host;
    std::string state;

    bool all{false};
    bool noWait{false};
    double pollSeconds{2.0};
    double timeoutSeconds{0.0};  // 0: no limit

    std::string apiCommand;
    std::vector<std::pair<std::string, std::string>> apiParams;

    bool debug{false};
    bool help{false};
    bool version{false};
};

/// Reads the arguments (options may come before or after the command).
/// @return false on a usage error, with a one-line explanation in @p error
bool ParseCommandLine(int argc, const char* const* argv, Options& options, std::string& error);

/// The lower-case name a person types for @p command ("vms", "show", ...).
const char* CommandName(Command command);

/// True for the six commands that list objects.
bool IsList(Command command);

/// True when the list command has filters given.
bool HasFilter(const Options& options);

}  // namespace cscli
