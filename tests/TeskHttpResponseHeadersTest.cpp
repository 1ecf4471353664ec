// The response-header collector on its own, fed line by line as curl's header callback does
// (and as a fuzz target may).

#include <gtest/gtest.h>

#include <cstdint>
#include <list>
#include <string>

#include "TeskHttpResponseHeaders.h"

namespace {

void Add(TeskHttpResponseHeaders& headers, const std::string& line) {
    ASSERT_TRUE(headers.AddLine(line.data(), line.size())) << line;
}

std::list<std::string> Find(const TeskHttpResponseHeaders& headers, const char* name) {
    std::list<std::string> lines;
    headers.Find(name, lines);
    return lines;
}

TEST(TeskHttpResponseHeadersTest, InterimAnswerIsDroppedWhenTheFinalOneStarts) {
    TeskHttpResponseHeaders headers;
    Add(headers, "HTTP/1.1 100 Continue\r\n");
    Add(headers, "Set-Cookie: interim=1\r\n");
    Add(headers, "\r\n");
    EXPECT_TRUE(headers.Complete());
    EXPECT_EQ(headers.Status(), 100);
    Add(headers, "HTTP/1.1 200 OK\r\n");
    EXPECT_FALSE(headers.Complete());
    Add(headers, "Set-Cookie: final=1\r\n");
    Add(headers, "\r\n");
    EXPECT_EQ(headers.Status(), 200);
    EXPECT_TRUE(headers.Complete());
    EXPECT_EQ(Find(headers, "set-cookie"), std::list<std::string>{"Set-Cookie: final=1\r\n"});
}

TEST(TeskHttpResponseHeadersTest, OnlyTheStatusNumberIsRead) {
    TeskHttpResponseHeaders headers;
    Add(headers, "HTTP/1.1 531 531\r\n");
    EXPECT_EQ(headers.Status(), 531);
    Add(headers, "HTTP/2 200 \r\n");
    EXPECT_EQ(headers.Status(), 200);
    Add(headers, "HTTP/1.1 20\r\n");
    EXPECT_EQ(headers.Status(), 0);
    Add(headers, "HTTP/1.1 2000 Odd\r\n");
    EXPECT_EQ(headers.Status(), 0);
}

TEST(TeskHttpResponseHeadersTest, FoldedLineIsJoinedWithOneBlank) {
    TeskHttpResponseHeaders headers;
    Add(headers, "HTTP/1.1 200 OK\r\n");
    Add(headers, "Set-Cookie: sessionkey=abc;\r\n");
    Add(headers, " \t HttpOnly\r\n");
    EXPECT_EQ(Find(headers, "Set-Cookie"), std::list<std::string>{"Set-Cookie: sessionkey=abc; HttpOnly\r\n"});
    EXPECT_EQ(headers.LineCount(), 1u);
    EXPECT_EQ(headers.ByteCount(), std::string("Set-Cookie: sessionkey=abc; HttpOnly\r\n").size());
}

TEST(TeskHttpResponseHeadersTest, NamesMatchWholeAndIgnoringCaseAndResultsAppend) {
    TeskHttpResponseHeaders headers;
    Add(headers, "HTTP/1.1 200 OK\r\n");
    Add(headers, "x-MiXeD-case: one\r\n");
    Add(headers, "X-Mixed-Case-Longer: two\r\n");
    Add(headers, "X-MIXED-CASE: three\r\n");
    std::list<std::string> lines{"kept"};
    EXPECT_TRUE(headers.Find("X-Mixed-Case", lines));
    EXPECT_EQ(lines, (std::list<std::string>{"kept", "x-MiXeD-case: one\r\n", "X-MIXED-CASE: three\r\n"}));
    EXPECT_FALSE(headers.Find("X-Mixed", lines));
    EXPECT_FALSE(headers.Find("", lines));
    EXPECT_FALSE(headers.Find(nullptr, lines));
    EXPECT_EQ(lines.size(), 3u);
}

TEST(TeskHttpResponseHeadersTest, LineCountIsBounded) {
    TeskHttpResponseHeaders headers;
    Add(headers, "HTTP/1.1 200 OK\r\n");
    for (std::size_t i = 0; i < TeskHttpResponseHeaders::kMaxLines; ++i) {
        Add(headers, "Set-Cookie: c" + std::to_string(i) + "=v\r\n");
    }
    const std::string more = "Set-Cookie: one=toomany\r\n";
    EXPECT_FALSE(headers.AddLine(more.data(), more.size()));
    EXPECT_EQ(headers.LineCount(), TeskHttpResponseHeaders::kMaxLines);
    // The next answer starts with a fresh allowance.
    Add(headers, "HTTP/1.1 200 OK\r\n");
    Add(headers, more);
    EXPECT_EQ(headers.LineCount(), 1u);
}

TEST(TeskHttpResponseHeadersTest, ByteCountIsBoundedForLinesAndFoldedContinuations) {
    TeskHttpResponseHeaders headers;
    Add(headers, "HTTP/1.1 200 OK\r\n");
    const std::string line = "X-Big: " + std::string(9993, 'x');  // 10000 bytes
    for (std::size_t i = 0; i < TeskHttpResponseHeaders::kMaxBytes / line.size(); ++i) {
        Add(headers, line);
    }
    EXPECT_FALSE(headers.AddLine(line.data(), line.size()));
    const std::string continuation = " " + std::string(TeskHttpResponseHeaders::kMaxBytes % line.size(), 'y');
    EXPECT_FALSE(headers.AddLine(continuation.data(), continuation.size()));
    EXPECT_LE(headers.ByteCount(), TeskHttpResponseHeaders::kMaxBytes);
}

TEST(TeskHttpResponseHeadersTest, AnyBytesAreTakenWithoutHarm) {
    TeskHttpResponseHeaders headers;
    EXPECT_TRUE(headers.AddLine(nullptr, 0));
    const char odd[] = {'\0', ':', '\n', ' '};
    EXPECT_TRUE(headers.AddLine(odd, sizeof odd));
    EXPECT_TRUE(headers.AddLine(" folded before any line\r\n", 25));
    EXPECT_TRUE(headers.AddLine("HTTP/", 5));
    EXPECT_EQ(headers.Status(), 0);
    EXPECT_EQ(headers.LineCount(), 0u);
}

// Random lines, as a fuzzer would send them: the bounds hold and the byte count is exact.
TEST(TeskHttpResponseHeadersTest, BoundsHoldForRandomLines) {
    std::uint64_t state = 7;
    auto next = [&state] {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    };
    const char alphabet[] = "HTP/1. 20\r\n:\tSet-Cookie";
    TeskHttpResponseHeaders headers;
    for (int i = 0; i < 20000; ++i) {
        std::string line;
        const std::size_t length = next() % (next() % 8 == 0 ? 4000 : 40);
        for (std::size_t j = 0; j < length; ++j) {
            line += alphabet[next() % (sizeof alphabet - 1)];
        }
        if (next() % 50 == 0) {
            line = "HTTP/1.1 200 OK\r\n";
        }
        headers.AddLine(line.data(), line.size());
        ASSERT_LE(headers.LineCount(), TeskHttpResponseHeaders::kMaxLines);
        ASSERT_LE(headers.ByteCount(), TeskHttpResponseHeaders::kMaxBytes);
    }
}

}  // namespace
