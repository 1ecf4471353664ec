#pragma once

/// @file
/// The library's debug log, and the process-wide sink through which a host receives its lines.

#include <cstdio>
#include <functional>
#include <string>

#include "TeskExport.h"

/// @brief A destination for trace lines: an open stdio stream that the caller owns.
/// A null TraceLogFileInstance* everywhere means the process default, standard error.
class TraceLogFileInstance {
public:
    /// @brief Names a destination.
    /// @param stream an open stream, owned by the caller, that outlives every log writing to it
    explicit TraceLogFileInstance(FILE* stream) : m_pStream(stream) {}
    /// @brief The destination.
    /// @return the stream given to the constructor
    FILE* Stream() const { return m_pStream; }

private:
    FILE* m_pStream;
};

/// @brief One line as handed to a sink installed with TraceLog::SetSink.
struct TraceLogRecord {
    /// @brief What kind of line.
    enum class Kind {
        Trace,  ///< written only while debug output is on
        Error,  ///< always written
    };
    Kind kind{Kind::Trace};  ///< trace or error line
    int level{0};            ///< debug level of a trace line; 0 for an error line
    std::string function;    ///< the function field (the caller's pretty function name)
    std::string message;     ///< the formatted message, its control characters shown as escapes (`\x1b`)
    std::string line;        ///< the whole line as it would be written: time, kind, function, message
};

/// @brief The debug log. Error lines are always written; trace lines only while debug
/// output is on for this log object. Lines go to the log's destination unless a
/// process-wide sink is installed, which then receives every line instead.
class TraceLog {
public:
    /// @brief Receives each line instead of the destinations, while installed.
    using Sink = std::function<void(const TraceLogRecord&)>;

    /// @brief A log with debug output off.
    /// @param instance the destination; null for standard error
    explicit TraceLog(TraceLogFileInstance* instance = nullptr);
    /// @brief Writes nothing.
    ~TraceLog() = default;
    TraceLog(const TraceLog&) = delete;
    TraceLog& operator=(const TraceLog&) = delete;

    /// @brief Switches trace lines of this log object on or off.
    /// @param enable on or off
    void EnableDebug(bool enable = true);
    /// @brief Whether trace lines are written.
    /// @return true while debug output is on
    bool IsDebugEnabled() const;

    /// @brief Writes one trace line of the given level, when debug output is on.
    /// @param function the caller's pretty function name
    /// @param level the debug level
    /// @param format printf format of the message
    void DebugLvl(const char* function, int level, const char* format, ...) CLOUDSTACK_PRINTF(4, 5);
    /// @brief Writes one error line, always.
    /// @param function the caller's pretty function name
    /// @param format printf format of the message
    void Error(const char* function, const char* format, ...) CLOUDSTACK_PRINTF(3, 4);

    /// @brief Installs a process-wide sink that receives every line in place of the
    /// destinations (thread-safe). An empty function restores the destinations.
    /// The sink is called on the thread that writes the line, with no lock of the library held,
    /// so lines of several threads may reach it at once. SetSink waits until no line is being
    /// handed to the sink it replaces, so once it returns the old sink is no longer running; for
    /// that reason a sink must not call SetSink, and it must not write to a TraceLog (which would
    /// call it again).
    /// The one member of this class that the shared object exports: through it a host routes or
    /// silences the library's lines.
    /// @param sink receives every line from now on; an empty function restores the destinations
    /// @return the sink that was installed before.
    CLOUDSTACK_EXPORT static Sink SetSink(Sink sink);

private:
    void Write(TraceLogRecord::Kind kind, int level, const char* function, const std::string& message);

    TraceLogFileInstance* m_pInstance;
    bool m_bDebug{false};
};
