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
    std::vector<Json> volumes;
    std::vector<Json> serviceofferings;
    /// listDomains records; "path" such as "ROOT/customers/acme". The first is ROOT.
    std::vector<Json> domains;
    /// listUsers records with the account type ("accounttype": 1 root admin, 0 user) and, for the simulator only,
    /// "password"; "apikey" and "secretkey" when the user's keys are not to be derived from its id.
    std::vector<Json> users;

    /// The demo cloud: two zones, three pods, four clusters, six hosts, a dozen machines of three accounts, their
    /// volumes, four service offerings, two projects, three domains and their users.
    static Inventory BuiltIn();

    /// The built-in cloud without its machines, plus @p machineCount machines named vm-00001... of the root admin,
    /// spread over its usable hosts (GenerateMachines()), and their volumes.
    static Inventory Generated(int machineCount);

    /// Reads the format ToJson() writes: an object with the record arrays (a missing array is empty).
    static bool FromJson(const std::string& text, Inventory& inventory, std::string& error);

    /// FromJson() on the content of the file at @p path.
    static bool LoadFile(const std::string& path, Inventory& inventory, std::string& error);

    Json ToJson() const;
};

}  // namespace cssim
