// Fault cases of the transport, end to end through a list query: servers that drip, stall,
// trickle, never accept, break their framing, send monstrous header lines or redirect. Each
// lowers the one limit it trips, so that it ends within a fraction of a second.

#include "FaultHarness.h"
#include "LoopbackSockets.h"

namespace faults {
namespace {

const std::string kTwoZones = Zones({"z1", "z2"}, 2);

class FaultTransportTest : public FaultTest {};

// ---------------------------------------------------------------------------
// Time limits

TEST_F(FaultTransportTest, DrippingServerTripsTheAverageRate) {
    // A few bytes every 50 ms keep the idle limit from ever firing: the scaled-down form of ten
    // bytes a minute.
    RawAnswer drip;
    drip.bytes = "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n";
    drip.dripPiece = "[[[";
    drip.dripEveryMs = 50;
    server.Queue("listZones", Raw(drip));
    Limits().lIdleTimeoutMs = kWellWithinMs;
    Limits().lRateWindowMs = 300;
    Limits().ullMinBytesPerSec = 1024;
    ExpectFailure(ListZones(), CS_ERROR_TIMEOUT, {"command listZones", "below the minimum average of 1024 bytes/s"});
    ExpectTrippedAt(300);
    EXPECT_NE(errors.strErrorMessage.find("timed out waiting for " + server.Address()), std::string::npos)
        << errors.strErrorMessage;
    ExpectZonesUntouched();
    ExpectAlive();
}

TEST_F(FaultTransportTest, SilentServerTripsTheIdleLimit) {
    RawAnswer silence;
    silence.hang = true;
    server.Queue("listZones", Raw(silence));
    Limits().lIdleTimeoutMs = kLimitMs;
    ExpectFailure(ListZones(), CS_ERROR_TIMEOUT, {"command listZones", "no byte received for 200 ms"});
    ExpectTrippedAt(kLimitMs);
    ExpectZonesUntouched();
    ExpectAlive();
}

TEST_F(FaultTransportTest, TrickleFastEnoughForTheIdleLimitTripsTheOverallLimit) {
    RawAnswer trickle;
    trickle.bytes = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    trickle.dripPiece = "1\r\n[\r\n";
    trickle.dripEveryMs = 10;
    server.Queue("listZones", Raw(trickle));
    Limits().lIdleTimeoutMs = 1000;
    Limits().ullMinBytesPerSec = 0;
    Limits().lTotalTimeoutMs = 300;
    ExpectFailure(ListZones(), CS_ERROR_TIMEOUT, {"did not complete within the overall limit of 300 ms"});
    ExpectTrippedAt(300);
    ExpectZonesUntouched();
    ExpectAlive();
}

TEST_F(FaultTransportTest, ConnectThatHangsTripsTheConnectTimeOut) {
    cstest::FullBacklog backlog;
    ASSERT_NE(backlog.Port(), 0);
    const std::string host = server.Address() + ":" + std::to_string(backlog.Port());
    ASSERT_TRUE(connection.connectWithApiKey("http://" + host, "key", "secret"));
    Limits().lConnectTimeoutMs = kLimitMs;
    ExpectFailure(ListZones(), CS_ERROR_CONNECT, {"not connected within the connect time-out of 200 ms"});
    ExpectTrippedAt(kLimitMs);
    EXPECT_NE(errors.strErrorMessage.find("cannot connect to " + host), std::string::npos) << errors.strErrorMessage;
    ExpectZonesUntouched();
}

// ---------------------------------------------------------------------------
// Framing

TEST_F(FaultTransportTest, CloseMidBodyIsATransportFailure) {
    server.Queue("listZones", Raw("HTTP/1.1 200 OK\r\nContent-Length: 5000\r\n\r\n" + kTwoZones.substr(0, 40), true));
    ExpectFailure(ListZones(), CS_ERROR_TRANSPORT, {"no complete answer from the server at", "after HTTP status 200"});
    ExpectZonesUntouched();
    ExpectAlive();
}

TEST_F(FaultTransportTest, ContentLengthLongerThanTheBodyFailsWhetherTheServerClosesOrWaits) {
    const std::string lying =
        "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(kTwoZones.size() + 100) + "\r\n\r\n" + kTwoZones;
    server.Queue("listZones", Raw(lying, true));
    ExpectFailure(ListZones(), CS_ERROR_TRANSPORT, {"no complete answer"});
    ExpectZonesUntouched();

    log.Clear();
    RawAnswer waiting;
    waiting.bytes = lying;
    waiting.hang = true;
    server.Queue("listZones", Raw(waiting));
    Limits().lIdleTimeoutMs = kLimitMs;
    ExpectFailure(ListZones(), CS_ERROR_TIMEOUT, {"no byte received for 200 ms"});
    ExpectTrippedAt(kLimitMs);
    ExpectZonesUntouched();
    ExpectAlive();
}

TEST_F(FaultTransportTest, ContentLengthShorterThanTheBodyCutsTheAnswerWhichIsThenNoList) {
    server.Queue("listZones", Raw("HTTP/1.1 200 OK\r\nContent-Length: 30\r\n\r\n" + kTwoZones));
    ExpectFailure(ListZones(), CS_ERROR_BAD_ANSWER, {"listzonesresponse"});
    ExpectZonesUntouched();
    // The surplus bytes must not be read as the start of the next answer.
    ExpectAlive();
}

TEST_F(FaultTransportTest, Http10AnswerDelimitedByCloseIsAValidAnswer) {
    server.Queue("listZones", Raw("HTTP/1.0 200 OK\r\nContent-Type: application/json\r\n\r\n" + kTwoZones, true));
    EXPECT_TRUE(ListZones()) << errors.strErrorMessage;
    ASSERT_EQ(zones.size(), 3u);
    EXPECT_EQ(zones[2].strId, "z2");
    EXPECT_TRUE(log.Errors().empty()) << log.AllText();
    ExpectAlive();
}

TEST_F(FaultTransportTest, BrokenChunkingIsATransportFailure) {
    server.Queue("listZones", Raw("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n5\r\n{\"lis\r\nzz\r\nabc\r\n"));
    ExpectFailure(ListZones(), CS_ERROR_TRANSPORT, {"no complete answer"});
    ExpectZonesUntouched();
    ExpectAlive();
}

TEST_F(FaultTransportTest, ServerClosingEveryConnectionAfterOneAnswerCostsOnlyNewConnections) {
    server.Always("listZones", Raw(Http("200 OK", kTwoZones), true));
    for (int i = 0; i < 3; ++i) {
        EXPECT_TRUE(ListZones()) << errors.strErrorMessage;
    }
    EXPECT_EQ(zones.size(), 7u);
    EXPECT_EQ(server.ConnectionCount(), 3);
    EXPECT_TRUE(log.Errors().empty()) << log.AllText();
}

// ---------------------------------------------------------------------------
// Header lines and redirects

TEST_F(FaultTransportTest, OneMegabyteHeaderLineIsAHeaderLineTooLargeNotOutOfMemory) {
    server.Queue("listZones", Raw(Http("200 OK", kTwoZones, "X-Padding: " + std::string(1 << 20, 'p') + "\r\n")));
    ExpectFailure(ListZones(), CS_ERROR_TOO_LARGE, {"header line larger than"});
    EXPECT_EQ(log.AllText().find("Out of memory"), std::string::npos) << log.AllText();
    EXPECT_EQ(errors.strErrorMessage.find("Out of memory"), std::string::npos) << errors.strErrorMessage;
    ExpectZonesUntouched();
    ExpectAlive();
}

TEST_F(FaultTransportTest, RedirectIsNotFollowedAndNamesTheLocation) {
    server.Queue("listZones",
                 Raw(Http("302 Found", "", "Location: https://cloud.example.invalid:8443/client/api\r\n")));
    ExpectFailure(ListZones(), CS_ERROR_REDIRECT, {"(HTTP 302) to https://cloud.example.invalid:8443/client/api"});
    EXPECT_NE(errors.strErrorMessage.find("https://cloud.example.invalid:8443/client/api"), std::string::npos)
        << errors.strErrorMessage;
    EXPECT_EQ(server.Count(), 1u);
    ExpectZonesUntouched();
    ExpectAlive();
}

}  // namespace
}  // namespace faults
