// Many commands and their jobs at once, from the caller's thread: at most the concurrency bound of
// commands are in progress at a time (sent, and their job not yet ended), so that the server's job
// queue holds no more of ours than that; their requests run side by side over the connection's
// handles (curl's multi interface), and every pending job is polled once per poll interval. The waits are SJobWait
// values, advanced one poll at a time, as a single wait advances its own.

#include <algorithm>
#include <chrono>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "CloudStackOperations.h"
#include "SleepWithTrace.h"
#include "TeskApiRequest.h"

namespace CloudStackSDKWrapper {

namespace {

using std::chrono::milliseconds;

enum class Step { Queued, Submitting, Pending, Polling, Done };

struct Entry {
    SBatchItem* item{nullptr};
    Step step{Step::Queued};
    TeskApiRequest poll;    // the status request under way
    SJobWait wait;          // once the submit answer named a job
    milliseconds begun{0};  // on the batch's clock: when the wait began
    milliseconds due{0};    // on the batch's clock: when the next poll is due
    std::size_t lane{0};    // of the request under way
};

std::string Seconds(milliseconds elapsed) {
    return std::to_string(std::chrono::duration_cast<std::chrono::seconds>(elapsed).count());
}

}  // namespace

// One run. Its clock is the sum of the pauses it asked for, as a single wait's is: every poll of a
// round sees the same time, so the jobs of a round are due again together and share one pause.
struct CCloudStackOperations::Batch {
    CCloudStackOperations& operations;
    CCloudStackConnection& connection;
    bool jobRequired;
    const std::function<void(std::size_t)>& ended;
    const CloudStackJobProgress progress;  // a copy: the callback cannot change what it is called through
    std::vector<Entry> entries;
    std::vector<Entry*> byLane;
    std::size_t next{0};        // the first entry that may still be queued
    std::size_t underWay{0};    // requests: at most one per command in progress
    std::size_t inProgress{0};  // commands sent whose end is not known yet
    milliseconds clock{0};
    bool stopped{false};

    Batch(CCloudStackOperations& owner, std::vector<SBatchItem>& items, bool required,
          const std::function<void(std::size_t)>& onEnded)
        : operations(owner),
          connection(owner.m_pQueries->Connection()),
          jobRequired(required),
          ended(onEnded),
          progress(owner.m_Progress) {
        entries.resize(items.size());
        for (std::size_t i = 0; i < items.size(); ++i) {
            entries[i].item = &items[i];
        }
    }

    // Whatever is still under way when the run ends early (an exception from the callback) is
    // abandoned, its connection closed.
    ~Batch() {
        for (Entry& entry : entries) {
            if (entry.step == Step::Submitting || entry.step == Step::Polling) connection.Cancel(entry.lane);
        }
    }
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    void Run() {
        // A request the caller could not build is never sent.
        for (Entry& entry : entries) {
            if (!entry.item->outcome) Done(entry, std::move(entry.item->outcome));
        }
        for (;;) {
            Launch();
            if (underWay > 0) {
                std::vector<std::size_t> lanes;
                connection.AwaitAny(lanes);
                for (const std::size_t lane : lanes) Ended(*byLane[lane]);
                continue;
            }
            // Nothing under way and nothing due: pause until the first pending job is, or end.
            const Entry* first = nullptr;
            for (const Entry& entry : entries) {
                if (entry.step == Step::Pending && (first == nullptr || entry.due < first->due)) first = &entry;
            }
            if (first == nullptr) return;
            const milliseconds pause = std::min(first->due - clock, milliseconds(std::numeric_limits<int>::max()));
            SleepWithTrace(static_cast<int>(pause.count()), __FILE__, __LINE__);
            clock = first->due;
        }
    }

    // A submit first, in order, while fewer commands than the bound are in progress, so that the
    // server runs each job as early as the bound allows; then the polls that are due, the longest due
    // first. Each command in progress has at most one request under way, so the requests keep the
    // bound too.
    void Launch() {
        while (underWay < operations.m_nConcurrency) {
            Entry* chosen = nullptr;
            while (!stopped && next < entries.size() && entries[next].step != Step::Queued) ++next;
            if (!stopped && next < entries.size() && inProgress < operations.m_nConcurrency) {
                chosen = &entries[next];
            } else {
                for (Entry& entry : entries) {
                    if (entry.step == Step::Pending && entry.due <= clock &&
                        (chosen == nullptr || entry.due < chosen->due))
                        chosen = &entry;
                }
            }
            if (chosen == nullptr) return;
            Begin(*chosen);
        }
    }

    void Begin(Entry& entry) {
        const bool submit = entry.step == Step::Queued;
        if (!submit) entry.poll = CCloudStackQueries::JobRequest(entry.wait.strJobId);
        TeskApiRequest& request = submit ? entry.item->request : entry.poll;
        SCloudStackOutcome begun = connection.Begin(request, entry.lane);
        if (!begun) {
            Done(entry, std::move(begun));
            return;
        }
        entry.step = submit ? Step::Submitting : Step::Polling;
        if (submit) ++inProgress;
        if (byLane.size() <= entry.lane) byLane.resize(entry.lane + 1, nullptr);
        byLane[entry.lane] = &entry;
        ++underWay;
    }

