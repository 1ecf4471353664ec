#include "Inventory.h"

#include <array>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <random>
#include <sstream>

namespace cssim {
namespace {

const char* const kDomainId = "8c682961-f32e-4d08-a61a-6e2fdec2d9d7";
const char* const kAdminUserId = "c0af26a7-7b31-4dd1-8597-749503c49a29";
const char* const kOpsUserId = "6e0809a0-69ea-46e6-b5f6-c8fc8e05cd5e";
const char* const kManagementServerId = "3954eda0-cf30-4543-9f56-5ba90dfbc2b9";
const char* const kTemplateId = "e0172120-c901-4e92-9ca3-cba221927f9a";
const char* const kGuestOsId = "f50c977d-4204-407d-a41c-1ce90a82df08";
const char* const kNetworkEuId = "df26e3ef-38ec-4cda-828c-c0a4059c9f13";
const char* const kNetworkUsId = "2c41d7a8-0e5b-4f96-b3a2-7d18c6e09f45";

const char* const kRuntimeKeys[] = {"cpuused",      "networkkbsread", "networkkbswrite",  "diskkbsread",
                                    "diskkbswrite", "memorykbs",      "memoryintfreekbs", "memorytargetkbs",
                                    "diskioread",   "diskiowrite",    "receivedbytes",    "sentbytes"};

/// Same seed, same id on every run and every platform: mt19937_64 yields the same sequence everywhere.
std::string StableUuid(const std::string& seed) {
    std::uint64_t hash = 1469598103934665603ULL;
    for (const char c : seed) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ULL;
    }
    std::mt19937_64 engine(hash);
    const std::uint64_t high = (engine() & 0xffffffffffff0fffULL) | 0x0000000000004000ULL;
    const std::uint64_t low = (engine() & 0x3fffffffffffffffULL) | 0x8000000000000000ULL;
    char text[40];
    std::snprintf(text, sizeof text, "%08llx-%04llx-%04llx-%04llx-%012llx", static_cast<unsigned long long>(high >> 32),
                  static_cast<unsigned long long>((high >> 16) & 0xffff),
                  static_cast<unsigned long long>(high & 0xffff), static_cast<unsigned long long>(low >> 48),
                  static_cast<unsigned long long>(low & 0xffffffffffffULL));
    return text;
}

Json MakeZone(const std::string& id, const std::string& name, const std::string& token, const std::string& dns,
              const std::string& cidr) {
    Json zone = Json::object();
    zone["id"] = id;
    zone["name"] = name;
    zone["dns1"] = dns;
    zone["internaldns1"] = "10.0.0.2";
    zone["guestcidraddress"] = cidr;
    zone["networktype"] = "Advanced";
    zone["securitygroupsenabled"] = false;
    zone["allocationstate"] = "Enabled";
    zone["zonetoken"] = token;
    zone["dhcpprovider"] = "VirtualRouter";
    zone["localstorageenabled"] = false;
    zone["tags"] = Json::array();
    zone["resourcedetails"] = Json::object();
    zone["allowuserspecifyvrmtu"] = false;
    zone["routerprivateinterfacemaxmtu"] = 1500;
    zone["routerpublicinterfacemaxmtu"] = 1500;
    zone["type"] = "Core";
    zone["nsxenabled"] = false;
    zone["ismultiarch"] = false;
    zone["asnrange"] = "";
    zone["routedmodeenabled"] = false;
    zone["hasannotations"] = false;
    return zone;
}

Json MakePod(const std::string& id, const std::string& name, const Json& zone, const std::string& subnet) {
    Json pod = Json::object();
    pod["id"] = id;
    pod["name"] = name;
    pod["zoneid"] = zone["id"];
    pod["zonename"] = zone["name"];
    pod["gateway"] = subnet + ".1";
    pod["netmask"] = "255.255.255.0";
    pod["ipranges"] = Json::array({Json{{"startip", subnet + ".100"},
                                        {"endip", subnet + ".199"},
                                        {"forsystemvms", "0"},
                                        {"vlanid", "vlan://untagged"}}});
    pod["startip"] = Json::array({subnet + ".100"});
    pod["endip"] = Json::array({subnet + ".199"});
    pod["forsystemvms"] = Json::array({"0"});
    pod["vlanid"] = Json::array({"vlan://untagged"});
    pod["allocationstate"] = "Enabled";
    pod["hasannotations"] = false;
    return pod;
}

Json MakeCluster(const std::string& id, const std::string& name, const Json& pod, const std::string& cpuRatio) {
    Json cluster = Json::object();
    cluster["id"] = id;
    cluster["name"] = name;
    cluster["podid"] = pod["id"];
    cluster["podname"] = pod["name"];
    cluster["zoneid"] = pod["zoneid"];
    cluster["zonename"] = pod["zonename"];
    cluster["hypervisortype"] = "KVM";
    cluster["clustertype"] = "CloudManaged";
    cluster["allocationstate"] = "Enabled";
    cluster["managedstate"] = "Managed";
    cluster["cpuovercommitratio"] = cpuRatio;
    cluster["memoryovercommitratio"] = "1.0";
    cluster["resourcedetails"] =
        cpuRatio == "1.0" ? Json::object() : Json{{"cpuOvercommitRatio", cpuRatio}, {"memoryOvercommitRatio", "1.0"}};
    cluster["arch"] = "x86_64";
    cluster["hasannotations"] = false;
    return cluster;
}

struct HostFigures {
    int cores{32};
    int speed{2400};
    std::string cpuAllocated;  // percent string, the way the server writes it
    std::string cpuUsed;       // empty when the host reports no statistics
    std::int64_t memoryTotal{0};
    std::int64_t memoryAllocated{0};
    std::int64_t memoryUsed{0};
    std::string memoryAllocatedPercent;
    std::string hostTags;
};

Json MakeHost(const std::string& id, const std::string& name, const std::string& state, const std::string& ip,
              const Json& cluster, const HostFigures& f, const std::string& created) {
    const bool up = state == "Up";
    Json host = Json::object();
    host["id"] = id;
    host["name"] = name;
    host["state"] = state;
    if (!up) host["disconnected"] = "2025-10-30T11:02:17+0000";
    host["type"] = "Routing";
    host["ipaddress"] = ip;
    host["zoneid"] = cluster["zoneid"];
    host["zonename"] = cluster["zonename"];
    host["podid"] = cluster["podid"];
    host["podname"] = cluster["podname"];
    host["version"] = "4.20.1.0";
    host["hypervisor"] = "KVM";
    host["cpusockets"] = 2;
    host["cpunumber"] = f.cores;
    host["cpuspeed"] = f.speed;
    host["cpuallocated"] = f.cpuAllocated;
    const double allocated = std::stod(f.cpuAllocated) / 100.0 * f.cores * f.speed;
    host["cpuallocatedvalue"] = static_cast<std::int64_t>(allocated);
    host["cpuallocatedpercentage"] = f.cpuAllocated;
    host["cpuallocatedwithoverprovisioning"] = f.cpuAllocated;
    if (up && !f.cpuUsed.empty()) host["cpuused"] = f.cpuUsed;
    host["cpuwithoverprovisioning"] = std::to_string(f.cores * f.speed);
    if (up) {
        host["cpuloadaverage"] = 0.52;
        host["networkkbsread"] = 120034;
        host["networkkbswrite"] = 98811;
    }
    host["memorytotal"] = f.memoryTotal;
    host["memorywithoverprovisioning"] = std::to_string(f.memoryTotal);
    host["memoryallocated"] = f.memoryAllocated;
    host["memoryallocatedpercentage"] = f.memoryAllocatedPercent;
    host["memoryallocatedbytes"] = f.memoryAllocated;
    if (up) {
        host["memoryused"] = f.memoryUsed;
        host["capabilities"] = "hvm,snapshot";
    }
    host["lastpinged"] = "1970-01-20T21:41:33+0000";
    if (up) {
        host["managementserverid"] = kManagementServerId;
        host["managementservername"] = "mgmt-01";
    }
    host["clusterid"] = cluster["id"];
    host["clustername"] = cluster["name"];
    host["clustertype"] = "CloudManaged";
    host["islocalstorageactive"] = false;
    host["created"] = created;
    if (up) {
        host["events"] =
            "AgentConnected; AgentDisconnected; HostDown; ManagementServerDown; PingTimeout; ShutdownRequested; "
            "Remove; StartAgentRebalance; UnableToConnect";
        host["hosttags"] = f.hostTags;
        host["istagarule"] = false;
    }
    host["resourcestate"] = "Enabled";
    if (up) host["hypervisorversion"] = "8.0.0";
    host["hahost"] = false;
    host["details"] = f.hostTags.empty() ? Json::object() : Json{{"gpu.model", "NVIDIA L40S"}};
    host["ueficapability"] = false;
    if (up) {
        host["encryptionsupported"] = true;
        host["instanceconversionsupported"] = false;
    }
    host["arch"] = "x86_64";
    host["hasannotations"] = false;
    return host;
}

Json MakeProject(const std::string& id, const std::string& name, const std::string& text, int number, int vmRunning,
                 int vmStopped, const std::string& created) {
    Json project = Json::object();
    project["id"] = id;
    project["name"] = name;
    project["displaytext"] = text;
    project["domainid"] = kDomainId;
    project["domain"] = "ROOT";
    project["owner"] = Json::array({Json{{"account", "admin"}}});
    project["projectaccountname"] = "PrjAcct-" + name + "-" + std::to_string(number);
    project["state"] = "Active";
    project["tags"] = Json::array();
    const int vms = vmRunning + vmStopped;
    const std::array<std::pair<const char*, int>, 11> totals{{{"network", 1},
                                                              {"vpc", 0},
                                                              {"cpu", 2 * vms},
                                                              {"memory", 2048 * vms},
                                                              {"primarystorage", 20 * vms},
                                                              {"secondarystorage", 0},
                                                              {"vm", vms},
                                                              {"ip", 1},
                                                              {"volume", vms},
                                                              {"snapshot", 0},
                                                              {"template", 0}}};
    for (const auto& [resource, total] : totals) {
        const std::string prefix = resource;
        project[prefix + "limit"] = "Unlimited";
        if (prefix == "secondarystorage") {
            project[prefix + "total"] = 0.0;
        } else {
            project[prefix + "total"] = total;
        }
        project[prefix + "available"] = "Unlimited";
    }
    project["vmstopped"] = vmStopped;
    project["vmrunning"] = vmRunning;
    project["created"] = created;
    return project;
}

struct MachinePlan {
    std::string id;
    std::string name;
    std::string displayName;
    std::string state;
    const Json* zone{nullptr};
    const Json* host{nullptr};  // only for a running machine
    std::string account{"admin"};
    std::string offering{"Medium Instance"};
    int cpus{2};
    int memory{2048};
    int instanceNumber{0};
    std::string created;
    std::string environment;  // value of an "env" tag, none when empty
};

Json MakeMachine(const MachinePlan& s) {
    const bool admin = s.account == "admin";
    const bool eu = (*s.zone)["name"] == "zone-eu1";
    const std::string offeringId = StableUuid("offering/" + s.offering);
    Json vm = Json::object();
    vm["id"] = s.id;
    vm["name"] = s.name;
    vm["displayname"] = s.displayName;
    vm["account"] = s.account;
    vm["userid"] = admin ? kAdminUserId : kOpsUserId;
    vm["username"] = admin ? "admin" : "alice";
    vm["domainid"] = kDomainId;
    vm["domain"] = "ROOT";
    vm["domainpath"] = "ROOT";
    vm["created"] = s.created;
    if (s.host != nullptr) vm["lastupdated"] = "2025-10-30T10:15:00+0000";
    vm["state"] = s.state;
    vm["haenable"] = false;
    vm["zoneid"] = (*s.zone)["id"];
    vm["zonename"] = (*s.zone)["name"];
    vm["templateid"] = kTemplateId;
    vm["templatename"] = "Ubuntu 24.04";
    vm["templatetype"] = "USER";
    vm["templateformat"] = "QCOW2";
    vm["templatedisplaytext"] = "Ubuntu 24.04 LTS";
    vm["passwordenabled"] = false;
    vm["serviceofferingid"] = offeringId;
    vm["serviceofferingname"] = s.offering;
    vm["cpunumber"] = s.cpus;
    vm["cpuspeed"] = 1000;
    vm["memory"] = s.memory;
    if (s.host != nullptr) {
        vm["cpuused"] =
            std::to_string(1 + s.instanceNumber % 9) + "." + std::to_string(10 + s.instanceNumber % 89) + "%";
        vm["networkkbsread"] = 1020 + s.instanceNumber;
        vm["networkkbswrite"] = 388 + s.instanceNumber;
        vm["diskkbsread"] = 20480;
        vm["diskkbswrite"] = 4096;
        vm["memorykbs"] = static_cast<std::int64_t>(s.memory) * 1024;
        vm["memoryintfreekbs"] = static_cast<std::int64_t>(s.memory) * 512;
        vm["memorytargetkbs"] = static_cast<std::int64_t>(s.memory) * 1024;
        vm["diskioread"] = 900;
        vm["diskiowrite"] = 310;
    }
    vm["guestosid"] = kGuestOsId;
    vm["rootdeviceid"] = 0;
    vm["rootdevicetype"] = "ROOT";
    vm["securitygroup"] = Json::array();
    const int octet = 10 + s.instanceNumber % 240;
    const int subnet = eu ? 1 : 2;
    char mac[24];
    std::snprintf(mac, sizeof mac, "02:00:4a:3b:%02x:%02x", (s.instanceNumber >> 8) & 0xff, s.instanceNumber & 0xff);
    Json nic = Json::object();
    nic["id"] = StableUuid("nic/" + s.id);
    nic["networkid"] = eu ? kNetworkEuId : kNetworkUsId;
    nic["networkname"] = eu ? "guest-net" : "guest-net-us";
    nic["netmask"] = "255.255.255.0";
    nic["gateway"] = "10." + std::to_string(subnet) + ".1.1";
    nic["ipaddress"] =
        "10." + std::to_string(subnet) + "." + std::to_string(1 + s.instanceNumber / 240) + "." + std::to_string(octet);
    if (s.host != nullptr) {
        nic["isolationuri"] = eu ? "vlan://1001" : "vlan://2001";
        nic["broadcasturi"] = eu ? "vlan://1001" : "vlan://2001";
    }
    nic["traffictype"] = "Guest";
    nic["type"] = "Isolated";
    nic["isdefault"] = true;
    nic["macaddress"] = mac;
    nic["secondaryip"] = Json::array();
    nic["extradhcpoption"] = Json::array();
    nic["deviceid"] = "0";
    vm["nic"] = Json::array({nic});
    vm["hypervisor"] = "KVM";
    vm["instancename"] = "i-" + std::string(admin ? "2" : "3") + "-" + std::to_string(s.instanceNumber) + "-VM";
    vm["details"] = Json::object();
    vm["affinitygroup"] = Json::array();
    vm["isdynamicallyscalable"] = false;
    vm["deleteprotection"] = false;
    vm["ostypeid"] = kGuestOsId;
    vm["osdisplayname"] = "Ubuntu 24.04 LTS";
    if (s.host != nullptr) {
        vm["receivedbytes"] = 1044480;
        vm["sentbytes"] = 397312;
    }
    vm["arch"] = "x86_64";
    Json tags = Json::array();
    if (!s.environment.empty()) {
        tags.push_back(Json{{"key", "env"},
                            {"value", s.environment},
                            {"resourcetype", "UserVm"},
                            {"resourceid", s.id},
                            {"account", s.account},
                            {"domainid", kDomainId},
                            {"domain", "ROOT"}});
    }
    vm["tags"] = tags;
    vm["displayvm"] = true;
    vm["hasannotations"] = false;
    if (s.host != nullptr) PlaceMachineOnHost(vm, *s.host);
    return vm;
}

/// The infrastructure shared by the built-in and the generated inventory.
Inventory Infrastructure() {
    Inventory inv;
    inv.zones.push_back(MakeZone("017e4c46-d7f2-4612-a2b8-4c07d998a2ba", "zone-eu1",
                                 "5e818a11-6b00-3429-9a07-e27511d3169a", "8.8.8.8", "10.1.0.0/16"));
    inv.zones.push_back(MakeZone("b3a1e6c2-4f0d-4e8a-9c71-2d5f8e0a6b13", "zone-us1",
                                 "0f3d8c1e-2a61-3b7c-9e40-1c2b3d4e5f60", "1.1.1.1", "10.2.0.0/16"));
    const Json& eu = inv.zones[0];
    const Json& us = inv.zones[1];

    inv.pods.push_back(MakePod("9428946b-3515-4770-8dce-b273e2c96c93", "pod-a", eu, "10.10.0"));
    inv.pods.push_back(MakePod("4d2f7a90-1c3e-4b58-8f6a-7e9d0c1b2a34", "pod-b", eu, "10.10.1"));
    inv.pods.push_back(MakePod("e81c5b47-92d0-4f3a-b6e5-0a1d2c3b4f56", "pod-us1-a", us, "10.20.0"));

    inv.clusters.push_back(MakeCluster("579d5504-f22e-414b-8c07-cf3f2b3aee01", "cluster1", inv.pods[0], "1.0"));
    inv.clusters.push_back(MakeCluster("9fecfaa3-25e6-4aa6-b4ed-49910c39868a", "Cluster B (GPU)", inv.pods[0], "2.0"));
    inv.clusters.push_back(MakeCluster("2b7e4f10-6a3d-4c95-8e21-f0a9b8c7d6e5", "cluster-eu1-b", inv.pods[1], "1.0"));
    inv.clusters.push_back(MakeCluster("c6d5e4f3-a2b1-4098-8765-43210fedcba9", "cluster-us1", inv.pods[2], "1.5"));

    const std::int64_t gib = 1024LL * 1024 * 1024;
    inv.hosts.push_back(MakeHost("7caad899-5e45-4176-9704-98367d31d944", "kvm-01", "Up", "10.10.0.11", inv.clusters[0],
                                 {32, 2400, "12.5%", "3.41%", 135089188864LL, 16 * gib, 40532111360LL, "12.72%", ""},
                                 "2025-06-02T09:12:44+0000"));
    inv.hosts.push_back(MakeHost("064f3e40-c27b-4f1c-a149-30ccf0877944", "kvm-02", "Disconnected", "10.10.0.12",
                                 inv.clusters[1], {32, 2400, "0.00%", "", 135089188864LL, 0, 0, "0.00%", "gpu"},
                                 "2025-06-02T09:20:10+0000"));
    inv.hosts.push_back(MakeHost("a4f1c2d3-5b6e-4f70-8a9b-0c1d2e3f4a5b", "kvm-03", "Up", "10.10.0.13", inv.clusters[1],
                                 {64, 2900, "6.25%", "21.7%", 270178377728LL, 8 * gib, 96636764160LL, "3.18%", "gpu"},
                                 "2025-06-03T07:41:05+0000"));
    inv.hosts.push_back(MakeHost("5e6f7a8b-9c0d-4e1f-a2b3-c4d5e6f7a8b9", "kvm-04", "Up", "10.10.1.11", inv.clusters[2],
                                 {32, 2400, "18.75%", "7.02%", 135089188864LL, 24 * gib, 51539607552LL, "19.08%", ""},
                                 "2025-07-14T12:00:31+0000"));
    inv.hosts.push_back(MakeHost("d1e2f3a4-b5c6-4d7e-8f90-a1b2c3d4e5f6", "kvm-us-01", "Up", "10.20.0.11",
                                 inv.clusters[3],
                                 {48, 2600, "9.38%", "11.9%", 540356755456LL, 32 * gib, 128849018880LL, "6.36%", ""},
                                 "2025-08-20T16:22:09+0000"));
    inv.hosts.push_back(MakeHost(
        "f0e1d2c3-b4a5-4968-8776-655443322110", "kvm-us-02", "Up", "10.20.0.12", inv.clusters[3],
        {48, 2600, "4.17%", "2.5%", 540356755456LL, 16 * gib, 64424509440LL, "3.18%", ""}, "2025-08-20T16:25:47+0000"));

    inv.projects.push_back(MakeProject("96ae8b8d-86d2-4470-a455-61fd103759b0", "billing", "Billing team project", 2, 1,
                                       1, "2025-09-12T07:44:01+0000"));
    inv.projects.push_back(MakeProject("3f9e8d7c-6b5a-4c3d-9e2f-1a0b9c8d7e6f", "analytics", "Analytics & reporting", 3,
                                       0, 0, "2025-10-05T13:20:45+0000"));
    return inv;
}

const Json* FindByName(const std::vector<Json>& records, const std::string& name) {
    for (const auto& record : records) {
        if (record.value("name", "") == name) return &record;
    }
    return nullptr;
}

bool ReadRecords(const Json& document, const char* key, std::vector<Json>& out, std::string& error) {
    out.clear();
    const auto it = document.find(key);
    if (it == document.end()) return true;
    if (!it->is_array()) {
        error = std::string("\"") + key + "\" is not an array";
        return false;
    }
    for (std::size_t i = 0; i < it->size(); ++i) {
        const Json& record = (*it)[i];
        if (!record.is_object() || !record.contains("id") || !record["id"].is_string() || !record.contains("name") ||
            !record["name"].is_string()) {
            error = std::string("\"") + key + "\"[" + std::to_string(i) + "] needs string members \"id\" and \"name\"";
            return false;
        }
        out.push_back(record);
    }
    return true;
}

}  // namespace

