#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "CloudStackWrapper.h"
#include "RecordFields.h"

namespace cscli {

struct JobOptions {
    double pollSeconds{2.0};
    double timeoutSeconds{0.0};  ///< 0: no limit
    bool noWait{false};
    bool followJob{true};    ///< false: a job id in the answer is data, not a job to wait for
    bool statusLine{false};  ///< rewrite a status line on standard error while waiting
    std::string label;       ///< what the status line says is going on ("Stopping web-01")
};

enum class JobState {
    Answered,     ///< the command answered without a job (or its job is not followed): result holds the answer
    Submitted,    ///< --no-wait: the server accepted the command; jobId holds the job
    Succeeded,    ///< the job succeeded: result holds its "jobresult"
    Failed,       ///< the job failed: error holds its code and text
    TimedOut,     ///< the wait's time limit passed; the job goes on
    Interrupted,  ///< Ctrl-C during the wait; the job goes on
    CallFailed,   ///< the command itself was refused: error holds the wrapper's last error
    PollFailed,   ///< a poll of the job failed: error holds the wrapper's last error
};

struct JobOutcome {
    JobState state{JobState::CallFailed};
    std::string jobId;
    Json result;
    std::string text;  ///< result as JSON text: the server's own bytes for Answered and Submitted
    CloudStackSDKWrapper::CCloudStackErrorState error;
};

/// Sends @p command, and when its answer holds a job id (a string, or a number as older servers send
/// it), waits for that job through the library's WaitForJob (WaitFor). Ctrl-C is caught from the
/// moment the command is sent until the wait ends.
JobOutcome SubmitAndWait(CloudStackSDKWrapper::CCloudStackWrapper& cloud, const std::string& command,
                         const CloudStackSDKWrapper::CloudStackParams& params, const JobOptions& options);

/// Where one command of a bulk call stands, as the library's result for it says while the call runs.
enum class ItemState { Waiting, Done, Failed };

/// Runs @p call, a bulk call of @p cloud (StartVMs, StopVMs, CallAndWaitMany), with the poll interval and
/// time-out of @p options (the time-out in whole seconds, per job), Ctrl-C (which stops every wait: the
/// jobs go on) and, on a terminal, a status line: "<label>: 12 done, 1 failed, 24 waiting, 00:41".
/// @param count the number of commands
/// @param state where command i stands, from the results the call writes as each one ends
/// @param seconds receives, per command, the seconds from the start until it was seen to end
/// @param interrupted receives whether Ctrl-C stopped the waits
/// @return what @p call returned
bool RunBulk(CloudStackSDKWrapper::CCloudStackWrapper& cloud, const JobOptions& options, std::size_t count,
             const std::function<ItemState(std::size_t)>& state, const std::function<bool()>& call,
             std::vector<double>& seconds, bool& interrupted);

/// Waits for job @p jobId through the library: the first poll at once, then every poll interval,
/// until the job ends, the time limit passes or Ctrl-C is pressed (both noticed after a poll), with
/// the status line on standard error.
JobOutcome WaitFor(CloudStackSDKWrapper::CCloudStackWrapper& cloud, const std::string& jobId,
                   const JobOptions& options);

}  // namespace cscli
