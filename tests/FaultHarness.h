#pragma once

// Common ground of the fault suite: the library's components wired as the wrapper wires them,
// logged in to a scripted server on this process's own address, with the transfer limits a case
// lowers through the connection's Limits(); and the checks that end every case: the call is
// false, the error state says why with the expected code, exactly one error line was written, no
// secret reached the log, and the next ordinary call still works.

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "Components.h"
#include "LogCapture.h"
#include "SleepRecorder.h"
#include "TestServer.h"

namespace faults {

using namespace CloudStackSDKWrapper;
using cstest::RawAnswer;
using cstest::RecordedRequest;
using cstest::Reply;

// The limit a case lowers, and the bound within which the call must have returned: far below
// every default limit (30 s and more), far above any scheduling delay on a loaded machine.
constexpr long kLimitMs = 200;
constexpr long kWellWithinMs = 5000;

constexpr char kUser[] = "admin";
constexpr char kPassword[] = "Pw-s3cret-77";

// Exact bytes on the wire, whatever they are.
inline Reply Raw(RawAnswer answer) {
    Reply reply;
    reply.raw = std::move(answer);
    return reply;
}

inline Reply Raw(std::string bytes, bool close = false) {
    return Raw(cstest::Bytes(std::move(bytes), close));
}

// A status line, the given header lines and the body, framed by Content-Length.
inline std::string Http(const std::string& statusLine, const std::string& body, const std::string& headers = "") {
    return "HTTP/1.1 " + statusLine + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + headers + "\r\n" +
           body;
}

// A zone list answer in the server's shape: "count" is the total, the array one page.
inline std::string Zones(const std::vector<std::string>& ids, long long count) {
    std::string body = "{\"listzonesresponse\":{\"count\":" + std::to_string(count) + ",\"zone\":[";
    for (std::size_t i = 0; i < ids.size(); ++i) {
        body += (i > 0 ? ",{\"id\":\"" : "{\"id\":\"") + ids[i] + "\",\"name\":\"zone-" + ids[i] + "\"}";
    }
    return body + "]}}";
}

class FaultTest : public ::testing::Test, protected cstest::Components {
protected:
    void SetUp() override {
        server.SetCredentials(kUser, kPassword);
        ASSERT_TRUE(server.Start());
        ASSERT_TRUE(connection.connect(server.Address(), kUser, kPassword));
        m_strSessionKey = server.SessionKey();
        ASSERT_FALSE(m_strSessionKey.empty());
        server.ClearRequests();
        log.Clear();
        zones.assign(1, SZoneInfoLib{});
        zones[0].strName = "kept";
    }

    TeskLibCurlLimits& Limits() { return connection.Limits(); }

    // Runs one call as the wrapper does (the error state cleared first, the outcome reported into
    // it) and times it.
    bool Run(const std::function<SCloudStackOutcome()>& call) {
        errors = CCloudStackErrorState();
        const auto started = std::chrono::steady_clock::now();
        const bool result = queries.Report(call());
        elapsedMs = static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count());
        return result;
    }
    bool ListZones() {
        return Run([this] { return queries.GetZoneInfoList(zones, 0); });
    }

    // The end of every failure case: @p result false, @p code in the error state, exactly one
    // error line holding each of @p needles, and nothing secret logged.
    void ExpectFailure(bool result, long code, std::initializer_list<std::string> needles = {}) {
        EXPECT_FALSE(result);
        EXPECT_EQ(errors.lErrorCode, code) << errors.strErrorMessage;
        EXPECT_FALSE(errors.strErrorMessage.empty());
        const auto lines = log.Errors();
        ASSERT_EQ(lines.size(), 1u) << log.AllText();
        for (const std::string& needle : needles) {
            EXPECT_NE(lines[0].line.find(needle), std::string::npos) << "'" << needle << "' not in: " << lines[0].line;
        }
        ExpectNoSecretLogged();
    }

    // A time limit of @p limitMs tripped: not before it (the watch cannot fire early), and the call
    // returned far sooner than any default limit would have let it.
    void ExpectTrippedAt(long limitMs) {
        EXPECT_GE(elapsedMs, limitMs);
        EXPECT_LT(elapsedMs, kWellWithinMs);
    }

    // The caller's list holds what it held before the call.
    void ExpectZonesUntouched() {
        ASSERT_EQ(zones.size(), 1u);
        EXPECT_EQ(zones[0].strName, "kept");
    }

    void ExpectNoSecretLogged() {
        const std::string text = log.AllText();
        EXPECT_EQ(text.find(kPassword), std::string::npos) << text;
        EXPECT_EQ(text.find(m_strSessionKey), std::string::npos) << text;
        EXPECT_EQ(errors.strErrorMessage.find(kPassword), std::string::npos) << errors.strErrorMessage;
    }

    // The host goes on: with the default limits back, an ordinary list works on the same components.
    void ExpectAlive() {
        connection.Limits() = TeskLibCurlLimits();
        std::vector<SZoneInfoLib> fresh;
        EXPECT_TRUE(Run([&] { return queries.GetZoneInfoList(fresh, 0); })) << errors.strErrorMessage;
        EXPECT_EQ(fresh.size(), 2u);
    }

    cstest::SleepRecorder sleeps;
    cstest::LogCapture log;
    cstest::TestServer server;
    std::vector<SZoneInfoLib> zones;
    long elapsedMs{0};

private:
    std::string m_strSessionKey;
};

}  // namespace faults
