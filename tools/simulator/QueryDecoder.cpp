#include "QueryDecoder.h"

#include <charconv>

#include "Text.h"

namespace cssim {
namespace {

bool DecodeComponent(const std::string& raw, std::size_t begin, std::size_t end, std::string& out) {
    out.clear();
    out.reserve(end - begin);
    for (std::size_t i = begin; i < end; ++i) {
        const char c = raw[i];
        if (c == '+') {
            out.push_back(' ');
        } else if (c == '%') {
            // Exactly two hex digits; the server refuses anything else after a '%'.
            if (i + 2 >= end) return false;
            unsigned value = 0;
            const char* digits = raw.data() + i + 1;
            const auto [stop, error] = std::from_chars(digits, digits + 2, value, 16);
            if (error != std::errc() || stop != digits + 2) return false;
            out.push_back(static_cast<char>(value));
            i += 2;
        } else {
            out.push_back(c);
        }
    }
    return true;
}

}  // namespace

bool DecodeComponent(const std::string& raw, std::string& out) {
    return DecodeComponent(raw, 0, raw.size(), out);
}

bool DecodeQuery(const std::string& raw, ParameterMap& params) {
    ParameterList pairs;
    if (!DecodePairs(raw, pairs)) return false;
    for (auto& [name, value] : pairs) params[name] = std::move(value);
    return true;
}

bool DecodePairs(const std::string& raw, ParameterList& pairs) {
    std::size_t pos = 0;
    while (pos <= raw.size()) {
        std::size_t end = raw.find('&', pos);
        if (end == std::string::npos) end = raw.size();
        if (end > pos) {
            std::size_t eq = raw.find('=', pos);
            if (eq == std::string::npos || eq > end) eq = end;
            std::string name;
            std::string value;
            if (!DecodeComponent(raw, pos, eq, name)) return false;
            if (eq < end && !DecodeComponent(raw, eq + 1, end, value)) return false;
            if (!name.empty()) pairs.emplace_back(std::move(name), std::move(value));
        }
        pos = end + 1;
    }
    return true;
}

std::vector<std::pair<std::string, std::string>> ParseCookies(const std::vector<std::string>& headerLines) {
    std::vector<std::pair<std::string, std::string>> cookies;
    for (const auto& line : headerLines) {
        std::size_t pos = 0;
        while (pos < line.size()) {
            std::size_t end = line.find(';', pos);
            if (end == std::string::npos) end = line.size();
            const std::string item = line.substr(pos, end - pos);
            const auto eq = item.find('=');
            if (eq != std::string::npos) {
                std::string name = cstools::Trim(item.substr(0, eq));
                std::string value = cstools::Trim(item.substr(eq + 1));
                if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
                    value = value.substr(1, value.size() - 2);
                }
                if (!name.empty()) cookies.emplace_back(std::move(name), std::move(value));
            }
            pos = end + 1;
        }
    }
    return cookies;
}

bool HasControlCharacter(const std::string& value) {
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) return true;
    }
    return false;
}

}  // namespace cssim
