// The inventory commands: the six lists (with the server's filters) and show.

#include <strings.h>

#include <cctype>

#include "Commands.h"
#include "ErrorText.h"
#include "Output.h"
#include "RecordFields.h"
#include "Table.h"
#include "Text.h"

namespace cscli {

using namespace CloudStackSDKWrapper;

namespace {

// A filter names a zone, pod, cluster or host by name or id; the server wants the id.
template <typename Record>
bool ResolveId(Context& context, bool (CCloudStackWrapper::*list)(std::vector<Record>&, unsigned long long),
               const char* what, const char* plural, const std::string& value, std::string& id, int& status) {
    if (cstools::IsUuid(value)) {
        id = value;
        return true;
    }
    std::vector<Record> records;
    if (!(context.cloud.*list)(records, 0)) {
        status = Fail(std::string("listing ") + plural + " to find \"" + value +
                      "\": " + Describe(context.cloud.GetLastError(), context.server, "the list failed"));
        return false;
    }
    std::vector<const Record*> matches;
    for (const Record& record : records)
        if (strcasecmp(record.strName.c_str(), value.c_str()) == 0) matches.push_back(&record);
    // As the library's lookups do: among names that differ only in letter case, the exact one wins.
    if (matches.size() > 1) {
        std::vector<const Record*> exact;
        for (const Record* record : matches)
            if (record->strName == value) exact.push_back(record);
        if (exact.size() == 1) matches = exact;
    }
    if (matches.size() != 1) {
        status = Fail(matches.empty() ? std::string("no ") + what + " named \"" + value + "\""
                                      : "name \"" + value + "\" matches " + std::to_string(matches.size()) + " " +
                                            plural + "; give the " + what + "'s id");
        return false;
    }
    id = matches.front()->strId;
    return true;
}

bool FilterParams(Context& context, CloudStackParams& params, int& status) {
    const Options& o = context.options;
    std::string id;
    if (!o.zone.empty()) {
        if (!ResolveId(context, &CCloudStackWrapper::GetZoneInfoList, "zone", "zones", o.zone, id, status))
            return false;
        params.emplace_back("zoneid", id);
    }
    if (!o.pod.empty()) {
        if (!ResolveId(context, &CCloudStackWrapper::GetPodInfoList, "pod", "pods", o.pod, id, status)) return false;
        params.emplace_back("podid", id);
    }
    if (!o.cluster.empty()) {
        if (!ResolveId(context, &CCloudStackWrapper::GetClusterInfoList, "cluster", "clusters", o.cluster, id, status))
            return false;
        params.emplace_back("clusterid", id);
    }
    if (!o.host.empty()) {
        if (!ResolveId(context, &CCloudStackWrapper::GetHostInfoList, "host", "hosts", o.host, id, status))
            return false;
        params.emplace_back("hostid", id);
    }
    if (!o.state.empty()) params.emplace_back("state", o.state);
    if (o.all) params.emplace_back("listall", "true");
    return true;
}

// Every attribute name a record of this type has, in record order: the CSV columns.
template <typename Record>
std::vector<std::string> RecordKeys() {
    std::vector<std::string> keys;
    for (const Field& field : FieldsOf(Record{})) keys.push_back(field.key);
    return keys;
}

template <typename Record>
int PrintRecords(Context& context, const std::vector<Record>& records) {
    const Options& o = context.options;
    std::vector<Json> items;
    for (const Record& record : records) items.push_back(ToJson(FieldsOf(record)));
    switch (o.output) {
        case OutputFormat::Json: {
            Json array = Json::array();
            for (const Json& item : items) array.push_back(o.fields.empty() ? item : Project(item, o.fields));
            Print(JsonText(array, context.prettyJson));
            break;
        }
        case OutputFormat::Csv:
            Print(ColumnCsv(items, o.fields.empty() ? RecordKeys<Record>() : o.fields, o.csvRaw));
            break;
        case OutputFormat::Table:
            Print(o.fields.empty() ? TableOf(records) : ColumnTable(items, o.fields));
            break;
        case OutputFormat::Text:
            Print(KeyValueText(items, o.fields));
            break;
    }
    return kExitSuccess;
}

template <typename Record>
int List(Context& context, bool (CCloudStackWrapper::*typed)(std::vector<Record>&, unsigned long long),
         const char* listCommand, const char* what) {
    std::vector<Record> records;
    if (!HasFilter(context.options)) {
        if (!(context.cloud.*typed)(records, 0))
            return Fail(std::string("listing ") + what + ": " +
                        Describe(context.cloud.GetLastError(), context.server, "the list failed"));
        return PrintRecords(context, records);
    }
    CloudStackParams params;
    int status = kExitFailed;
    if (!FilterParams(context, params, status)) return status;
    std::string text;
    if (!context.cloud.CallList(listCommand, params, text))
        return Fail(std::string("listing ") + what + ": " +
                    Describe(context.cloud.GetLastError(), context.server, "the list failed"));
    const Json items = Json::parse(text, nullptr, false);
    if (!items.is_array()) return Fail(std::string("listing ") + what + ": the answer is no JSON array");
    for (const Json& item : items) {
        records.emplace_back();
        FromJson(item, records.back());
    }
    return PrintRecords(context, records);
}

template <typename Record>
int Show(Context& context,
         bool (CCloudStackWrapper::*lookup)(const std::string&, const std::string&, Record&, unsigned long long),
         const char* what) {
    const Options& o = context.options;
    Record record;
    if (!(context.cloud.*lookup)(o.hasId ? "" : o.name, o.hasId ? o.id : "", record, 0))
        return Fail(
            DescribeLookup(context.cloud.GetLastError(), context.server, what, o.hasId, o.hasId ? o.id : o.name));
    const std::vector<Field> fields = FieldsOf(record);
    switch (o.output) {
        case OutputFormat::Json:
            Print(JsonText(ToJson(fields), context.prettyJson));
            break;
        case OutputFormat::Csv:
            Print(ColumnCsv({ToJson(fields)}, RecordKeys<Record>(), o.csvRaw));
            break;
        case OutputFormat::Table:
            Print(ToLabelLines(fields));
            break;
        case OutputFormat::Text:
            Print(KeyValueText({ToJson(fields)}, {}));
            break;
    }
    return kExitSuccess;
}

}  // namespace

bool VmFilterParams(Context& context, CloudStackParams& params, int& status) {
    return FilterParams(context, params, status);
}

int RunList(Context& context) {
    switch (context.options.command) {
        case Command::Projects:
            return List(context, &CCloudStackWrapper::GetProjectInfoList, "listProjects", "projects");
        case Command::Zones:
            return List(context, &CCloudStackWrapper::GetZoneInfoList, "listZones", "zones");
        case Command::Pods:
            return List(context, &CCloudStackWrapper::GetPodInfoList, "listPods", "pods");
        case Command::Clusters:
            return List(context, &CCloudStackWrapper::GetClusterInfoList, "listClusters", "clusters");
        case Command::Hosts:
            return List(context, &CCloudStackWrapper::GetHostInfoList, "listHosts", "hosts");
        default:
            return List(context, &CCloudStackWrapper::GetVMInfoList, "listVirtualMachines", "virtual machines");
    }
}

int RunShow(Context& context) {
    switch (context.options.showKind) {
        case ShowKind::Cluster:
            return Show(context, &CCloudStackWrapper::GetClusterInfo, "cluster");
        case ShowKind::Host:
            return Show(context, &CCloudStackWrapper::GetHostInfo, "host");
        default:
            return Show(context, &CCloudStackWrapper::GetVMInfo, "virtual machine");
    }
}

}  // namespace cscli
