#include "RecordFields.h"

#include <algorithm>
#include <cstdio>
#include <utility>

#include "Table.h"

namespace cscli {

using namespace CloudStackSDKWrapper;

namespace {

Field Text(const char* key, const char* label, const std::string& value) {
    return Field{key, label, value, value};
}

Field Number(const char* key, const char* label, int32_t value, const char* unit = "") {
    return Field{key, label, value, std::to_string(value) + unit};
}

Field Bytes(const char* key, const char* label, uint64_t value) {
    return Field{key, label, value, std::to_string(value) + " bytes (" + GiBText(value) + " GiB)"};
}

Field Mebibytes(const char* key, const char* label, uint64_t value) {
    const std::string human = MiBText(value);
    const std::string exact = std::to_string(value) + " MiB";
    return Field{key, label, value, human == exact ? exact : exact + " (" + human + ")"};
}

std::vector<Field> Base(const SBaseInfoLib& record) {
    return {Text("name", "Name", record.strName), Text("id", "Id", record.strId)};
}

std::string HostCpu(const SHostInfoLib& host) {
    if (host.nCpuNumber <= 0) return "";
    std::string text = std::to_string(host.nCpuNumber) + " x " + std::to_string(host.nCpuSpeed) + " MHz";
    if (!host.strCpuUsed.empty()) text += " (" + host.strCpuUsed + " used)";
    return text;
}

std::string HostMemory(const SHostInfoLib& host) {
    if (host.ullMemoryTotal == 0) return "";
    return GiBText(host.ullMemoryUsed) + " / " + GiBText(host.ullMemoryTotal) + " GiB";
}

using Align = Table::Align;

}  // namespace

std::string GiBText(uint64_t bytes) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f", static_cast<double>(bytes) / (1024.0 * 1024.0 * 1024.0));
    return buffer;
}

std::string MiBText(uint64_t mebibytes) {
    if (mebibytes < 1024) return std::to_string(mebibytes) + " MiB";
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.1f GiB", static_cast<double>(mebibytes) / 1024.0);
    return buffer;
}

std::vector<Field> FieldsOf(const SProjectInfoLib& project) {
    std::vector<Field> fields = Base(project);
    fields.push_back(Text("displayText", "Display text", project.strDisplayText));
    fields.push_back(Text("state", "State", project.strState));
    fields.push_back(Text("domainId", "Domain id", project.strDomainId));
    fields.push_back(Text("domain", "Domain", project.strDomain));
    fields.push_back(Text("account", "Account", project.strAccount));
    fields.push_back(Text("projectAccountName", "Project account name", project.strProjectAccountName));
    return fields;
}

std::vector<Field> FieldsOf(const SZoneInfoLib& zone) {
    std::vector<Field> fields = Base(zone);
    fields.push_back(Text("allocationState", "Allocation state", zone.strAllocationState));
    return fields;
}

std::vector<Field> FieldsOf(const SPodInfoLib& pod) {
    std::vector<Field> fields = Base(pod);
    fields.push_back(Text("allocationState", "Allocation state", pod.strAllocationState));
    fields.push_back(Text("zoneId", "Zone id", pod.strZoneId));
    fields.push_back(Text("zoneName", "Zone name", pod.strZoneName));
    fields.push_back(Text("gateway", "Gateway", pod.strGateway));
    fields.push_back(Text("netmask", "Netmask", pod.strNetmask));
    return fields;
}

std::vector<Field> FieldsOf(const SClusterInfoLib& cluster) {
    std::vector<Field> fields = Base(cluster);
    fields.push_back(Text("podId", "Pod id", cluster.strPodId));
    fields.push_back(Text("podName", "Pod name", cluster.strPodName));
    fields.push_back(Text("zoneId", "Zone id", cluster.strZoneId));
    fields.push_back(Text("zoneName", "Zone name", cluster.strZoneName));
    fields.push_back(Text("hypervisorType", "Hypervisor type", cluster.strHypervisorType));
    fields.push_back(Text("clusterType", "Cluster type", cluster.strClusterType));
    fields.push_back(Text("allocationState", "Allocation state", cluster.strAllocationState));
    fields.push_back(Text("managedState", "Managed state", cluster.strManagedState));
    return fields;
}

std::vector<Field> FieldsOf(const SHostInfoLib& host) {
    std::vector<Field> fields = Base(host);
    fields.push_back(Text("state", "State", host.strState));
    fields.push_back(Text("type", "Type", host.strType));
    fields.push_back(Text("ipAddress", "IP address", host.strIpAddress));
    fields.push_back(Text("zoneId", "Zone id", host.strZoneId));
    fields.push_back(Text("zoneName", "Zone name", host.strZoneName));
    fields.push_back(Text("podId", "Pod id", host.strPodId));
    fields.push_back(Text("podName", "Pod name", host.strPodName));
    fields.push_back(Text("clusterId", "Cluster id", host.strClusterId));
    fields.push_back(Text("clusterName", "Cluster name", host.strClusterName));
    fields.push_back(Text("clusterType", "Cluster type", host.strClusterType));
    fields.push_back(Text("version", "Version", host.strVersion));
    fields.push_back(Text("hypervisor", "Hypervisor", host.strHypervisor));
    fields.push_back(Number("cpuNumber", "CPUs", host.nCpuNumber));
    fields.push_back(Number("cpuSpeed", "CPU speed", host.nCpuSpeed, " MHz"));
    fields.push_back(Text("cpuAllocated", "CPU allocated", host.strCpuAllocated));
    fields.push_back(Text("cpuUsed", "CPU used", host.strCpuUsed));
    fields.push_back(Bytes("memoryTotal", "Memory total", host.ullMemoryTotal));
    fields.push_back(Bytes("memoryAllocated", "Memory allocated", host.ullMemoryAllocated));
    fields.push_back(Bytes("memoryUsed", "Memory used", host.ullMemoryUsed));
    return fields;
}

