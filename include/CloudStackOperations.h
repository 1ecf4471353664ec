#pragma once

#include <chrono>
#include <functional>
#include <string>
#include <vector>

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

/// @brief What an answer says of its job: none, an id that a poll can ask for, or one it cannot.
enum class EJobId { None, Found, Unusable };

/// @brief The job id of a submit or status answer: a string, or a whole number as older servers send
/// it. A null or empty one is none; any other value (a fraction, a negative number, an object, a NUL in
/// a string) is no id that a poll could ask for.
EJobId JobIdOf(const JsonObject& answer, std::string& id);

/// @brief One command of a batch (CCloudStackOperations::RunBatch) and how it ended.
struct SBatchItem {
    TeskApiRequest request;      ///< the command to send
    SCloudStackOutcome outcome;  ///< in: a refusal keeps the command from being sent; out: how it ended
    std::string strJson;         ///< out, on success: the job's "jobresult", or the answer when it named no job
};

/// @brief Starts and stops virtual machines, runs other async commands, and waits for the
/// server's jobs. Each call gives its outcome; the wrapper turns it into bool and the last error.
class CCloudStackOperations : public CCloudStackErrorHandler {
public:
    /// Default pause between two polls of a job that is still running.
    static constexpr int kJobPollIntervalMs = 10000;
    /// Requests of a batch under way at once, by default and at most.
    static constexpr unsigned kDefaultConcurrency = 4;
    static constexpr unsigned kMaxConcurrency = 64;

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
    /// @brief Poll's check of a status answer that arrived: one about another job is a failure;
    /// otherwise @p wait records the status read.
    SCloudStackOutcome CheckPoll(SJobWait& wait, const SJobInfoLib& job, SCloudStackOutcome poll);
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

    /// @brief Sends every item's request and waits for every job its answer names, as CallAndWait does
    /// for one: at most Concurrency() requests under way at once (submits and polls together), every
    /// pending job polled once per poll interval, the job timeout and the progress callback applied to
    /// each job. A callback that returns false stops every wait (also when it says so after the poll that
    /// saw its own job end): each job still pending, and each item whose submit then ends, is
    /// CS_ERROR_WAIT_STOPPED with its job id; items not sent yet are not sent and are CS_ERROR_WAIT_STOPPED
    /// too. The callback is not called again after that.
    /// @param items the commands; each one's outcome and text say how it ended
    /// @param jobRequired true when an answer without a job id is a bad answer (the power commands);
    /// false when it is the result itself
    /// @param ended called with an item's index as soon as it has ended (before the next poll), when set
    void RunBatch(std::vector<SBatchItem>& items, bool jobRequired,
                  const std::function<void(std::size_t)>& ended = nullptr);
    /// @brief Most requests of a batch under way at once: 1 to kMaxConcurrency; 0 restores the default.
    void SetConcurrency(unsigned concurrency);
    /// @brief The bound SetConcurrency set.
    unsigned Concurrency() const { return m_nConcurrency; }

    /// @brief Pause between two polls of a pending job; the first poll is sent at once. Zero or less:
    /// none.
    void SetJobPollInterval(std::chrono::milliseconds interval);
    /// @brief Longest wait for a job; zero or less means no limit, and so does one too long to count
    /// in milliseconds.
    void SetJobTimeout(std::chrono::seconds timeout) { m_Timeout = timeout; }
    /// @brief Called after every poll; empty for none.
    void SetJobProgress(CloudStackJobProgress progress) { m_Progress = std::move(progress); }

private:
    struct Batch;  // one run of RunBatch (CloudStackJobBatch.cpp)

    SCloudStackOutcome RunPowerCommand(const std::string& command, const std::string& id);
    // The failure of a submit answer @p answer to @p command without a usable job id: @p kind says which.
    SCloudStackOutcome NoJob(const std::string& command, EJobId kind, long httpStatus);

    CCloudStackQueries* m_pQueries;
    std::chrono::milliseconds m_PollInterval{kJobPollIntervalMs};
    std::chrono::seconds m_Timeout{0};
    CloudStackJobProgress m_Progress;
    unsigned m_nConcurrency{kDefaultConcurrency};
};

}  // namespace CloudStackSDKWrapper
