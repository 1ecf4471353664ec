#pragma once

#include <string>
#include <utility>
#include <vector>

namespace cscli {

/// Complete is the hidden helper the completion scripts call: "__complete WORD ...".
enum class Command {
    None,
    Projects,
    Zones,
    Pods,
    Clusters,
    Hosts,
    Vms,
    Show,
    Start,
    Stop,
    Wait,
    Api,
    Sync,
    Completion,
    Complete
};

/// The kind of object `show` prints.
enum class ShowKind { None, Cluster, Host, Vm };

/// Text: one "name = value" line per attribute, a blank line between records.
enum class OutputFormat { Table, Json, Csv, Text };

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
    std::string proxy;        ///< --proxy URL
    std::string certFile;     ///< --cert FILE: the client certificate
    std::string certKeyFile;  ///< --cert-key FILE: its private key

    std::string name;
    std::string id;
    bool hasName{false};
    bool hasId{false};
    /// Every --name (false) and --id (true) in the order given: start and stop take any number.
    std::vector<std::pair<bool, std::string>> machines;
    bool yes{false};          ///< --yes: act on several machines without asking
    unsigned concurrency{0};  ///< --concurrency N: requests under way at once; 0: the library's default
    std::string batchFile;    ///< api --batch FILE: one command per line; "-" for standard input

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

    std::string jobId;  ///< wait: the job to wait for

    std::string apiCommand;
    std::vector<std::pair<std::string, std::string>> apiParams;
    // The API command in two words ("list virtualmachines"), as typed; apiCommand holds the built-in spelling
    // until a cached catalogue gives the server's own.
    std::string apiVerb;
    std::string apiNoun;
    bool raw{false};      ///< the server's answer object as received (lists: every page merged, with count)
    bool noCheck{false};  ///< no checks against the cached catalogue

    std::string shell;                       ///< completion: bash or zsh
    std::vector<std::string> completeWords;  ///< __complete: the words typed so far, the last one being completed

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

/// True when the list command (or start and stop) has filters given.
bool HasFilter(const Options& options);

/// True for start and stop on more than one machine, or on the machines that filters select: the
/// machines' commands run side by side, one result line each.
bool IsBulkPower(const Options& options);

/// Every option name, for completion.
std::vector<std::string> OptionNames();

/// True for an option that takes a value ("--server", "-o", ...).
bool TakesValue(const std::string& option);

/// The commands a person types first: ours, in help order ("projects", ..., "completion").
std::vector<std::string> CommandNames();

}  // namespace cscli
