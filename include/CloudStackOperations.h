#pragma once

#include <string>

#include "CloudStackConnection.h"
#include "CloudStackErrorHandler.h"
#include "CloudStackParser.h"
#include "CloudStackQueries.h"
#include "CloudStackRecords.h"
#include "TeskExport.h"

namespace CloudStackSDKWrapper {

/// @brief Starts and stops virtual machines and waits for the server's async job.
class CLOUDSTACK_EXPORT CCloudStackOperations : public CCloudStackErrorHandler {
public:
    /// Pause between two polls of a job that is still running.
    static constexpr int kJobPollIntervalMs = 10000;

    CCloudStackOperations(CCloudStackConnection* pConnection, CCloudStackParser* pParser, CCloudStackQueries* pQueries,
                          CCloudStackErrorState* pErrorState);
    ~CCloudStackOperations();

    /// @brief Starts the machine with the given id and waits for the job; @p name is not used.
    bool StartVM(const std::string& name, const std::string& id);
    /// @brief Stops the machine with the given id and waits for the job; @p name is not used.
    bool StopVM(const std::string& name, const std::string& id);

    /// @brief Polls the job in @p job until it is no longer pending; true when it succeeded.
    /// On return @p job holds the last answer.
    bool WaitForJob(SJobInfoLib& job);

private:
    bool RunPowerCommand(const std::string& command, const std::string& responseKey, const std::string& id);

    CCloudStackConnection* m_pConnection;
    CCloudStackParser* m_pParser;
    CCloudStackQueries* m_pQueries;
};

}  // namespace CloudStackSDKWrapper
