#pragma once

#include <string>
#include <vector>

#include "CommandLine.h"

// Shell completion: the scripts (kept as files in tools/cli/completion, built into the program and installed
// from there) ask the program itself for the candidates.
namespace cscli {

/// The completion script for @p shell: "bash" or "zsh".
std::string CompletionScript(const std::string& shell);

/// The candidates for the last of @p words (the words after the program's name, as the shell split them; bash
/// splits "state=Run" into "state", "=", "Run"): commands, verbs and nouns, options, API commands and their
/// "name=" parameters from the catalogue cached for the server the words and the environment name.
std::vector<std::string> CompletionCandidates(const std::vector<std::string>& words);

/// __complete WORD ...: the candidates, one a line. @return kExitSuccess, also when nothing is known: a
/// completion offers nothing rather than an error.
int RunComplete(const Options& options);

}  // namespace cscli
