#include "CloudStackOperations.h"

#include "SleepWithTrace.h"
#include "StrUtil.h"

namespace CloudStackSDKWrapper {

CCloudStackOperations::CCloudStackOperations(CCloudStackConnection* pConnection, CCloudStackParser* pParser,
                                             CCloudStackQueries* pQueries, CCloudStackErrorState* pErrorState)
    : CCloudStackErrorHandler(pParser, pErrorState),
      m_pConnection(pConnection),
      m_pParser(pParser),
      m_pQueries(pQueries) {}

CCloudStackOperations::~CCloudStackOperations() = default;

bool CCloudStackOperations::StartVM(const std::string& /*name*/, const std::string& id) {
    return RunPowerCommand("startVirtualMachine", "startvirtualmachineresponse", id);
}

bool CCloudStackOperations::StopVM(const std::string& /*name*/, const std::string& id) {
    return RunPowerCommand("stopVirtualMachine", "stopvirtualmachineresponse", id);
}

bool CCloudStackOperations::RunPowerCommand(const std::string& command, const std::string& responseKey,
                                            const std::string& id) {
    const std::vector<std::string> args{StrUtil::Format("id=%s", StrUtil::PercentEncode(id).c_str())};
    std::string response;
    if (!m_pConnection->POST(command, args, response)) return false;

    // The server answers at once with the id of the job that does the work.
    SJobInfoLib job;
    if (!m_pParser->ParseNestedObject<SJobInfoLib>(response, responseKey, job)) return false;
    return WaitForJob(job);
}

bool CCloudStackOperations::WaitForJob(SJobInfoLib& job) {
    for (;;) {
        if (!m_pQueries->GetJobInfo(job.strJobId, job)) return false;
        if (job.nJobStatus != 0) return job.nJobStatus == 1;
        SleepWithTrace(kJobPollIntervalMs, __FILE__, __LINE__);
    }
}

}  // namespace CloudStackSDKWrapper
