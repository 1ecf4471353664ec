#include "VmAnswer.h"

#include <cstdint>
#include <string>
#include <vector>

namespace csbench {
namespace {

class Random {
public:
    uint64_t Next() {
        // splitmix64: deterministic, so every run parses the same body
        uint64_t z = (m_state += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }
    unsigned Below(unsigned n) { return static_cast<unsigned>(Next() % n); }

private:
    uint64_t m_state{42};
};

std::string Hex(uint64_t value, int digits) {
    static const char kDigits[] = "0123456789abcdef";
    std::string text(static_cast<std::size_t>(digits), '0');
    for (int i = digits - 1; i >= 0; --i) {
        text[static_cast<std::size_t>(i)] = kDigits[value & 0xf];
        value >>= 4;
    }
    return text;
}

std::string Uuid(Random& random) {
    const uint64_t a = random.Next();
    const uint64_t b = random.Next();
    return Hex(a >> 32, 8) + "-" + Hex(a >> 16, 4) + "-4" + Hex(a, 3) + "-" + Hex(0x8000 | ((b >> 48) & 0x3fff), 4) +
           "-" + Hex(b, 12);
}

// Appends "key":"value" (value already valid JSON text when raw is set) and a comma.
void Field(std::string& out, const char* key, const std::string& value, bool raw = false) {
    out += '"';
    out += key;
    out += "\":";
    if (!raw) {
        out += '"';
    }
    out += value;
    if (!raw) {
        out += '"';
    }
    out += ',';
}

void CloseObject(std::string& out) {
    if (out.back() == ',') {
        out.pop_back();
    }
    out += '}';
}

struct Shared {
    std::string domainId, zoneId, templateId, guestOsId, offeringId, diskOfferingId, groupId, networkId, affinityId,
        securityGroupId;
    std::vector<std::string> hostIds, userIds;
};

void AppendNic(std::string& out, Random& random, const Shared& shared, unsigned vm, unsigned index) {
    const std::string ip =
        "10." + std::to_string(1 + index) + "." + std::to_string(vm / 250 % 256) + "." + std::to_string(2 + vm % 250);
    out += '{';
    Field(out, "id", Uuid(random));
    Field(out, "networkid", index == 0 ? shared.networkId : Uuid(random));
    Field(out, "networkname", index == 0 ? "guest-net" : "storage-net-" + std::to_string(vm % 17));
    Field(out, "netmask", "255.255.0.0");
    Field(out, "gateway", "10." + std::to_string(1 + index) + ".0.1");
    Field(out, "ipaddress", ip);
    Field(out, "isolationuri", "vlan://" + std::to_string(1001 + index));
    Field(out, "broadcasturi", "vlan://" + std::to_string(1001 + index));
    Field(out, "traffictype", "Guest");
    Field(out, "type", "Isolated");
    Field(out, "isdefault", index == 0 ? "true" : "false", true);
    Field(out, "macaddress", "02:00:" + Hex(vm >> 8, 2) + ":" + Hex(vm, 2) + ":" + Hex(index, 2) + ":17");
    Field(out, "secondaryip", "[]", true);
    Field(out, "extradhcpoption", "[]", true);
    Field(out, "deviceid", std::to_string(index));
    Field(out, "ip6address", "fd00:" + Hex(vm, 4) + "::" + Hex(index + 1, 2));
    Field(out, "ip6gateway", "fd00:" + Hex(vm, 4) + "::1");
    Field(out, "ip6cidr", "fd00:" + Hex(vm, 4) + "::/64");
    CloseObject(out);
}

void AppendTag(std::string& out, const Shared& shared, const std::string& vmId, const std::string& key,
               const std::string& value) {
    out += '{';
    Field(out, "key", key);
    Field(out, "value", value);
    Field(out, "resourcetype", "UserVm");
    Field(out, "resourceid", vmId);
    Field(out, "account", "admin");
    Field(out, "domainid", shared.domainId);
    Field(out, "domain", "ROOT");
    Field(out, "domainpath", "ROOT");
    CloseObject(out);
}

void AppendVm(std::string& out, Random& random, const Shared& shared, unsigned vm) {
    static const char* const kDisplayNames[] = {"Webserver Zürich", "Datenbank Köln", "サーバー 東京",
                                                "Serveur Genève",   "Build agent ✓",  "Cache node"};
    static const char* const kStates[] = {"Running", "Running", "Running", "Stopped"};
    const std::string id = Uuid(random);
    const std::string number = std::to_string(vm);
    const bool running = kStates[vm % 4][0] == 'R';
    const std::string& userId = shared.userIds[vm % shared.userIds.size()];

    out += '{';
    Field(out, "id", id);
    Field(out, "name", "vm-" + number);
    Field(out, "displayname", std::string(kDisplayNames[vm % 6]) + " #" + number);
    Field(out, "account", vm % 3 == 0 ? "admin" : "ops");
    Field(out, "userid", userId);
    Field(out, "username", vm % 3 == 0 ? "admin" : "alice");
    Field(out, "domainid", shared.domainId);
    Field(out, "domain", "ROOT");
    Field(out, "domainpath", "ROOT");
    Field(out, "created", "2025-10-01T08:00:12+0000");
    Field(out, "lastupdated", "2025-10-30T10:15:00+0000");
    Field(out, "state", kStates[vm % 4]);
    Field(out, "haenable", "false", true);
    Field(out, "zoneid", shared.zoneId);
    Field(out, "zonename", "zone-eu1");
    if (running) {
        Field(out, "hostid", shared.hostIds[vm % shared.hostIds.size()]);
        Field(out, "hostname", "kvm-" + std::to_string(vm % shared.hostIds.size()));
        Field(out, "hostcontrolstate", "Enabled");
    }
    Field(out, "templateid", shared.templateId);
    Field(out, "templatename", "Ubuntu 24.04");
    Field(out, "templatetype", "USER");
    Field(out, "templateformat", "QCOW2");
    Field(out, "templatedisplaytext", "Ubuntu 24.04 LTS");
    Field(out, "passwordenabled", "false", true);
    Field(out, "serviceofferingid", shared.offeringId);
    Field(out, "serviceofferingname", "Medium Instance");
    Field(out, "diskofferingid", shared.diskOfferingId);
    Field(out, "diskofferingname", "Custom SSD");
    Field(out, "group", vm % 2 == 0 ? "web" : "backend");
    Field(out, "groupid", shared.groupId);
    Field(out, "publicipid", Uuid(random));
    Field(out, "publicip", "185.12." + std::to_string(vm / 250 % 256) + "." + std::to_string(2 + vm % 250));
    Field(out, "cpunumber", std::to_string(1 << (vm % 4)), true);
    Field(out, "cpuspeed", "2000", true);
    Field(out, "memory", std::to_string(1024u << (vm % 5)), true);
    if (running) {
        Field(out, "cpuused", std::to_string(random.Below(100)) + "." + std::to_string(random.Below(100)) + "%");
        Field(out, "networkkbsread", std::to_string(random.Below(10000000)), true);
        Field(out, "networkkbswrite", std::to_string(random.Below(10000000)), true);
        Field(out, "diskkbsread", std::to_string(random.Below(100000000)), true);
        Field(out, "diskkbswrite", std::to_string(random.Below(100000000)), true);
        Field(out, "memorykbs", "2097152", true);
        Field(out, "memoryintfreekbs", std::to_string(random.Below(2097152)), true);
        Field(out, "memorytargetkbs", "2097152", true);
        Field(out, "diskioread", std::to_string(random.Below(1000000)), true);
        Field(out, "diskiowrite", std::to_string(random.Below(1000000)), true);
        Field(out, "receivedbytes", std::to_string(random.Next() % 100000000000ull), true);
        Field(out, "sentbytes", std::to_string(random.Next() % 100000000000ull), true);
    }
    Field(out, "guestosid", shared.guestOsId);
    Field(out, "rootdeviceid", "0", true);
    Field(out, "rootdevicetype", "ROOT");
    out += R"("securitygroup":[{"id":")" + shared.securityGroupId +
           R"(","name":"default","description":"Default Security Group","account":"admin","ingressrule":[],)"
           R"("egressrule":[],"tags":[],"virtualmachineids":[]}],)";
    out += "\"nic\":[";
    AppendNic(out, random, shared, vm, 0);
    out += ',';
    AppendNic(out, random, shared, vm, 1);
    out += "],";
    Field(out, "hypervisor", "KVM");
    Field(out, "instancename", "i-2-" + number + "-VM");
    out += R"("details":{"cpuOvercommitRatio":"2.0","memoryOvercommitRatio":"1.0","rootDiskController":"virtio",)"
           R"("nicAdapter":"virtio","dataDiskController":"scsi","Message.ReservedCapacityFreed.Flag":"false",)"
           R"("deployvm":"true","keyboard":"de","video.hardware":"virtio","video.ram":"16384","iothreads":"2",)"
           R"("io.policy":"io_uring","guest.cpu.mode":"host-passthrough","guest.cpu.model":"host"},)";
    out += R"("affinitygroup":[{"id":")" + shared.affinityId +
           R"(","name":"anti-affinity-web","type":"host anti-affinity","description":"spread web servers"}],)";
    Field(out, "isdynamicallyscalable", "false", true);
    Field(out, "deleteprotection", "false", true);
    Field(out, "readonlydetails", "dataDiskController,rootDiskController,nicAdapter");
    Field(out, "pooltype", "NetworkFilesystem");
    Field(out, "ostypeid", shared.guestOsId);
    Field(out, "osdisplayname", "Ubuntu 24.04 LTS");
    Field(out, "arch", "x86_64");
    out += "\"tags\":[";
    AppendTag(out, shared, id, "owner", vm % 3 == 0 ? "team-platform" : "team-billing");
    out += ',';
    AppendTag(out, shared, id, "environment", vm % 2 == 0 ? "production" : "staging");
    out += ',';
    AppendTag(out, shared, id, "cost-center", "cc-" + std::to_string(4000 + vm % 50));
    out += ',';
    AppendTag(out, shared, id, "backup", vm % 5 == 0 ? "none" : "nightly");
    out += "],";
    Field(out, "keypairs", "deploy-key-2025");
    Field(out, "userdataid", "");
    Field(out, "userdataname", "");
    Field(out, "userdatapolicy", "ALLOWOVERRIDE");
    Field(out, "displayvm", "true", true);
    Field(out, "hasannotations", "false", true);
    CloseObject(out);
}

