#include "Cloud.h"

namespace cssim {
namespace {

struct KindInfo {
    std::vector<Json> Inventory::*records;
    std::vector<std::string> indexedMembers;  // the members lists filter on exactly
};

const std::array<KindInfo, kKindCount>& Kinds() {
    static const std::array<KindInfo, kKindCount> kinds{{
        {&Inventory::projects, {"id"}},
        {&Inventory::zones, {"id"}},
        {&Inventory::pods, {"id", "zoneid"}},
        {&Inventory::clusters, {"id", "zoneid", "podid"}},
        {&Inventory::hosts, {"id", "zoneid", "podid", "clusterid"}},
        {&Inventory::virtualmachines, {"id", "zoneid", "hostid"}},
        {&Inventory::volumes, {"id", "zoneid", "virtualmachineid"}},
        {&Inventory::serviceofferings, {"id"}},
    }};
    return kinds;
}

}  // namespace

std::vector<Json> Inventory::*RecordsOf(Kind kind) {
    return Kinds()[static_cast<std::size_t>(kind)].records;
}

Cloud::Cloud(Inventory inventory) : domains_(std::move(inventory.domains)), users_(std::move(inventory.users)) {
    for (std::size_t k = 0; k < kKindCount; ++k) {
        tables_[k] = RecordTable(Kinds()[k].indexedMembers);
        tables_[k].Assign(std::move(inventory.*(Kinds()[k].records)));
    }
}

Inventory Cloud::Snapshot() const {
    Inventory inventory;
    for (std::size_t k = 0; k < kKindCount; ++k) inventory.*(Kinds()[k].records) = tables_[k].Records();
    inventory.domains = domains_;
    inventory.users = users_;
    return inventory;
}

std::optional<std::size_t> Cloud::MachineById(const std::string& id) const {
    const auto& positions = Table(Kind::VirtualMachines).Find("id", id);
    if (positions.empty()) return std::nullopt;
    return positions.front();
}

std::optional<std::size_t> Cloud::MachineByName(const std::string& name) const {
    const RecordTable& machines = Table(Kind::VirtualMachines);
    for (std::size_t i = 0; i < machines.Size(); ++i) {
        if (StringMember(machines.Record(i), "name") == name) return i;
    }
    return std::nullopt;
}

void Cloud::UpdateMachine(std::size_t position, Json machine) {
    RecordTable& machines = Table(Kind::VirtualMachines);
    const std::string id = StringMember(machine, "id");
    const std::string state = StringMember(machine, "state");
    machines.Replace(position, std::move(machine));
    RecordTable& volumes = Table(Kind::Volumes);
    const std::vector<std::size_t> attached = volumes.Find("virtualmachineid", id);
    for (const std::size_t v : attached) {
        if (StringMember(volumes.Record(v), "vmstate") == state) continue;
        Json volume = volumes.Record(v);
        volume["vmstate"] = state;
        volumes.Replace(v, std::move(volume));
    }
}

}  // namespace cssim
