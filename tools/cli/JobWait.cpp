// The client's side of a job wait: the library waits (WaitForJob); this file shows the status line,
// turns --timeout and Ctrl-C into the progress callback's "stop", and reads the job id of a submit
// answer.

#include "JobWait.h"

#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>

namespace cscli {

using namespace CloudStackSDKWrapper;

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

extern "C" void OnInterrupt(int) {
    g_interrupted = 1;
}

// While it lives, SIGINT only raises a flag, which the progress callback reads after each poll: a
// Ctrl-C during a request neither kills the process nor loses the job id.
class InterruptFlag {
public:
    InterruptFlag() {
        g_interrupted = 0;
        struct sigaction action {};
        action.sa_handler = OnInterrupt;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        installed_ = sigaction(SIGINT, &action, &previous_) == 0;
    }
    ~InterruptFlag() {
        if (installed_) sigaction(SIGINT, &previous_, nullptr);
    }
    InterruptFlag(const InterruptFlag&) = delete;
    InterruptFlag& operator=(const InterruptFlag&) = delete;

    static bool Raised() { return g_interrupted != 0; }

private:
    struct sigaction previous_ {};
    bool installed_{false};
};

class StatusLine {
public:
    StatusLine(bool enabled, std::string label) : enabled_(enabled), label_(std::move(label)) {}
    ~StatusLine() { Clear(); }
    StatusLine(const StatusLine&) = delete;
    StatusLine& operator=(const StatusLine&) = delete;

