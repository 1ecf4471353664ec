// Many at once: start and stop of several machines (or of those that filters select), and api --batch.
// The library runs the commands side by side; this file chooses the machines, asks before acting on
// several, shows the status line and prints one result per command.

#include <cstdio>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>

#include "Commands.h"
#include "ErrorText.h"
#include "JobWait.h"
#include "Output.h"
#include "Password.h"
#include "Table.h"
#include "Text.h"

namespace cscli {

using namespace CloudStackSDKWrapper;

namespace {

struct Machine {
    std::string name;
    std::string id;
};

ItemState StateOf(const CCloudStackErrorState& result) {
    if (result.lErrorCode == CS_ERROR_UNFINISHED) return ItemState::Waiting;
    return result.lErrorCode == 0 ? ItemState::Done : ItemState::Failed;
}

JobOptions BulkOptions(const Context& context, const std::string& label) {
    JobOptions job;
    job.pollSeconds = context.options.pollSeconds;
    job.timeoutSeconds = context.options.timeoutSeconds;
    job.statusLine = context.statusLine;
    job.label = label;
    return job;
}

std::string TenthsOfSeconds(double seconds) {
    char text[32];
    std::snprintf(text, sizeof text, "%.1f", seconds);
    return text;
}

// The machines named by --name and --id, each looked up once; none is acted on when one is not found.
bool NamedMachines(Context& context, const char* verb, std::vector<Machine>& machines, int& status) {
    std::set<std::string> seen;
    std::size_t missing = 0;
    for (const auto& [byId, key] : context.options.machines) {
        SVMInfoLib vm;
        if (!context.cloud.GetVMInfo(byId ? "" : key, byId ? key : "", vm, 0)) {
            Fail(std::string(verb) + ": " +
                 DescribeLookup(context.cloud.GetLastError(), context.server, "virtual machine", byId, key));
            ++missing;
            continue;
        }
        if (seen.insert(vm.strId).second) machines.push_back({vm.strName, vm.strId});
    }
    if (missing == 0) return true;
    status = Fail(std::string(verb) + ": " + std::to_string(missing) + " of " +
                  std::to_string(context.options.machines.size()) + " machines not found; nothing was sent");
    return false;
}

// The machines the filters select (--state, --zone, --host, --all), as vms lists them.
bool SelectedMachines(Context& context, const char* verb, std::vector<Machine>& machines, int& status) {
    CloudStackParams params;
    if (!VmFilterParams(context, params, status)) return false;
    std::string text;
    if (!context.cloud.CallList("listVirtualMachines", params, text)) {
        status = Fail(std::string(verb) + ": listing the machines: " +
                      Describe(context.cloud.GetLastError(), context.server, "the list failed"));
        return false;
    }
    const Json items = Json::parse(text, nullptr, false);
    if (!items.is_array()) {
        status = Fail(std::string(verb) + ": listing the machines: the answer is no JSON array");
        return false;
    }
    for (const Json& item : items) {
        if (!item.is_object()) continue;
        machines.push_back({item.value("name", ""), item.value("id", "")});
    }
    return true;
}

// Acting on more than one machine is confirmed on the terminal, or by --yes where there is none.
bool Confirmed(const Context& context, const char* verb, const std::vector<Machine>& machines, int& status) {
    if (machines.size() < 2 || context.options.yes) return true;
    std::string names;
    for (std::size_t i = 0; i < machines.size() && i < 5; ++i)
        names += (i > 0 ? ", " : "") + Printable(machines[i].name.empty() ? machines[i].id : machines[i].name);
    if (machines.size() > 5) names += " and " + std::to_string(machines.size() - 5) + " more";
    const std::string what = std::string(verb) + " " + std::to_string(machines.size()) + " machines";
    std::string answer;
    switch (PromptLine(what + " (" + names + ")? [y/N] ", answer)) {
        case PromptResult::NoTerminal:
            std::fprintf(stderr, "cloudstack-cli: %s: there is no terminal to confirm on; give --yes\n", what.c_str());
            status = kExitUsage;
            return false;
        case PromptResult::Read:
            if (cstools::AsciiLower(answer) == "y" || cstools::AsciiLower(answer) == "yes") return true;
            break;
        case PromptResult::NoInput:
            break;
    }
    status = Fail(what + ": not confirmed; nothing was sent");
    return false;
}

}  // namespace

int RunPowerMany(Context& context, bool start) {
    const Options& o = context.options;
    const char* verb = start ? "start" : "stop";
    std::vector<Machine> machines;
    int status = kExitFailed;
    if (!(o.machines.empty() ? SelectedMachines(context, verb, machines, status)
                             : NamedMachines(context, verb, machines, status)))
        return status;
    if (machines.empty()) {
        std::fprintf(stderr, "cloudstack-cli: %s: no virtual machine matches the filters; nothing to do\n", verb);
        return kExitSuccess;
    }
    if (!Confirmed(context, verb, machines, status)) return status;

    std::vector<std::string> ids;
    for (const Machine& machine : machines) ids.push_back(machine.id);
    std::vector<CCloudStackErrorState> results;
    std::vector<double> seconds;
    bool interrupted = false;
    context.cloud.SetConcurrency(o.concurrency);
    const std::string label =
        std::string(start ? "starting " : "stopping ") + std::to_string(machines.size()) + " machines";
    RunBulk(
        context.cloud, BulkOptions(context, label), machines.size(),
        [&results](std::size_t i) { return i < results.size() ? StateOf(results[i]) : ItemState::Waiting; },
        [&] { return start ? context.cloud.StartVMs(ids, results) : context.cloud.StopVMs(ids, results); }, seconds,
        interrupted);
    if (results.size() != machines.size())
        return Fail(std::string(verb) + ": " +
                    Describe(context.cloud.GetLastError(), context.server, "the call failed"));

    std::size_t failed = 0;
    Json rows = Json::array();
    Table table({{"NAME"}, {"ID"}, {"RESULT"}, {"SECONDS", Table::Align::Right}});
    for (std::size_t i = 0; i < machines.size(); ++i) {
        const CCloudStackErrorState& result = results[i];
        const bool stopped = result.lErrorCode == CS_ERROR_WAIT_STOPPED;
        const std::string outcome = result.lErrorCode == 0 ? (start ? "started" : "stopped")
                                    : stopped              ? "interrupted"
                                                           : "failed";
        if (result.lErrorCode != 0) ++failed;
        Json row = {{"name", machines[i].name}, {"id", machines[i].id}, {"result", outcome}};
        if (result.lErrorCode != 0) row["error"] = {{"code", result.lErrorCode}, {"message", result.strErrorMessage}};
        row["seconds"] = Json::parse(TenthsOfSeconds(seconds[i]));
        rows.push_back(row);
        const std::string why = Describe(result, context.server, "the command failed");
        table.AddRow({machines[i].name, machines[i].id, result.lErrorCode == 0 ? outcome : outcome + ": " + why,
                      TenthsOfSeconds(seconds[i])});
    }
    Print(o.output == OutputFormat::Json ? JsonText(rows, context.prettyJson) : table.Render());
    if (interrupted) {
        Fail(std::string(verb) + ": interrupted; the jobs not waited for go on on the server");
        return kExitInterrupted;
    }
    if (failed > 0)
        return Fail(std::string(verb) + ": " + std::to_string(failed) + " of " + std::to_string(machines.size()) +
                    " machines failed");
    return kExitSuccess;
}

// ---------------------------------------------------------------------------------------------
// api --batch

namespace {

// The words of one line, as a shell splits and unquotes them (no expansions). false: a quote is not closed.
bool SplitWords(const std::string& line, std::vector<std::string>& words) {
    std::string word;
    bool inWord = false;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == ' ' || c == '\t') {
            if (inWord) words.push_back(word);
            word.clear();
            inWord = false;
            continue;
        }
        inWord = true;
        if (c == '\'') {
            const std::size_t end = line.find('\'', i + 1);
            if (end == std::string::npos) return false;
            word += line.substr(i + 1, end - i - 1);
            i = end;
        } else if (c == '"') {
            for (++i; i < line.size() && line[i] != '"'; ++i) {
                if (line[i] == '\\' && i + 1 < line.size() && (line[i + 1] == '"' || line[i + 1] == '\\')) ++i;
                word += line[i];
            }
            if (i >= line.size()) return false;
        } else if (c == '\\' && i + 1 < line.size()) {
            word += line[++i];
        } else {
            word += c;
        }
    }
    if (inWord) words.push_back(word);
    return true;
}

}  // namespace

