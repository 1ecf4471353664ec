#pragma once

#include <chrono>
#include <string>

#include "CloudStackConnection.h"
#include "CloudStackErrorHandler.h"
#include "CloudStackOutcome.h"
#include "CloudStackParser.h"
#include "CloudStackQueries.h"
#include "CloudStackRecords.h"

namespace CloudStackSDKWrapper {

/// @brief Starts and stops virtual machines, runs other async commands, and waits for the
/// server's jobs. Each call gives its outcome; the wrapper turns it into bool and the last error.
class CCloudStackOperations : public CCloudStackErrorHandler {
public:
    /// Default pause between two polls of a job that is still running.
    static constexpr int kJobPollIntervalMs = 10000;

    CCloudStackOperations(CCloudStackConnection* pConnection, CCloudStackParser* pParser, CCloudStackQueries* pQueries,
                          CCloudStackErrorState* pErrorState);
    ~CCloudStackOperations() = default;

    /// @brief Starts the machine with the given id and waits for the job; @p name is not used.
    SCloudStackOutcome StartVM(const std::string& name, const std::string& id);
    /// @brief Stops the machine with the given id and waits for the job; @p name is not used.
    SCloudStackOutcome StopVM(const std::string& name, const std::string& id);

    /// @brief Polls the job in @p job until it is no longer pending, or the job time-out has
    /// passed; a success when it succeeded. On return @p job holds the last answer.
    /// @return on success, the last status object as the outcome's answer ("jobresult" in it)
    SCloudStackOutcome WaitForJob(SJobInfoLib& job);

    /// @brief Sends a command through CCloudStackQueries::CallForObject and, when its answer holds
    /// a "jobid", waits for that job; @p json receives the job's result (or the answer when there
    /// was no job).
    SCloudStackOutcome CallAndWait(const std::string& command, const CloudStackParams& params, std::string& json);

    /// @brief Pause between two polls of a pending job; the first poll is sent at once.
    void SetJobPollInterval(std::chrono::milliseconds interval) { m_PollInterval = interval; }
    /// @brief Longest wait for a job; zero means no limit.
    void SetJobTimeout(std::chrono::seconds timeout) { m_Timeout = timeout; }

private:
    SCloudStackOutcome RunPowerCommand(const std::string& command, const std::string& responseKey,
                                       const std::string& id);
    SCloudStackOutcome FailJob(const SJobInfoLib& job, const JsonObject& status);

    CCloudStackConnection* m_pConnection;
    CCloudStackParser* m_pParser;
    CCloudStackQueries* m_pQueries;
    std::chrono::milliseconds m_PollInterval{kJobPollIntervalMs};
    std::chrono::seconds m_Timeout{0};
};

}  // namespace CloudStackSDKWrapper
