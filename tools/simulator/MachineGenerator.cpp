#include "MachineGenerator.h"

#include <cstdint>
#include <cstdio>

#include "JsonAppend.h"
#include "RecordTable.h"
#include "Replies.h"

namespace cssim {
namespace {

const char* const kTemplateId = "e0172120-c901-4e92-9ca3-cba221927f9a";
const char* const kGuestOsId = "f50c977d-4204-407d-a41c-1ce90a82df08";
const char* const kStorageNetworkId = "7d3c2b1a-0f9e-4d8c-b7a6-958473625140";

const char* const kRuntimeKeys[] = {"cpuused",      "networkkbsread", "networkkbswrite",  "diskkbsread",
                                    "diskkbswrite", "memorykbs",      "memoryintfreekbs", "memorytargetkbs",
                                    "diskioread",   "diskiowrite",    "receivedbytes",    "sentbytes"};

/// Who owns generated machines: the first root admin of the inventory.
struct Owner {
    std::string account{"admin"};
    std::string userId{"c0af26a7-7b31-4dd1-8597-749503c49a29"};
    std::string username{"admin"};
    std::string domainId{"8c682961-f32e-4d08-a61a-6e2fdec2d9d7"};
    std::string domain{"ROOT"};
    std::string domainPath{"ROOT"};
};

Owner RootAdmin(const Inventory& inventory) {
    Owner owner;
    for (const Json& user : inventory.users) {
        const auto type = user.find("accounttype");
        if (type == user.end() || !type->is_number_integer() || type->get<int>() != 1) continue;
        owner.account = StringMember(user, "account");
        owner.userId = StringMember(user, "id");
        owner.username = StringMember(user, "username");
        owner.domainId = StringMember(user, "domainid");
        owner.domain = StringMember(user, "domain");
        owner.domainPath = owner.domain;
        for (const Json& domain : inventory.domains) {
            if (StringMember(domain, "id") == owner.domainId) owner.domainPath = StringMember(domain, "path");
        }
        break;
    }
    return owner;
}

struct Offering {
    std::string id;
    std::string name;
    int cpus;
    int speed;
    int memory;
};

Offering FindOffering(const Inventory& inventory, const std::string& name, int cpus, int memory) {
    for (const Json& offering : inventory.serviceofferings) {
        if (StringMember(offering, "name") != name) continue;
        const auto number = [&offering](const char* key, int fallback) {
            const auto it = offering.find(key);
            return it != offering.end() && it->is_number_integer() ? it->get<int>() : fallback;
        };
        return {StringMember(offering, "id"), name, number("cpunumber", cpus), number("cpuspeed", 1000),
                number("memory", memory)};
    }
    return {StableUuid("offering/" + name), name, cpus, 1000, memory};
}

/// @p pattern with its "#" replaced by @p number in five digits: "vm-#" -> "vm-00042".
std::string Numbered(const std::string& pattern, int number) {
    char digits[16];
    std::snprintf(digits, sizeof digits, "%05d", number);
    std::string text = pattern;
    const auto mark = text.find('#');
    if (mark != std::string::npos) text.replace(mark, 1, digits);
    return text;
}

Json Tag(const std::string& key, const std::string& value, const std::string& vmId, const Owner& owner) {
    return Json{{"key", key},
                {"value", value},
                {"resourcetype", "UserVm"},
                {"resourceid", vmId},
                {"account", owner.account},
                {"domainid", owner.domainId},
                {"domain", owner.domain}};
}

Json Nic(const std::string& vmId, int number, int device, const Json& zone, bool running) {
    const bool eu = StringMember(zone, "name") == "zone-eu1";
    const int subnet = eu ? 1 : 2;
    Json nic = Json::object();
    Put(nic, "id", StableUuid("nic/" + std::to_string(device) + "/" + vmId));
    if (device == 0) {
        Put(nic, "networkid", eu ? "df26e3ef-38ec-4cda-828c-c0a4059c9f13" : "2c41d7a8-0e5b-4f96-b3a2-7d18c6e09f45");
        Put(nic, "networkname", eu ? "guest-net" : "guest-net-us");
        Put(nic, "netmask", "255.255.255.0");
        Put(nic, "gateway", "10." + std::to_string(subnet) + ".1.1");
        Put(nic, "ipaddress",
            "10." + std::to_string(subnet) + "." + std::to_string(1 + number / 240) + "." +
                std::to_string(10 + number % 240));
    } else {
        Put(nic, "networkid", kStorageNetworkId);
        Put(nic, "networkname", "storage-net");
        Put(nic, "netmask", "255.255.0.0");
        Put(nic, "gateway", "172.16.0.1");
        Put(nic, "ipaddress", "172.16." + std::to_string(number / 250) + "." + std::to_string(2 + number % 250));
    }
    if (running) {
        const std::string vlan = device == 1 ? "vlan://3001" : eu ? "vlan://1001" : "vlan://2001";
        Put(nic, "isolationuri", vlan);
        Put(nic, "broadcasturi", vlan);
    }
    Put(nic, "traffictype", "Guest");
    Put(nic, "type", device == 0 ? "Isolated" : "Shared");
    Put(nic, "isdefault", device == 0);
    char mac[24];
    std::snprintf(mac, sizeof mac, "02:%02x:4a:3b:%02x:%02x", device, (number >> 8) & 0xff, number & 0xff);
    Put(nic, "macaddress", mac);
    Put(nic, "secondaryip", Json::array());
    Put(nic, "extradhcpoption", Json::array());
    Put(nic, "deviceid", std::to_string(device));
    return nic;
}

Json MakeMachine(int number, const Json& zone, const Json* host, const Offering& offering, const Owner& owner) {
    // Free text as people type it: blanks, punctuation, accents, other scripts.
    static const char* const kDisplayNames[] = {"vm-#",         "Web frontend #",       "Büro-Server #",
                                                "数据库节点 #", "Serveur « équipe » #", "app & worker no. #"};
    static const char* const kOwners[] = {"team-billing", "équipe-données", "Jürgen Müller", "R&D + ops"};
    static const char* const kEnvironments[] = {"production", "staging", "dev"};
    const bool running = host != nullptr;
    const std::string id = StableUuid("generated/" + Numbered("vm-#", number));
    Json vm = Json::object();
    vm.get_ref<Json::object_t&>().reserve(80);
    Put(vm, "id", id);
    Put(vm, "name", Numbered("vm-#", number));
    Put(vm, "displayname", Numbered(kDisplayNames[number % 6], number));
    Put(vm, "account", owner.account);
    Put(vm, "userid", owner.userId);
    Put(vm, "username", owner.username);
    Put(vm, "domainid", owner.domainId);
    Put(vm, "domain", owner.domain);
    Put(vm, "domainpath", owner.domainPath);
    Put(vm, "created", "2025-10-15T12:00:00+0000");
    if (running) Put(vm, "lastupdated", "2025-10-30T10:15:00+0000");
    Put(vm, "state", running ? "Running" : "Stopped");
    Put(vm, "haenable", number % 8 == 0);
    if (number % 10 == 0) {
        Put(vm, "groupid", StableUuid("group/batch"));
        Put(vm, "group", "batch");
    }
    Put(vm, "zoneid", zone["id"]);
    Put(vm, "zonename", zone["name"]);
    if (running) {
        Put(vm, "hostid", StringMember(*host, "id"));
        Put(vm, "hostname", StringMember(*host, "name"));
        Put(vm, "hostcontrolstate", "Enabled");
    }
    Put(vm, "templateid", kTemplateId);
    Put(vm, "templatename", "Ubuntu 24.04");
    Put(vm, "templatetype", "USER");
    Put(vm, "templateformat", "QCOW2");
    Put(vm, "templatedisplaytext", "Ubuntu 24.04 LTS");
    Put(vm, "passwordenabled", false);
    Put(vm, "serviceofferingid", offering.id);
    Put(vm, "serviceofferingname", offering.name);
    Put(vm, "cpunumber", offering.cpus);
    Put(vm, "cpuspeed", offering.speed);
    Put(vm, "memory", offering.memory);
    if (running) {
        Put(vm, "cpuused", std::to_string(1 + number % 9) + "." + std::to_string(10 + number % 89) + "%");
        Put(vm, "networkkbsread", 1020 + number);
        Put(vm, "networkkbswrite", 388 + number);
        Put(vm, "diskkbsread", 20480 + 7 * number);
        Put(vm, "diskkbswrite", 4096 + 3 * number);
        Put(vm, "memorykbs", static_cast<std::int64_t>(offering.memory) * 1024);
        Put(vm, "memoryintfreekbs", static_cast<std::int64_t>(offering.memory) * 512);
        Put(vm, "memorytargetkbs", static_cast<std::int64_t>(offering.memory) * 1024);
        Put(vm, "diskioread", 900 + number % 1000);
        Put(vm, "diskiowrite", 310 + number % 700);
    }
    Put(vm, "guestosid", kGuestOsId);
    Put(vm, "rootdeviceid", 0);
    Put(vm, "rootdevicetype", "ROOT");
    Put(vm, "securitygroup", Json::array());
    Json nics = Json::array({Nic(id, number, 0, zone, running)});
    if (number % 4 == 0) nics.push_back(Nic(id, number, 1, zone, running));
    Put(vm, "nic", std::move(nics));
    Put(vm, "hypervisor", "KVM");
    Put(vm, "instancename", "i-2-" + std::to_string(100 + number) + "-VM");
    Put(vm, "details",
        number % 2 == 0 ? Json{{"rootDiskController", "virtio"}, {"nicAdapter", "virtio"}} : Json::object());
    Json affinity = Json::array();
    if (number % 7 == 0) {
        affinity.push_back(Json{{"id", StableUuid("affinity/spread")},
                                {"name", "anti-affinity web"},
                                {"type", "host anti-affinity"},
                                {"description", "spread the web servers"}});
    }
    Put(vm, "affinitygroup", std::move(affinity));
    Put(vm, "isdynamicallyscalable", false);
    Put(vm, "deleteprotection", false);
    Put(vm, "ostypeid", kGuestOsId);
    Put(vm, "osdisplayname", "Ubuntu 24.04 LTS");
    if (running) {
        Put(vm, "receivedbytes", 1044480LL * (1 + number % 50));
        Put(vm, "sentbytes", 397312LL * (1 + number % 30));
    }
    Put(vm, "arch", "x86_64");
    if (number % 3 == 0) Put(vm, "keypairs", "deploy-key-2025");
    Json tags = Json::array();
    if (number % 3 != 0) {
        tags.push_back(Tag("env", kEnvironments[number % 3], id, owner));
        tags.push_back(Tag("owner", kOwners[number % 4], id, owner));
    }
    if (number % 3 == 2) {
        tags.push_back(Tag("cost-center", "cc-" + std::to_string(4000 + number % 50), id, owner));
        tags.push_back(Tag("backup", number % 5 == 0 ? "none" : "nightly", id, owner));
    }
    Put(vm, "tags", std::move(tags));
    Put(vm, "displayvm", true);
    Put(vm, "hasannotations", false);
    return vm;
}

const Json* FindRecord(const std::vector<Json>& records, const std::string& id) {
    for (const Json& record : records) {
        if (StringMember(record, "id") == id) return &record;
    }
    return nullptr;
}

}  // namespace

std::string StableUuid(const std::string& seed) {
    std::uint64_t state = 1469598103934665603ULL;  // FNV-1a of the seed, then two rounds of splitmix64
    for (const char c : seed) {
        state ^= static_cast<unsigned char>(c);
        state *= 1099511628211ULL;
    }
    const auto next = [&state] {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    };
    const std::uint64_t high = (next() & 0xffffffffffff0fffULL) | 0x0000000000004000ULL;
    const std::uint64_t low = (next() & 0x3fffffffffffffffULL) | 0x8000000000000000ULL;
    char text[40];
    std::snprintf(text, sizeof text, "%08llx-%04llx-%04llx-%04llx-%012llx", static_cast<unsigned long long>(high >> 32),
                  static_cast<unsigned long long>((high >> 16) & 0xffff),
                  static_cast<unsigned long long>(high & 0xffff), static_cast<unsigned long long>(low >> 48),
                  static_cast<unsigned long long>(low & 0xffffffffffffULL));
    return text;
}

std::vector<Json> GenerateMachines(int count, const Inventory& infrastructure, int firstNumber) {
    std::vector<const Json*> usable;
    for (const Json& host : infrastructure.hosts) {
        if (StringMember(host, "state") == "Up") usable.push_back(&host);
    }
    const Owner owner = RootAdmin(infrastructure);
    const Offering offerings[] = {FindOffering(infrastructure, "Small Instance", 1, 1024),
                                  FindOffering(infrastructure, "Medium Instance", 2, 2048),
                                  FindOffering(infrastructure, "Large Instance", 4, 4096)};
    static const Json kNowhere = Json{{"id", StableUuid("zone/none")}, {"name", "zone-none"}};
    std::vector<Json> machines;
    machines.reserve(count > 0 ? static_cast<std::size_t>(count) : 0);
    for (int number = firstNumber; number < firstNumber + count; ++number) {
        const Json* host = usable.empty() ? nullptr : usable[static_cast<std::size_t>(number - 1) % usable.size()];
        const Json* zone = host == nullptr ? nullptr : FindRecord(infrastructure.zones, StringMember(*host, "zoneid"));
        machines.push_back(MakeMachine(number, zone == nullptr ? kNowhere : *zone, number % 5 == 0 ? nullptr : host,
                                       offerings[number % 3], owner));
    }
    return machines;
}

std::string ListBody(const std::string& responseKey, const std::string& itemKey, const std::vector<std::string>& texts,
                     std::size_t total) {
    std::size_t size = 0;
    for (const auto& text : texts) size += text.size() + 1;
    ListBodyWriter writer(responseKey, itemKey, total, size);
    for (const auto& text : texts) writer.Add(text);
    return writer.Finish();
}

std::string GeneratedMachineListBody(int count) {
    const Inventory inventory = Inventory::Generated(count);
    std::vector<std::string> texts;
    texts.reserve(inventory.virtualmachines.size());
    for (const Json& vm : inventory.virtualmachines) texts.push_back(Dump(vm));
    return ListBody("listvirtualmachinesresponse", "virtualmachine", texts, texts.size());
}

void PlaceMachineOnHost(Json& vm, const Json& host) {
    Json placed = Json::object();
    bool inserted = false;
    const auto addHost = [&placed, &host] {
        placed["hostid"] = StringMember(host, "id");
        placed["hostname"] = StringMember(host, "name");
        placed["hostcontrolstate"] = "Enabled";
    };
    for (auto it = vm.begin(); it != vm.end(); ++it) {
        if (it.key() == "hostid" || it.key() == "hostname" || it.key() == "hostcontrolstate") continue;
        placed[it.key()] = it.value();
        if (it.key() == "zonename") {
            addHost();
            inserted = true;
        }
    }
    if (!inserted) addHost();
    vm = std::move(placed);
}

void RemoveMachineFromHost(Json& vm) {
    vm.erase("hostid");
    vm.erase("hostname");
    vm.erase("hostcontrolstate");
    for (const char* key : kRuntimeKeys) vm.erase(key);
}

void MarkMachineUpdated(Json& vm, const std::string& when) {
    if (vm.contains("lastupdated") || !vm.contains("created")) {
        vm["lastupdated"] = when;
        return;
    }
    Json updated = Json::object();
    for (auto it = vm.begin(); it != vm.end(); ++it) {
        updated[it.key()] = it.value();
        if (it.key() == "created") updated["lastupdated"] = when;
    }
    vm = std::move(updated);
}

}  // namespace cssim
