#pragma once

#include <string>

#include "CommandLine.h"

namespace cscli {

/// Text of `cloudstack-cli --help`.
std::string ProgramHelp();

/// Text of `cloudstack-cli COMMAND --help`.
std::string CommandHelp(Command command);

/// Text of `cloudstack-cli --version`.
std::string VersionText();

}  // namespace cscli
