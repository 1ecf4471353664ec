#pragma once

#include <string>

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

/// api COMMAND [NAME=VALUE ...].
int RunApi(Context& context);

/// wait JOBID.
int RunWait(Context& context);

}  // namespace cscli
