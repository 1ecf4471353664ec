#include "CatalogueCommands.h"

#include <algorithm>
#include <cstdio>
#include <ctime>

#include "Catalogue.h"
#include "ErrorText.h"
#include "Help.h"
#include "Text.h"
#include "TextEscape.h"

namespace cscli {

namespace {

void Warning(const std::string& message) {
    std::fprintf(stderr, "cloudstack-cli: warning: %s\n", TextEscape::Printable(message).c_str());
}

std::string UtcNow() {
    const std::time_t now = std::time(nullptr);
    std::tm utc{};
    gmtime_r(&now, &utc);
    char text[32];
    std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc);
    return text;
}

std::string Described(const Catalogue& catalogue, const std::string& server) {
    std::string text = "the catalogue of " + server + " (";
    if (!catalogue.version.empty()) text += "version " + Shown(catalogue.version) + ", ";
    return text + "synced " + Shown(catalogue.synced) + ")";
}

// The catalogue's command for what was typed: "VERB NOUN" apart from letter case, "api NAME" exactly. A
// two-word name takes the server's spelling.
const ApiCommand* Resolve(Options& options, const Catalogue& catalogue) {
    if (options.apiVerb.empty()) return catalogue.Find(options.apiCommand);
    const ApiCommand* found = catalogue.FindIgnoringCase(options.apiVerb + options.apiNoun);
    if (found != nullptr) options.apiCommand = found->name;
    return found;
}

// "startVirtualMachine" -> "start virtualmachine"; empty for a name that is not VERB + Noun.
std::string TwoWords(const std::string& name) {
    std::size_t split = 0;
    while (split < name.size() && name[split] >= 'a' && name[split] <= 'z') ++split;
    if (split == 0 || split == name.size()) return "";
    return name.substr(0, split) + " " + cstools::AsciiLower(name.substr(split));
}

std::string CommandHelpText(const ApiCommand& command, const Catalogue& catalogue, const std::string& server) {
    std::string text = "Usage: cloudstack-cli api " + Shown(command.name) + " [NAME=VALUE ...]\n";
    const std::string words = TwoWords(command.name);
    if (!words.empty()) text += "       cloudstack-cli " + Shown(words) + " [NAME=VALUE ...]\n";
    text += "\n" + (command.description.empty() ? std::string("(no description)") : Shown(command.description)) + "\n";
    if (command.async) text += "It runs as a job: the client waits for it to end (--no-wait prints the job id).\n";

    std::vector<const ApiParameter*> parameters;
    for (const ApiParameter& parameter : command.parameters) parameters.push_back(&parameter);
    std::stable_sort(parameters.begin(), parameters.end(), [](const ApiParameter* a, const ApiParameter* b) {
        return a->required != b->required ? a->required : a->name < b->name;
    });
    std::size_t nameWidth = 0;
    std::size_t typeWidth = 0;
    bool anyRequired = false;
    for (const ApiParameter* parameter : parameters) {
        nameWidth = std::max(nameWidth, parameter->name.size());
        typeWidth = std::max(typeWidth, Shown(parameter->type).size());
        anyRequired = anyRequired || parameter->required;
    }
    text += parameters.empty() ? "\nIt takes no parameters.\n" : "\nParameters:\n";
    for (const ApiParameter* parameter : parameters) {
        std::string line = "  " + Shown(parameter->name);
        line.append(nameWidth + 2 - parameter->name.size(), ' ');
        const std::string type = Shown(parameter->type);
        line += type + std::string(typeWidth + 2 - type.size(), ' ');
        if (anyRequired) line += parameter->required ? "required  " : "          ";
        line += Shown(parameter->description);
        while (!line.empty() && line.back() == ' ') line.pop_back();
        text += line + "\n";
    }
    return text + "\nFrom " + Described(catalogue, server) + "; 'cloudstack-cli sync' refreshes it.\n";
}

}  // namespace

int RunSync(Context& context, const Settings& settings) {
    std::string text;
    if (!context.cloud.Call("listApis", {}, text))
        return Fail("sync: " + Describe(context.cloud.GetLastError(), context.server, "listApis failed"));
    Catalogue catalogue;
    std::size_t dropped = 0;
    if (!ReadListApis(Json::parse(text, nullptr, false), catalogue, dropped))
        return Fail("sync: the server's answer to listApis holds no list of commands");
    if (dropped > 0)
        Warning(std::to_string(dropped) + " commands or parameters of the server's catalogue have names no command " +
                "line can carry; they were left out");
    // The version only labels the catalogue: a server that will not tell it still gets one.
    if (context.cloud.Call("listCapabilities", {}, text)) {
        const Json capabilities = Json::parse(text, nullptr, false);
        const Json version =
            capabilities.is_object() && capabilities.contains("capability") && capabilities["capability"].is_object()
                ? capabilities["capability"].value("cloudstackversion", Json())
                : Json();
        if (version.is_string()) catalogue.version = version.get<std::string>();
    }
    catalogue.synced = UtcNow();
    std::string path;
    std::string error;
    if (!SaveCatalogue(settings, catalogue, path, error)) return Fail("sync: " + error);
    Print(std::to_string(catalogue.commands.size()) + " commands of " + context.server +
          (catalogue.version.empty() ? "" : " (version " + Shown(catalogue.version) + ")") + " cached in " +
          Shown(path) + "\n");
    return kExitSuccess;
}

