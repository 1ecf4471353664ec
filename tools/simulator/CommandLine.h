#pragma once

#include <string>
#include <vector>

#include "Simulator.h"

namespace cssim {

/// What the cloudstack-sim command line asks for.
struct CommandLine {
    SimulatorOptions options;
    std::string listenAddress{"127.0.0.1"};
    int machines{0};  // --vms; 0 keeps the built-in machines
    std::string inventoryFile;
    bool dumpInventory{false};
    bool help{false};
};

/// Parses the arguments after the program name ("--name value" or "--name=value").
/// Returns false with a one-line @p error on a usage error, such as a --listen address outside 127.0.0.0/8.
bool ParseCommandLine(const std::vector<std::string>& arguments, CommandLine& commandLine, std::string& error);

/// Replaces the built-in inventory of @p commandLine with the generated or loaded one it asks for.
bool PrepareInventory(CommandLine& commandLine, std::string& error);

const char* UsageText();

/// The users a simulator started with @p commandLine accepts: domain, user name, password, API key and secret key.
std::string UsersText(const CommandLine& commandLine);

}  // namespace cssim
