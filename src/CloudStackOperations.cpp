#include "CloudStackOperations.h"

#include <algorithm>
#include <cstdint>
#include <limits>

#include "SleepWithTrace.h"
#include "StrUtil.h"
#include "TeskApiRequest.h"
#include "TeskJson.h"

namespace CloudStackSDKWrapper {

namespace {

using std::chrono::milliseconds;

// A time-out longer than this cannot be counted in milliseconds: it is no limit.
constexpr std::chrono::seconds kLongestTimeout = std::chrono::duration_cast<std::chrono::seconds>(milliseconds::max());

milliseconds SaturatingSum(milliseconds a, milliseconds b) {
    return a > milliseconds::max() - b ? milliseconds::max() : a + b;
}

}  // namespace

EJobId JobIdOf(const JsonObject& answer, std::string& id) {
    const auto member = answer.find("jobid");
    if (member == answer.end() || member->second.is_null()) return EJobId::None;
    const JsonValue& value = member->second;
    if (value.is_string()) {
        id = value.get_ref<const std::string&>();
        if (id.empty()) return EJobId::None;
        return id.find('\0') == std::string::npos ? EJobId::Found : EJobId::Unusable;
    }
    if (value.is_number_unsigned()) {
        id = std::to_string(value.get<std::uint64_t>());
        return EJobId::Found;
    }
    return EJobId::Unusable;
}

SJobWait SJobWait::Start(std::string jobId) {
    SJobWait wait;
    wait.strJobId = std::move(jobId);
    wait.started = std::chrono::steady_clock::now();
    return wait;
}

milliseconds SJobWait::Elapsed() const {
    return std::max(paused, std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - started));
}

CCloudStackOperations::CCloudStackOperations(CCloudStackQueries* pQueries, CCloudStackErrorState* pErrorState)
    : CCloudStackErrorHandler(pErrorState), m_pQueries(pQueries) {}

void CCloudStackOperations::SetJobPollInterval(milliseconds interval) {
    m_PollInterval = std::max(interval, milliseconds::zero());
}

SCloudStackOutcome CCloudStackOperations::StartVM(const std::string& /*name*/, const std::string& id) {
    return RunPowerCommand("startVirtualMachine", id);
}

SCloudStackOutcome CCloudStackOperations::StopVM(const std::string& /*name*/, const std::string& id) {
    return RunPowerCommand("stopVirtualMachine", id);
}

void CCloudStackOperations::SetConcurrency(unsigned concurrency) {
    m_nConcurrency = concurrency == 0 ? kDefaultConcurrency : std::min(concurrency, kMaxConcurrency);
}

SCloudStackOutcome CCloudStackOperations::NoJob(const std::string& command, EJobId kind, long httpStatus) {
    const std::string why = kind == EJobId::None ? "holds no job id" : "holds a job id that no poll can ask for";
    m_Log.Error(__PRETTY_FUNCTION__, "the answer to %s %s", command.c_str(), why.c_str());
    return SCloudStackOutcome::Failure(SCloudStackOutcome::EFailure::NotTheAnswer, CS_ERROR_BAD_ANSWER,
                                       "the answer to " + command + " " + why, httpStatus);
}

SCloudStackOutcome CCloudStackOperations::RunPowerCommand(const std::string& command, const std::string& id) {
    // The server answers at once with the id of the job that does the work.
    SCloudStackOutcome submit = m_pQueries->CallForObject(command, {{"id", id}});
    if (!submit) return submit;
    std::string jobId;
    const EJobId kind = JobIdOf(submit.Answer(), jobId);
    if (kind != EJobId::Found) return NoJob(command, kind, submit.lHttpStatus);
    SJobWait wait = SJobWait::Start(std::move(jobId));
    return WaitForJob(wait);
}

SCloudStackOutcome CCloudStackOperations::Poll(SJobWait& wait, SJobInfoLib& job) {
    SCloudStackOutcome poll = m_pQueries->GetJobInfo(wait.strJobId, job);
    if (!poll) return poll;
    return CheckPoll(wait, job, std::move(poll));
}

SCloudStackOutcome CCloudStackOperations::CheckPoll(SJobWait& wait, const SJobInfoLib& job, SCloudStackOutcome poll) {
    // Every poll is about the job the submit answer named: an answer about another one (a confused
    // or hostile server) must not move the wait to it.
    std::string named;
    const EJobId kind = JobIdOf(poll.Answer(), named);
    if (kind == EJobId::Unusable || (kind == EJobId::Found && named != wait.strJobId)) {
        m_Log.Error(__PRETTY_FUNCTION__, "job %s: the answer to queryAsyncJobResult is about another job (%s)",
                    wait.strJobId.c_str(), TeskJson::GetStringValue(poll.Answer(), "jobid").c_str());
        return SCloudStackOutcome::Failure(
            SCloudStackOutcome::EFailure::NotTheAnswer, CS_ERROR_BAD_ANSWER,
            "the answer to queryAsyncJobResult for job " + wait.strJobId + " is about another job", poll.lHttpStatus);
    }
    wait.nLastStatus = job.nJobStatus;
    return poll;
}

