#include "CloudStackOperations.h"

#include <algorithm>
#include <limits>

#include "SleepWithTrace.h"
#include "StrUtil.h"
#include "TeskApiRequest.h"
#include "TeskJson.h"

namespace CloudStackSDKWrapper {

CCloudStackOperations::CCloudStackOperations(CCloudStackConnection* pConnection, CCloudStackParser* pParser,
                                             CCloudStackQueries* pQueries, CCloudStackErrorState* pErrorState)
    : CCloudStackErrorHandler(pErrorState), m_pConnection(pConnection), m_pParser(pParser), m_pQueries(pQueries) {}

SCloudStackOutcome CCloudStackOperations::StartVM(const std::string& /*name*/, const std::string& id) {
    return RunPowerCommand("startVirtualMachine", "startvirtualmachineresponse", id);
}

SCloudStackOutcome CCloudStackOperations::StopVM(const std::string& /*name*/, const std::string& id) {
    return RunPowerCommand("stopVirtualMachine", "stopvirtualmachineresponse", id);
}

SCloudStackOutcome CCloudStackOperations::RunPowerCommand(const std::string& command, const std::string& responseKey,
                                                          const std::string& id) {
    TeskApiRequest request = TeskApiRequest::Post(command).Add("id", id);
    std::string response;
    SCloudStackOutcome outcome = m_pConnection->Send(request, response);
    if (!outcome) return outcome;

    // The server answers at once with the id of the job that does the work.
    SJobInfoLib job;
    SAnswerRefusal refusal;
    if (!m_pParser->ParseNestedObject<SJobInfoLib>(response, responseKey, job, &refusal)) {
        if (refusal.lApiCode != 0) {
            return SCloudStackOutcome::Failure(SCloudStackOutcome::EFailure::ApiError, refusal.lApiCode,
                                               refusal.strApiText);
        }
        return SCloudStackOutcome::Failure(
            SCloudStackOutcome::EFailure::NotTheAnswer, CS_ERROR_BAD_ANSWER,
            "the answer to " + command + " is not what it should be (" + std::to_string(response.size()) + " bytes)");
    }
    return WaitForJob(job);
}

SCloudStackOutcome CCloudStackOperations::WaitForJob(SJobInfoLib& job) {
    using std::chrono::milliseconds;
    const auto started = std::chrono::steady_clock::now();
    milliseconds paused{0};
    for (;;) {
        SCloudStackOutcome poll = m_pQueries->GetJobInfo(job.strJobId, job);
        if (!poll || job.nJobStatus == 1) return poll;
        if (job.nJobStatus != 0) return FailJob(job, poll.Answer());
        milliseconds pause = m_PollInterval;
        if (m_Timeout.count() > 0) {
            // The time waited is what the pauses asked for, or what the clock says when requests
            // took longer: a replaced sleep (tests) does not let the clock move.
            const auto elapsed =
                std::max(paused, std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - started));
            if (elapsed >= m_Timeout) {
                m_Log.Error(__PRETTY_FUNCTION__, "job %s still pending after %lld s; no longer waiting",
                            job.strJobId.c_str(), static_cast<long long>(m_Timeout.count()));
                return SCloudStackOutcome::Refusal(
                    CS_ERROR_JOB_TIMEOUT, "job " + job.strJobId + " still pending after " +
                                              std::to_string(m_Timeout.count()) + " s; it goes on on the server");
            }
            pause = std::min(pause, std::chrono::duration_cast<milliseconds>(m_Timeout) - elapsed);
        }
        SleepWithTrace(static_cast<int>(std::min<milliseconds::rep>(pause.count(), std::numeric_limits<int>::max())),
                       __FILE__, __LINE__);
        paused += pause;
    }
}

SCloudStackOutcome CCloudStackOperations::FailJob(const SJobInfoLib& job, const JsonObject& status) {
    // A failed job carries its reason in jobresult; a job cancelled by a restart carries none.
    long code = job.nJobResultCode != 0 ? job.nJobResultCode : job.nJobStatus;
    std::string text;
    if (const JsonObject* result = TeskJson::FindObject(status, "jobresult")) {
        long long errorCode = 0;
        if (TeskJson::TryGetCount(*result, "errorcode", errorCode) && errorCode != 0) {
            code = static_cast<long>(errorCode);
        }
        text = TeskJson::GetStringValue(*result, "errortext");
    }
    if (text.empty()) {
        text = "job " + job.strJobId + " ended with status " + std::to_string(job.nJobStatus) +
               (job.nJobResultCode != 0 ? " and result code " + std::to_string(job.nJobResultCode) : "");
    }
    // A job refused by the server is as much a failed call as a request it refuses at once.
    m_Log.Error(__PRETTY_FUNCTION__, "job %s failed (%ld): %s", job.strJobId.c_str(), code, Capped(text).c_str());
    return SCloudStackOutcome::Failure(SCloudStackOutcome::EFailure::ApiError, code, std::move(text));
}

SCloudStackOutcome CCloudStackOperations::CallAndWait(const std::string& command, const CloudStackParams& params,
                                                      std::string& json) {
    SCloudStackOutcome call = m_pQueries->CallForObject(command, params);
    if (!call) return call;
    SJobInfoLib job;
    job.strJobId = TeskJson::GetStringValue(call.Answer(), "jobid");
    if (job.strJobId.empty()) {
        json = call.answer.dump();
        return call;
    }
    SCloudStackOutcome last = WaitForJob(job);
    if (!last) return last;
    const auto result = last.Answer().find("jobresult");
    json = result != last.Answer().end() ? result->second.dump() : "{}";
    return last;
}

}  // namespace CloudStackSDKWrapper
