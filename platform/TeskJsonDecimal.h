#pragma once

/// @file
/// The one reading of numbers sent as text, shared by the JSON getters and the list reader so that
/// both accept exactly the same texts.

#include <charconv>
#include <system_error>

namespace TeskJsonDecimal {

/// @brief Reads [@p begin, @p end) as a decimal integer of type T. The whole text must be the
/// number: no blanks, no '+', nothing after the digits; '-' only for signed types.
/// @return false, leaving @p out as it was, for anything else, a value out of T's range included
template <typename T>
inline bool Parse(const char* begin, const char* end, T& out) {
    if (begin == end) {
        return false;
    }
    T value{};
    const auto result = std::from_chars(begin, end, value);
    if (result.ec != std::errc() || result.ptr != end) {
        return false;
    }
    out = value;
    return true;
}

}  // namespace TeskJsonDecimal
