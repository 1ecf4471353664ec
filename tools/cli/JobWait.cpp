#include "JobWait.h"

#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>

namespace cscli {

using namespace CloudStackSDKWrapper;
using Clock = std::chrono::steady_clock;

namespace {

// While it lives, SIGINT is blocked and only ever taken with sigtimedwait: no handler runs, and
// a Ctrl-C that comes during an HTTP request waits, pending, until the loop looks for it.
class InterruptCatcher {
public:
    InterruptCatcher() {
        sigemptyset(&interrupt_);
        sigaddset(&interrupt_, SIGINT);
        blocked_ = pthread_sigmask(SIG_BLOCK, &interrupt_, &previous_) == 0;
    }
    ~InterruptCatcher() {
        if (!blocked_) return;
        // A Ctrl-C after the job ended must not kill the process while it prints the result.
        while (Wait(Clock::duration::zero())) {
        }
        pthread_sigmask(SIG_SETMASK, &previous_, nullptr);
    }
    InterruptCatcher(const InterruptCatcher&) = delete;
    InterruptCatcher& operator=(const InterruptCatcher&) = delete;

    /// True when SIGINT came within @p timeout (at once when it is already pending).
    bool Wait(Clock::duration timeout) {
        if (!blocked_) return false;
        const auto nanoseconds =
            std::chrono::duration_cast<std::chrono::nanoseconds>(std::max(timeout, Clock::duration::zero()));
        timespec pause{};
        pause.tv_sec = static_cast<time_t>(nanoseconds.count() / 1000000000);
        pause.tv_nsec = static_cast<long>(nanoseconds.count() % 1000000000);
        for (;;) {
            if (sigtimedwait(&interrupt_, nullptr, &pause) == SIGINT) return true;
            if (errno != EINTR) return false;  // EAGAIN: the time passed
        }
    }

private:
    sigset_t interrupt_;
    sigset_t previous_;
    bool blocked_{false};
};

class StatusLine {
public:
    StatusLine(bool enabled, std::string label) : enabled_(enabled), label_(std::move(label)) {}
    ~StatusLine() { Clear(); }
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    void Show(long long seconds) {
        if (!enabled_) return;
        Write(kRewrite + label_ + " ... " + std::to_string(seconds) + "s");
        shown_ = true;
    }
    void Clear() {
        if (shown_) Write(kRewrite);
        shown_ = false;
    }

private:
    // Carriage return, then erase to the end of the line: the line is rewritten in place.
    static constexpr const char* kRewrite = "\r\033[K";

    static void Write(const std::string& text) {
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = write(STDERR_FILENO, text.data() + done, text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;  // a status line is not worth failing for
            done += static_cast<std::size_t>(n);
        }
    }

    bool enabled_;
    std::string label_;
    bool shown_{false};
};

bool ParseAnswer(const std::string& text, Json& answer, CCloudStackErrorState& error) {
    answer = Json::parse(text, nullptr, false);
    if (answer.is_object()) return true;
    error.lErrorCode = CS_ERROR_BAD_ANSWER;
    error.strErrorMessage = "the server's answer is no JSON object";
    return false;
}

// jobstatus: 0 pending, 1 succeeded, anything else failed; some servers send it as text.
bool JobStatus(const Json& answer, long& status) {
    const auto it = answer.find("jobstatus");
    if (it == answer.end()) return false;
    if (it->is_number_integer()) {
        status = it->get<long>();
        return true;
    }
    if (it->is_string() && !it->get_ref<const std::string&>().empty() &&
        it->get_ref<const std::string&>().find_first_not_of("0123456789") == std::string::npos) {
        status = std::stol(it->get<std::string>());
        return true;
    }
    return false;
}

// The job's own error: jobresult's errorcode and errortext, else jobresultcode alone.
CCloudStackErrorState JobError(const Json& answer) {
    CCloudStackErrorState error;
    const Json result = answer.value("jobresult", Json::object());
    if (result.is_object()) {
        const Json code = result.value("errorcode", Json());
        if (code.is_number_integer()) error.lErrorCode = code.get<long>();
        const Json text = result.value("errortext", Json());
        if (text.is_string()) error.strErrorMessage = text.get<std::string>();
    }
    const Json resultCode = answer.value("jobresultcode", Json());
    if (error.lErrorCode == 0 && resultCode.is_number_integer()) error.lErrorCode = resultCode.get<long>();
    if (error.lErrorCode == 0 && error.strErrorMessage.empty()) error.strErrorMessage = "the job failed";
    return error;
}

Clock::duration Seconds(double seconds) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
}

}  // namespace