    void Ended(Entry& entry) {
        --underWay;
        std::string response;
        const bool submit = entry.step == Step::Submitting;
        TeskApiRequest& request = submit ? entry.item->request : entry.poll;
        SCloudStackOutcome outcome = connection.End(entry.lane, request, response);
        if (submit) {
            Submitted(entry, request, response, std::move(outcome));
        } else {
            Polled(entry, request, response, std::move(outcome));
        }
    }

    void Submitted(Entry& entry, const TeskApiRequest& request, const std::string& response,
                   SCloudStackOutcome outcome) {
        std::string text;
        if (outcome) outcome = operations.m_pQueries->ReadObjectAnswer(request, response, std::move(outcome), &text);
        if (!outcome) return Done(entry, std::move(outcome));
        std::string jobId;
        const EJobId kind = JobIdOf(outcome.Answer(), jobId);
        if (kind == EJobId::None && !jobRequired) {
            entry.item->strJson = std::move(text);
            return Done(entry, std::move(outcome));
        }
        if (kind != EJobId::Found) return Done(entry, operations.NoJob(request.strCommand, kind, outcome.lHttpStatus));
        entry.wait = SJobWait::Start(std::move(jobId));
        entry.begun = clock;
        if (stopped) return Done(entry, Stopped(entry));
        entry.due = clock;  // the first poll at once
        entry.step = Step::Pending;
    }

    void Polled(Entry& entry, const TeskApiRequest& request, const std::string& response, SCloudStackOutcome outcome) {
        SJobInfoLib job;
        SJobWait& wait = entry.wait;
        if (outcome) {
            outcome = operations.m_pQueries->ReadJobAnswer(wait.strJobId, request, response, std::move(outcome), job);
        }
        if (outcome) outcome = operations.CheckPoll(wait, job, std::move(outcome));
        if (!outcome) return Done(entry, std::move(outcome));
        wait.paused = clock - entry.begun;
        // An exception from the host's callback ends the call in the wrapper's guard.
        const bool goOn = stopped || !progress || progress(wait.strJobId, wait.nLastStatus, wait.Elapsed());
        if (wait.nLastStatus != 0) {
            SCloudStackOutcome finished = operations.Finish(wait, job, std::move(outcome));
            if (finished) {
                const auto result = finished.Answer().find("jobresult");
                entry.item->strJson = result != finished.Answer().end() ? result->second.dump() : "{}";
            }
            Done(entry, std::move(finished));
            // This job's end stands; a "stop" said after it still ends the other waits.
            if (!goOn) Stop(wait);
            return;
        }
        if (!goOn) Stop(wait);
        if (stopped) return Done(entry, Stopped(entry));
        milliseconds pause{0};
        SCloudStackOutcome limit = operations.NextPause(wait, pause);
        if (!limit) return Done(entry, std::move(limit));
        entry.due = clock + pause;
        entry.step = Step::Pending;
    }

    // The callback said stop: pending jobs go on unwatched, queued commands are not sent, and what is
    // under way is read as it ends.
    void Stop(const SJobWait& by) {
        stopped = true;
        std::size_t pending = 0;
        for (Entry& entry : entries) {
            if (entry.step == Step::Pending) {
                ++pending;
                Done(entry, Stopped(entry));
            } else if (entry.step == Step::Queued) {
                Done(entry, SCloudStackOutcome::Refusal(CS_ERROR_WAIT_STOPPED,
                                                        "not sent: the progress callback stopped the waits first"));
            }
        }
        operations.m_Log.Error(__PRETTY_FUNCTION__,
                               "job %s: the progress callback stopped every wait after %s s; %zu more jobs go on on "
                               "the server unwatched",
                               by.strJobId.c_str(), Seconds(by.Elapsed()).c_str(), pending);
    }

    SCloudStackOutcome Stopped(Entry& entry) {
        entry.wait.paused = clock - entry.begun;
        return SCloudStackOutcome::Refusal(CS_ERROR_WAIT_STOPPED,
                                           "the wait for job " + entry.wait.strJobId + " was stopped after " +
                                               Seconds(entry.wait.Elapsed()) + " s; it goes on on the server");
    }

    void Done(Entry& entry, SCloudStackOutcome outcome) {
        if (entry.step != Step::Queued && entry.step != Step::Done) --inProgress;
        entry.item->outcome = std::move(outcome);
        entry.step = Step::Done;
        if (ended) ended(static_cast<std::size_t>(&entry - entries.data()));
    }
};

void CCloudStackOperations::RunBatch(std::vector<SBatchItem>& items, bool jobRequired,
                                     const std::function<void(std::size_t)>& ended) {
    Batch batch(*this, items, jobRequired, ended);
    batch.Run();
}

}  // namespace CloudStackSDKWrapper
