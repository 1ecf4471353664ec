#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "HostileText.h"
#include "LogCapture.h"
#include "TraceLog.h"

namespace {

// "YYYY-MM-DDTHH:MM:SS.mmmZ " at the start of the line.
bool StartsWithUtcStamp(const std::string& line) {
    const std::string shape = "dddd-dd-ddTdd:dd:dd.dddZ ";
    if (line.size() < shape.size()) {
        return false;
    }
    for (size_t i = 0; i < shape.size(); ++i) {
        const bool digit = line[i] >= '0' && line[i] <= '9';
        if (shape[i] == 'd' ? !digit : line[i] != shape[i]) {
            return false;
        }
    }
    return true;
}

class TraceLogTest : public ::testing::Test {
protected:
    cstest::LogCapture m_capture;
    TraceLog m_log;
};

TEST_F(TraceLogTest, TraceLinesAreDroppedWhileDebugIsOff) {
    m_log.DebugLvl("fn", 1, "hidden %d", 1);
    EXPECT_FALSE(m_log.IsDebugEnabled());
    EXPECT_EQ(m_capture.Count(), 0u);
}

TEST_F(TraceLogTest, ErrorLinesAreWrittenWhileDebugIsOff) {
    m_log.Error("fn", "broken %s", "pipe");
    ASSERT_EQ(m_capture.Errors().size(), 1u);
    EXPECT_EQ(m_capture.Errors()[0].message, "broken pipe");
}

TEST_F(TraceLogTest, SinkReceivesKindLevelFunctionAndMessageOfTraceLine) {
    m_log.EnableDebug();
    m_log.DebugLvl("void Foo::bar(int)", 3, "value=%d name=%s", 42, "x");
    const auto traces = m_capture.Traces();
    ASSERT_EQ(traces.size(), 1u);
    EXPECT_EQ(traces[0].kind, TraceLogRecord::Kind::Trace);
    EXPECT_EQ(traces[0].level, 3);
    EXPECT_EQ(traces[0].function, "void Foo::bar(int)");
    EXPECT_EQ(traces[0].message, "value=42 name=x");
    EXPECT_NE(traces[0].line.find("TRACE"), std::string::npos);
    EXPECT_NE(traces[0].line.find("void Foo::bar(int)"), std::string::npos);
    EXPECT_NE(traces[0].line.find("value=42 name=x"), std::string::npos);
}

TEST_F(TraceLogTest, ErrorLineHasErrorKindAndLevelZero) {
    m_log.EnableDebug();
    m_log.Error("fn", "bad");
    const auto records = m_capture.Records();
    ASSERT_EQ(records.size(), 1u);
    EXPECT_EQ(records[0].kind, TraceLogRecord::Kind::Error);
    EXPECT_EQ(records[0].level, 0);
    EXPECT_NE(records[0].line.find("ERROR"), std::string::npos);
    EXPECT_EQ(records[0].line.find("TRACE"), std::string::npos);
}

TEST_F(TraceLogTest, LineStartsWithUtcTimeWithMilliseconds) {
    m_log.Error("fn", "x");
    ASSERT_EQ(m_capture.Count(), 1u);
    EXPECT_TRUE(StartsWithUtcStamp(m_capture.Records()[0].line)) << m_capture.Records()[0].line;
}

TEST_F(TraceLogTest, DisablingDebugStopsTraceLines) {
    m_log.EnableDebug();
    m_log.DebugLvl("fn", 1, "one");
    m_log.EnableDebug(false);
    m_log.DebugLvl("fn", 1, "two");
    ASSERT_EQ(m_capture.Count(), 1u);
    EXPECT_EQ(m_capture.Records()[0].message, "one");
}

TEST_F(TraceLogTest, LongMessageIsNotTruncated) {
    const std::string big(100000, 'q');
    m_log.Error("fn", "<%s>", big.c_str());
    ASSERT_EQ(m_capture.Count(), 1u);
    EXPECT_EQ(m_capture.Records()[0].message, "<" + big + ">");
}

TEST_F(TraceLogTest, DebugIsPerLogObject) {
    TraceLog other;
    m_log.EnableDebug();
    other.DebugLvl("fn", 1, "from other");
    EXPECT_EQ(m_capture.Count(), 0u);
}

TEST_F(TraceLogTest, LinesFromManyThreadsAllArrive) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([this, t] {
            for (int i = 0; i < 200; ++i) {
                m_log.Error("fn", "thread %d line %d", t, i);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(m_capture.Count(), 800u);
}

TEST_F(TraceLogTest, TheSinkRunsWithNoLockOfTheLogHeld) {
    // While the sink takes one line it waits for another thread to write one: had the log called it
    // under a lock of its own, that thread's line could never get through.
    std::vector<std::string> seen;
    const TraceLog::Sink previous = TraceLog::SetSink([this, &seen](const TraceLogRecord& record) {
        seen.push_back(record.message);
        if (record.message == "first") std::thread([this] { m_log.Error("fn", "second"); }).join();
    });
    m_log.Error("fn", "first");
    TraceLog::SetSink(previous);
    EXPECT_EQ(seen, (std::vector<std::string>{"first", "second"}));
}

TEST_F(TraceLogTest, NestedCaptureRestoresPreviousSink) {
    {
        cstest::LogCapture inner;
        m_log.Error("fn", "inner");
        EXPECT_EQ(inner.Count(), 1u);
    }
    m_log.Error("fn", "outer");
    ASSERT_EQ(m_capture.Count(), 1u);
    EXPECT_EQ(m_capture.Records()[0].message, "outer");
}

TEST_F(TraceLogTest, SetSinkReturnsTheSinkInstalledBefore) {
    int calls = 0;
    const TraceLog::Sink mine = [&calls](const TraceLogRecord&) { ++calls; };
    const TraceLog::Sink previous = TraceLog::SetSink(mine);
    ASSERT_TRUE(previous);
    const TraceLog::Sink returned = TraceLog::SetSink(previous);
    ASSERT_TRUE(returned);
    returned(TraceLogRecord());
    EXPECT_EQ(calls, 1);
    m_log.Error("fn", "back to capture");
    EXPECT_EQ(m_capture.Count(), 1u);
    EXPECT_EQ(calls, 1);
}

// Without a sink the lines go to the log's own stream.
class TraceLogStreamTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_previous = TraceLog::SetSink(TraceLog::Sink());
        m_stream = open_memstream(&m_buffer, &m_size);
        ASSERT_NE(m_stream, nullptr);
    }
    void TearDown() override {
        if (m_stream != nullptr) {
            std::fclose(m_stream);
        }
        std::free(m_buffer);
        TraceLog::SetSink(m_previous);
    }
    std::string Written() {
        std::fflush(m_stream);
        return std::string(m_buffer, m_size);
    }

    TraceLog::Sink m_previous;
    char* m_buffer{nullptr};
    size_t m_size{0};
    FILE* m_stream{nullptr};
};

TEST_F(TraceLogStreamTest, FileInstanceReceivesOneTerminatedLinePerCall) {
    TraceLogFileInstance instance(m_stream);
    TraceLog log(&instance);
    log.Error("fn", "first");
    log.DebugLvl("fn", 1, "not shown");
    log.EnableDebug();
    log.DebugLvl("fn", 2, "second");
    const std::string text = Written();
    const size_t newline = text.find('\n');
    ASSERT_NE(newline, std::string::npos) << text;
    const std::string first = text.substr(0, newline + 1);
    const std::string second = text.substr(newline + 1);
    EXPECT_TRUE(StartsWithUtcStamp(first)) << text;
    EXPECT_EQ(first.substr(25), "ERROR fn: first\n");
    EXPECT_TRUE(StartsWithUtcStamp(second)) << text;
    EXPECT_EQ(second.substr(std::min<size_t>(25, second.size())), "TRACE[2] fn: second\n");
}

TEST_F(TraceLogStreamTest, ServerTextShowsAsEscapesAndEachCallWritesOneLine) {
    TraceLogFileInstance instance(m_stream);
    TraceLog log(&instance);
    log.EnableDebug();
    const auto write = [&log](const cstest::HostileText& hostile) {
        log.Error("fn", "name \"%s\" refused", hostile.text.c_str());
        log.DebugLvl("fn", 2, "name \"%s\"", hostile.text.c_str());
    };
    {
        // What a host's sink receives: message and line alike.
        cstest::LogCapture capture;
        for (const cstest::HostileText& hostile : cstest::HostileTexts()) write(hostile);
        const auto records = capture.Records();
        ASSERT_EQ(records.size(), 2 * cstest::HostileTexts().size());
        for (std::size_t i = 0; i < records.size(); i += 2) {
            const cstest::HostileText& hostile = cstest::HostileTexts()[i / 2];
            EXPECT_EQ(records[i].message, "name \"" + hostile.shown + "\" refused") << hostile.what;
            EXPECT_EQ(records[i + 1].message, "name \"" + hostile.shown + "\"") << hostile.what;
            EXPECT_EQ(cstest::FirstUnsafe(records[i].line), std::string::npos) << records[i].line;
        }
    }
    // What the stream receives: one line per call, each ending in the text shown.
    for (const cstest::HostileText& hostile : cstest::HostileTexts()) write(hostile);
    const std::string text = Written();
    EXPECT_EQ(cstest::FirstUnsafe(text, "\n"), std::string::npos) << text;
    std::vector<std::string> lines;
    for (std::size_t start = 0, end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
        lines.push_back(text.substr(start, end - start));
    ASSERT_EQ(lines.size(), 2 * cstest::HostileTexts().size()) << text;
    for (std::size_t i = 0; i < lines.size(); i += 2) {
        const cstest::HostileText& hostile = cstest::HostileTexts()[i / 2];
        const std::string error = "ERROR fn: name \"" + hostile.shown + "\" refused";
        const std::string trace = "TRACE[2] fn: name \"" + hostile.shown + "\"";
        EXPECT_EQ(lines[i].substr(std::min<size_t>(25, lines[i].size())), error) << hostile.what;
        EXPECT_EQ(lines[i + 1].substr(std::min<size_t>(25, lines[i + 1].size())), trace) << hostile.what;
    }
}

TEST_F(TraceLogStreamTest, InstalledSinkReceivesLinesInsteadOfStream) {
    TraceLogFileInstance instance(m_stream);
    TraceLog log(&instance);
    {
        cstest::LogCapture capture;
        log.Error("fn", "to the sink");
        EXPECT_EQ(capture.Count(), 1u);
    }
    EXPECT_EQ(Written(), "");
    log.Error("fn", "to the stream");
    EXPECT_NE(Written().find("to the stream"), std::string::npos);
}

}  // namespace
