#include "CloudStackOperations.h"

#include <algorithm>
#include <limits>

#include "SleepWithTrace.h"
#include "StrUtil.h"
#include "TeskJson.h"

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
    if (!m_pConnection->POST(command, args, response)) {
        SetLastErrorFromRequest(*m_pConnection, command, response);
        return false;
    }

    // The server answers at once with the id of the job that does the work.
    SJobInfoLib job;
    if (!m_pParser->ParseNestedObject<SJobInfoLib>(response, responseKey, job)) {
        SetLastErrorFromAnswer(command, response);
        return false;
    }
    return WaitForJob(job);
}

bool CCloudStackOperations::WaitForJob(SJobInfoLib& job) {
    std::string jobResult;
    return WaitForJob(job, jobResult);
}

bool CCloudStackOperations::WaitForJob(SJobInfoLib& job, std::string& jobResult) {
    using std::chrono::milliseconds;
    const auto started = std::chrono::steady_clock::now();
    milliseconds paused{0};
    for (;;) {
        if (!m_pQueries->GetJobInfo(job.strJobId, job, jobResult)) return false;
        if (job.nJobStatus == 1) return true;
        if (job.nJobStatus != 0) {
            FailJob(job, jobResult);
            return false;
        }
        milliseconds pause = m_PollInterval;
        if (m_Timeout.count() > 0) {
            // The time waited is what the pauses asked for, or what the clock says when requests
            // took longer: a replaced sleep (tests) does not let the clock move.
            const auto elapsed =
                std::max(paused, std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - started));
            if (elapsed >= m_Timeout) {
                m_Log.Error(__PRETTY_FUNCTION__, "job %s still pending after %lld s; no longer waiting",
                            job.strJobId.c_str(), static_cast<long long>(m_Timeout.count()));
                SetLastError(CS_ERROR_JOB_TIMEOUT, "job " + job.strJobId + " still pending after " +
                                                       std::to_string(m_Timeout.count()) +
                                                       " s; it goes on on the server");
                return false;
            }
            pause = std::min(pause, std::chrono::duration_cast<milliseconds>(m_Timeout) - elapsed);
        }
        SleepWithTrace(static_cast<int>(std::min<milliseconds::rep>(pause.count(), std::numeric_limits<int>::max())),
                       __FILE__, __LINE__);
        paused += pause;
    }
}

void CCloudStackOperations::FailJob(const SJobInfoLib& job, const std::string& jobResult) {
    // A failed job carries its reason in jobresult; a job cancelled by a restart carries none.
    long code = job.nJobResultCode != 0 ? job.nJobResultCode : job.nJobStatus;
    std::string text;
    if (!jobResult.empty()) {
        JsonObject result;
        if (TeskJson::TryUnserialize(jobResult, result)) {
            long long errorCode = 0;
            if (TeskJson::TryGetCount(result, "errorcode", errorCode) && errorCode != 0) {
                code = static_cast<long>(errorCode);
            }
            text = TeskJson::GetStringValue(result, "errortext");
        }
    }
    if (text.empty()) {
        text = "job " + job.strJobId + " ended with status " + std::to_string(job.nJobStatus) +
               (job.nJobResultCode != 0 ? " and result code " + std::to_string(job.nJobResultCode) : "");
    }
    // A job refused by the server is as much a failed call as a request it refuses at once.
    SetLastError(code, text);
    m_Log.Error(__PRETTY_FUNCTION__, "job %s failed (%ld): %s", job.strJobId.c_str(), code, GetErrorMessage().c_str());
}

bool CCloudStackOperations::CallAndWait(const std::string& command, const CloudStackParams& params, std::string& json) {
    JsonObject document;
    const JsonObject* inner = nullptr;
    if (!m_pQueries->CallForObject(command, params, document, inner)) return false;
    SJobInfoLib job;
    job.strJobId = TeskJson::GetStringValue(*inner, "jobid");
    if (job.strJobId.empty()) {
        json = JsonValue(*inner).dump();
        return true;
    }
    std::string jobResult;
    if (!WaitForJob(job, jobResult)) return false;
    json = jobResult.empty() ? "{}" : jobResult;
    return true;
}

}  // namespace CloudStackSDKWrapper
