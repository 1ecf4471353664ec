#pragma once

// Helpers shared by the fuzz targets: splitting one input into parts, a log sink that keeps the
// fuzzer's output readable, and a check that aborts (libFuzzer and the replay both report that).

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "TraceLog.h"

namespace cloudstack_fuzz {

/// @brief Prints @p what and aborts when @p condition is false: a property of the library broke.
inline void Require(bool condition, const char* what, const std::string& detail = std::string()) {
    if (!condition) {
        std::fprintf(stderr, "fuzz property broken: %s\n%s\n", what, detail.substr(0, 2000).c_str());
        std::abort();
    }
}

/// @brief The parts of @p text between occurrences of @p separator (a text without one is one part).
inline std::vector<std::string> Split(const std::string& text, const std::string& separator) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    for (;;) {
        const std::size_t at = text.find(separator, start);
        if (at == std::string::npos) {
            parts.push_back(text.substr(start));
            return parts;
        }
        parts.push_back(text.substr(start, at - start));
        start = at + separator.size();
    }
}

/// @brief @p text cut into lines after each '\n', the way curl hands header lines over; a last
/// piece without a line end is a line of its own.
inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        end = end == std::string::npos ? text.size() : end + 1;
        lines.push_back(text.substr(start, end - start));
        start = end;
    }
    return lines;
}

/// @brief Where the header block at the start of @p text ends: just after its first empty line
/// ("\r\n\r\n" or "\n\n"), or at the end of @p text when it has none.
inline std::size_t HeaderBlockEnd(const std::string& text) {
    const std::size_t crlf = text.find("\r\n\r\n");
    const std::size_t lf = text.find("\n\n");
    if (crlf != std::string::npos && (lf == std::string::npos || crlf < lf)) return crlf + 4;
    if (lf != std::string::npos) return lf + 2;
    return text.size();
}

/// @brief While it lives, every log line goes to it instead of standard error; the messages are
/// kept when @p keep is true (for comparing two parses), dropped otherwise.
class LogSink {
public:
    explicit LogSink(bool keep = false) : m_bKeep(keep) {
        m_Previous = TraceLog::SetSink([this](const TraceLogRecord& record) {
            if (m_bKeep) m_Messages.push_back(record.message);
        });
    }
    ~LogSink() { TraceLog::SetSink(m_Previous); }
    LogSink(const LogSink&) = delete;
    LogSink& operator=(const LogSink&) = delete;

    /// @brief The messages so far, then forgets them.
    std::vector<std::string> Take() {
        std::vector<std::string> messages;
        messages.swap(m_Messages);
        return messages;
    }

private:
    bool m_bKeep;
    std::vector<std::string> m_Messages;
    TraceLog::Sink m_Previous;
};

}  // namespace cloudstack_fuzz
