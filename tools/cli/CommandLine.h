#pragma once

#include <string>

namespace cscli {

enum class Command { None, Projects, Zones, Pods, Clusters, Hosts, Vms, Show, Start, Stop };

/// The kind of object `show` prints.
enum class ShowKind { None, Cluster, Host, Vm };

/// What the command line asked for. Connection settings hold only what was given on the
/// command line; defaults from the environment are applied by the caller.
struct Options {
    Command command{Command::None};
    ShowKind showKind{ShowKind::None};
    std::string server;
    std::string user;
    std::string passwordFile;
    std::string name;
    std::string id;
    bool hasName{false};
    bool hasId{false};
    bool json{false};
    bool debug{false};
    bool help{false};
};

/// Reads the arguments (connection options may come before or after the command).
/// @return false on a usage error, with a one-line explanation in @p error
bool ParseCommandLine(int argc, const char* const* argv, Options& options, std::string& error);

/// Text of `cloudstack-cli --help`.
std::string ProgramHelp();

/// Text of `cloudstack-cli COMMAND --help`.
std::string CommandHelp(Command command);

/// The lower-case name a person types for @p command ("vms", "show", ...).
const char* CommandName(Command command);

}  // namespace cscli