JobOutcome SubmitAndWait(CCloudStackWrapper& cloud, const std::string& command, const CloudStackParams& params,
                         const JobOptions& options) {
    JobOutcome outcome;
    InterruptCatcher interrupt;

    std::string text;
    if (!cloud.Call(command, params, text)) {
        outcome.state = JobState::CallFailed;
        outcome.error = cloud.GetLastError();
        return outcome;
    }
    Json answer;
    if (!ParseAnswer(text, answer, outcome.error)) {
        outcome.state = JobState::CallFailed;
        return outcome;
    }
    const Json jobId = answer.value("jobid", Json());
    if (!options.followJob || !jobId.is_string() || jobId.get_ref<const std::string&>().empty()) {
        outcome.state = JobState::Answered;
        outcome.result = std::move(answer);
        return outcome;
    }
    outcome.jobId = jobId.get<std::string>();
    if (options.noWait) {
        outcome.state = JobState::Submitted;
        outcome.result = std::move(answer);
        return outcome;
    }

    StatusLine status(options.statusLine, options.label);
    const auto start = Clock::now();
    const auto poll = Seconds(options.pollSeconds);
    const bool limited = options.timeoutSeconds > 0;
    const auto deadline = start + Seconds(options.timeoutSeconds);
    auto nextPoll = start;
    auto nextTick = start;
    for (;;) {
        auto now = Clock::now();
        if (now >= nextTick) {
            // The ticks count from the start, so the figure neither drifts nor skips.
            const auto elapsed = std::chrono::duration_cast<std::chrono::seconds>(now - start);
            status.Show(elapsed.count());
            nextTick = start + elapsed + std::chrono::seconds(1);
        }
        if (now >= nextPoll) {
            if (!cloud.Call("queryAsyncJobResult", {{"jobid", outcome.jobId}}, text)) {
                outcome.state = JobState::PollFailed;
                outcome.error = cloud.GetLastError();
                return outcome;
            }
            long jobStatus = 0;
            if (!ParseAnswer(text, answer, outcome.error) || !JobStatus(answer, jobStatus)) {
                outcome.state = JobState::PollFailed;
                if (outcome.error.lErrorCode == 0) {
                    outcome.error.lErrorCode = CS_ERROR_BAD_ANSWER;
                    outcome.error.strErrorMessage = "the job's answer holds no jobstatus";
                }
                return outcome;
            }
            if (jobStatus != 0) {
                status.Clear();
                outcome.state = jobStatus == 1 ? JobState::Succeeded : JobState::Failed;
                if (jobStatus == 1)
                    outcome.result = answer.value("jobresult", Json());
                else
                    outcome.error = JobError(answer);
                return outcome;
            }
            nextPoll = Clock::now() + poll;
        }
        now = Clock::now();
        if (limited && now >= deadline) {
            status.Clear();
            outcome.state = JobState::TimedOut;
            return outcome;
        }
        auto wake = nextPoll;
        if (options.statusLine) wake = std::min(wake, nextTick);
        if (limited) wake = std::min(wake, deadline);
        if (interrupt.Wait(wake - now)) {
            status.Clear();
            outcome.state = JobState::Interrupted;
            return outcome;
        }
    }
}

}  // namespace cscli