Inventory Inventory::BuiltIn() {
    Inventory inv = Infrastructure();
    const Json& eu = inv.zones[0];
    const Json& us = inv.zones[1];
    auto host = [&inv](const char* name) { return FindByName(inv.hosts, name); };

    std::vector<MachinePlan> plans;
    auto add = [&plans](MachinePlan plan) { plans.push_back(std::move(plan)); };
    add({"fcbea053-779e-4c4b-8c30-b22ece7c5b3d", "web-01", "Web server 01", "Running", &eu, host("kvm-01"), "admin",
         "Medium Instance", 2, 2048, 14, "2025-10-01T08:00:12+0000", "prod"});
    add({StableUuid("vm/web-02"), "web-02", "Web server 02", "Running", &eu, host("kvm-04"), "admin", "Medium Instance",
         2, 2048, 16, "2025-10-01T08:04:51+0000", "prod"});
    add({StableUuid("vm/web-03"), "web-03", "Web server 03 (canary)", "Stopped", &eu, nullptr, "admin",
         "Medium Instance", 2, 2048, 17, "2025-10-03T15:30:00+0000", "staging"});
    add({"090d187e-928c-4318-a5c4-a61d882f83be", "db-01", "db-01", "Stopped", &eu, nullptr, "admin", "Large Instance",
         4, 8192, 15, "2025-10-02T08:00:12+0000", ""});
    add({StableUuid("vm/db-02"), "db-02", "Database replica", "Running", &eu, host("kvm-03"), "admin", "Large Instance",
         4, 8192, 18, "2025-10-02T09:12:40+0000", "prod"});
    add({StableUuid("vm/cache-01"), "cache-01", "Redis cache", "Running", &eu, host("kvm-01"), "admin",
         "Small Instance", 1, 1024, 19, "2025-10-04T10:00:00+0000", ""});
    add({StableUuid("vm/mail-01"), "mail-01", "Mail relay", "Running", &eu, host("kvm-04"), "admin", "Small Instance",
         1, 1024, 20, "2025-10-06T11:45:10+0000", ""});
    add({StableUuid("vm/gpu-train-01"), "gpu-train-01", "GPU training node", "Error", &eu, nullptr, "admin",
         "GPU Instance", 16, 65536, 21, "2025-10-20T18:02:33+0000", ""});
    add({StableUuid("vm/api-us-01"), "api-us-01", "API gateway US 01", "Running", &us, host("kvm-us-01"), "admin",
         "Medium Instance", 2, 4096, 22, "2025-10-08T06:00:00+0000", "prod"});
    add({StableUuid("vm/api-us-02"), "api-us-02", "API gateway US 02", "Running", &us, host("kvm-us-02"), "admin",
         "Medium Instance", 2, 4096, 23, "2025-10-08T06:03:12+0000", "prod"});
    add({StableUuid("vm/worker-us-01"), "worker-us-01", "Batch worker", "Stopped", &us, nullptr, "admin",
         "Large Instance", 8, 16384, 24, "2025-10-09T21:17:00+0000", ""});
    // Owned by another account: only listall=true shows it to the admin.
    add({StableUuid("vm/ci-runner-01"), "ci-runner-01", "CI runner (ops)", "Running", &us, host("kvm-us-01"), "ops",
         "Medium Instance", 2, 2048, 25, "2025-10-11T09:30:00+0000", ""});
    for (const auto& plan : plans) inv.virtualmachines.push_back(MakeMachine(plan));
    return inv;
}

