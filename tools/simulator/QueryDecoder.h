#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

namespace cssim {

/// Parameters of one API call by name (names are case-sensitive); a repeated name keeps its last value.
using ParameterMap = std::map<std::string, std::string>;

/// Name/value pairs in the order they were sent; a name may repeat.
using ParameterList = std::vector<std::pair<std::string, std::string>>;

/// Decodes a query string or form body the way the server's container does: '&'-separated pairs, %XX bytes,
/// '+' as a blank. Later pairs overwrite earlier ones in @p params. Returns false on a malformed escape.
bool DecodeQuery(const std::string& raw, ParameterMap& params);

/// DecodeQuery() that keeps every pair, in order, appended to @p pairs. Returns false on a malformed escape.
bool DecodePairs(const std::string& raw, ParameterList& pairs);

/// Decodes one query component: %XX bytes, '+' as a blank. Returns false on a malformed escape.
bool DecodeComponent(const std::string& raw, std::string& out);

/// Name/value pairs of every Cookie header line, in the order sent; quotes around a value are removed.
std::vector<std::pair<std::string, std::string>> ParseCookies(const std::vector<std::string>& headerLines);

/// True when @p value holds an ASCII control character (0x00-0x1F, 0x7F), which the server refuses.
bool HasControlCharacter(const std::string& value);

}  // namespace cssim
