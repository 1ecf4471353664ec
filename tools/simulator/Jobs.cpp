#include "Jobs.h"

#include "MachineGenerator.h"
#include "Replies.h"

namespace cssim {
namespace {

const char* const kManagementServerId = "3954eda0-cf30-4543-9f56-5ba90dfbc2b9";
const std::size_t kKeptJobResults = 10000;

/// The command's name as its answer's key starts: restoreVirtualMachine keeps the older "restorevm".
const char* CommandName(MachineAction action) {
    switch (action) {
        case MachineAction::Start:
            return "startvirtualmachine";
        case MachineAction::Stop:
            return "stopvirtualmachine";
        case MachineAction::Restore:
            return "restorevm";
        case MachineAction::Reboot:
            break;
    }
    return "rebootvirtualmachine";
}

/// The class the server names in "cmd": the admin variant for a root admin's call.
std::string CommandClass(MachineAction action, const User& caller) {
    const char* name = action == MachineAction::Start     ? "StartVMCmd"
                       : action == MachineAction::Stop    ? "StopVMCmd"
                       : action == MachineAction::Restore ? "RestoreVMCmd"
                                                          : "RebootVMCmd";
    if (caller.accountType == AccountType::RootAdmin) {
        return std::string("org.apache.cloudstack.api.command.admin.vm.") + name + "ByAdmin";
    }
    return std::string("org.apache.cloudstack.api.command.user.vm.") + name;
}

}  // namespace

JobEngine::JobEngine(JobSettings settings) : settings_(std::move(settings)) {
    std::random_device seed;
    random_.seed((static_cast<std::uint64_t>(seed()) << 32) ^ seed());
}

std::string JobEngine::NewUuid() {
    static const char kHex[] = "0123456789abcdef";
    std::string text;
    for (int i = 0; i < 32; ++i) text.push_back(kHex[random_() % 16]);
    text[12] = '4';
    text[16] = "89ab"[random_() % 4];
    return text.substr(0, 8) + "-" + text.substr(8, 4) + "-" + text.substr(12, 4) + "-" + text.substr(16, 4) + "-" +
           text.substr(20);
}

std::string JobEngine::NewJobId() {
    return settings_.numericIds ? std::to_string(nextNumber_++) : NewUuid();
}

Json JobEngine::JobIdValue(const std::string& id) const {
    if (settings_.numericIds && !id.empty() && id.size() < 20 &&
        id.find_first_not_of("0123456789") == std::string::npos) {
        return Json(std::stoull(id));
    }
    return Json(id);
}

const Json* JobEngine::PickHost(const Json& vm, const Cloud& cloud) {
    // A usable host in the machine's zone, taken in turn so that machines spread.
    const std::string zone = StringMember(vm, "zoneid");
    const RecordTable& hosts = cloud.Table(Kind::Hosts);
    std::vector<const Json*> candidates;
    for (const Json& host : hosts.Records()) {
        const std::string resourceState = StringMember(host, "resourcestate");
        if (StringMember(host, "state") == "Up" && (resourceState.empty() || resourceState == "Enabled") &&
            (zone.empty() || StringMember(host, "zoneid") == zone)) {
            candidates.push_back(&host);
        }
    }
    if (candidates.empty()) return nullptr;
    return candidates[placements_++ % candidates.size()];
}

void JobEngine::Complete(Job& job, Cloud& cloud) {
    job.done = true;
    job.completed = settings_.wallClockText();
    if (job.resultCode != 0) return;  // decided when the job was created
    const auto position = cloud.MachineById(job.vmId);
    if (!position) return;
    Json vm = cloud.Table(Kind::VirtualMachines).Record(*position);
    if (job.action == MachineAction::Start) {
        const Json* host = PickHost(vm, cloud);
        if (host == nullptr) {
            vm["state"] = "Stopped";
            job.resultCode = 533;
            job.errorText = "Unable to create a deployment for VM instance {\"name\":\"" + StringMember(vm, "name") +
                            "\",\"uuid\":\"" + job.vmId + "\"}";
            cloud.UpdateMachine(*position, std::move(vm));
            return;
        }
        vm["state"] = "Running";
        PlaceMachineOnHost(vm, *host);
    } else if (job.action == MachineAction::Stop) {
        vm["state"] = "Stopped";
        RemoveMachineFromHost(vm);
    } else if (job.action == MachineAction::Restore) {
        // A running machine is stopped, given its new disk and started again; a stopped one stays stopped.
        ReplaceRootVolume(job, cloud);
    } else {
        vm["state"] = "Running";
    }
    MarkMachineUpdated(vm, job.completed);
    job.machine = vm;
    cloud.UpdateMachine(*position, std::move(vm));
}

void JobEngine::ReplaceRootVolume(const Job& job, Cloud& cloud) {
    // The old root volume is destroyed and a new one made from the template: same name and size, a new id.
    RecordTable& volumes = cloud.Table(Kind::Volumes);
    for (const std::size_t position : volumes.Find("virtualmachineid", job.vmId)) {
        if (StringMember(volumes.Record(position), "type") != "ROOT") continue;
        Json volume = volumes.Record(position);
        const std::string id = NewUuid();
        volume["id"] = id;
        volume["path"] = id;
        volume["created"] = job.completed;
        volume["attached"] = job.completed;
        volumes.Replace(position, std::move(volume));
        return;
    }
}

void JobEngine::Advance(Cloud& cloud, Clock::time_point now) {
    for (auto it = pending_.begin(); it != pending_.end();) {
        Job& job = jobs_.at(*it);
        if (job.due > now) {
            ++it;
            continue;
        }
        Complete(job, cloud);
        finished_.push_back(*it);
        it = pending_.erase(it);
    }
    // Like the server's job expiry: results are kept for a while, not forever.
    while (finished_.size() > kKeptJobResults) {
        jobs_.erase(finished_.front());
        finished_.pop_front();
    }
}

JobEngine::Clock::time_point JobEngine::NextDue() const {
    Clock::time_point next = Clock::time_point::max();
    for (const std::string& id : pending_) next = std::min(next, jobs_.at(id).due);
    return next;
}

SimResponse JobEngine::Submit(MachineAction action, const ApiRequest& request, const User& caller, Cloud& cloud,
                              Clock::time_point now) {
    const std::string command = CommandName(action);
    // restoreVirtualMachine names the machine as the volume commands do.
    const char* const parameter = action == MachineAction::Restore ? "virtualmachineid" : "id";
    const std::string* id = request.Param(parameter);
    if (id == nullptr || id->empty()) return MissingParameter(command, parameter);
    const auto position = cloud.MachineById(*id);
    if (!position) return InvalidValue(command, parameter, *id);
    const Json& vm = cloud.Table(Kind::VirtualMachines).Record(*position);
    if (caller.accountType != AccountType::RootAdmin && StringMember(vm, "account") != caller.account) {
        return ErrorReply(
            command + "response", 531, 4365,
            "Account " + caller.account + " does not have permission to operate on the virtual machine " + *id);
    }

    Job job;
    job.id = NewJobId();
    job.vmId = *id;
    job.owner = caller;
    job.action = action;
    job.due = now + std::chrono::duration_cast<Clock::duration>(
                        std::chrono::duration<double>(settings_.jobSeconds > 0 ? settings_.jobSeconds : 0.0));
    job.created = settings_.wallClockText();
    const std::string state = StringMember(vm, "state");
    const std::string name = StringMember(vm, "name");
    if (action == MachineAction::Start && state == "Running" && !settings_.permissive) {
        job.resultCode = kParameterError;
        job.errorText = "The virtual machine " + job.vmId + " (" + name + ") is already running";
    } else if (action == MachineAction::Reboot && state != "Running" && !settings_.permissive) {
        job.resultCode = kParameterError;
        job.errorText = "The virtual machine " + job.vmId + " (" + name + ") is not in Running state, unable to reboot";
    } else if (job.due > now && (action == MachineAction::Start || action == MachineAction::Stop)) {
        // A reboot passes through no state of its own, nor does a restore as the lists show it.
        Json changed = vm;
        changed["state"] = action == MachineAction::Start ? "Starting" : "Stopping";
        cloud.UpdateMachine(*position, std::move(changed));
    }
    const std::string jobId = job.id;
    pending_.push_back(jobId);
    jobs_.emplace(jobId, std::move(job));
    Advance(cloud, now);
    return JsonReply(200, command + "response", Json{{"jobid", JobIdValue(jobId)}});
}

SimResponse JobEngine::Query(const ApiRequest& request, const User& caller) const {
    const std::string command = "queryasyncjobresult";
    const std::string* id = request.Param("jobid");
    if (id == nullptr || id->empty()) return MissingParameter(command, "jobid");
    const auto found = jobs_.find(*id);
    if (found != jobs_.end()) return Answer(found->second);
    if (!settings_.permissive) return InvalidValue(command, "jobid", *id);
    Job job;
    job.id = *id;
    job.owner = caller;
    job.done = true;
    job.created = job.completed = settings_.wallClockText();
    job.machine = Json::object();
    return Answer(job);
}

SimResponse JobEngine::Answer(const Job& job) const {
    const bool failed = job.done && job.resultCode != 0;
    Json content = Json::object();
    content["accountid"] = job.owner.accountId;
    content["account"] = job.owner.account;
    content["domainid"] = job.owner.domain.id;
    content["domainpath"] = job.owner.domain.path;
    content["userid"] = job.owner.id;
    content["cmd"] = CommandClass(job.action, job.owner);
    content["jobprocstatus"] = 0;
    content["jobresultcode"] = job.done ? job.resultCode : 0;
    if (job.done) {
        content["jobresulttype"] = "object";
        content["jobresult"] = failed ? Json{{"errorcode", job.resultCode}, {"errortext", job.errorText}}
                                      : Json{{"virtualmachine", job.machine}};
    }
    content["jobinstancetype"] = "VirtualMachine";
    content["jobinstanceid"] = job.vmId;
    if (!failed) {
        content["managementserverid"] = kManagementServerId;
        content["managementservername"] = "mgmt-01";
    }
    content["created"] = job.created;
    if (job.done) content["completed"] = job.completed;
    content["jobid"] = JobIdValue(job.id);
    content["jobstatus"] = !job.done ? 0 : failed ? 2 : 1;
    return JsonReply(200, "queryasyncjobresultresponse", content);
}

}  // namespace cssim