    void Show(long long seconds) { ShowText(label_ + " ... " + std::to_string(seconds) + "s"); }
    void ShowText(const std::string& text) {
        if (!enabled_) return;
        Write(kRewrite + text);
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

// The progress callback refers to this wait's state: it is removed however the wait ends.
class ProgressScope {
public:
    ProgressScope(CCloudStackWrapper& cloud, CloudStackJobProgress progress) : cloud_(cloud) {
        cloud_.SetJobProgress(std::move(progress));
    }
    ~ProgressScope() { cloud_.SetJobProgress(nullptr); }
    ProgressScope(const ProgressScope&) = delete;
    ProgressScope& operator=(const ProgressScope&) = delete;

private:
    CCloudStackWrapper& cloud_;
};

enum class JobIdKind { None, Found, Unusable };

// The job id of a submit answer: text, or a whole number as older servers send it.
JobIdKind ReadJobId(const Json& answer, std::string& id) {
    const auto it = answer.find("jobid");
    if (it == answer.end() || it->is_null()) return JobIdKind::None;
    if (it->is_string()) {
        id = it->get<std::string>();
        return id.empty() ? JobIdKind::None : JobIdKind::Found;
    }
    if (it->is_number_unsigned()) {
        id = std::to_string(it->get<unsigned long long>());
        return JobIdKind::Found;
    }
    return JobIdKind::Unusable;
}

JobOutcome Wait(CCloudStackWrapper& cloud, const std::string& jobId, const JobOptions& options) {
    JobOutcome outcome;
    outcome.jobId = jobId;
    StatusLine status(options.statusLine, options.label);
    const auto timeout = std::chrono::duration<double>(options.timeoutSeconds);
    bool read = false;  // whether a poll read a status, and which
    int lastStatus = 0;
    JobState stopped = JobState::Interrupted;
    cloud.SetJobPollInterval(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::duration<double>(options.pollSeconds)));
    cloud.SetJobTimeout(std::chrono::seconds(0));  // --timeout takes fractions: the callback keeps it
    std::string text;
    bool done = false;
    {
        const ProgressScope scope(cloud, [&](const std::string&, int jobStatus, std::chrono::milliseconds elapsed) {
            read = true;
            lastStatus = jobStatus;
            status.Show(std::chrono::duration_cast<std::chrono::seconds>(elapsed).count());
            if (InterruptFlag::Raised()) {
                stopped = JobState::Interrupted;
                return false;
            }
            if (options.timeoutSeconds > 0 && elapsed >= timeout) {
                stopped = JobState::TimedOut;
                return false;
            }
            return true;
        });
        done = cloud.WaitForJob(jobId, text);
    }
    status.Clear();
    if (done) {
        outcome.state = JobState::Succeeded;
        outcome.result = Json::parse(text, nullptr, false);
        outcome.text = std::move(text);
        return outcome;
    }
    outcome.error = cloud.GetLastError();
    if (outcome.error.lErrorCode == CS_ERROR_WAIT_STOPPED) {
        outcome.state = stopped;
    } else {
        // The last poll read an end status other than success: the job's own failure. Otherwise a poll failed.
        outcome.state = read && lastStatus != 0 && lastStatus != 1 ? JobState::Failed : JobState::PollFailed;
    }
    return outcome;
}

}  // namespace

JobOutcome SubmitAndWait(CCloudStackWrapper& cloud, const std::string& command, const CloudStackParams& params,
                         const JobOptions& options) {
    JobOutcome outcome;
    const InterruptFlag interrupt;

    std::string text;
    if (!cloud.Call(command, params, text)) {
        outcome.state = JobState::CallFailed;
        outcome.error = cloud.GetLastError();
        return outcome;
    }
    Json answer = Json::parse(text, nullptr, false);
    if (!answer.is_object()) {
        outcome.state = JobState::CallFailed;
        outcome.error.lErrorCode = CS_ERROR_BAD_ANSWER;
        outcome.error.strErrorMessage = "the server's answer is no JSON object";
        return outcome;
    }
    std::string jobId;
    const JobIdKind kind = options.followJob ? ReadJobId(answer, jobId) : JobIdKind::None;
    if (kind == JobIdKind::Unusable) {
        outcome.state = JobState::CallFailed;
        outcome.error.lErrorCode = CS_ERROR_BAD_ANSWER;
        outcome.error.strErrorMessage = "the answer's job id is neither text nor a whole number";
        return outcome;
    }
    outcome.result = std::move(answer);
    outcome.text = std::move(text);
    if (kind == JobIdKind::None) {
        outcome.state = JobState::Answered;
        return outcome;
    }
    outcome.jobId = jobId;
    if (options.noWait) {
        outcome.state = JobState::Submitted;
        return outcome;
    }
    return Wait(cloud, jobId, options);
}

JobOutcome WaitFor(CCloudStackWrapper& cloud, const std::string& jobId, const JobOptions& options) {
    const InterruptFlag interrupt;
    return Wait(cloud, jobId, options);
}

bool RunBulk(CCloudStackWrapper& cloud, const JobOptions& options, std::size_t count,
             const std::function<ItemState(std::size_t)>& state, const std::function<bool()>& call,
             std::vector<double>& seconds, bool& interrupted) {
    const InterruptFlag interrupt;
    const auto started = std::chrono::steady_clock::now();
    const auto since = [&started] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    };
    seconds.assign(count, -1.0);
    StatusLine status(options.statusLine, options.label);
    // After every poll: which commands have ended since, and the line that counts them.
    const auto look = [&] {
        std::size_t done = 0;
        std::size_t failed = 0;
        const double now = since();
        for (std::size_t i = 0; i < count; ++i) {
            const ItemState item = state(i);
            if (item == ItemState::Waiting) continue;
            if (seconds[i] < 0) seconds[i] = now;
            ++(item == ItemState::Done ? done : failed);
        }
        const long long whole = static_cast<long long>(now);
        char clock[32];
        std::snprintf(clock, sizeof clock, "%02lld:%02lld", whole / 60, whole % 60);
        status.ShowText(options.label + ": " + std::to_string(done) + " done, " + std::to_string(failed) + " failed, " +
                        std::to_string(count - done - failed) + " waiting, " + clock);
    };
    cloud.SetJobPollInterval(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::duration<double>(options.pollSeconds)));
    cloud.SetJobTimeout(std::chrono::seconds(static_cast<long long>(std::ceil(options.timeoutSeconds))));
    bool result = false;
    {
        const ProgressScope scope(cloud, [&](const std::string&, int, std::chrono::milliseconds) {
            look();
            return !InterruptFlag::Raised();
        });
        result = call();
    }
    look();
    status.Clear();
    const double end = since();
    for (double& value : seconds)
        if (value < 0) value = end;
    interrupted = InterruptFlag::Raised();
    return result;
}

}  // namespace cscli