std::vector<Field> FieldsOf(const SVMInfoLib& vm) {
    std::vector<Field> fields = Base(vm);
    fields.push_back(Text("displayName", "Display name", vm.strDisplayName));
    fields.push_back(Text("state", "State", vm.strState));
    fields.push_back(Text("hypervisor", "Hypervisor", vm.strHypervisor));
    fields.push_back(Text("instanceName", "Instance name", vm.strInstanceName));
    fields.push_back(Text("account", "Account", vm.strAccount));
    fields.push_back(Text("userId", "User id", vm.strUserId));
    fields.push_back(Text("userName", "User name", vm.strUserName));
    fields.push_back(Text("domainId", "Domain id", vm.strDomainId));
    fields.push_back(Text("domain", "Domain", vm.strDomain));
    fields.push_back(Text("zoneId", "Zone id", vm.strZoneId));
    fields.push_back(Text("zoneName", "Zone name", vm.strZoneName));
    fields.push_back(Text("hostId", "Host id", vm.strHostId));
    fields.push_back(Text("hostName", "Host name", vm.strHostName));
    fields.push_back(Text("templateId", "Template id", vm.strTemplateId));
    fields.push_back(Text("templateName", "Template name", vm.strTemplateName));
    fields.push_back(Text("templateDisplayText", "Template display text", vm.strTemplateDisplayText));
    fields.push_back(Number("cpuNumber", "CPUs", vm.nCpuNumber));
    fields.push_back(Number("cpuSpeed", "CPU speed", vm.nCpuSpeed, " MHz"));
    fields.push_back(Mebibytes("memory", "Memory", vm.ullMemory));
    fields.push_back(Text("guestOsId", "Guest OS id", vm.strGuestOsId));
    fields.push_back(Text("osTypeId", "OS type id", vm.strOsTypeId));
    return fields;
}

nlohmann::ordered_json ToJson(const std::vector<Field>& fields) {
    nlohmann::ordered_json object = nlohmann::ordered_json::object();
    for (const Field& field : fields) object[field.key] = field.value;
    return object;
}

std::string ToLabelLines(const std::vector<Field>& fields) {
    std::size_t width = 0;
    for (const Field& field : fields) width = std::max(width, DisplayWidth(field.label));
    std::string out;
    for (const Field& field : fields) {
        out += field.label + ":";
        if (!field.text.empty()) out += std::string(width - DisplayWidth(field.label) + 1, ' ') + Printable(field.text);
        out += "\n";
    }
    return out;
}

std::string TableOf(const std::vector<SProjectInfoLib>& projects) {
    Table table({{"NAME"}, {"STATE"}, {"DOMAIN"}, {"ID"}});
    for (const SProjectInfoLib& p : projects) table.AddRow({p.strName, p.strState, p.strDomain, p.strId});
    return table.Render();
}

std::string TableOf(const std::vector<SZoneInfoLib>& zones) {
    Table table({{"NAME"}, {"ALLOCATION"}, {"ID"}});
    for (const SZoneInfoLib& z : zones) table.AddRow({z.strName, z.strAllocationState, z.strId});
    return table.Render();
}

std::string TableOf(const std::vector<SPodInfoLib>& pods) {
    Table table({{"NAME"}, {"ZONE"}, {"GATEWAY"}, {"NETMASK"}, {"ID"}});
    for (const SPodInfoLib& p : pods) table.AddRow({p.strName, p.strZoneName, p.strGateway, p.strNetmask, p.strId});
    return table.Render();
}

std::string TableOf(const std::vector<SClusterInfoLib>& clusters) {
    Table table({{"NAME"}, {"ZONE"}, {"POD"}, {"HYPERVISOR"}, {"TYPE"}, {"ALLOCATION"}, {"ID"}});
    for (const SClusterInfoLib& c : clusters)
        table.AddRow({c.strName, c.strZoneName, c.strPodName, c.strHypervisorType, c.strClusterType,
                      c.strAllocationState, c.strId});
    return table.Render();
}

std::string TableOf(const std::vector<SHostInfoLib>& hosts) {
    Table table({{"NAME"}, {"STATE"}, {"TYPE"}, {"CLUSTER"}, {"CPU"}, {"MEMORY USED / TOTAL", Align::Right}, {"ID"}});
    for (const SHostInfoLib& h : hosts)
        table.AddRow({h.strName, h.strState, h.strType, h.strClusterName, HostCpu(h), HostMemory(h), h.strId});
    return table.Render();
}

std::string TableOf(const std::vector<SVMInfoLib>& vms) {
    Table table({{"NAME"}, {"STATE"}, {"ZONE"}, {"HOST"}, {"CPUS", Align::Right}, {"MEMORY", Align::Right}, {"ID"}});
    for (const SVMInfoLib& v : vms)
        table.AddRow({v.strName, v.strState, v.strZoneName, v.strHostName,
                      v.nCpuNumber > 0 ? std::to_string(v.nCpuNumber) : "", v.ullMemory > 0 ? MiBText(v.ullMemory) : "",
                      v.strId});
    return table.Render();
}

}  // namespace cscli
