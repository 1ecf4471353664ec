#include <cstdint>
#include <utility>

#include "JsonAppend.h"
#include "MachineGenerator.h"
#include "RecordTable.h"

namespace cssim {
namespace {

const std::int64_t kGiB = 1024LL * 1024 * 1024;

/// The members of a machine its volumes repeat, read in one pass over the machine.
struct MachineFacts {
    std::string id, name, displayName, state, zoneId, zoneName, created, account, domainId, domain, domainPath;
    std::string hypervisor{"KVM"}, offeringId, offeringName, templateId, templateName, templateText, instance;
    std::int64_t memory{0};
};

MachineFacts ReadFacts(const Json& vm) {
    MachineFacts facts;
    const std::pair<const char*, std::string*> wanted[] = {
        {"id", &facts.id},
        {"name", &facts.name},
        {"displayname", &facts.displayName},
        {"state", &facts.state},
        {"zoneid", &facts.zoneId},
        {"zonename", &facts.zoneName},
        {"created", &facts.created},
        {"account", &facts.account},
        {"domainid", &facts.domainId},
        {"domain", &facts.domain},
        {"domainpath", &facts.domainPath},
        {"hypervisor", &facts.hypervisor},
        {"serviceofferingid", &facts.offeringId},
        {"serviceofferingname", &facts.offeringName},
        {"templateid", &facts.templateId},
        {"templatename", &facts.templateName},
        {"templatedisplaytext", &facts.templateText},
        {"instancename", &facts.instance},
    };
    for (auto it = vm.begin(); it != vm.end(); ++it) {
        if (it.key() == "memory" && it->is_number_integer()) facts.memory = it->get<std::int64_t>();
        if (!it->is_string()) continue;
        for (const auto& [key, target] : wanted) {
            if (it.key() == key) *target = it->get<std::string>();
        }
    }
    return facts;
}

/// The number in an instance name such as "i-2-14-VM": what the server numbers ROOT-14 and DATA-14 after.
std::string InstanceNumber(const MachineFacts& vm) {
    const std::string& instance = vm.instance;
    const auto first = instance.find('-');
    const auto second = first == std::string::npos ? first : instance.find('-', first + 1);
    const auto third = second == std::string::npos ? second : instance.find('-', second + 1);
    if (third == std::string::npos) return vm.name;
    return instance.substr(second + 1, third - second - 1);
}

Json Volume(const MachineFacts& vm, bool root) {
    const std::int64_t size = root ? 20 * kGiB : 100 * kGiB;
    std::int64_t percent = 0;  // how full the disk is: anything from 12 to 81, the same on every run
    for (const char c : vm.id) percent = (percent * 31 + static_cast<unsigned char>(c)) % 70;
    const std::int64_t used = size / 100 * (12 + percent);
    const std::string id = StableUuid((root ? "volume/root/" : "volume/data/") + vm.id);
    Json volume = Json::object();
    volume.get_ref<Json::object_t&>().reserve(48);
    Put(volume, "id", id);
    Put(volume, "name", (root ? "ROOT-" : "DATA-") + InstanceNumber(vm));
    Put(volume, "zoneid", vm.zoneId);
    Put(volume, "zonename", vm.zoneName);
    Put(volume, "type", root ? "ROOT" : "DATADISK");
    Put(volume, "deviceid", root ? 0 : 1);
    Put(volume, "virtualmachineid", vm.id);
    Put(volume, "vmname", vm.name);
    Put(volume, "vmdisplayname", vm.displayName);
    Put(volume, "vmtype", "User");
    Put(volume, "vmstate", vm.state);
    Put(volume, "provisioningtype", "thin");
    Put(volume, "size", size);
    Put(volume, "created", vm.created);
    Put(volume, "attached", vm.created);
    Put(volume, "state", "Ready");
    Put(volume, "account", vm.account);
    Put(volume, "domainid", vm.domainId);
    Put(volume, "domain", vm.domain);
    Put(volume, "domainpath", vm.domainPath);
    Put(volume, "storagetype", "shared");
    Put(volume, "hypervisor", vm.hypervisor);
    if (root) {
        Put(volume, "serviceofferingid", vm.offeringId);
        Put(volume, "serviceofferingname", vm.offeringName);
        Put(volume, "serviceofferingdisplaytext", vm.offeringName);
    } else {
        Put(volume, "diskofferingid", StableUuid("diskoffering/data-100"));
        Put(volume, "diskofferingname", "Data 100 GB");
        Put(volume, "diskofferingdisplaytext", "Data disk, 100 GB");
    }
    Put(volume, "storageid", StableUuid("pool/" + vm.zoneId));
    Put(volume, "storage", "primary-" + vm.zoneName);
    Put(volume, "destroyed", false);
    Put(volume, "isextractable", true);
    Put(volume, "tags", Json::array());
    Put(volume, "displayvolume", true);
    Put(volume, "path", id);
    if (root) {
        Put(volume, "templateid", vm.templateId);
        Put(volume, "templatename", vm.templateName);
        Put(volume, "templatedisplaytext", vm.templateText);
    }
    Put(volume, "physicalsize", used);
    Put(volume, "virtualsize", size);
    Put(volume, "utilization", std::to_string(used * 100 / size) + ".00%");
    Put(volume, "supportsstoragesnapshot", true);
    Put(volume, "quiescevm", false);
    Put(volume, "deleteprotection", false);
    Put(volume, "hasannotations", false);
    return volume;
}

}  // namespace

std::vector<Json> MachineVolumes(const Json& machine) {
    const MachineFacts facts = ReadFacts(machine);
    std::vector<Json> volumes{Volume(facts, true)};
    if (facts.memory >= 4096) volumes.push_back(Volume(facts, false));
    return volumes;
}

}  // namespace cssim
