#pragma once

#include <array>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "Inventory.h"
#include "RecordTable.h"

namespace cssim {

/// The kinds of record the simulator serves.
enum class Kind { Projects, Zones, Pods, Clusters, Hosts, VirtualMachines, Volumes, ServiceOfferings };
constexpr std::size_t kKindCount = 8;

/// The records a simulator serves and changes, one table per kind. Not synchronised: its owner locks.
class Cloud {
public:
    explicit Cloud(Inventory inventory);

    RecordTable& Table(Kind kind) { return tables_[static_cast<std::size_t>(kind)]; }
    const RecordTable& Table(Kind kind) const { return tables_[static_cast<std::size_t>(kind)]; }

    /// @brief The records as they stand now, with the domains and users the simulator started with.
    Inventory Snapshot() const;

    std::optional<std::size_t> MachineById(const std::string& id) const;
    std::optional<std::size_t> MachineByName(const std::string& name) const;

    /// @brief Replaces the machine at @p position; its volumes follow its state (vmstate).
    void UpdateMachine(std::size_t position, Json machine);

private:
    std::array<RecordTable, kKindCount> tables_;
    std::vector<Json> domains_;
    std::vector<Json> users_;
};

/// @brief The inventory member that holds the records of @p kind.
std::vector<Json> Inventory::*RecordsOf(Kind kind);

}  // namespace cssim
