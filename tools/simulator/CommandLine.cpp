#include "CommandLine.h"

#include <cstdlib>

#include "Text.h"

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

}  // namespace

const char* UsageText() {
    return "Usage: cloudstack-sim [options]\n"
           "A management server simulator answering http://ADDR:PORT/client/api.\n"
           "\n"
           "  --listen ADDR            loopback address to listen on (127.0.0.0/8 or ::1; default 127.0.0.1)\n"
           "  --port N                 port to listen on (default 8080; 0 picks a free one)\n"
           "  --tls-cert FILE          serve HTTPS with this PEM certificate (chain); needs --tls-key\n"
           "  --tls-key FILE           the PEM private key of --tls-cert\n"
           "  --user U                 user name (and account) of the ROOT admin (default admin)\n"
           "  --password P             password of the ROOT admin (default password)\n"
           "  --api-key K              API key of the ROOT admin (default: derived, see below); needs --secret-key\n"
           "  --secret-key S           secret key of the ROOT admin\n"
           "  --page-size N            default.page.size: most items per answer, largest pagesize (default 500)\n"
           "  --job-seconds S          time until an async job finishes, fractions allowed (default 0)\n"
           "  --session-timeout S      idle seconds until a session ends (default 1800)\n"
           "  --bad-login-delay-ms N   pause before a failed login is answered (default 350)\n"
           "  --older-session-check    accept the session key as cookie or parameter alone, like older servers\n"
           "  --numeric-job-ids        send job ids as JSON numbers (\"jobid\":17164), like older servers\n"
           "  --vms N                  replace the built-in machines by N generated ones (vm-00001...)\n"
           "  --inventory FILE         serve the inventory in FILE (the format --dump-inventory prints)\n"
           "  --dump-inventory         print the inventory as JSON and exit\n"
           "  --log                    one line per request on stderr: method, command, status\n"
           "  --help                   show this text and the users, then exit\n"
           "\n"
           "Users log in with domain=PATH (default ROOT) or sign requests with their API key and secret key.\n"
           "SIGINT or SIGTERM stops the simulator.\n";
}

std::string UsersText(const CommandLine& commandLine) {
    Inventory inventory = Inventory::BuiltIn();
    std::string error;
    if (!commandLine.inventoryFile.empty() && !Inventory::LoadFile(commandLine.inventoryFile, inventory, error)) {
        return error + "\n";
    }
    SimulatorOptions options = commandLine.options;
    options.inventory = std::move(inventory);
    const Simulator simulator(std::move(options));
    std::string text = "Users (domain, user, password, API key, secret key):\n";
    for (const auto& user : simulator.Users()) {
        text += "  " + user.domainPath + "  " + user.user + "  " + user.password + "\n    apikey    " + user.apiKey +
                "\n    secretkey " + user.secretKey + "\n";
    }
    return text;
}

bool ParseCommandLine(const std::vector<std::string>& arguments, CommandLine& commandLine, std::string& error) {
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string name;
        std::string value;
        const bool hasValue = cstools::SplitOptionValue(arguments[i], name, value);
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
        } else if (name == "--numeric-job-ids") {
            if (!flag()) return false;
            commandLine.options.numericJobIds = true;
        } else if (name == "--log") {
            if (!flag()) return false;
            commandLine.options.log = true;
        } else if (name == "--dump-inventory") {
            if (!flag()) return false;
            commandLine.dumpInventory = true;
        } else if (name == "--listen") {
            if (!takeValue()) return false;
            if (!IsLoopbackAddress(value)) {
                error = "--listen accepts only a loopback address (127.0.0.0/8 or ::1), not '" + value + "'";
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
            if (!cstools::ParseSeconds(value, 0, 86400, commandLine.options.jobSeconds)) {
                error = "--job-seconds needs a number of seconds from 0 to 86400";
                return false;
            }
        } else if (name == "--vms") {
            if (!takeValue()) return false;
            if (!ParseInt(value, 1, 100000, commandLine.machines)) {
                error = "--vms needs a whole number from 1 to 100000";
                return false;
            }
        } else if (name == "--port") {
            if (!takeValue()) return false;
            if (!ParseInt(value, 0, 65535, commandLine.options.port)) {
                error = "--port needs a whole number from 0 to 65535";
                return false;
            }
        } else if (name == "--tls-cert" || name == "--tls-key" || name == "--api-key" || name == "--secret-key") {
            if (!takeValue()) return false;
            if (value.empty()) {
                error = name + " needs a non-empty value";
                return false;
            }
            std::string& target = name == "--tls-cert"  ? commandLine.options.tlsCertificateFile
                                  : name == "--tls-key" ? commandLine.options.tlsKeyFile
                                  : name == "--api-key" ? commandLine.options.apiKey
                                                        : commandLine.options.secretKey;
            target = value;
        } else if (name == "--bad-login-delay-ms") {
            if (!takeValue()) return false;
            int delay = 0;
            if (!ParseInt(value, 0, 60000, delay)) {
                error = "--bad-login-delay-ms needs a whole number from 0 to 60000";
                return false;
            }
            commandLine.options.badLoginDelay = std::chrono::milliseconds(delay);
        } else if (name == "--session-timeout") {
            if (!takeValue()) return false;
            int seconds = 0;
            if (!ParseInt(value, 1, 86400 * 365, seconds)) {
                error = "--session-timeout needs a whole number of seconds from 1 to 31536000";
                return false;
            }
            commandLine.options.sessionTimeout = std::chrono::seconds(seconds);
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
    const SimulatorOptions& options = commandLine.options;
    if (options.tlsCertificateFile.empty() != options.tlsKeyFile.empty()) {
        error = "--tls-cert and --tls-key go together";
        return false;
    }
    if (options.apiKey.empty() != options.secretKey.empty()) {
        error = "--api-key and --secret-key go together";
        return false;
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
