#pragma once

#include "Commands.h"
#include "Settings.h"

// What the cached catalogue is for: sync fills it; help, the checks before a call and the two-word names
// read it.
namespace cscli {

/// sync: asks the server for listApis and its version, and caches them for this server and user.
int RunSync(Context& context, const Settings& settings);

/// api COMMAND --help, VERB NOUN --help: the command's description and parameters from the cached catalogue,
/// or how to get one. @return kExitSuccess
int PrintApiHelp(Options& options, const Settings& settings);

/// Before an API command is sent: the server's spelling of a two-word name, then (unless --no-check) a warning
/// for a command or parameter the catalogue does not know and the refusal of a command without a parameter
/// it requires. Nothing happens without a cached catalogue.
/// @return false when the command must not be sent, with the exit status in @p status
bool PrepareApiCall(Options& options, const Settings& settings, int& status);

/// PrepareApiCall for every command of api --batch, each message naming its line: one command refused
/// refuses the whole file, and nothing is sent.
/// @return false when nothing may be sent, with the exit status in @p status
bool PrepareBatch(std::vector<BatchCommand>& commands, const Options& options, const Settings& settings, int& status);

}  // namespace cscli
