#include "LogCapture.h"

#include <utility>

namespace cstest {

LogCapture::LogCapture() {
    m_previous = TraceLog::SetSink([this](const TraceLogRecord& record) { Add(record); });
}

LogCapture::~LogCapture() {
    TraceLog::SetSink(std::move(m_previous));
}

void LogCapture::Add(const TraceLogRecord& record) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.push_back(record);
}

std::vector<TraceLogRecord> LogCapture::Records() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records;
}

std::vector<TraceLogRecord> LogCapture::Filter(TraceLogRecord::Kind kind) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::vector<TraceLogRecord> out;
    for (const auto& record : m_records) {
        if (record.kind == kind) {
            out.push_back(record);
        }
    }
    return out;
}

std::vector<TraceLogRecord> LogCapture::Errors() const {
    return Filter(TraceLogRecord::Kind::Error);
}

std::vector<TraceLogRecord> LogCapture::Traces() const {
    return Filter(TraceLogRecord::Kind::Trace);
}

size_t LogCapture::Count() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_records.size();
}

bool LogCapture::AnyLineContains(const std::string& text) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& record : m_records) {
        if (record.line.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

std::string LogCapture::AllText() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string text;
    for (const auto& record : m_records) {
        text += record.line;
        text += '\n';
    }
    return text;
}

void LogCapture::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_records.clear();
}

}  // namespace cstest