bool ReadBatch(const std::string& file, std::vector<BatchCommand>& commands, std::string& error) {
    std::ifstream opened;
    if (file != "-") {
        opened.open(file, std::ios::binary);
        if (!opened) {
            error = "--batch: cannot read '" + file + "'";
            return false;
        }
    }
    std::istream& in = file == "-" ? std::cin : opened;
    std::string line;
    std::size_t number = 0;
    while (std::getline(in, line)) {
        ++number;
        if (!line.empty() && line.back() == '\r') line.pop_back();
        const std::size_t first = line.find_first_not_of(" \t");
        if (first == std::string::npos || line[first] == '#') continue;
        const std::string where = "--batch line " + std::to_string(number);
        std::vector<std::string> words;
        if (!SplitWords(line, words)) {
            error = where + ": a quote is not closed";
            return false;
        }
        BatchCommand command;
        command.line = number;
        command.command = words[0];
        for (std::size_t i = 1; i < words.size(); ++i) {
            const std::size_t split = words[i].find('=');
            if (split == std::string::npos || split == 0) {
                error = where + ": parameters are NAME=VALUE, not '" + words[i] + "'";
                return false;
            }
            command.params.emplace_back(words[i].substr(0, split), words[i].substr(split + 1));
        }
        commands.push_back(std::move(command));
    }
    if (in.bad()) {
        error = "--batch: cannot read '" + file + "'";
        return false;
    }
    return true;
}

