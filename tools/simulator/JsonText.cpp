#include "JsonText.h"

#include <cstdint>

namespace cssim {
namespace {

/// True when @p text is well-formed UTF-8 (no overlong forms, no surrogates, nothing above U+10FFFF).
bool ValidUtf8(const std::string& text, std::size_t from) {
    const auto* bytes = reinterpret_cast<const unsigned char*>(text.data());
    const std::size_t size = text.size();
    for (std::size_t i = from; i < size;) {
        const unsigned char c = bytes[i];
        if (c < 0x80) {
            ++i;
            continue;
        }
        std::size_t length = 0;
        unsigned char low = 0x80;
        unsigned char high = 0xBF;
        if (c >= 0xC2 && c <= 0xDF) {
            length = 2;
        } else if (c >= 0xE0 && c <= 0xEF) {
            length = 3;
            if (c == 0xE0) low = 0xA0;
            if (c == 0xED) high = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            length = 4;
            if (c == 0xF0) low = 0x90;
            if (c == 0xF4) high = 0x8F;
        } else {
            return false;
        }
        if (i + length > size || bytes[i + 1] < low || bytes[i + 1] > high) return false;
        for (std::size_t k = 2; k < length; ++k) {
            if (bytes[i + k] < 0x80 || bytes[i + k] > 0xBF) return false;
        }
        i += length;
    }
    return true;
}

void AppendString(std::string& out, const std::string& text) {
    static const char kHex[] = "0123456789abcdef";
    std::size_t i = 0;
    for (; i < text.size(); ++i) {
        if (static_cast<unsigned char>(text[i]) >= 0x80) break;
    }
    if (i < text.size() && !ValidUtf8(text, i)) {
        // Rare: leave the replacement of broken sequences to the library.
        out += Json(text).dump(-1, ' ', false, Json::error_handler_t::replace);
        return;
    }
    out.push_back('"');
    std::size_t run = 0;
    for (i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c != '"' && c != '\\') continue;
        out.append(text, run, i - run);
        run = i + 1;
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\b':
                out += "\\b";
                break;
            case '\f':
                out += "\\f";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                out += "\\u00";
                out.push_back(kHex[c >> 4]);
                out.push_back(kHex[c & 15]);
        }
    }
    out.append(text, run, text.size() - run);
    out.push_back('"');
}

}  // namespace

void AppendJson(std::string& out, const Json& value) {
    switch (value.type()) {
        case Json::value_t::object: {
            out.push_back('{');
            bool first = true;
            for (auto it = value.begin(); it != value.end(); ++it) {
                if (!first) out.push_back(',');
                first = false;
                AppendString(out, it.key());
                out.push_back(':');
                AppendJson(out, it.value());
            }
            out.push_back('}');
            return;
        }
        case Json::value_t::array: {
            out.push_back('[');
            bool first = true;
            for (const auto& element : value) {
                if (!first) out.push_back(',');
                first = false;
                AppendJson(out, element);
            }
            out.push_back(']');
            return;
        }
        case Json::value_t::string:
            AppendString(out, value.get_ref<const std::string&>());
            return;
        case Json::value_t::boolean:
            out += value.get<bool>() ? "true" : "false";
            return;
        case Json::value_t::number_integer:
            out += std::to_string(value.get<std::int64_t>());
            return;
        case Json::value_t::number_unsigned:
            out += std::to_string(value.get<std::uint64_t>());
            return;
        case Json::value_t::null:
            out += "null";
            return;
        default:
            // Floating-point numbers (the library's shortest round-trip form), binary, discarded.
            out += value.dump(-1, ' ', false, Json::error_handler_t::replace);
            return;
    }
}

}  // namespace cssim