Inventory Inventory::Generated(int machineCount) {
    Inventory inv = Infrastructure();
    std::vector<const Json*> usable;
    for (const auto& host : inv.hosts) {
        if (host.value("state", "") == "Up") usable.push_back(&host);
    }
    const char* const offerings[] = {"Small Instance", "Medium Instance", "Large Instance"};
    for (int i = 1; i <= machineCount; ++i) {
        const Json* host = usable[static_cast<std::size_t>(i - 1) % usable.size()];
        const Json* zone = FindByName(inv.zones, (*host)["zonename"].get<std::string>());
        char name[32];
        std::snprintf(name, sizeof name, "vm-%05d", i);
        MachinePlan plan;
        plan.id = StableUuid(std::string("generated/") + name);
        plan.name = name;
        plan.displayName = name;
        plan.zone = zone;
        // Every fifth machine is stopped, the rest run.
        plan.state = i % 5 == 0 ? "Stopped" : "Running";
        plan.host = i % 5 == 0 ? nullptr : host;
        plan.offering = offerings[i % 3];
        plan.cpus = 1 << (i % 3);
        plan.memory = 1024 << (i % 3);
        plan.instanceNumber = 100 + i;
        plan.created = "2025-10-15T12:00:00+0000";
        inv.virtualmachines.push_back(MakeMachine(plan));
    }
    return inv;
}

