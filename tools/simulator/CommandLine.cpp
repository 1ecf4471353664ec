#include "CommandLine.h"

#include <cmath>
#include <cstdlib>

namespace cssim {
namespace {

bool ParseInt(const std::string& text, int low, int high, int& value) {
    if (text.empty() || text.size() > 9) return false;
    for (const char c : text) {
        if (c < '0' || c > '9') return false;
    }
    const long parsed = std::strtol(text.c_str(), nullptr, 10);
    if (parsed < low || parsed > high) return false;
    value = static_cast<int>(parsed);
    return true;
}

bool ParseSeconds(const std::string& text, double& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    const double parsed = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(parsed) || parsed < 0 || parsed > 86400) return false;
    value = parsed;
    return true;
}

}  // namespace

const char* UsageText() {
    return "Usage: cloudstack-sim [options]\n"
           "A management server simulator answering http://ADDR:8080/client/api.\n"
           "\n"
           "  --listen ADDR          loopback address to listen on (127.0.0.0/8; default 127.0.0.1)\n"
           "  --user U               user name accepted by login (default admin)\n"
           "  --password P           password accepted by login (default password)\n"
           "  --page-size N          default.page.size: most items per answer, largest pagesize (default 500)\n"
           "  --job-seconds S        time until an async job finishes, fractions allowed (default 0)\n"
           "  --older-session-check  accept the session key as cookie or parameter alone, like older servers\n"
           "  --vms N                replace the built-in machines by N generated ones (vm-00001...)\n"
           "  --inventory FILE       serve the inventory in FILE (the format --dump-inventory prints)\n"
           "  --dump-inventory       print the inventory as JSON and exit\n"
           "  --log                  one line per request on stderr: method, command, status\n"
           "  --help                 show this text and exit\n"
           "\n"
           "The port is always 8080. SIGINT or SIGTERM stops the simulator.\n";
}

bool ParseCommandLine(const std::vector<std::string>& arguments, CommandLine& commandLine, std::string& error) {
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string name = arguments[i];
        std::string value;
        bool hasValue = false;
        const auto eq = name.find('=');
        if (name.rfind("--", 0) == 0 && eq != std::string::npos) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
            hasValue = true;
        }
        const auto takeValue = [&]() {
            if (hasValue) return true;
            if (i + 1 >= arguments.size()) {
                error = name + " needs a value";
                return false;
            }
            value = arguments[++i];
            return true;
        };
        const auto flag = [&]() {
            if (hasValue) error = name + " takes no value";
            return !hasValue;
        };

        if (name == "--help" || name == "-h") {
            if (!flag()) return false;
            commandLine.help = true;
        } else if (name == "--older-session-check") {
            if (!flag()) return false;
            commandLine.options.olderSessionCheck = true;
        } else if (name == "--log") {
            if (!flag()) return false;
            commandLine.options.log = true;
        } else if (name == "--dump-inventory") {
            if (!flag()) return false;
            commandLine.dumpInventory = true;
        } else if (name == "--listen") {
            if (!takeValue()) return false;
            if (!IsLoopbackAddress(value)) {
                error = "--listen accepts only an IPv4 loopback address (127.0.0.0/8), not '" + value + "'";
                return false;
            }
            commandLine.listenAddress = value;
        } else if (name == "--user") {
            if (!takeValue()) return false;
            if (value.empty()) {
                error = "--user needs a non-empty name";
                return false;
            }
            commandLine.options.user = value;
        } else if (name == "--password") {
            if (!takeValue()) return false;
            commandLine.options.password = value;
        } else if (name == "--page-size") {
            if (!takeValue()) return false;
            if (!ParseInt(value, 1, 1000000, commandLine.options.pageSize)) {
                error = "--page-size needs a whole number from 1 to 1000000";
                return false;
            }
        } else if (name == "--job-seconds") {
            if (!takeValue()) return false;
            if (!ParseSeconds(value, commandLine.options.jobSeconds)) {
                error = "--job-seconds needs a number of seconds from 0 to 86400";
                return false;
            }
        } else if (name == "--vms") {
            if (!takeValue()) return false;
            if (!ParseInt(value, 1, 100000, commandLine.machines)) {
                error = "--vms needs a whole number from 1 to 100000";
                return false;
            }
        } else if (name == "--inventory") {
            if (!takeValue()) return false;
            if (value.empty()) {
                error = "--inventory needs a file name";
                return false;
            }
            commandLine.inventoryFile = value;
        } else {
            error = "unknown option '" + name + "'";
            return false;
        }
    }
    if (commandLine.machines > 0 && !commandLine.inventoryFile.empty()) {
        error = "--vms and --inventory exclude each other";
        return false;
    }
    return true;
}

bool PrepareInventory(CommandLine& commandLine, std::string& error) {
    if (!commandLine.inventoryFile.empty()) {
        return Inventory::LoadFile(commandLine.inventoryFile, commandLine.options.inventory, error);
    }
    if (commandLine.machines > 0) commandLine.options.inventory = Inventory::Generated(commandLine.machines);
    return true;
}

}  // namespace cssim