SCloudStackOutcome CCloudStackOperations::Finish(const SJobWait& wait, const SJobInfoLib& job,
                                                 SCloudStackOutcome poll) {
    if (wait.nLastStatus == 1) return poll;
    // A failed job carries its reason in jobresult; a job cancelled by a restart carries only its
    // result code, and a job may fail with no code at all.
    const JsonObject& status = poll.Answer();
    long code = job.nJobResultCode;
    std::string text;
    if (const JsonObject* result = TeskJson::FindObject(status, "jobresult")) {
        long long errorCode = 0;
        if (TeskJson::TryGetCount(*result, "errorcode", errorCode) && errorCode != 0 &&
            errorCode <= std::numeric_limits<long>::max()) {
            code = static_cast<long>(errorCode);
        }
        text = TeskJson::GetStringValue(*result, "errortext");
    }
    const std::string& id = wait.strJobId;
    if (code == 0) {
        // 0 would read as success in the last error; the job's status (2) is no code of any kind.
        code = CS_ERROR_JOB_FAILED;
        text = "job " + id + " failed" +
               (text.empty() ? " with status " + std::to_string(wait.nLastStatus) + " and no error code"
                             : " without an error code: " + text);
    } else if (text.empty()) {
        text = "job " + id + " ended with status " + std::to_string(wait.nLastStatus) + " and result code " +
               std::to_string(code);
    }
    // A job refused by the server is as much a failed call as a request it refuses at once.
    m_Log.Error(__PRETTY_FUNCTION__, "job %s failed (%ld): %s", id.c_str(), code, Capped(text).c_str());
    return SCloudStackOutcome::Failure(SCloudStackOutcome::EFailure::ApiError, code, std::move(text), poll.lHttpStatus);
}

SCloudStackOutcome CCloudStackOperations::NextPause(const SJobWait& wait, milliseconds& pause) {
    pause = m_PollInterval;
    if (m_Timeout.count() <= 0 || m_Timeout > kLongestTimeout) return SCloudStackOutcome::Success();
    const milliseconds limit = m_Timeout;
    const milliseconds elapsed = wait.Elapsed();
    if (elapsed >= limit) {
        m_Log.Error(__PRETTY_FUNCTION__, "job %s still pending after %lld s; no longer waiting", wait.strJobId.c_str(),
                    static_cast<long long>(m_Timeout.count()));
        return SCloudStackOutcome::Refusal(CS_ERROR_JOB_TIMEOUT, "job " + wait.strJobId + " still pending after " +
                                                                     std::to_string(m_Timeout.count()) +
                                                                     " s; it goes on on the server");
    }
    pause = std::min(pause, limit - elapsed);
    return SCloudStackOutcome::Success();
}

SCloudStackOutcome CCloudStackOperations::WaitForJob(SJobWait& wait) {
    // A copy: the callback may not change what it is called through, even by setting another one.
    const CloudStackJobProgress progress = m_Progress;
    for (;;) {
        SJobInfoLib job;
        SCloudStackOutcome poll = Poll(wait, job);
        if (!poll) return poll;
        // An exception from the host's callback ends the call in the wrapper's guard.
        const bool goOn = !progress || progress(wait.strJobId, wait.nLastStatus, wait.Elapsed());
        if (wait.nLastStatus != 0) return Finish(wait, job, std::move(poll));
        if (!goOn) {
            const long long seconds = std::chrono::duration_cast<std::chrono::seconds>(wait.Elapsed()).count();
            m_Log.Error(__PRETTY_FUNCTION__, "job %s: the progress callback stopped the wait after %lld s",
                        wait.strJobId.c_str(), seconds);
            return SCloudStackOutcome::Refusal(CS_ERROR_WAIT_STOPPED,
                                               "the wait for job " + wait.strJobId + " was stopped after " +
                                                   std::to_string(seconds) + " s; it goes on on the server");
        }
        milliseconds pause{0};
        SCloudStackOutcome limit = NextPause(wait, pause);
        if (!limit) return limit;
        const int ms = static_cast<int>(std::min<milliseconds::rep>(pause.count(), std::numeric_limits<int>::max()));
        SleepWithTrace(ms, __FILE__, __LINE__);
        wait.paused = SaturatingSum(wait.paused, milliseconds(ms));
    }
}

SCloudStackOutcome CCloudStackOperations::WaitForJob(const std::string& jobId, std::string& json) {
    if (jobId.empty()) return SCloudStackOutcome::Refusal(CS_ERROR_INVALID_ARGUMENT, "a job id is needed");
    SJobWait wait = SJobWait::Start(jobId);
    SCloudStackOutcome last = WaitForJob(wait);
    if (!last) return last;
    const auto result = last.Answer().find("jobresult");
    json = result != last.Answer().end() ? result->second.dump() : "{}";
    return last;
}

SCloudStackOutcome CCloudStackOperations::CallAndWait(const std::string& command, const CloudStackParams& params,
                                                      std::string& json) {
    std::string text;
    SCloudStackOutcome call = m_pQueries->CallForObject(command, params, &text);
    if (!call) return call;
    std::string jobId;
    switch (JobIdOf(call.Answer(), jobId)) {
        case EJobId::None:
            json = std::move(text);
            return call;
        case EJobId::Unusable:
            return NoJob(command, EJobId::Unusable, call.lHttpStatus);
        case EJobId::Found:
            break;
    }
    return WaitForJob(jobId, json);
}

}  // namespace CloudStackSDKWrapper