int RunApiBatch(Context& context, std::vector<BatchCommand>& commands) {
    std::vector<CloudStackRequest> requests;
    for (const BatchCommand& command : commands) requests.push_back({command.command, command.params});
    std::vector<CloudStackResult> results;
    std::vector<double> seconds;
    bool interrupted = false;
    context.cloud.SetConcurrency(context.options.concurrency);
    RunBulk(
        context.cloud, BulkOptions(context, "running " + std::to_string(requests.size()) + " commands"),
        requests.size(),
        [&results](std::size_t i) { return i < results.size() ? StateOf(results[i].error) : ItemState::Waiting; },
        [&] { return context.cloud.CallAndWaitMany(requests, results); }, seconds, interrupted);
    if (results.size() != requests.size())
        return Fail("--batch: " + Describe(context.cloud.GetLastError(), context.server, "the call failed"));
    std::size_t failed = 0;
    for (std::size_t i = 0; i < requests.size(); ++i) {
        const CloudStackResult& result = results[i];
        Json line = {{"line", commands[i].line}, {"command", commands[i].command}, {"ok", result.bOk}};
        if (result.bOk) {
            Json parsed = Json::parse(result.strJson, nullptr, false);
            line["result"] = parsed.is_discarded() ? Json(result.strJson) : std::move(parsed);
        } else {
            ++failed;
            line["error"] = {{"code", result.error.lErrorCode}, {"message", result.error.strErrorMessage}};
        }
        line["seconds"] = Json::parse(TenthsOfSeconds(seconds[i]));
        Print(JsonText(line, false));
    }
    if (interrupted) {
        Fail("--batch: interrupted; the jobs not waited for go on on the server");
        return kExitInterrupted;
    }
    if (failed > 0)
        return Fail("--batch: " + std::to_string(failed) + " of " + std::to_string(requests.size()) +
                    " commands failed");
    return kExitSuccess;
}

}  // namespace cscli
