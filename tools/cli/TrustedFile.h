#pragma once

#include <sys/types.h>

#include <string>

namespace cscli {

/// Reads a settings file (the config file, a password file) the way ssh reads its keys: only one
/// that no other user can have put there or changed. It is refused when it belongs to someone
/// other than the user running the client or root, or when group or others may write to it. The
/// checks look at the file that was opened, so it cannot be swapped between check and read.
/// @param path the file
/// @param what "config file", "password file": how the messages name it
/// @param text all of the file, when it is read
/// @param mode the file's permission bits, when it is read
/// @param error one line naming the file, what is wrong and how to mend it, when it is refused
/// @return false when the file cannot be read or is refused
bool ReadTrustedFile(const std::string& path, const std::string& what, std::string& text, mode_t& mode,
                     std::string& error);

/// For a file read by ReadTrustedFile that holds a secret: the refusal when group or others may
/// read it ("permissions 0644 for ... are too open", with the chmod that mends it).
/// @return the one-line refusal; empty when only its owner may read it
std::string TooOpenForASecret(const std::string& path, const std::string& what, mode_t mode);

/// Writes all of @p text to @p fd, again after an interrupted or partial write.
/// @return false when a write failed
bool WriteAll(int fd, const std::string& text);

}  // namespace cscli
