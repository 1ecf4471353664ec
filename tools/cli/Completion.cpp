#include "Completion.h"

#include <algorithm>
#include <string_view>

#include "Catalogue.h"
#include "Commands.h"
#include "Grammar.h"
#include "Settings.h"
#include "Text.h"

namespace cscli {

// Generated from the files in tools/cli/completion.
std::string_view BashCompletionScript();
std::string_view ZshCompletionScript();

namespace {

// bash splits a word at '=': "state=Run" arrives as "state", "=", "Run".
std::vector<std::string> JoinAssignments(const std::vector<std::string>& words) {
    std::vector<std::string> joined;
    bool glue = false;
    for (const std::string& word : words) {
        if (word == "=" && !joined.empty()) {
            joined.back() += word;
            glue = true;
        } else if (glue) {
            joined.back() += word;
            glue = false;
        } else {
            joined.push_back(word);
        }
    }
    return joined;
}

// The catalogue for the server and user the typed options and the environment name; nullptr without one.
const Catalogue* CachedCatalogue(const std::vector<std::string>& words, Catalogue& catalogue) {
    Options options;
    for (std::size_t i = 0; i + 1 < words.size(); ++i) {
        std::string name = words[i];
        std::string value;
        if (!cstools::SplitOptionValue(words[i], name, value)) {
            if (!TakesValue(name)) continue;
            value = words[++i];
        }
        if (name == "--server") options.server = value;
        if (name == "--region" || name == "-p") options.region = value;
        if (name == "--user") options.user = value;
        if (name == "--domain") options.domain = value;
        if (name == "--password-file") options.passwordFile = value;
    }
    Settings settings;
    std::string error;
    std::string warning;
    if (!ResolveSettings(options, settings, error) || !LoadCatalogue(settings, catalogue, warning)) return nullptr;
    return &catalogue;
}

// "listVirtualMachines" -> "list"; empty when the name is not VERB + Noun.
std::string VerbOf(const std::string& name) {
    std::size_t split = 0;
    while (split < name.size() && name[split] >= 'a' && name[split] <= 'z') ++split;
    return split == name.size() ? std::string() : name.substr(0, split);
}

std::vector<std::string> Verbs(const Catalogue* catalogue) {
    std::vector<std::string> verbs;
    if (catalogue != nullptr)
        for (const ApiCommand& command : catalogue->commands)
            if (!VerbOf(command.name).empty()) verbs.push_back(VerbOf(command.name));
    return verbs;
}

std::vector<std::string> Nouns(const std::string& verb, const Catalogue* catalogue) {
    std::vector<std::string> nouns;
    if (catalogue == nullptr) {
        if (verb == "list") nouns = BuiltInListNouns();
        if (verb == "start" || verb == "stop") nouns.emplace_back("virtualmachine");
        return nouns;
    }
    for (const ApiCommand& command : catalogue->commands)
        if (VerbOf(command.name) == verb) nouns.push_back(cstools::AsciiLower(command.name.substr(verb.size())));
    return nouns;
}

// "name=" for each parameter of @p command not given yet, and filter= (the columns).
std::vector<std::string> Parameters(const ApiCommand* command, const std::vector<std::string>& given) {
    std::vector<std::string> candidates{"filter="};
    if (command == nullptr) return candidates;
    for (const ApiParameter& parameter : command->parameters) {
        const std::string assignment = parameter.name + "=";
        const bool used = std::any_of(given.begin(), given.end(), [&assignment](const std::string& word) {
            return word.compare(0, assignment.size(), assignment) == 0;
        });
        if (!used) candidates.push_back(assignment);
    }
    return candidates;
}

std::vector<std::string> Candidates(const std::vector<std::string>& before, const std::string& current,
                                    const Catalogue* catalogue) {
    const std::string previous = before.empty() ? std::string() : before.back();
    if (previous == "--output" || previous == "-o") return {"json", "table", "csv", "text"};
    if (TakesValue(previous)) return {};
    if (!current.empty() && current[0] == '-') return OptionNames();
    if (current.find('=') != std::string::npos) return {};

    std::vector<std::string> words;  // the words that are no options or option values
    for (std::size_t i = 0; i < before.size(); ++i) {
        if (before[i].empty() || before[i][0] != '-') {
            words.push_back(before[i]);
        } else if (before[i].find('=') == std::string::npos && TakesValue(before[i])) {
            ++i;
        }
    }
    if (!words.empty() && words.front() == "help") words.erase(words.begin());
    if (words.empty()) {
        std::vector<std::string> first = CommandNames();
        const std::vector<std::string> verbs = Verbs(catalogue);
        first.insert(first.end(), verbs.begin(), verbs.end());
        if (before.empty()) first.emplace_back("help");
        return first;
    }
    const std::string& command = words.front();
    if (words.size() == 1 && command == "show") return {"cluster", "host", "vm"};
    if (words.size() == 1 && command == "completion") return {"bash", "zsh"};
    if (command == "api") {
        if (words.size() == 1) {
            std::vector<std::string> names;
            if (catalogue != nullptr)
                for (const ApiCommand& entry : catalogue->commands) names.push_back(entry.name);
            return names;
        }
        return Parameters(catalogue != nullptr ? catalogue->Find(words[1]) : nullptr, words);
    }
    const std::vector<std::string> ours = CommandNames();
    const bool takesNoun =
        command == "start" || command == "stop" || std::find(ours.begin(), ours.end(), command) == ours.end();
    if (!takesNoun || !IsVerb(command)) return {};
    if (words.size() == 1) return Nouns(command, catalogue);
    const ApiCommand* found = catalogue != nullptr ? catalogue->FindIgnoringCase(command + words[1]) : nullptr;
    return Parameters(found, words);
}

}  // namespace

std::string CompletionScript(const std::string& shell) {
    return std::string(shell == "zsh" ? ZshCompletionScript() : BashCompletionScript());
}

std::vector<std::string> CompletionCandidates(const std::vector<std::string>& words) {
    const std::vector<std::string> joined = JoinAssignments(words.empty() ? std::vector<std::string>{""} : words);
    const std::vector<std::string> before(joined.begin(), joined.end() - 1);
    const std::string& current = joined.back();
    Catalogue catalogue;
    std::vector<std::string> candidates = Candidates(before, current, CachedCatalogue(before, catalogue));
    std::sort(candidates.begin(), candidates.end());
    candidates.erase(std::unique(candidates.begin(), candidates.end()), candidates.end());
    candidates.erase(std::remove_if(candidates.begin(), candidates.end(),
                                    [&current](const std::string& candidate) {
                                        return candidate.compare(0, current.size(), current) != 0;
                                    }),
                     candidates.end());
    return candidates;
}

int RunComplete(const Options& options) {
    std::string lines;
    for (const std::string& candidate : CompletionCandidates(options.completeWords)) lines += Shown(candidate) + "\n";
    Print(lines);
    return kExitSuccess;
}

}  // namespace cscli
