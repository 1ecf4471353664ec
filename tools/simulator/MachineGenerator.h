#pragma once

#include <string>
#include <vector>

#include "Inventory.h"

// Machines and volumes of realistic shape, the same for the simulator, the tests and the benchmarks.
namespace cssim {

/// @brief A version-4 UUID that depends on @p seed only: the same on every run and every platform.
std::string StableUuid(const std::string& seed);

/// @brief @p count machines named vm-NNNNN from @p firstNumber on, in the shape a current server lists them:
/// nested nic arrays (a second nic on every fourth), tags and details on some, UTF-8 display names and tag
/// values. Every fifth machine is stopped; the others run on the hosts of @p infrastructure that are Up, in
/// turn. They belong to the first root admin of @p infrastructure's users and take their figures from its
/// service offerings. The same arguments give the same machines.
std::vector<Json> GenerateMachines(int count, const Inventory& infrastructure, int firstNumber = 1);

/// @brief The volumes of @p machine as listVolumes shows them: a ROOT disk, and a DATADISK for machines with
/// 4 GiB of memory or more.
std::vector<Json> MachineVolumes(const Json& machine);

/// @brief A list answer: {"<responseKey>":{"count":<total>,"<itemKey>":[<texts>...]}}, or {"<responseKey>":{}}
/// when @p total is 0. @p texts are records as compact JSON.
std::string ListBody(const std::string& responseKey, const std::string& itemKey, const std::vector<std::string>& texts,
                     std::size_t total);

/// @brief The body of a listVirtualMachines answer holding @p count generated machines of the built-in cloud
/// (Inventory::Generated(count)), as a server sends one page of that size.
std::string GeneratedMachineListBody(int count);

/// @brief Puts @p vm on @p host: hostid, hostname and hostcontrolstate right after zonename, as the server orders
/// them.
void PlaceMachineOnHost(Json& vm, const Json& host);

/// @brief Drops what only a running machine carries: its host and its live statistics.
void RemoveMachineFromHost(Json& vm);

/// @brief Sets lastupdated, placed after created as the server writes it.
void MarkMachineUpdated(Json& vm, const std::string& when);

}  // namespace cssim