std::string MakeBody(unsigned count) {
    Random random;
    Shared shared;
    shared.domainId = Uuid(random);
    shared.zoneId = Uuid(random);
    shared.templateId = Uuid(random);
    shared.guestOsId = Uuid(random);
    shared.offeringId = Uuid(random);
    shared.diskOfferingId = Uuid(random);
    shared.groupId = Uuid(random);
    shared.networkId = Uuid(random);
    shared.affinityId = Uuid(random);
    shared.securityGroupId = Uuid(random);
    for (int i = 0; i < 40; ++i) {
        shared.hostIds.push_back(Uuid(random));
    }
    for (int i = 0; i < 8; ++i) {
        shared.userIds.push_back(Uuid(random));
    }

    std::string body;
    body.reserve(static_cast<std::size_t>(count) * 4800 + 100);
    body += R"({"listvirtualmachinesresponse":{"count":)" + std::to_string(count) + R"(,"virtualmachine":[)";
    for (unsigned vm = 0; vm < count; ++vm) {
        if (vm != 0) {
            body += ',';
        }
        AppendVm(body, random, shared, vm);
    }
    body += "]}}";
    return body;
}

}  // namespace

std::string MakeVmListAnswer(unsigned count) {
    std::string body = MakeBody(count);
    // Room for simdjson's padding, as the transport leaves it.
    body.reserve(body.size() + 64);
    return body;
}

}  // namespace csbench
