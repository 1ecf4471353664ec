#pragma once

#include <cstdio>
#include <functional>
#include <string>

#include "TeskExport.h"

/// @brief A destination for trace lines: an open stdio stream that the caller owns.
/// A null TraceLogFileInstance* everywhere means the process default, standard error.
class CLOUDSTACK_EXPORT TraceLogFileInstance {
public:
    explicit TraceLogFileInstance(FILE* stream) : m_pStream(stream) {}
    FILE* Stream() const { return m_pStream; }

private:
    FILE* m_pStream;
};

/// @brief One line as handed to a sink installed with TraceLog::SetSink.
struct TraceLogRecord {
    enum class Kind { Trace, Error };
    Kind kind{Kind::Trace};
    int level{0};          ///< debug level of a trace line; 0 for an error line
    std::string function;  ///< the function field (the caller's pretty function name)
    std::string message;   ///< the formatted message
    std::string line;      ///< the whole line as it would be written: time, kind, function, message
};

/// @brief The debug log. Error lines are always written; trace lines only while debug
/// output is on for this log object. Lines go to the log's destination unless a
/// process-wide sink is installed, which then receives every line instead.
class CLOUDSTACK_EXPORT TraceLog {
public:
    using Sink = std::function<void(const TraceLogRecord&)>;

    explicit TraceLog(TraceLogFileInstance* instance = nullptr);
    ~TraceLog();
    TraceLog(const TraceLog&) = delete;
    TraceLog& operator=(const TraceLog&) = delete;

    /// @brief Switches trace lines of this log object on or off.
    void EnableDebug(bool enable = true);
    bool IsDebugEnabled() const;

    /// @brief Writes one trace line of the given level, when debug output is on.
    void DebugLvl(const char* function, int level, const char* format, ...) CLOUDSTACK_PRINTF(4, 5);
    /// @brief Writes one error line, always.
    void Error(const char* function, const char* format, ...) CLOUDSTACK_PRINTF(3, 4);

    /// @brief Installs a process-wide sink that receives every line in place of the
    /// destinations (thread-safe). An empty function restores the destinations.
    /// The sink runs under the log's lock, so once SetSink returns the old sink is no longer
    /// running; for the same reason a sink must not write to a TraceLog or call SetSink.
    /// @return the sink that was installed before.
    static Sink SetSink(Sink sink);

private:
    void Write(TraceLogRecord::Kind kind, int level, const char* function, const std::string& message);

    TraceLogFileInstance* m_pInstance;
    bool m_bDebug{false};
};
