#pragma once

#include <chrono>
#include <functional>
#include <string>

#include "CloudStackConnection.h"
#include "CloudStackErrorHandler.h"
#include "CloudStackOutcome.h"
#include "CloudStackParser.h"
#include "CloudStackQueries.h"
#include "CloudStackRecords.h"

namespace CloudStackSDKWrapper {

/// @brief Called after every poll of a job: its id, the status the poll read (0 pending, 1 success,
/// anything else failure) and the time waited so far. false ends the wait of a pending job.
using CloudStackJobProgress =
    std::function<bool(const std::string& jobId, int jobStatus, std::chrono::milliseconds elapsed)>;

/// @brief Where the wait for one job stands: a small value that one poll at a time advances, so
/// that the waits of several jobs can take turns.
struct SJobWait {
    std::string strJobId;                             ///< the job the submit answer named; every poll asks for it
    std::chrono::steady_clock::time_point started{};  ///< when the wait began
    std::chrono::milliseconds paused{0};              ///< the pauses between polls so far
    int nLastStatus{0};                               ///< the status the last poll read: 0 pending

    /// @brief A wait for @p jobId that starts now.
    static SJobWait Start(std::string jobId);
    /// @brief The time waited: the pauses asked for, or what the clock says when requests took longer
    /// (a sleep that tests replace lets no time pass).
    std::chrono::milliseconds Elapsed() const;
};

/// @brief Starts and stops virtual machines, runs other async commands, and waits for the
/// server's jobs. Each call gives its outcome; the wrapper turns it into bool and the last error.
class CCloudStackOperations : public CCloudStackErrorHandler {
public:
    /// Default pause between two polls of a job that is still running.
    static constexpr int kJobPollIntervalMs = 10000;

    /// @brief Operations whose requests go through @p pQueries (borrowed, not owned).
    CCloudStackOperations(CCloudStackQueries* pQueries, CCloudStackErrorState* pErrorState);
    ~CCloudStackOperations() = default;

    /// @brief Starts the machine with the given id and waits for the job; @p name is not used.
    SCloudStackOutcome StartVM(const std::string& name, const std::string& id);
    /// @brief Stops the machine with the given id and waits for the job; @p name is not used.
    SCloudStackOutcome StopVM(const std::string& name, const std::string& id);

    /// @brief One poll of @p wait's job: asks for its id, and records the status read in @p wait and
    /// the whole status in @p job.
    /// @return a failure when the poll failed or the answer is about another job; otherwise success
    /// with the status object as the outcome's answer ("jobresult" in it)
    SCloudStackOutcome Poll(SJobWait& wait, SJobInfoLib& job);
    /// @brief What a poll that read a status other than pending means: @p poll for success, the job's
    /// failure otherwise.
    SCloudStackOutcome Finish(const SJobWait& wait, const SJobInfoLib& job, SCloudStackOutcome poll);
    /// @brief The pause before the next poll of a pending job, or CS_ERROR_JOB_TIMEOUT once the job
    /// time-out has passed.
    SCloudStackOutcome NextPause(const SJobWait& wait, std::chrono::milliseconds& pause);

    /// @brief Polls @p wait's job at once and then every poll interval until it is no longer pending,
    /// the job time-out has passed or the progress callback says stop.
    /// @return on success, the last status object as the outcome's answer ("jobresult" in it)
    SCloudStackOutcome WaitForJob(SJobWait& wait);
    /// @brief WaitForJob for a job the caller already has; @p json receives its "jobresult".
    SCloudStackOutcome WaitForJob(const std::string& jobId, std::string& json);

    /// @brief Sends a command through CCloudStackQueries::CallForObject and, when its answer holds
    /// a "jobid", waits for that job; @p json receives the job's result (or the answer when there
    /// was no job).
    SCloudStackOutcome CallAndWait(const std::string& command, const CloudStackParams& params, std::string& json);

    /// @brief Pause between two polls of a pending job; the first poll is sent at once. Zero or less:
    /// none.
    void SetJobPollInterval(std::chrono::milliseconds interval);
    /// @brief Longest wait for a job; zero or less means no limit, and so does one too long to count
    /// in milliseconds.
    void SetJobTimeout(std::chrono::seconds timeout) { m_Timeout = timeout; }
    /// @brief Called after every poll; empty for none.
    void SetJobProgress(CloudStackJobProgress progress) { m_Progress = std::move(progress); }

private:
    SCloudStackOutcome RunPowerCommand(const std::string& command, const std::string& id);

    CCloudStackQueries* m_pQueries;
    std::chrono::milliseconds m_PollInterval{kJobPollIntervalMs};
    std::chrono::seconds m_Timeout{0};
    CloudStackJobProgress m_Progress;
};

}  // namespace CloudStackSDKWrapper
