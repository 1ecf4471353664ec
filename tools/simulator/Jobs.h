#pragma once

#include <chrono>
#include <deque>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "Accounts.h"
#include "ApiRequest.h"
#include "Cloud.h"
#include "SimMessages.h"

// Asynchronous jobs: start, stop, reboot and restore of a machine, and the polls for their results.
namespace cssim {

/// Restore gives a machine a new root volume from its template, as restoreVirtualMachine does; the server answers
/// it under the older name "restorevmresponse".
enum class MachineAction { Start, Stop, Reboot, Restore };

struct JobSettings {
    /// How long a job stays pending; 0 means finished by the first poll.
    double jobSeconds{0.0};
    /// Every action succeeds whatever the machine's state, and a poll for an unknown job id reports a finished job.
    bool permissive{false};
    /// Job ids are whole numbers, sent as JSON numbers, as older servers send them.
    bool numericIds{false};
    /// The time of day the answers quote ("2025-10-30T14:03:11+0000").
    std::function<std::string()> wallClockText;
};

/// The jobs of one server. Jobs finish lazily: whenever anyone looks (Advance), every job that is due completes,
/// oldest first. Not synchronised: its owner locks, together with the cloud the jobs change.
class JobEngine {
public:
    using Clock = std::chrono::steady_clock;

    explicit JobEngine(JobSettings settings);

    /// @brief startVirtualMachine, stopVirtualMachine, rebootVirtualMachine or restoreVirtualMachine: the job id at
    /// once, or 431 for a missing or unknown machine id (no job then).
    SimResponse Submit(MachineAction action, const ApiRequest& request, const User& caller, Cloud& cloud,
                       Clock::time_point now);

    /// @brief queryAsyncJobResult.
    SimResponse Query(const ApiRequest& request, const User& caller) const;

    /// @brief Completes every job due at @p now.
    void Advance(Cloud& cloud, Clock::time_point now);

    /// @brief When the first pending job is due; time_point::max() when none is pending.
    Clock::time_point NextDue() const;

private:
    struct Job {
        std::string id;
        std::string vmId;
        User owner;
        MachineAction action{MachineAction::Start};
        Clock::time_point due;
        std::string created;
        bool done{false};
        int resultCode{0};  // 0 while pending and on success
        std::string errorText;
        Json machine;  // the machine as the finished job left it
        std::string completed;
    };

    void Complete(Job& job, Cloud& cloud);
    void ReplaceRootVolume(const Job& job, Cloud& cloud);
    const Json* PickHost(const Json& vm, const Cloud& cloud);
    std::string NewUuid();
    std::string NewJobId();
    Json JobIdValue(const std::string& id) const;
    SimResponse Answer(const Job& job) const;

    JobSettings settings_;
    std::map<std::string, Job> jobs_;   // by job id
    std::vector<std::string> pending_;  // in creation order
    std::deque<std::string> finished_;  // in completion order, the oldest forgotten first
    std::size_t placements_{0};
    unsigned long long nextNumber_{17164};  // the next numeric job id
    std::mt19937_64 random_;
};

}  // namespace cssim
