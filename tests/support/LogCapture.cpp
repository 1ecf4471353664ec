#include "LogCapture.h"

#include <utility>

namespace cstest {

LogCapture::LogCapture() {
    previous_ = TraceLog::SetSink([this](const TraceLogRecord& record) { Add(record); });
}

LogCapture::~LogCapture() {
    TraceLog::SetSink(std::move(previous_));
}

void LogCapture::Add(const TraceLogRecord& record) {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.push_back(record);
}

std::vector<TraceLogRecord> LogCapture::Records() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return records_;
}

std::vector<TraceLogRecord> LogCapture::Filter(TraceLogRecord::Kind kind) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<TraceLogRecord> out;
    for (const auto& record : records_) {
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
    std::lock_guard<std::mutex> lock(mutex_);
    return records_.size();
}

bool LogCapture::AnyLineContains(const std::string& text) const {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& record : records_) {
        if (record.line.find(text) != std::string::npos) {
            return true;
        }
    }
    return false;
}

std::string LogCapture::AllText() const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::string text;
    for (const auto& record : records_) {
        text += record.line;
        text += '\n';
    }
    return text;
}

void LogCapture::Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    records_.clear();
}

}  // namespace cstest
