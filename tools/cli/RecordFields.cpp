#include "RecordFields.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <utility>

#include "CloudStackRecordFields.h"
#include "Table.h"

namespace cscli {

using namespace CloudStackSDKWrapper;

namespace {

using Unit = RecordFields::Unit;

// Every field of each record, once, from the library's table of its record type: FieldsOf and
// FromJson both walk it.
template <typename Record, typename Visit>
void VisitFields(Record& r, Visit& v) {
    for (const RecordFields::Field<Record>& field : RecordFields::Table<Record>::kFields) {
        switch (field.type) {
            case RecordFields::FieldType::Text:
                v(field.key, field.label, r.*field.text);
                break;
            case RecordFields::FieldType::Int32:
                v(field.key, field.label, r.*field.int32, field.unit);
                break;
            case RecordFields::FieldType::UInt64:
                v(field.key, field.label, r.*field.uint64, field.unit);
                break;
        }
    }
}

struct Collector {
    std::vector<Field> fields;

    void operator()(const char* key, const char* label, const std::string& value) {
        fields.push_back(Field{key, label, value, value});
    }
    void operator()(const char* key, const char* label, int32_t value, Unit unit) {
        fields.push_back(Field{key, label, value, std::to_string(value) + (unit == Unit::MHz ? " MHz" : "")});
    }
    void operator()(const char* key, const char* label, uint64_t value, Unit unit) {
        std::string text = std::to_string(value) + " bytes (" + GiBText(value) + " GiB)";
        if (unit == Unit::MiB) {
            const std::string human = MiBText(value);
            text = std::to_string(value) + " MiB";
            if (human != text) text += " (" + human + ")";
        }
        fields.push_back(Field{key, label, value, text});
    }
};

// Numbers that arrive as text ("2", "4294967296") are read too; anything else leaves the field alone.
bool WholeNumber(const Json& value, long double& number) {
    if (value.is_number_integer()) {
        number = value.is_number_unsigned() ? static_cast<long double>(value.get<uint64_t>())
                                            : static_cast<long double>(value.get<int64_t>());
        return true;
    }
    if (!value.is_string()) return false;
    const std::string& text = value.get_ref<const std::string&>();
    if (text.empty() || text.size() > 20 || text.find_first_not_of("0123456789") != std::string::npos) return false;
    number = std::stold(text);
    return true;
}

struct Reader {
    const Json& item;

    const Json* Member(const char* key) const {
        const auto it = item.find(key);
        return it == item.end() ? nullptr : &*it;
    }
    void operator()(const char* key, const char*, std::string& value) const {
        if (const Json* member = Member(key)) {
            if (member->is_string())
                value = member->get<std::string>();
            else if (member->is_number() || member->is_boolean())
                value = member->dump();
        }
    }
    void operator()(const char* key, const char*, int32_t& value, Unit) const {
        long double number = 0;
        if (const Json* member = Member(key); member != nullptr && WholeNumber(*member, number) && number <= INT32_MAX)
            value = static_cast<int32_t>(number);
    }
    void operator()(const char* key, const char*, uint64_t& value, Unit) const {
        long double number = 0;
        if (const Json* member = Member(key); member != nullptr && WholeNumber(*member, number) && number >= 0)
            value = static_cast<uint64_t>(number);
    }
};

template <typename Record>
std::vector<Field> Collect(const Record& record) {
    Record copy = record;
    Collector collector;
    VisitFields(copy, collector);
    return collector.fields;
}

template <typename Record>
void Read(const Json& item, Record& record) {
    if (!item.is_object()) return;
    Reader reader{item};
    VisitFields(record, reader);
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

// clang-format off
std::vector<Field> FieldsOf(const SProjectInfoLib& r) { return Collect(r); }
std::vector<Field> FieldsOf(const SZoneInfoLib& r) { return Collect(r); }
std::vector<Field> FieldsOf(const SPodInfoLib& r) { return Collect(r); }
std::vector<Field> FieldsOf(const SClusterInfoLib& r) { return Collect(r); }
std::vector<Field> FieldsOf(const SHostInfoLib& r) { return Collect(r); }
std::vector<Field> FieldsOf(const SVMInfoLib& r) { return Collect(r); }
void FromJson(const Json& item, SProjectInfoLib& r) { Read(item, r); }
void FromJson(const Json& item, SZoneInfoLib& r) { Read(item, r); }
void FromJson(const Json& item, SPodInfoLib& r) { Read(item, r); }
void FromJson(const Json& item, SClusterInfoLib& r) { Read(item, r); }
void FromJson(const Json& item, SHostInfoLib& r) { Read(item, r); }
void FromJson(const Json& item, SVMInfoLib& r) { Read(item, r); }
// clang-format on

Json ToJson(const std::vector<Field>& fields) {
    Json object = Json::object();
    for (const Field& field : fields)
        if (!(field.value.is_string() && field.value.get_ref<const std::string&>().empty()))
            object[field.key] = field.value;
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
