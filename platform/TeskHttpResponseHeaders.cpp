#include "TeskHttpResponseHeaders.h"

#include <curl/curl.h>

#include <cstring>

#include "StrUtil.h"

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

// "HTTP/1.1 200 OK" -> 200; HTTP/2 writes "HTTP/2 200". The reason text is never read:
// the management server writes odd ones ("HTTP/1.1 531 531").
int ParseStatus(const char* data, std::size_t size) {
    std::size_t at = 5;
    while (at < size && data[at] != ' ') ++at;
    while (at < size && data[at] == ' ') ++at;
    if (at + 3 > size || !IsDigit(data[at]) || !IsDigit(data[at + 1]) || !IsDigit(data[at + 2])) {
        return 0;
    }
    if (at + 3 < size && IsDigit(data[at + 3])) {
        return 0;
    }
    return (data[at] - '0') * 100 + (data[at + 1] - '0') * 10 + (data[at + 2] - '0');
}

}  // namespace

bool TeskHttpResponseHeaders::AddLine(const char* data, std::size_t size) {
    if (data == nullptr) {
        size = 0;
    }
    if (size >= 5 && std::memcmp(data, "HTTP/", 5) == 0) {
        // A new status line: whatever came before belonged to an interim (1xx) answer.
        Clear();
        m_nStatus = ParseStatus(data, size);
        return true;
    }
    if (size == 0 || (size <= 2 && (data[0] == '\r' || data[0] == '\n'))) {
        m_bComplete = true;
        return true;
    }
    if (IsBlank(data[0]) && !m_Lines.empty()) {
        // Obsolete line folding: the continuation belongs to the previous line, joined by one
        // blank, so that no line break ends up inside a value (a cookie is sent back later).
        std::size_t text = 0;
        while (text < size && IsBlank(data[text])) ++text;
        std::string& previous = m_Lines.back();
        std::size_t kept = previous.size();
        while (kept > 0 && (previous[kept - 1] == '\r' || previous[kept - 1] == '\n')) --kept;
        const std::size_t joined = kept + 1 + (size - text);
        if (m_nBytes - previous.size() + joined > kMaxBytes) {
            return false;
        }
        m_nBytes = m_nBytes - previous.size() + joined;
        previous.resize(kept);
        previous += ' ';
        previous.append(data + text, size - text);
        return true;
    }
    if (m_Lines.size() >= kMaxLines || m_nBytes + size > kMaxBytes) {
        return false;
    }
    m_Lines.emplace_back(data, size);
    m_nBytes += size;
    return true;
}

void TeskHttpResponseHeaders::Clear() {
    m_Lines.clear();
    m_nBytes = 0;
    m_nStatus = 0;
    m_bComplete = false;
}

std::string TeskHttpResponseHeaders::ValueOf(const std::string& line) {
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) {
        return std::string();
    }
    const std::size_t value = line.find_first_not_of(" \t", colon + 1);
    if (value == std::string::npos) {
        return std::string();
    }
    std::string text = line.substr(value);
    StrUtil::TrimRight(text, "\r\n");
    return text;
}

bool TeskHttpResponseHeaders::Find(const char* name, std::list<std::string>& out) const {
    if (name == nullptr || *name == '\0') {
        return false;
    }
    const std::size_t length = std::strlen(name);
    bool found = false;
    for (const std::string& line : m_Lines) {
        if (line.size() <= length || line[length] != ':') {
            continue;
        }
        bool same = true;
        for (std::size_t i = 0; i < length && same; ++i) {
            same = StrUtil::LowerAscii(line[i]) == StrUtil::LowerAscii(name[i]);
        }
        if (same) {
            out.push_back(line);
            found = true;
        }
    }
    return found;
}

bool TeskHttpResponseHeaders::DateOf(const std::string& value, std::time_t& when) {
    // curl reads every date format HTTP allows; -1 is its "no date".
    const std::time_t parsed = curl_getdate(value.c_str(), nullptr);
    if (parsed == static_cast<std::time_t>(-1)) return false;
    when = parsed;
    return true;
}
