#include "ApiCatalogue.h"

#include <vector>

#include "Replies.h"
#include "Text.h"

namespace cssim {
namespace {

// The server describes a parameter's length even where it checks none; 255 is what it says for most.
constexpr int kParameterLength = 255;

struct ParameterEntry {
    const char* name;
    const char* type;
    bool required;
    const char* description;
};

// The commands besides the lists, with the parameters their handlers read.
struct CommandEntry {
    const char* name;
    const char* description;
    bool async;
    std::vector<ParameterEntry> parameters;
    std::vector<const char*> answerMembers;  // empty: the members of a virtual machine
};

const std::vector<CommandEntry>& OtherCommands() {
    static const std::vector<CommandEntry> commands{
        {"startVirtualMachine",
         "Starts a virtual machine.",
         true,
         {{"id", "uuid", true, "The ID of the virtual machine"}},
         {}},
        {"stopVirtualMachine",
         "Stops a virtual machine.",
         true,
         {{"id", "uuid", true, "The ID of the virtual machine"}},
         {}},
        {"rebootVirtualMachine",
         "Reboots a virtual machine.",
         true,
         {{"id", "uuid", true, "The ID of the virtual machine"}},
         {}},
        {"restoreVirtualMachine",
         "Restore a VM to original template/ISO or new template/ISO",
         true,
         {{"virtualmachineid", "uuid", true, "Virtual Machine ID"}},
         {}},
        {"queryAsyncJobResult",
         "Retrieves the current status of an asynchronous job.",
         false,
         {{"jobid", "uuid", true, "the ID of the asynchronous job"}},
         {"accountid", "account", "domainid", "domainpath", "userid", "cmd", "jobprocstatus", "jobresultcode",
          "jobresulttype", "jobresult", "jobinstancetype", "jobinstanceid", "created", "completed", "jobid",
          "jobstatus"}},
        {"listCapabilities", "Lists the capabilities of the cloud.", false, {}, {"capability"}},
        {"listApis",
         "lists all available apis on the server, provided by the Api Discovery plugin",
         false,
         {{"name", "string", false, "API name"}},
         {"name", "description", "isasync", "params", "response"}},
    };
    return commands;
}

// "listServiceOfferings" -> "service offerings"
std::string Words(const std::string& command) {
    std::string words;
    for (std::size_t i = 4; i < command.size(); ++i) {
        const char c = command[i];
        if (c >= 'A' && c <= 'Z' && i > 4) words += ' ';
        words += cstools::AsciiLower(std::string(1, c));
    }
    return words;
}

std::string Singular(const std::string& plural) {
    return !plural.empty() && plural.back() == 's' ? plural.substr(0, plural.size() - 1) : plural;
}

const char* const kReferences[][2] = {
    {"zoneid", "zone"},
    {"podid", "pod"},
    {"clusterid", "cluster"},
    {"hostid", "host"},
    {"virtualmachineid", "virtual machine"},
};

std::string IdDescription(const std::string& parameter, const std::string& singular) {
    if (parameter == "id") return "the ID of the " + singular;
    for (const auto& reference : kReferences)
        if (parameter == reference[0]) return "list by the ID of the " + std::string(reference[1]);
    return "list by " + parameter;
}

Json Parameter(const std::string& name, const char* type, bool required, const std::string& description) {
    Json parameter = Json::object();
    parameter["name"] = name;
    parameter["description"] = description;
    parameter["type"] = type;
    parameter["length"] = kParameterLength;
    parameter["required"] = required;
    return parameter;
}

const char* TypeOf(const Json& value) {
    if (value.is_boolean()) return "boolean";
    if (value.is_number_integer()) return "long";
    if (value.is_number()) return "double";
    if (value.is_array()) return "list";
    if (value.is_object()) return "map";
    return "string";
}

// The members of a command's answer, named as the records the simulator serves name them.
Json AnswerOf(const RecordTable& table) {
    Json members = Json::array();
    if (table.Size() == 0) return members;
    for (const auto& [name, value] : table.Record(0).items())
        members.push_back(Json{{"name", name}, {"type", TypeOf(value)}});
    return members;
}

Json Command(const std::string& name, const std::string& description, bool async, Json parameters, Json answer) {
    Json api = Json::object();
    api["name"] = name;
    api["description"] = description;
    api["isasync"] = async;
    api["params"] = std::move(parameters);
    api["response"] = std::move(answer);
    return api;
}

Json ListCommand(const ListSpec& list, const RecordTable& table, const ListPolicy& policy) {
    const std::string plural = Words(list.command);
    const std::string singular = Singular(plural);
    Json parameters = Json::array();
    for (const FieldFilter& filter : list.idFilters)
        parameters.push_back(Parameter(filter.parameter, "uuid", false, IdDescription(filter.parameter, singular)));
    for (const FieldFilter& filter : list.textFilters)
        parameters.push_back(
            Parameter(filter.parameter, "string", false,
                      "list only the " + plural + " whose " + filter.member + " is this, letter case aside"));
    if (policy.nameFilterOnEveryList || list.kind == Kind::VirtualMachines) {
        parameters.push_back(Parameter("name", "string", false,
                                       "list by name: any part of it, letter case aside ('%' and '_' match any)"));
        std::string members;
        for (const char* member : list.keywordMembers) members += (members.empty() ? "" : ", ") + std::string(member);
        parameters.push_back(
            Parameter("keyword", "string", false,
                      "list by keyword: any part of " + members + (list.keywordMatchesState ? ", or the state" : "")));
    }
    if (list.accountScoped)
        parameters.push_back(Parameter("listall", "boolean", false,
                                       "true: every account's " + plural + " the caller may see, not only its own"));
    parameters.push_back(Parameter("page", "integer", false, "the page to list, from 1 (with pagesize)"));
    parameters.push_back(Parameter("pagesize", "integer", false,
                                   "the " + plural + " on one page, at most " + std::to_string(policy.pageSize)));
    Json answer = Json::array();
    answer.push_back(Json{{"name", "count"}, {"type", "integer"}});
    answer.push_back(Json{{"name", list.itemKey}, {"type", "list"}, {"response", AnswerOf(table)}});
    return Command(list.command, "Lists " + plural + ".", false, std::move(parameters), std::move(answer));
}

Json OtherCommand(const CommandEntry& entry, const Cloud& cloud) {
    Json parameters = Json::array();
    for (const ParameterEntry& parameter : entry.parameters)
        parameters.push_back(Parameter(parameter.name, parameter.type, parameter.required, parameter.description));
    Json answer = Json::array();
    for (const char* member : entry.answerMembers) answer.push_back(Json{{"name", member}});
    if (entry.answerMembers.empty()) answer = AnswerOf(cloud.Table(Kind::VirtualMachines));
    return Command(entry.name, entry.description, entry.async, std::move(parameters), std::move(answer));
}

}  // namespace

SimResponse ListApis(const ApiRequest& request, const Cloud& cloud, const ListPolicy& policy) {
    const std::string* wanted = request.Param("name");
    const bool all = wanted == nullptr || wanted->empty();
    Json apis = Json::array();
    for (const ListSpec& list : ListSpecs())
        if (all || *wanted == list.command) apis.push_back(ListCommand(list, cloud.Table(list.kind), policy));
    for (const CommandEntry& entry : OtherCommands())
        if (all || *wanted == entry.name) apis.push_back(OtherCommand(entry, cloud));
    if (apis.empty()) {
        return ErrorReply("listapisresponse", kParameterError, kServerErrorCode,
                          "Api Discovery plugin was unable to find an api by that name or process any apis");
    }
    Json content = Json::object();
    content["count"] = apis.size();
    content["api"] = std::move(apis);
    return JsonReply(200, "listapisresponse", content);
}

}  // namespace cssim
