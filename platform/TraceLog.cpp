#include "TraceLog.h"

#include <chrono>
#include <cstdarg>
#include <ctime>
#include <mutex>
#include <utility>
#include <vector>

#include "StrUtil.h"
#include "TextEscape.h"

namespace {

std::mutex& SinkMutex() {
    static std::mutex mutex;
    return mutex;
}

TraceLog::Sink& InstalledSink() {
    static TraceLog::Sink sink;
    return sink;
}

// UTC, ISO-8601 with milliseconds: 2024-05-01T12:34:56.789Z
std::string NowUtc() {
    const auto now = std::chrono::system_clock::now();
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[40];
    const std::size_t n = std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S", &utc);
    // Cannot be cut short: the milliseconds are three digits.
    (void)std::snprintf(text + n, sizeof(text) - n, ".%03dZ", static_cast<int>(ms));
    return text;
}

}  // namespace

TraceLog::TraceLog(TraceLogFileInstance* instance) : m_pInstance(instance) {}

void TraceLog::EnableDebug(bool enable) {
    m_bDebug = enable;
}

bool TraceLog::IsDebugEnabled() const {
    return m_bDebug;
}

void TraceLog::DebugLvl(const char* function, int level, const char* format, ...) {
    if (!m_bDebug) {
        return;
    }
    va_list args;
    va_start(args, format);
    std::string message = StrUtil::FormatV(format, args);
    va_end(args);
    Write(TraceLogRecord::Kind::Trace, level, function, message);
}

void TraceLog::Error(const char* function, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string message = StrUtil::FormatV(format, args);
    va_end(args);
    Write(TraceLogRecord::Kind::Error, 0, function, message);
}

TraceLog::Sink TraceLog::SetSink(Sink sink) {
    std::lock_guard<std::mutex> lock(SinkMutex());
    Sink previous = std::move(InstalledSink());
    InstalledSink() = std::move(sink);
    return previous;
}

void TraceLog::Write(TraceLogRecord::Kind kind, int level, const char* function, const std::string& message) {
    TraceLogRecord record;
    record.kind = kind;
    record.level = kind == TraceLogRecord::Kind::Trace ? level : 0;
    record.function = function != nullptr ? function : "";
    // A message may carry a server's text: its controls are shown, never run, so that one call
    // writes one line and a server can neither forge lines nor drive the reader's terminal.
    record.message = TextEscape::Printable(message);

    // "<time> TRACE[<level>] <function>: <message>" or "<time> ERROR <function>: <message>"
    std::string& line = record.line;
    line.reserve(64 + record.function.size() + record.message.size());
    line = NowUtc();
    if (kind == TraceLogRecord::Kind::Trace) {
        line += " TRACE[" + std::to_string(level) + "] ";
    } else {
        line += " ERROR ";
    }
    line += record.function;
    line += ": ";
    line += record.message;

    {
        // The sink is called under the lock so that SetSink never returns while
        // the sink it replaced is still running.
        std::lock_guard<std::mutex> lock(SinkMutex());
        const Sink& sink = InstalledSink();
        if (sink) {
            sink(record);
            return;
        }
    }

    line += '\n';
    FILE* stream = m_pInstance != nullptr && m_pInstance->Stream() != nullptr ? m_pInstance->Stream() : stderr;
    // One fwrite per line keeps lines from several threads whole. A line that cannot be written
    // is lost: the log has nowhere else to say so.
    (void)std::fwrite(line.data(), 1, line.size(), stream);
    (void)std::fflush(stream);
}
