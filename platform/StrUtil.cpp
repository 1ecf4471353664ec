#include "StrUtil.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <vector>

std::string StrUtil::Format(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string result = FormatV(format, args);
    va_end(args);
    return result;
}

// vsnprintf twice: once to measure, once to fill, so no text is ever cut short.
std::string StrUtil::FormatV(const char* format, va_list args) {
    if (format == nullptr) {
        return std::string();
    }
    va_list measure;
    va_copy(measure, args);
    const int needed = std::vsnprintf(nullptr, 0, format, measure);
    va_end(measure);
    if (needed <= 0) {
        return std::string();
    }
    std::vector<char> buffer(static_cast<std::size_t>(needed) + 1);
    // The first pass measured the text, so this one writes all of it.
    (void)std::vsnprintf(buffer.data(), buffer.size(), format, args);
    return std::string(buffer.data(), static_cast<std::size_t>(needed));
}

void StrUtil::TrimRight(std::string& text, const char* set) {
    if (set == nullptr || *set == '\0') {
        return;
    }
    const std::size_t last = text.find_last_not_of(set);
    text.erase(last == std::string::npos ? 0 : last + 1);
}

namespace {

std::string DecodeQueryComponent(const std::string& text, std::size_t begin, std::size_t end) {
    std::string out;
    out.reserve(end - begin);
    for (std::size_t i = begin; i < end; ++i) {
        const char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < end && StrUtil::HexDigit(text[i + 1]) >= 0 &&
                   StrUtil::HexDigit(text[i + 2]) >= 0) {
            out += static_cast<char>(StrUtil::HexDigit(text[i + 1]) * 16 + StrUtil::HexDigit(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

void StrUtil::AppendQueryPairs(const std::string& text, std::size_t begin,
                               std::vector<std::pair<std::string, std::string>>& out) {
    for (std::size_t start = begin; start < text.size();) {
        std::size_t end = text.find('&', start);
        if (end == std::string::npos) end = text.size();
        if (end > start) {
            const std::size_t equals = text.find('=', start);
            if (equals < end) {
                out.emplace_back(DecodeQueryComponent(text, start, equals),
                                 DecodeQueryComponent(text, equals + 1, end));
            } else {
                out.emplace_back(DecodeQueryComponent(text, start, end), std::string());
            }
        }
        start = end + 1;
    }
}

void StrUtil::ToLower(std::string& text) {
    for (char& c : text) c = LowerAscii(c);
}

void StrUtil::ToUpper(std::string& text) {
    // ASCII only: locale-dependent toupper would also touch bytes of UTF-8 sequences.
    for (char& c : text) {
        if (c >= 'a' && c <= 'z') {
            c = static_cast<char>(c - 'a' + 'A');
        }
    }
}

std::string StrUtil::PercentEncode(const std::string& value) {
    return PercentEncode(value, "-._~");
}

std::string StrUtil::PercentEncode(const std::string& value, const char* kept) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size() * 3);
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        const bool keep = (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') ||
                          (byte >= '0' && byte <= '9') || (byte != 0 && std::strchr(kept, c) != nullptr);
        if (keep) {
            out += c;
        } else {
            out += '%';
            out += kHex[byte >> 4];
            out += kHex[byte & 0x0F];
        }
    }
    return out;
}
