#include "CommandLine.h"

#include <cstddef>
#include <vector>

namespace cscli {

namespace {

struct CommandEntry {
    const char* name;
    Command command;
};

const CommandEntry kCommands[] = {
    {"projects", Command::Projects}, {"zones", Command::Zones}, {"pods", Command::Pods},
    {"clusters", Command::Clusters}, {"hosts", Command::Hosts}, {"vms", Command::Vms},
    {"show", Command::Show},         {"start", Command::Start}, {"stop", Command::Stop},
};

bool FindCommand(const std::string& word, Command& command) {
    for (const CommandEntry& entry : kCommands) {
        if (word == entry.name) {
            command = entry.command;
            return true;
        }
    }
    return false;
}

bool IsList(Command command) {
    return command == Command::Projects || command == Command::Zones || command == Command::Pods ||
           command == Command::Clusters || command == Command::Hosts || command == Command::Vms;
}

bool TakesObject(Command command) {
    return command == Command::Show || command == Command::Start || command == Command::Stop;
}

const char* const kConnectionHelp =
    "Connection options (before or after the command):\n"
    "  --server HOST         management server, without scheme or port\n"
    "                        (default: $CLOUDSTACK_SERVER, else 127.0.0.1; port 8080)\n"
    "  --user USER           user name (default: $CLOUDSTACK_USER, else admin)\n"
    "  --password-file FILE  read the password from the first line of FILE\n"
    "  --debug               trace every request (secrets masked) on standard error\n"
    "\n"
    "The password comes from $CLOUDSTACK_PASSWORD, else from --password-file, else from a\n"
    "prompt on the terminal. It is never taken from the command line, where every user of\n"
    "the machine could read it in the process list.\n";

const char* const kExitHelp =
    "\n"
    "Exit status: 0 success, 1 the server call failed, 2 usage error.\n";

}  // namespace

const char* CommandName(Command command) {
    for (const CommandEntry& entry : kCommands)
        if (entry.command == command) return entry.name;
    return "";
}

bool ParseCommandLine(int argc, const char* const* argv, Options& options, std::string& error) {
    options = Options{};
    std::vector<std::string> words;
    bool optionsEnded = false;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            words.push_back(arg);
            continue;
        }
        if (arg == "--") {
            optionsEnded = true;
            continue;
        }

        std::string name = arg;
        std::string inlineValue;
        bool hasInlineValue = false;
        const std::size_t equals = arg.find('=');
        if (arg.compare(0, 2, "--") == 0 && equals != std::string::npos) {
            name = arg.substr(0, equals);
            inlineValue = arg.substr(equals + 1);
            hasInlineValue = true;
        }

        if (name == "--password") {
            error =
                "--password is refused: a password on the command line can be read by every user of "
                "this machine in the process list; set CLOUDSTACK_PASSWORD or use --password-file FILE";
            return false;
        }

        bool* flag = nullptr;
        if (name == "--help" || name == "-h") flag = &options.help;
        if (name == "--json") flag = &options.json;
        if (name == "--debug") flag = &options.debug;
        if (flag != nullptr) {
            if (hasInlineValue) {
                error = name + " takes no value";
                return false;
            }
            *flag = true;
            continue;
        }

        std::string* target = nullptr;
        bool* seen = nullptr;
        if (name == "--server") target = &options.server;
        if (name == "--user") target = &options.user;
        if (name == "--password-file") target = &options.passwordFile;
        if (name == "--name") {
            target = &options.name;
            seen = &options.hasName;
        }
        if (name == "--id") {
            target = &options.id;
            seen = &options.hasId;
        }
        if (target == nullptr) {
            error = "unknown option '" + name + "'";
            return false;
        }
        if (!hasInlineValue) {
            if (i + 1 >= argc) {
                error = name + " needs a value";
                return false;
            }
            inlineValue = argv[++i];
        }
        if (inlineValue.empty()) {
            error = name + " needs a non-empty value";
            return false;
        }
        *target = inlineValue;
        if (seen != nullptr) *seen = true;
    }

    std::size_t next = 0;
    if (next < words.size() && words[next] == "help") {
        options.help = true;
        ++next;
    }
    if (next < words.size()) {
        if (!FindCommand(words[next], options.command)) {
            error = "unknown command '" + words[next] + "'";
            return false;
        }
        ++next;
    }
    if (options.command == Command::Show && next < words.size()) {
        const std::string& kind = words[next];
        if (kind == "cluster")
            options.showKind = ShowKind::Cluster;
        else if (kind == "host")
            options.showKind = ShowKind::Host;
        else if (kind == "vm")
            options.showKind = ShowKind::Vm;
        else {
            error = "show cannot show '" + kind + "': choose cluster, host or vm";
            return false;
        }
        ++next;
    }
    if (next < words.size()) {
        error = "unexpected argument '" + words[next] + "'";
        return false;
    }
    if (options.help) return true;

    if (options.command == Command::None) {
        error = "no command given";
        return false;
    }
    const std::string command = CommandName(options.command);
    if (options.command == Command::Show && options.showKind == ShowKind::None) {
        error = "show needs what to show: cluster, host or vm";
        return false;
    }
    if (!TakesObject(options.command) && (options.hasName || options.hasId)) {
        error = std::string(options.hasName ? "--name" : "--id") + " does not apply to " + command;
        return false;
    }
    if (!IsList(options.command) && options.command != Command::Show && options.json) {
        error = "--json does not apply to " + command;
        return false;
    }
    if (TakesObject(options.command)) {
        if (options.hasName && options.hasId) {
            error = "give either --name or --id, not both";
            return false;
        }
        if (!options.hasName && !options.hasId) {
            error = command + " needs --name NAME or --id ID";
            return false;
        }
    }
    return true;
}

