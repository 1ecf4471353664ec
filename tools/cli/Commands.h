#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "CloudStackWrapper.h"
#include "CommandLine.h"

namespace cscli {

constexpr int kExitSuccess = 0;
constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitInterrupted = 130;  // as a shell reports a process that SIGINT ended

/// What every command needs besides its options.
struct Context {
    CloudStackSDKWrapper::CCloudStackWrapper& cloud;
    const Options& options;
    std::string server;  ///< the server as messages name it
    bool prettyJson;     ///< standard output is a terminal
    bool statusLine;     ///< standard error is a terminal, and no trace lines tear it apart
};

/// Writes "cloudstack-cli: <message>" on standard error. @return kExitFailed
int Fail(const std::string& message);

/// Writes @p text on standard output.
void Print(const std::string& text);

/// projects, zones, pods, clusters, hosts, vms.
int RunList(Context& context);

/// show cluster|host|vm.
int RunShow(Context& context);

/// start and stop.
int RunPower(Context& context, bool start);

/// start and stop of several machines, or of those that filters select, side by side.
int RunPowerMany(Context& context, bool start);

/// One command of api --batch: its line in the file, the command and its parameters.
struct BatchCommand {
    std::size_t line{0};
    std::string command;
    CloudStackSDKWrapper::CloudStackParams params;
};

/// Reads the commands of api --batch FILE ("-": standard input): one "COMMAND NAME=VALUE ..." a line, words
/// split at blanks and quoted as a shell quotes them ('...', "...", a backslash), blank lines and lines that
/// begin with '#' skipped. @return false with a one-line reason in @p error
bool ReadBatch(const std::string& file, std::vector<BatchCommand>& commands, std::string& error);

/// api --batch: every command side by side, each job waited for; one JSON line per command.
int RunApiBatch(Context& context, std::vector<BatchCommand>& commands);

/// The server's parameters for the filters of vms, start and stop (--zone, --host, --state, --all): a zone
/// or host named by its name becomes its id. @return false with the exit status in @p status
bool VmFilterParams(Context& context, CloudStackSDKWrapper::CloudStackParams& params, int& status);

/// api COMMAND [NAME=VALUE ...].
int RunApi(Context& context);

/// wait JOBID.
int RunWait(Context& context);

}  // namespace cscli
