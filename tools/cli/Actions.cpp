// The commands that change something: start, stop, and any command through api.

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "Commands.h"
#include "ErrorText.h"
#include "JobWait.h"
#include "Output.h"
#include "Table.h"
#include "Text.h"
#include "TextEscape.h"

namespace cscli {

using namespace CloudStackSDKWrapper;

namespace {

std::string SecondsText(double seconds) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g s", seconds);
    return buffer;
}

JobOptions WaitOptions(const Context& context, std::string label) {
    JobOptions job;
    job.pollSeconds = context.options.pollSeconds;
    job.timeoutSeconds = context.options.timeoutSeconds;
    job.noWait = context.options.noWait;
    job.statusLine = context.statusLine;
    job.label = std::move(label);
    return job;
}

// The lines for a wait that did not end in success; @p what opens each ("stop web-01").
int ReportUnfinished(const Context& context, const JobOutcome& outcome, const std::string& what) {
    switch (outcome.state) {
        case JobState::TimedOut:
            return Fail(what + ": not done after " + SecondsText(context.options.timeoutSeconds) +
                        "; the job goes on on the server (job id " + outcome.jobId + ")");
        case JobState::Interrupted:
            Fail(what + ": interrupted; the job goes on on the server (job id " + outcome.jobId + ")");
            return kExitInterrupted;
        case JobState::PollFailed:
            return Fail(what + ": following job " + outcome.jobId + ": " +
                        Describe(outcome.error, context.server, "the poll failed"));
        default:
            return Fail(what + ": " + Describe(outcome.error, context.server, "the command failed"));
    }
}

// The rows a table or CSV shows for an answer that is no list: {"virtualmachine":{...}} is
// one machine, an array its elements, any other object itself.
std::vector<Json> RowsOf(const Json& answer) {
    if (answer.is_array()) return std::vector<Json>(answer.begin(), answer.end());
    if (answer.is_object() && answer.size() == 1) {
        const Json& only = answer.begin().value();
        if (only.is_object()) return {only};
        if (only.is_array()) return std::vector<Json>(only.begin(), only.end());
    }
    if (answer.is_null()) return {};
    return {answer};
}

void PrintAnswer(const Context& context, const Json& answer, bool list) {
    const Options& o = context.options;
    const std::vector<Json> rows = list ? std::vector<Json>(answer.begin(), answer.end()) : RowsOf(answer);
    const std::vector<std::string> columns = o.fields.empty() ? DefaultColumns(rows) : o.fields;
    // The answer is JSON unless a table or CSV was asked for.
    switch (o.outputGiven ? o.output : OutputFormat::Json) {
        case OutputFormat::Json: {
            if (o.fields.empty()) {
                Print(JsonText(answer, context.prettyJson));
                break;
            }
            Json projected = Json::array();
            for (const Json& row : rows) projected.push_back(Project(row, o.fields));
            Print(JsonText(list || rows.size() != 1 ? projected : projected.front(), context.prettyJson));
            break;
        }
        case OutputFormat::Csv:
            Print(ColumnCsv(rows, columns, o.csvRaw));
            break;
        case OutputFormat::Table:
            Print(ColumnTable(rows, columns));
            break;
        case OutputFormat::Text:
            Print(KeyValueText(rows, o.fields));
            break;
    }
}

// --raw: the answer object as the server sent it (@p text: its own bytes, when one request brought it, with
// only the characters a terminal would act on written as escapes); --fields keeps those attributes of the
// records it holds.
void PrintRaw(const Context& context, Json answer, const std::string& text = std::string()) {
    const std::vector<std::string>& fields = context.options.fields;
    if (fields.empty() && !text.empty()) {
        Print(TextEscape::JsonWithoutControls(text) + "\n");
        return;
    }
    if (!fields.empty() && answer.is_object()) {
        for (auto& [key, member] : answer.items()) {
            if (member.is_object()) member = Project(member, fields);
            if (member.is_array())
                for (Json& item : member) item = item.is_object() ? Project(item, fields) : item;
        }
    }
    Print(JsonText(answer, context.prettyJson));
}

// The item array of a list answer ({"count":N,"virtualmachine":[...]}); end() when it has none (an empty list).
Json::iterator ItemsOf(Json& answer) {
    for (auto it = answer.begin(); it != answer.end(); ++it)
        if (it->is_array()) return it;
    return answer.end();
}

// True for an answer with members but no array: no list ({"capability":{...}}), where {} and {"count":N} are empty
// ones.
bool HoldsNoList(const Json& answer) {
    bool other = false;
    for (auto it = answer.begin(); it != answer.end(); ++it) {
        if (it->is_array()) return false;
        other = other || it.key() != "count";
    }
    return other;
}

// A list command is sent once; when the answer counts more than its page holds, every page is fetched, unless
// page= or pagesize= asked for that one page. An answer that holds no list is printed as it is.
int RunListCommand(Context& context, bool paged) {
    const Options& o = context.options;
    std::string text;
    if (!context.cloud.Call(o.apiCommand, o.apiParams, text))
        return Fail(o.apiCommand + ": " + Describe(context.cloud.GetLastError(), context.server, "the call failed"));
    Json answer = Json::parse(text, nullptr, false);
    if (!answer.is_object()) return Fail(o.apiCommand + ": the answer is no JSON object");
    if (HoldsNoList(answer)) {
        if (o.raw)
            PrintRaw(context, std::move(answer), text);
        else
            PrintAnswer(context, answer, false);
        return kExitSuccess;
    }
    auto items = ItemsOf(answer);
    const auto count = answer.find("count");
    const bool partial = items != answer.end() && count != answer.end() && count->is_number_integer() &&
                         count->get<long long>() > static_cast<long long>(items->size());
    if (!paged && partial) {
        if (!context.cloud.CallList(o.apiCommand, o.apiParams, text))
            return Fail(o.apiCommand + ": " +
                        Describe(context.cloud.GetLastError(), context.server, "the call failed"));
        Json all = Json::parse(text, nullptr, false);
        if (!all.is_array()) return Fail(o.apiCommand + ": the answer is no JSON array");
        Json merged = Json::object();
        merged["count"] = all.size();
        merged[items.key()] = std::move(all);
        answer = std::move(merged);
        items = ItemsOf(answer);
        text.clear();  // written anew: several answers make this one
    }
    if (o.raw) {
        PrintRaw(context, std::move(answer), text);
    } else {
        PrintAnswer(context, items == answer.end() ? Json::array() : *items, true);
    }
    return kExitSuccess;
}

}  // namespace

