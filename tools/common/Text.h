#pragma once

#include <cctype>
#include <cmath>
#include <cstddef>
#include <cstdlib>
#include <string>

namespace cstools {

/// @brief @p text with its ASCII letters lower-cased. Bytes of UTF-8 sequences stay as they are,
/// whatever the locale (std::tolower would follow it).
inline std::string AsciiLower(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

/// @brief @p text with its ASCII letters upper-cased; other bytes as they are.
inline std::string AsciiUpper(std::string text) {
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    }
    return text;
}

/// @brief @p text without the blanks, tabs and carriage returns at either end.
inline std::string Trim(const std::string& text) {
    const std::size_t first = text.find_first_not_of(" \t\r");
    if (first == std::string::npos) return std::string();
    return text.substr(first, text.find_last_not_of(" \t\r") - first + 1);
}

/// @brief @p text with every control character (and DEL) shown as '?', so that a server's or a
/// user's text cannot move the cursor or end a line on a terminal or in a log.
inline std::string Printable(std::string text) {
    for (char& c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7F) c = '?';
    }
    return text;
}

/// @brief A lower- or upper-case UUID in its 8-4-4-4-12 form, as the server's ids are: the client
/// takes such a value for an id rather than a name, the simulator refuses an id that is not one.
inline bool IsUuid(const std::string& text) {
    if (text.size() != 36) return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash != (text[i] == '-')) return false;
        if (!dash && std::isxdigit(static_cast<unsigned char>(text[i])) == 0) return false;
    }
    return true;
}

/// @brief Splits a command-line argument "--name=value" at its first '='.
/// @return true with @p name and @p value set for such an argument; otherwise false, with @p name the whole
/// argument and @p value left alone (the value, if any, is the next argument).
inline bool SplitOptionValue(const std::string& argument, std::string& name, std::string& value) {
    const std::size_t equals = argument.find('=');
    if (argument.compare(0, 2, "--") != 0 || equals == std::string::npos) {
        name = argument;
        return false;
    }
    name = argument.substr(0, equals);
    value = argument.substr(equals + 1);
    return true;
}

/// @brief Reads an option's number of seconds (fractions allowed) into @p value.
/// @return false, leaving @p value alone, unless all of @p text is a finite number from @p low to @p high
inline bool ParseSeconds(const std::string& text, double low, double high, double& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    const double parsed = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(parsed) || parsed < low || parsed > high) return false;
    value = parsed;
    return true;
}

}  // namespace cstools
