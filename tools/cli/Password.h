#pragma once

#include <string>

namespace cscli {

/// Reads the first line of @p path, without its trailing CR/LF, from a file that only its owner
/// (the user running the client, or root) may read and write (ReadTrustedFile).
/// @return false with a one-line reason in @p error when the file cannot be read or is refused
bool ReadPasswordFile(const std::string& path, std::string& password, std::string& error);

enum class PromptResult { Read, NoTerminal, NoInput };

/// Asks for the password on the controlling terminal (/dev/tty) with echo off, so that it
/// works while standard input and output are redirected. The terminal's settings are put back
/// also when the prompt is ended by a signal such as Ctrl-C.
PromptResult PromptPassword(const std::string& prompt, std::string& password);

/// Asks a question on the controlling terminal (/dev/tty), echo on, and reads one line: the
/// confirmation asked before acting on several machines. Without a terminal it asks nothing.
PromptResult PromptLine(const std::string& prompt, std::string& answer);

}  // namespace cscli