int PrintApiHelp(Options& options, const Settings& settings) {
    const std::string server = ServerForMessages(settings.server);
    Catalogue catalogue;
    std::string warning;
    const bool cached = LoadCatalogue(settings, catalogue, warning);
    if (!warning.empty()) Warning(warning);
    const ApiCommand* command = cached ? Resolve(options, catalogue) : nullptr;
    if (command != nullptr) {
        Print(CommandHelpText(*command, catalogue, server));
        return kExitSuccess;
    }
    const std::string name = Shown(options.apiCommand);
    Print((cached ? "There is no command " + name + " in " + Described(catalogue, server) +
                        "; 'cloudstack-cli sync' refreshes it.\n\n"
                  : "No catalogue of " + server + " is cached, so nothing is known here about " + name +
                        ": 'cloudstack-cli sync' fetches the server's own description of every command.\n\n") +
          CommandHelp(Command::Api));
    return kExitSuccess;
}

namespace {

// The checks of one command against the catalogue; @p where opens each message ("--batch line 3: ").
bool CheckApiCall(Options& options, const Catalogue& catalogue, const Settings& settings, const std::string& where,
                  int& status) {
    const ApiCommand* command = Resolve(options, catalogue);
    if (options.noCheck) return true;
    const std::string server = ServerForMessages(settings.server);
    const std::string name = Shown(options.apiCommand);
    if (command == nullptr) {
        const ApiCommand* similar = catalogue.FindIgnoringCase(options.apiCommand);
        Warning(where + "there is no command " + name + " in " + Described(catalogue, server) +
                (similar != nullptr ? " (did you mean " + Shown(similar->name) + "?)" : "") + "; sending it anyway");
        return true;
    }
    std::string missing;
    int count = 0;
    for (const ApiParameter& parameter : command->parameters) {
        if (!parameter.required) continue;
        const bool given = std::any_of(options.apiParams.begin(), options.apiParams.end(),
                                       [&parameter](const auto& pair) { return pair.first == parameter.name; });
        if (!given) missing += (count++ == 0 ? "" : ", ") + Shown(parameter.name);
    }
    if (count > 0) {
        const std::string message = where + name + " needs the parameter" + (count > 1 ? "s " : " ") + missing +
                                    ", says " + Described(catalogue, server) +
                                    "; nothing was sent (--no-check sends it)";
        std::fprintf(stderr, "cloudstack-cli: %s\n", TextEscape::Printable(message).c_str());
        status = kExitUsage;
        return false;
    }
    std::string unknown;
    for (const auto& [parameter, value] : options.apiParams)
        if (command->Find(parameter) == nullptr) unknown += (unknown.empty() ? "" : ", ") + Shown(parameter);
    if (!unknown.empty())
        Warning(where + name + " has no parameter " + unknown + " in " + Described(catalogue, server) +
                "; sending it anyway");
    return true;
}

}  // namespace

bool PrepareApiCall(Options& options, const Settings& settings, int& status) {
    Catalogue catalogue;
    std::string warning;
    const bool cached = LoadCatalogue(settings, catalogue, warning);
    if (!warning.empty()) Warning(warning);
    if (!cached) return true;
    return CheckApiCall(options, catalogue, settings, std::string(), status);
}

bool PrepareBatch(std::vector<BatchCommand>& commands, const Options& options, const Settings& settings, int& status) {
    Catalogue catalogue;
    std::string warning;
    const bool cached = LoadCatalogue(settings, catalogue, warning);
    if (!warning.empty()) Warning(warning);
    if (!cached) return true;
    bool refused = false;
    for (BatchCommand& command : commands) {
        Options one = options;
        one.apiCommand = command.command;
        one.apiParams = command.params;
        if (!CheckApiCall(one, catalogue, settings, "--batch line " + std::to_string(command.line) + ": ", status))
            refused = true;
        command.command = one.apiCommand;
    }
    if (refused) status = kExitUsage;
    return !refused;
}

}  // namespace cscli
