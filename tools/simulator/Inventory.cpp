#include "Inventory.h"

#include <fstream>
#include <sstream>
#include <stdexcept>

#include "DemoInventory.h"
#include "MachineGenerator.h"

namespace cssim {
namespace {

struct RecordArray {
    const char* key;
    std::vector<Json> Inventory::*records;
    const char* nameMember;  // what every record must carry besides "id"
};

// In the order ToJson() writes them.
const RecordArray kArrays[] = {
    {"domains", &Inventory::domains, "name"},
    {"users", &Inventory::users, "username"},
    {"projects", &Inventory::projects, "name"},
    {"zones", &Inventory::zones, "name"},
    {"pods", &Inventory::pods, "name"},
    {"clusters", &Inventory::clusters, "name"},
    {"hosts", &Inventory::hosts, "name"},
    {"serviceofferings", &Inventory::serviceofferings, "name"},
    {"virtualmachines", &Inventory::virtualmachines, "name"},
    {"volumes", &Inventory::volumes, "name"},
};

bool IsString(const Json& record, const char* key) {
    const auto it = record.find(key);
    return it != record.end() && it->is_string();
}

bool ReadRecords(const Json& document, const RecordArray& array, Inventory& inventory, std::string& error) {
    std::vector<Json>& out = inventory.*(array.records);
    out.clear();
    const auto it = document.find(array.key);
    if (it == document.end()) return true;
    if (!it->is_array()) {
        error = std::string("\"") + array.key + "\" is not an array";
        return false;
    }
    for (std::size_t i = 0; i < it->size(); ++i) {
        const Json& record = (*it)[i];
        const std::string where = std::string("\"") + array.key + "\"[" + std::to_string(i) + "]";
        if (!record.is_object() || !IsString(record, "id") || !IsString(record, array.nameMember)) {
            error = where + " needs string members \"id\" and \"" + array.nameMember + "\"";
            return false;
        }
        if (array.records == &Inventory::virtualmachines && !IsString(record, "state")) {
            error = where + " needs a string member \"state\"";
            return false;
        }
        out.push_back(record);
    }
    return true;
}

}  // namespace

Inventory Inventory::BuiltIn() {
    static const Inventory demo = [] {
        Inventory inventory;
        std::string error;
        // The resource is checked at build time by the tests; a broken one must not go unnoticed.
        if (!FromJson(std::string(DemoInventoryJson()), inventory, error)) throw std::runtime_error(error);
        return inventory;
    }();
    return demo;
}

Inventory Inventory::Generated(int machineCount) {
    Inventory inventory = BuiltIn();
    inventory.virtualmachines = GenerateMachines(machineCount, inventory);
    inventory.volumes.clear();
    for (const Json& machine : inventory.virtualmachines) {
        for (Json& volume : MachineVolumes(machine)) inventory.volumes.push_back(std::move(volume));
    }
    return inventory;
}

bool Inventory::FromJson(const std::string& text, Inventory& inventory, std::string& error) {
    const Json document = Json::parse(text, nullptr, false);
    if (document.is_discarded() || !document.is_object()) {
        error = "not a JSON object";
        return false;
    }
    Inventory loaded;
    for (const RecordArray& array : kArrays) {
        if (!ReadRecords(document, array, loaded, error)) return false;
    }
    inventory = std::move(loaded);
    return true;
}

bool Inventory::LoadFile(const std::string& path, Inventory& inventory, std::string& error) {
    std::ifstream file(path, std::ios::binary);
    if (!file) {
        error = "cannot read " + path;
        return false;
    }
    std::ostringstream content;
    content << file.rdbuf();
    if (!FromJson(content.str(), inventory, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

Json Inventory::ToJson() const {
    Json document = Json::object();
    for (const RecordArray& array : kArrays) document[array.key] = this->*(array.records);
    return document;
}

}  // namespace cssim
