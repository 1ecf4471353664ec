#include "TraceLog.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdarg>
#include <ctime>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

#include "StrUtil.h"
#include "TextEscape.h"

namespace {

// The installed sink and the number of lines being handed to it right now.
struct InstalledSink {
    TraceLog::Sink sink;
    int running{0};
};

// The process-wide slot of the sink. Its lock is held only to take or swap the sink, never while a
// sink runs; with no sink installed a line takes no lock at all.
struct SinkSlot {
    std::mutex mutex;
    std::condition_variable idle;
    std::shared_ptr<InstalledSink> current;
    std::atomic<bool> installed{false};
};

SinkSlot& Slot() {
    static SinkSlot slot;
    return slot;
}

// Counts one line handed to a sink for as long as the sink runs.
class Running {
public:
    explicit Running(std::shared_ptr<InstalledSink> sink) : m_sink(std::move(sink)) {}
    ~Running() {
        SinkSlot& slot = Slot();
        const std::lock_guard<std::mutex> lock(slot.mutex);
        if (--m_sink->running == 0) slot.idle.notify_all();
    }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;
    const TraceLog::Sink& Sink() const { return m_sink->sink; }

private:
    std::shared_ptr<InstalledSink> m_sink;
};

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
    SinkSlot& slot = Slot();
    std::unique_lock<std::mutex> lock(slot.mutex);
    std::shared_ptr<InstalledSink> previous = std::move(slot.current);
    if (sink) slot.current = std::make_shared<InstalledSink>(InstalledSink{std::move(sink), 0});
    slot.installed.store(slot.current != nullptr, std::memory_order_release);
    // Lines still being handed to the previous sink on other threads finish first, so that the
    // caller may destroy what that sink uses once this returns.
    slot.idle.wait(lock, [&previous] { return previous == nullptr || previous->running == 0; });
    return previous != nullptr ? std::move(previous->sink) : Sink();
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

    SinkSlot& slot = Slot();
    if (slot.installed.load(std::memory_order_acquire)) {
        std::shared_ptr<InstalledSink> sink;
        {
            const std::lock_guard<std::mutex> lock(slot.mutex);
            sink = slot.current;
            if (sink != nullptr) ++sink->running;
        }
        if (sink != nullptr) {
            // Called with no lock of the library held: the host's sink may take locks of its own.
            const Running running(std::move(sink));
            running.Sink()(record);
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