std::string ProgramHelp() {
    return std::string(
               "Usage: cloudstack-cli COMMAND [OPTIONS]\n"
               "\n"
               "Looks at a cloud through its management server and starts or stops virtual machines.\n"
               "\n"
               "Commands:\n"
               "  projects | zones | pods | clusters | hosts | vms [--json]\n"
               "                                 list the objects as a table (or as JSON)\n"
               "  show cluster|host|vm --name NAME | --id ID [--json]\n"
               "                                 print every field of one object\n"
               "  start --name NAME | --id ID    start a virtual machine and wait until it runs\n"
               "  stop --name NAME | --id ID     stop a virtual machine and wait until it is stopped\n"
               "\n"
               "Run 'cloudstack-cli COMMAND --help' for the options of one command.\n"
               "\n") +
           kConnectionHelp + kExitHelp;
}

std::string CommandHelp(Command command) {
    std::string text;
    switch (command) {
        case Command::None:
            return ProgramHelp();
        case Command::Projects:
        case Command::Zones:
        case Command::Pods:
        case Command::Clusters:
        case Command::Hosts:
        case Command::Vms: {
            const std::string name = CommandName(command);
            text = "Usage: cloudstack-cli " + name + " [--json]\n\n";
            if (command == Command::Projects) text += "Lists the projects of your account: name, state, domain, id.\n";
            if (command == Command::Zones) text += "Lists every zone: name, allocation state, id.\n";
            if (command == Command::Pods) text += "Lists every pod: name, zone, gateway, netmask, id.\n";
            if (command == Command::Clusters)
                text += "Lists every cluster: name, zone, pod, hypervisor, type, allocation state, id.\n";
            if (command == Command::Hosts)
                text +=
                    "Lists every host: name, state, type, cluster, CPUs (count x speed, share in use),\n"
                    "memory in use / total, id.\n";
            if (command == Command::Vms)
                text +=
                    "Lists the virtual machines of your account: name, state, zone, host, CPUs,\n"
                    "memory, id.\n";
            text += "\n  --json    print a JSON array with every field of each record instead\n\n";
            break;
        }
        case Command::Show:
            text =
                "Usage: cloudstack-cli show cluster|host|vm (--name NAME | --id ID) [--json]\n"
                "\n"
                "Prints every field of one cluster, host or virtual machine, one 'Label: value' a line.\n"
                "A name matches regardless of letter case; the first object bearing it is shown.\n"
                "\n"
                "  --name NAME   the object's name\n"
                "  --id ID       the object's id\n"
                "  --json        print one JSON object instead\n\n";
            break;
        case Command::Start:
        case Command::Stop: {
            const std::string name = CommandName(command);
            text = "Usage: cloudstack-cli " + name + " (--name NAME | --id ID)\n\n" +
                   (command == Command::Start ? "Starts" : "Stops") +
                   " a virtual machine and waits for the server's job to end (the job is polled\n"
                   "every ten seconds). On a terminal, a status line shows how long it has waited.\n"
                   "\n"
                   "  --name NAME   the machine's name (letter case aside)\n"
                   "  --id ID       the machine's id\n\n";
            break;
        }
    }
    return text + kConnectionHelp + kExitHelp;
}

}  // namespace cscli
