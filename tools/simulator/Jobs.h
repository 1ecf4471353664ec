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

// Asynchronous jobs: start, stop and reboot of a machine, and the polls for their results.
namespace cssim {

enum class MachineAction { Start, Stop, Reboot };

struct JobSettings {
    /// How long a job stays pending; 0 means finished by the first poll.
    double jobSeconds{0.0};
    /// Every action succeeds whatever the machine's state, and a poll for an unknown job id reports a finished job.
    bool permissive{false};
    /// The time of day the answers quote ("2025-10-30T14:03:11+0000").
    std::function<std::string()> wallClockText;
};

/// The jobs of one server. Jobs finish lazily: whenever anyone looks (Advance), every job that is due completes,
/// oldest first. Not synchronised: its owner locks, together with the cloud the jobs change.
class JobEngine {
public:
    using Clock = std::chrono::steady_clock;

    explicit JobEngine(JobSettings settings);

    /// @brief startVirtualMachine, stopVirtualMachine or rebootVirtualMachine: the job id at once, or 431 for a
    /// missing or unknown id (no job then).
    SimResponse Submit(MachineAction action, const ApiRequest& request, const User& caller, Cloud& cloud,
                       Clock::time_point now);

    /// @brief queryAsyncJobResult.
    SimResponse Query(const ApiRequest& request, const User& caller) const;

    /// @brief Completes every job due at @p now.
    void Advance(Cloud& cloud, Clock::time_point now);

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
    const Json* PickHost(const Json& vm, const Cloud& cloud);
    std::string NewUuid();
    static SimResponse Answer(const Job& job);

    JobSettings settings_;
    std::map<std::string, Job> jobs_;   // by job id
    std::vector<std::string> pending_;  // in creation order
    std::deque<std::string> finished_;  // in completion order, the oldest forgotten first
    std::size_t placements_{0};
    std::mt19937_64 random_;
};

}  // namespace cssim