bool Inventory::FromJson(const std::string& text, Inventory& inventory, std::string& error) {
    const Json document = Json::parse(text, nullptr, false);
    if (document.is_discarded() || !document.is_object()) {
        error = "not a JSON object";
        return false;
    }
    Inventory loaded;
    if (!ReadRecords(document, "projects", loaded.projects, error) ||
        !ReadRecords(document, "zones", loaded.zones, error) || !ReadRecords(document, "pods", loaded.pods, error) ||
        !ReadRecords(document, "clusters", loaded.clusters, error) ||
        !ReadRecords(document, "hosts", loaded.hosts, error) ||
        !ReadRecords(document, "virtualmachines", loaded.virtualmachines, error)) {
        return false;
    }
    for (std::size_t i = 0; i < loaded.virtualmachines.size(); ++i) {
        const Json& vm = loaded.virtualmachines[i];
        if (!vm.contains("state") || !vm["state"].is_string()) {
            error = "\"virtualmachines\"[" + std::to_string(i) + "] needs a string member \"state\"";
            return false;
        }
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
    document["projects"] = projects;
    document["zones"] = zones;
    document["pods"] = pods;
    document["clusters"] = clusters;
    document["hosts"] = hosts;
    document["virtualmachines"] = virtualmachines;
    return document;
}

void PlaceMachineOnHost(Json& vm, const Json& host) {
    Json placed = Json::object();
    bool inserted = false;
    for (auto it = vm.begin(); it != vm.end(); ++it) {
        if (it.key() == "hostid" || it.key() == "hostname" || it.key() == "hostcontrolstate") continue;
        placed[it.key()] = it.value();
        if (it.key() == "zonename") {
            placed["hostid"] = host.value("id", "");
            placed["hostname"] = host.value("name", "");
            placed["hostcontrolstate"] = "Enabled";
            inserted = true;
        }
    }
    if (!inserted) {
        placed["hostid"] = host.value("id", "");
        placed["hostname"] = host.value("name", "");
        placed["hostcontrolstate"] = "Enabled";
    }
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
