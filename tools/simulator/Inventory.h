#pragma once

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace cssim {

/// Records keep the key order the server writes them in.
using Json = nlohmann::ordered_json;

/// The cloud a simulator serves, as records in the server's own shape (lower-case keys, nested members).
struct Inventory {
    std::vector<Json> projects;
    std::vector<Json> zones;
    std::vector<Json> pods;
    std::vector<Json> clusters;
    std::vector<Json> hosts;
    std::vector<Json> virtualmachines;

    /// Two zones, three pods, four clusters, six hosts, a dozen machines and two projects.
    static Inventory BuiltIn();

    /// The built-in infrastructure with @p machineCount machines named vm-00001... spread over its usable hosts.
    static Inventory Generated(int machineCount);

    /// Reads the format ToJson() writes: an object with the six record arrays (a missing array is empty).
    static bool FromJson(const std::string& text, Inventory& inventory, std::string& error);

    /// FromJson() on the content of the file at @p path.
    static bool LoadFile(const std::string& path, Inventory& inventory, std::string& error);

    Json ToJson() const;
};

/// Puts @p vm on @p host: hostid, hostname and hostcontrolstate right after zonename, as the server orders them.
void PlaceMachineOnHost(Json& vm, const Json& host);

/// Drops what only a running machine carries: its host and its live statistics.
void RemoveMachineFromHost(Json& vm);

/// Sets lastupdated, placed after created as the server writes it.
void MarkMachineUpdated(Json& vm, const std::string& when);

}  // namespace cssim
