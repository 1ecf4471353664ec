#pragma once

#include <string>

namespace cssim {

std::string ToLowerAscii(std::string text);

/// The server's name filter: a case-insensitive LIKE '%needle%', where '%' in @p needle stands for any run of
/// characters and '_' for exactly one.
bool NameFilterMatches(const std::string& text, const std::string& needle);

/// A lower- or upper-case UUID in its 8-4-4-4-12 form.
bool IsUuid(const std::string& text);

}  // namespace cssim
