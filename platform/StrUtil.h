#pragma once

#include <strings.h>

#include <cstdarg>
#include <string>
#include <utility>
#include <vector>

#include "TeskExport.h"

/// Portability shim: case-insensitive comparison of two C strings.
inline int _stricmp(const char* a, const char* b) {
    return strcasecmp(a, b);
}

/// @brief Text helpers of the library: formatting, trimming, ASCII case, and the percent-encoding
/// that command URLs and request signatures share.
class StrUtil {
public:
    /// @brief printf-style formatting into a string of any length.
    static std::string Format(const char* format, ...) CLOUDSTACK_PRINTF(1, 2);
    /// @brief Format with a va_list; @p args is consumed.
    static std::string FormatV(const char* format, va_list args) CLOUDSTACK_PRINTF(1, 0);

    /// @brief Removes, in place, every trailing character of @p text that belongs to @p set.
    static void TrimRight(std::string& text, const char* set);

    /// @brief @p c lower-cased if it is an ASCII capital letter; any other byte as it is (unlike
    /// std::tolower, whatever the locale, so bytes of UTF-8 sequences stay untouched).
    static char LowerAscii(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }
    /// @brief The value of a hexadecimal digit (either case); -1 for any other byte.
    static int HexDigit(char c) {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        return -1;
    }

    /// @brief Reads @p text from @p begin as the server reads a query: split on '&', each side of
    /// the first '=' decoded (%XX, '+' as a blank; a '%' without two hex digits stays), and appends
    /// the pairs to @p out. Empty fields ("&&") are skipped; a field without '=' has an empty value.
    /// @param text the query or form text
    /// @param begin where its first field starts
    /// @param out receives the name/value pairs in order
    static void AppendQueryPairs(const std::string& text, std::size_t begin,
                                 std::vector<std::pair<std::string, std::string>>& out);

    /// @brief Upper-cases ASCII letters of @p text in place.
    static void ToUpper(std::string& text);
    /// @brief Lower-cases ASCII letters of @p text in place.
    static void ToLower(std::string& text);

    /// @brief Case-insensitive comparison of the character data up to the first NUL; 0 means equal.
    static int CompareNoCase(const std::string& a, const std::string& b) { return _stricmp(a.c_str(), b.c_str()); }

    /// @brief Percent-encodes a query value: RFC 3986 unreserved characters (A-Z a-z 0-9 - . _ ~)
    /// stay, every other byte becomes %XX with upper-case hex digits.
    static std::string PercentEncode(const std::string& value);
    /// @brief Percent-encodes every byte but ASCII letters, digits and the characters of @p kept.
    static std::string PercentEncode(const std::string& value, const char* kept);
};
