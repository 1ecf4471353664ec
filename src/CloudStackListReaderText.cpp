#include "CloudStackListReaderText.h"

#include <charconv>
#include <cstdint>
#include <cstring>
#include <new>
#include <system_error>
#include <utility>

#include "StrUtil.h"
#include "TeskJson.h"

namespace CloudStackSDKWrapper::ListReading {
namespace {

bool Hex4(const char* p, const char* end, uint32_t& value) {
    if (end - p < 4) {
        return false;
    }
    value = 0;
    for (int i = 0; i < 4; ++i) {
        const int digit = StrUtil::HexDigit(p[i]);
        if (digit < 0) {
            return false;
        }
        value = value * 16 + static_cast<uint32_t>(digit);
    }
    return true;
}

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Checks JSON's number grammar; integral when the token has neither fraction nor exponent.
bool NumberGrammar(std::string_view token, bool& integral) {
    const char* p = token.data();
    const char* const end = p + token.size();
    if (p < end && *p == '-') ++p;
    if (p == end || *p < '0' || *p > '9') return false;
    if (*p == '0') {
        ++p;
    } else {
        while (p < end && *p >= '0' && *p <= '9') ++p;
    }
    integral = true;
    if (p < end && *p == '.') {
        integral = false;
        ++p;
        const char* digits = p;
        while (p < end && *p >= '0' && *p <= '9') ++p;
        if (p == digits) return false;
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
        integral = false;
        ++p;
        if (p < end && (*p == '+' || *p == '-')) ++p;
        const char* digits = p;
        while (p < end && *p >= '0' && *p <= '9') ++p;
        if (p == digits) return false;
    }
    return p == end;
}

// Whether nlohmann's strtod gives a finite double. An out-of-range answer is an overflow, which
// nlohmann rejects, or an underflow, which it takes as 0: only the tree walk can tell.
Outcome FiniteDouble(std::string_view token) {
    double value = 0;
    return std::from_chars(token.data(), token.data() + token.size(), value).ec == std::errc() ? Outcome::Done
                                                                                               : Outcome::Unsure;
}

}  // namespace

Outcome Failed(simdjson::error_code error) {
    switch (error) {
        case simdjson::MEMALLOC:
            throw std::bad_alloc();
        case simdjson::TAPE_ERROR:
        case simdjson::INCOMPLETE_ARRAY_OR_OBJECT:
        case simdjson::UNCLOSED_STRING:
        case simdjson::UTF8_ERROR:
        case simdjson::UNESCAPED_CHARS:
        case simdjson::STRING_ERROR:
        case simdjson::T_ATOM_ERROR:
        case simdjson::F_ATOM_ERROR:
        case simdjson::N_ATOM_ERROR:
        case simdjson::NUMBER_ERROR:
        case simdjson::EMPTY:
        case simdjson::TRAILING_CONTENT:
        case simdjson::INCORRECT_TYPE:
            return Outcome::Invalid;
        default:
            return Outcome::Unsure;
    }
}

bool Unescape(const char* p, const char* end, std::string* out) {
    while (p < end) {
        const char* backslash = static_cast<const char*>(std::memchr(p, '\\', static_cast<std::size_t>(end - p)));
        if (backslash == nullptr) {
            if (out != nullptr) out->append(p, end);
            return true;
        }
        if (out != nullptr) out->append(p, backslash);
        p = backslash + 1;
        if (p >= end) {
            return false;
        }
        char c = *p++;
        switch (c) {
            case '"':
            case '\\':
            case '/':
                break;
            case 'b':
                c = '\b';
                break;
            case 'f':
                c = '\f';
                break;
            case 'n':
                c = '\n';
                break;
            case 'r':
                c = '\r';
                break;
            case 't':
                c = '\t';
                break;
            case 'u': {
                uint32_t cp = 0;
                if (!Hex4(p, end, cp)) return false;
                p += 4;
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    uint32_t low = 0;
                    if (end - p < 6 || p[0] != '\\' || p[1] != 'u' || !Hex4(p + 2, end, low) || low < 0xDC00 ||
                        low > 0xDFFF) {
                        return false;
                    }
                    p += 6;
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                    return false;
                }
                if (out != nullptr) AppendUtf8(*out, cp);
                continue;
            }
            default:
                return false;
        }
        if (out != nullptr) *out += c;
    }
    return true;
}

Outcome ValidateNumber(std::string_view token) {
    bool integral = false;
    if (!NumberGrammar(token, integral)) return Outcome::Invalid;
    // An integer of up to 300 digits is an int64, a uint64 or a finite double.
    return integral && token.size() <= 300 ? Outcome::Done : FiniteDouble(token);
}

Outcome ClassifyNumber(std::string_view token, NumberKind& kind) {
    bool integral = false;
    if (!NumberGrammar(token, integral)) return Outcome::Invalid;
    if (integral) {
        if (token[0] == '-') {
            int64_t value = 0;
            if (std::from_chars(token.data(), token.data() + token.size(), value).ec == std::errc()) {
                kind = NumberKind::Negative;
                return Outcome::Done;
            }
        } else {
            uint64_t value = 0;
            if (std::from_chars(token.data(), token.data() + token.size(), value).ec == std::errc()) {
                kind = NumberKind::Unsigned;
                return Outcome::Done;
            }
        }
    }
    kind = NumberKind::Float;
    return FiniteDouble(token);
}

Outcome Skip(od::value& value, std::size_t depth) {
    od::json_type type;
    if (const auto error = value.type().get(type)) return Failed(error);
    switch (type) {
        case od::json_type::object: {
            if (depth > TeskJson::kMaxDepth) return Outcome::Unsure;  // the tree walk refuses it
            od::object object;
            if (const auto error = value.get_object().get(object)) return Failed(error);
            for (auto member : object) {
                od::field field;
                if (const auto error = std::move(member).get(field)) return Failed(error);
                bool escaped = false;
                const std::string_view name = StringText(field.key().raw(), escaped);
                if (escaped && !Unescape(name.data(), name.data() + name.size(), nullptr)) {
                    return Outcome::Invalid;
                }
                if (const Outcome outcome = Skip(field.value(), depth + 1); outcome != Outcome::Done) {
                    return outcome;
                }
            }
            return Outcome::Done;
        }
        case od::json_type::array: {
            if (depth > TeskJson::kMaxDepth) return Outcome::Unsure;
            od::array array;
            if (const auto error = value.get_array().get(array)) return Failed(error);
            for (auto item : array) {
                od::value element;
                // simdjson's get() takes its result as an rvalue. NOLINTNEXTLINE(performance-move-const-arg)
                if (const auto error = std::move(item).get(element)) return Failed(error);
                if (const Outcome outcome = Skip(element, depth + 1); outcome != Outcome::Done) return outcome;
            }
            return Outcome::Done;
        }
        case od::json_type::string: {
            bool escaped = false;
            std::string_view content;
            if (!ReadString(value, content, escaped)) return Outcome::Invalid;
            return !escaped || Unescape(content.data(), content.data() + content.size(), nullptr) ? Outcome::Done
                                                                                                  : Outcome::Invalid;
        }
        case od::json_type::number:
            return ValidateNumber(TrimRight(value.raw_json_token()));
        case od::json_type::boolean: {
            const std::string_view token = TrimRight(value.raw_json_token());
            return token == "true" || token == "false" ? Outcome::Done : Outcome::Invalid;
        }
        case od::json_type::null:
            return TrimRight(value.raw_json_token()) == "null" ? Outcome::Done : Outcome::Invalid;
    }
    return Outcome::Invalid;
}

}  // namespace CloudStackSDKWrapper::ListReading
