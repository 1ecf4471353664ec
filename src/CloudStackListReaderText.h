#pragma once

/// @file
/// What the one-pass list reader checks as it goes: strings, numbers and whole skipped values,
/// under nlohmann::json's rules, so that it accepts exactly the bodies the tree walk accepts.
/// Internal to the list reader (CloudStackListReader.cpp).

// simdjson's checks of API use, on in unoptimised builds, add buffers that it asks for without
// exceptions and never tests for null: an exhausted heap would crash a debug build only.
// Off here, every build reads answers the way the release build does.
#ifndef SIMDJSON_DEVELOPMENT_CHECKS
#define SIMDJSON_DEVELOPMENT_CHECKS 0
#endif
#include <simdjson.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <cstddef>
#include <string>
#include <string_view>

namespace CloudStackSDKWrapper::ListReading {

namespace od = simdjson::ondemand;

/// How a walk ends.
enum class Outcome {
    Done,     // the body is JSON that the tree walk accepts; the reader's result stands
    Invalid,  // the body is certainly not JSON that nlohmann accepts: false, nothing appended
    Unsure,   // the tree walk must decide (a number simdjson cannot settle, nesting too deep, ...)
    Refused,  // the records would cost more than TeskJson::CostLimit()
};

/// Errors that nlohmann::json rejects as well give Invalid; anything else (capacity, an unexpected
/// code) goes to the tree walk. An exhausted heap throws std::bad_alloc.
Outcome Failed(simdjson::error_code error);

inline bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

inline std::string_view TrimRight(std::string_view token) {
    while (!token.empty() && IsBlank(token.back())) {
        token.remove_suffix(1);
    }
    return token;
}

// ---------------------------------------------------------------------------------------------
// Strings, with nlohmann's rules for escapes: the eight short ones and \uXXXX, where a high
// surrogate must be followed by an escaped low one and a low one must not stand alone.
// simdjson's stage 1 has already rejected invalid UTF-8 and unescaped control characters.

/// Decodes the text between a string's quotes into *out (when out is not null).
/// @return false for an escape that nlohmann rejects
bool Unescape(const char* p, const char* end, std::string* out);

/// The first '"' or '\\' at or after p. Reading up to 15 bytes past it is safe: the body is
/// followed by simdjson's padding.
#if defined(__SSE2__)
inline const char* QuoteOrBackslash(const char* p) {
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    for (;; p += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const int found =
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, backslash)));
        if (found != 0) {
            return p + __builtin_ctz(static_cast<unsigned>(found));
        }
    }
}
#else
inline const char* QuoteOrBackslash(const char* p) {
    while (*p != '"' && *p != '\\') ++p;
    return p;
}
#endif

/// The text of a string whose content starts at p (just after its opening quote), up to its
/// closing quote; stage 1 has paired the quotes, so the scan ends.
inline std::string_view StringText(const char* p, bool& escaped) {
    const char* const start = p;
    escaped = false;
    for (;;) {
        p = QuoteOrBackslash(p);
        if (*p == '"') {
            return std::string_view(start, static_cast<std::size_t>(p - start));
        }
        escaped = true;
        p += 2;
    }
}

// ---------------------------------------------------------------------------------------------
// Numbers, with nlohmann's rules: an integer that fits int64 (negative) or uint64 is an integer,
// any other valid number a double that must be finite.

enum class NumberKind { Unsigned, Negative, Float };

/// A number that is not read: valid when nlohmann would parse it.
Outcome ValidateNumber(std::string_view token);

/// A number that is read: its kind as nlohmann stores it.
Outcome ClassifyNumber(std::string_view token, NumberKind& kind);

// ---------------------------------------------------------------------------------------------
// Values as the walk meets them.

/// The text between a string value's quotes. The value is consumed: On-Demand would take a
/// string that is skipped over and followed by ':' for a key, and so accept "a":"b":1.
inline bool ReadString(od::value& value, std::string_view& content, bool& escaped) {
    od::raw_json_string raw;
    if (value.get_raw_json_string().get(raw)) return false;
    content = StringText(raw.raw(), escaped);
    return true;
}

/// A member's name, decoded into @p scratch when it holds escapes.
inline bool ReadName(od::raw_json_string key, std::string& scratch, std::string_view& name) {
    bool escaped = false;
    name = StringText(key.raw(), escaped);
    if (!escaped) return true;
    scratch.clear();
    if (!Unescape(name.data(), name.data() + name.size(), &scratch)) return false;
    name = scratch;
    return true;
}

/// Validates a value that is not read, as strictly as nlohmann parses it. @p depth is the value's
/// nesting level (the document's object is 1).
Outcome Skip(od::value& value, std::size_t depth);

}  // namespace CloudStackSDKWrapper::ListReading
