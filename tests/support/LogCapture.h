#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "TraceLog.h"

namespace cstest {

/// @brief Captures every log line of the process while it lives: installs a TraceLog sink on
/// construction and restores the previous one on destruction. Thread-safe.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    /// @brief Every record captured so far, in arrival order.
    std::vector<TraceLogRecord> Records() const;
    /// @brief Only the error records.
    std::vector<TraceLogRecord> Errors() const;
    /// @brief Only the trace records.
    std::vector<TraceLogRecord> Traces() const;
    /// @brief Number of records captured so far.
    size_t Count() const;
    /// @brief true when any whole line contains @p text.
    bool AnyLineContains(const std::string& text) const;
    /// @brief All whole lines, each followed by a newline.
    std::string AllText() const;
    /// @brief Forgets what was captured so far.
    void Clear();

private:
    void Add(const TraceLogRecord& record);
    std::vector<TraceLogRecord> Filter(TraceLogRecord::Kind kind) const;

    mutable std::mutex mutex_;
    std::vector<TraceLogRecord> records_;
    TraceLog::Sink previous_;
};

}  // namespace cstest