int RunPower(Context& context, bool start) {
    const Options& o = context.options;
    if (IsBulkPower(o)) return RunPowerMany(context, start);
    const char* verb = start ? "start" : "stop";
    // Looking the machine up first tells an unknown name apart from a job that failed.
    SVMInfoLib vm;
    if (!context.cloud.GetVMInfo(o.hasId ? "" : o.name, o.hasId ? o.id : "", vm, 0)) {
        return Fail(DescribeLookup(context.cloud.GetLastError(), context.server, "virtual machine", o.hasId,
                                   o.hasId ? o.id : o.name));
    }
    const std::string who = vm.strName.empty() ? vm.strId : vm.strName;
    const std::string what = std::string(verb) + " " + who;

    const JobOutcome outcome =
        SubmitAndWait(context.cloud, start ? "startVirtualMachine" : "stopVirtualMachine", {{"id", vm.strId}},
                      WaitOptions(context, (start ? "Starting " : "Stopping ") + Printable(who)));
    switch (outcome.state) {
        case JobState::Submitted:
            Print(Printable(outcome.jobId) + "\n");
            return kExitSuccess;
        case JobState::Succeeded:
            Print(Printable(who) + (start ? " started.\n" : " stopped.\n"));
            return kExitSuccess;
        case JobState::Answered:
            return Fail(what + ": the server's answer holds no job id");
        default:
            return ReportUnfinished(context, outcome, what);
    }
}

int RunApi(Context& context) {
    const Options& o = context.options;
    const std::string lower = cstools::AsciiLower(o.apiCommand);
    const bool paged = std::any_of(o.apiParams.begin(), o.apiParams.end(), [](const auto& param) {
        return param.first == "page" || param.first == "pagesize";
    });
    if (lower.rfind("list", 0) == 0) return RunListCommand(context, paged);

    JobOptions job = WaitOptions(context, Printable(o.apiCommand));
    // Its answer names the job asked about: data, not a job of its own.
    job.followJob = lower != "queryasyncjobresult";
    const JobOutcome outcome = SubmitAndWait(context.cloud, o.apiCommand, o.apiParams, job);
    switch (outcome.state) {
        case JobState::Answered:
        case JobState::Submitted:
            if (o.raw)
                PrintRaw(context, outcome.result, outcome.text);
            else
                PrintAnswer(context, outcome.result, false);
            return kExitSuccess;
        case JobState::Succeeded:
            if (o.raw)
                PrintRaw(context, outcome.result);
            else
                PrintAnswer(context, outcome.result, false);
            return kExitSuccess;
        default:
            return ReportUnfinished(context, outcome, o.apiCommand);
    }
}

int RunWait(Context& context) {
    const std::string& jobId = context.options.jobId;
    const JobOutcome outcome =
        WaitFor(context.cloud, jobId, WaitOptions(context, "Waiting for job " + Printable(jobId)));
    if (outcome.state != JobState::Succeeded) return ReportUnfinished(context, outcome, "job " + jobId);
    PrintAnswer(context, outcome.result, false);
    return kExitSuccess;
}

}  // namespace cscli
