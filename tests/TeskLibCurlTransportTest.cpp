// Wire-level tests of the transport: every failure kind against a server that misbehaves on
// purpose, the limits (lowered so that each case ends within a fraction of a second), the
// handling of odd but legal answers, the memory a large answer body may take, the way through a
// proxy and the client certificate of mutual TLS.

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "Compression.h"
#include "LogCapture.h"
#include "LoopbackAddress.h"
#include "LoopbackSockets.h"
#include "ProcessMemory.h"
#include "RawListener.h"
#include "TeskLibCurl.h"
#include "TeskRestApiConnection.h"
#include "TestCertificates.h"
#include "TestProxy.h"

namespace {

using cstest::Bytes;
using cstest::RawAnswer;
using cstest::RawRequest;

constexpr long kLimitMs = 200;
// Upper bound for a case that must end at a lowered limit: far below every default limit,
// far above any scheduling delay.
constexpr long kWellWithinMs = 5000;
const char kPath[] = "/client/api?command=listZones&password=s3cret";

std::string Answer(const std::string& body, const std::string& extraHeaders = "") {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extraHeaders + "\r\n" + body;
}

// Says nothing until the test ends.
RawAnswer Silence() {
    RawAnswer answer;
    answer.hang = true;
    return answer;
}

// The REST base, with its curl wrapper in reach for the proxy and the client certificate, which
// the library's connection sets through the base.
class TestConnection : public TeskRestApiConnection {
public:
    TeskLibCurl& Curl() { return *m_pCurl; }
};

class TransportTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (m_listener) {
            m_listener->Stop();
        }
    }

    // Starts a listener on this process's address and a port of its own; @p handler answers
    // every request. Returns its base URL.
    std::string Serve(std::function<RawAnswer(const RawRequest&)> handler, const cstest::ListenOptions& tls = {}) {
        m_listener = std::make_unique<cstest::RawListener>([this, handler](const RawRequest& request) {
            int seen = m_connections.load();
            while (request.connection > seen && !m_connections.compare_exchange_weak(seen, request.connection)) {
            }
            return handler(request);
        });
        cstest::ListenOptions options = tls;
        options.port = 0;
        EXPECT_TRUE(m_listener->Start(cstest::ProcessLoopbackAddress(), options));
        return std::string(options.tls ? "https://" : "http://") + cstest::ProcessLoopbackAddress() + ":" +
               std::to_string(m_listener->Port());
    }
    std::string ServeAlways(const std::string& bytes) {
        return Serve([bytes](const RawRequest&) { return Bytes(bytes); });
    }

    // One GET of kPath (or @p path) through the REST base against @p base, timed.
    bool Get(const std::string& base, const std::string& path = kPath) {
        EXPECT_TRUE(m_conn.connect(base, false, ""));
        const auto started = std::chrono::steady_clock::now();
        const bool ok = m_conn.get(path, m_response, nullptr);
        m_elapsedMs = static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count());
        return ok;
    }

    const TeskLibCurlResult& Result() const { return m_conn.LastResult(); }

    // Exactly one error line was written, naming the command and each of @p needles, and
    // neither it nor the result's text holds the password or the path of the request.
    void ExpectOneErrorLine(std::initializer_list<std::string> needles) {
        const auto errors = m_log.Errors();
        ASSERT_EQ(errors.size(), 1u) << m_log.AllText();
        const std::string& line = errors[0].line;
        EXPECT_NE(line.find("command listZones"), std::string::npos) << line;
        for (const std::string& needle : needles) {
            EXPECT_NE(line.find(needle), std::string::npos) << "'" << needle << "' not in: " << line;
        }
        EXPECT_EQ(line.find("s3cret"), std::string::npos) << line;
        EXPECT_EQ(line.find("/client/api"), std::string::npos) << line;
        EXPECT_EQ(Result().strError.find("s3cret"), std::string::npos) << Result().strError;
    }

    void ExpectFailure(TeskLibCurlFailure kind) {
        EXPECT_FALSE(Result().bTransportOk);
        EXPECT_EQ(TeskLibCurlFailureName(Result().eFailure), std::string(TeskLibCurlFailureName(kind)))
            << Result().strError;
        EXPECT_TRUE(m_response.empty());
    }

    std::unique_ptr<cstest::RawListener> m_listener;
    std::atomic<int> m_connections{0};  // TCP connections the listener has seen requests on
    cstest::LogCapture m_log;
    TestConnection m_conn;
    std::string m_response = "stale";
    long m_elapsedMs{0};
};

// ---------------------------------------------------------------------------
// No connection

TEST_F(TransportTest, UnresolvableHostFailsAsResolveHost) {
    // A label over 63 characters is refused by the resolver itself, so no query leaves the
    // machine; the reserved TLD makes sure the name could never resolve anyway.
    const std::string host = std::string(64, 'a') + ".invalid";
    m_conn.Limits().lConnectTimeoutMs = 2000;
    EXPECT_FALSE(Get("http://" + host + ":8080"));
    ExpectFailure(TeskLibCurlFailure::ResolveHost);
    EXPECT_EQ(Result().strHost, host + ":8080");
    ExpectOneErrorLine({"no answer from the server at " + host + ":8080"});
    EXPECT_LT(m_elapsedMs, 2000);
}

TEST_F(TransportTest, RefusedConnectionFailsAsConnect) {
    cstest::ClosedPort port;
    ASSERT_NE(port.Port(), 0);
    const std::string host = cstest::ProcessLoopbackAddress() + ":" + std::to_string(port.Port());
    EXPECT_FALSE(Get("http://" + host));
    ExpectFailure(TeskLibCurlFailure::Connect);
    EXPECT_EQ(Result().strHost, host);
    ExpectOneErrorLine({"no answer from the server at " + host, "Couldn't connect to server"});
}

TEST_F(TransportTest, DroppedSynFailsAsConnectAtTheConnectTimeout) {
    // A listening socket whose accept queue is full drops every further SYN, as a firewall does.
    cstest::FullBacklog listener;
    ASSERT_NE(listener.Port(), 0);
    m_conn.Limits().lConnectTimeoutMs = kLimitMs;
    EXPECT_FALSE(Get("http://" + cstest::ProcessLoopbackAddress() + ":" + std::to_string(listener.Port())));
    ExpectFailure(TeskLibCurlFailure::Connect);
    ExpectOneErrorLine({"not connected within the connect time-out of 200 ms"});
    EXPECT_GE(m_elapsedMs, kLimitMs);
    EXPECT_LT(m_elapsedMs, kWellWithinMs);
}

// ---------------------------------------------------------------------------
// Time limits

TEST_F(TransportTest, SilentServerFailsAtTheIdleTimeout) {
    const std::string base = Serve([](const RawRequest&) { return Silence(); });
    m_conn.Limits().lIdleTimeoutMs = kLimitMs;
    EXPECT_FALSE(Get(base));
    ExpectFailure(TeskLibCurlFailure::Timeout);
    ExpectOneErrorLine({"no answer from the server at", "no byte received for 200 ms"});
    EXPECT_GE(m_elapsedMs, kLimitMs);
    EXPECT_LT(m_elapsedMs, kWellWithinMs);
}

TEST_F(TransportTest, DrippingServerFailsTheAverageRate) {
    // Ten bytes now and then keep the idle time-out from ever firing.
    const std::string base = Serve([](const RawRequest&) {
        RawAnswer answer = Bytes("HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n");
        answer.dripPiece = "0123456789";
        answer.dripEveryMs = 20;
        return answer;
    });
    m_conn.Limits().lIdleTimeoutMs = kWellWithinMs;
    m_conn.Limits().lRateWindowMs = kLimitMs;
    m_conn.Limits().ullMinBytesPerSec = 1024;
    EXPECT_FALSE(Get(base));
    ExpectFailure(TeskLibCurlFailure::Timeout);
    ExpectOneErrorLine({"no complete answer from the server at", "after HTTP status 200",
                        "in the last 200 ms, below the minimum average of 1024 bytes/s"});
    EXPECT_GE(m_elapsedMs, kLimitMs);
    EXPECT_LT(m_elapsedMs, kWellWithinMs);
}

TEST_F(TransportTest, EndlessFastStreamFailsAtTheOverallLimit) {
    const std::string base = Serve([](const RawRequest&) {
        RawAnswer answer = Bytes("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n");
        answer.dripPiece = "400\r\n" + std::string(1024, 'x') + "\r\n";
        answer.dripEveryMs = 2;
        return answer;
    });
    m_conn.Limits().lIdleTimeoutMs = kWellWithinMs;
    m_conn.Limits().lTotalTimeoutMs = kLimitMs;
    EXPECT_FALSE(Get(base));
    ExpectFailure(TeskLibCurlFailure::Timeout);
    ExpectOneErrorLine({"did not complete within the overall limit of 200 ms"});
    EXPECT_GT(Result().nBytes, 0u);
    EXPECT_GE(m_elapsedMs, kLimitMs);
    EXPECT_LT(m_elapsedMs, kWellWithinMs);
}

TEST_F(TransportTest, AbandonedTransferLeavesTheConnectionUsable) {
    const std::string base =
        Serve([](const RawRequest& request) { return request.connection == 1 ? Silence() : Bytes(Answer("{}")); });
    m_conn.Limits().lIdleTimeoutMs = kLimitMs;
    EXPECT_FALSE(Get(base));
    EXPECT_TRUE(Get(base));
    EXPECT_EQ(m_response, "{}");
    EXPECT_EQ(m_connections.load(), 2);
}

// Transfers side by side on one handle: each keeps the limits, the body cap and the padding of a single
// transfer, and ends on its own; an abandoned one takes its connection with it.
TEST_F(TransportTest, TransfersSideBySideEachKeepEveryLimit) {
    const std::string base = Serve([](const RawRequest& request) {
        if (request.target == "/silent" || request.target == "/abandoned") return Silence();
        if (request.target == "/big") return Bytes(Answer(std::string(2000, 'x')));
        return Bytes(Answer("{\"n\":" + request.target.substr(4) + "}"));
    });
    TeskLibCurl curl;
    TeskLibCurlLimits limits;
    limits.lIdleTimeoutMs = kLimitMs;
    limits.ullMaxBodyBytes = 1000;
    const auto started = std::chrono::steady_clock::now();
    const std::size_t silent = curl.StartConcurrent(HTTP_REQ_GET, base + "/silent", "", limits);
    const std::size_t abandoned = curl.StartConcurrent(HTTP_REQ_GET, base + "/abandoned", "", limits);
    const std::size_t one = curl.StartConcurrent(HTTP_REQ_GET, base + "/ok/1", "", limits);
    const std::size_t big = curl.StartConcurrent(HTTP_REQ_GET, base + "/big", "", limits);
    const std::size_t posted = curl.StartConcurrent(HTTP_REQ_POST, base + "/ok/2", "a=b", limits);
    EXPECT_EQ(std::set<std::size_t>({silent, abandoned, one, big, posted}).size(), 5u) << "a lane each";
    curl.CancelConcurrent(abandoned);

    std::set<std::size_t> ended;
    while (ended.size() < 4) {
        std::vector<std::size_t> now;
        curl.AwaitConcurrent(now);
        ASSERT_FALSE(now.empty());
        for (const std::size_t lane : now) EXPECT_TRUE(ended.insert(lane).second) << "named once: " << lane;
    }
    EXPECT_EQ(ended.count(abandoned), 0u);
    std::string body;
    TeskLibCurlResult result;
    ASSERT_TRUE(curl.TakeConcurrent(one, body, result)) << result.strError;
    EXPECT_EQ(body, "{\"n\":1}");
    EXPECT_GE(body.capacity(), body.size() + kTeskBodyPadding);
    ASSERT_TRUE(curl.TakeConcurrent(posted, body, result)) << result.strError;
    EXPECT_EQ(body, "{\"n\":2}");
    EXPECT_FALSE(curl.TakeConcurrent(big, body, result));
    EXPECT_EQ(result.eFailure, TeskLibCurlFailure::TooLarge) << result.strError;
    EXPECT_TRUE(body.empty());
    EXPECT_FALSE(curl.TakeConcurrent(silent, body, result));
    EXPECT_EQ(result.eFailure, TeskLibCurlFailure::Timeout) << result.strError;
    const auto elapsed =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count();
    EXPECT_GE(elapsed, kLimitMs);
    EXPECT_LT(elapsed, kWellWithinMs);

    // A single transfer after them reuses a connection they left open.
    std::vector<std::size_t> none;
    curl.AwaitConcurrent(none);
    EXPECT_TRUE(none.empty());
    const int connections = m_connections.load();
    ASSERT_TRUE(curl.Perform(HTTP_REQ_GET, base + "/ok/3", "", body, limits, result)) << result.strError;
    EXPECT_EQ(body, "{\"n\":3}");
    EXPECT_EQ(m_connections.load(), connections);
}

// ---------------------------------------------------------------------------
// Size limits

TEST_F(TransportTest, CompressedBodyOverTheCapFailsAsTooLarge) {
    const std::string bomb = cstest::DeflateRepeated(std::string(std::size_t{1} << 20, '\0'), 4);
    ASSERT_FALSE(bomb.empty());
    ASSERT_LT(bomb.size(), 64u * 1024);
    const std::string base = ServeAlways(Answer(bomb, "Content-Encoding: deflate\r\n"));
    m_conn.Limits().ullMaxBodyBytes = 1u << 20;
    EXPECT_FALSE(Get(base));
    ExpectFailure(TeskLibCurlFailure::TooLarge);
    ExpectOneErrorLine({"answer body larger than the limit of 1048576 bytes"});
    EXPECT_LE(Result().nBytes, 1u << 20);
}

TEST_F(TransportTest, AnnouncedLengthOverTheCapFailsBeforeTheBody) {
    const std::string base = Serve([](const RawRequest&) {
        RawAnswer answer = Bytes("HTTP/1.1 200 OK\r\nContent-Length: 2000000\r\n\r\n");
        answer.hang = true;
        return answer;
    });
    m_conn.Limits().ullMaxBodyBytes = 1u << 20;
    EXPECT_FALSE(Get(base));
    ExpectFailure(TeskLibCurlFailure::TooLarge);
    ExpectOneErrorLine({"answer body larger than the limit of 1048576 bytes"});
    EXPECT_EQ(Result().nBytes, 0u);
}

TEST_F(TransportTest, HeaderLineOverCurlsLimitFailsAsTooLarge) {
    EXPECT_FALSE(Get(ServeAlways(Answer("{}", "X-Huge: " + std::string(200 * 1024, 'h') + "\r\n"))));
    ExpectFailure(TeskLibCurlFailure::TooLarge);
    ExpectOneErrorLine({"header line larger than curl's limit of 102400 bytes"});
    EXPECT_EQ(m_log.AllText().find("Out of memory"), std::string::npos);
}

TEST_F(TransportTest, TenThousandCookieLinesFailAsTooLarge) {
    std::string cookies;
    for (int i = 0; i < 10000; ++i) {
        cookies += "Set-Cookie: c" + std::to_string(i) + "=v\r\n";
    }
    EXPECT_FALSE(Get(ServeAlways(Answer("{}", cookies))));
    ExpectFailure(TeskLibCurlFailure::TooLarge);
    ExpectOneErrorLine({"more than 100 header lines"});
}

// ---------------------------------------------------------------------------
// Redirects

TEST_F(TransportTest, RedirectFailsNamingTheLocationWithoutItsQuery) {
    EXPECT_FALSE(Get(ServeAlways(
        "HTTP/1.1 302 Found\r\nLocation: https://user:pw@cloud.example.invalid:8443/api?command=login&password=s3cret"
        "\r\nContent-Length: 0\r\n\r\n")));
    EXPECT_TRUE(Result().bTransportOk);
    EXPECT_EQ(Result().eFailure, TeskLibCurlFailure::None);
    EXPECT_EQ(Result().lHttpStatus, 302);
    EXPECT_EQ(Result().strLocation, "https://cloud.example.invalid:8443/api");
    ExpectOneErrorLine({"redirected it (HTTP 302) to https://cloud.example.invalid:8443/api; use that URL"});
    EXPECT_EQ(m_log.AllText().find("pw@"), std::string::npos);
    // Not followed: the one request went to this listener only.
    EXPECT_EQ(m_connections.load(), 1);
}

TEST_F(TransportTest, RelativeRedirectIsMadeAbsolute) {
    const std::string base =
        ServeAlways("HTTP/1.1 301 Moved\r\nLocation: /cloud/api?x=1#top\r\nContent-Length: 0\r\n\r\n");
    EXPECT_FALSE(Get(base));
    EXPECT_EQ(Result().strLocation, base + "/cloud/api");
    ExpectOneErrorLine({"(HTTP 301) to " + base + "/cloud/api; use that URL"});
}

// ---------------------------------------------------------------------------
// Connections and framing

TEST_F(TransportTest, KeptAliveConnectionClosedByTheServerIsReplaced) {
    // The answer promises nothing about closing; the listener closes right after it anyway.
    const std::string base = Serve([](const RawRequest& request) {
        RawAnswer answer = Bytes(Answer("{\"n\":" + std::to_string(request.connection) + "}"));
        answer.close = true;
        return answer;
    });
    EXPECT_TRUE(Get(base));
    EXPECT_EQ(m_response, "{\"n\":1}");
    EXPECT_TRUE(Get(base));
    EXPECT_EQ(m_response, "{\"n\":2}");
    EXPECT_TRUE(m_log.Errors().empty()) << m_log.AllText();
}

TEST_F(TransportTest, ConnectionClosedMidBodyFailsAsTransport) {
    const std::string base = Serve([](const RawRequest&) {
        RawAnswer answer = Bytes("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nshort");
        answer.close = true;
        return answer;
    });
    EXPECT_FALSE(Get(base));
    ExpectFailure(TeskLibCurlFailure::Transport);
    EXPECT_EQ(Result().lHttpStatus, 200);
    ExpectOneErrorLine({"no complete answer from the server at", "after HTTP status 200"});
}

TEST_F(TransportTest, ContentLengthShorterThanTheBodyCutsItAndDropsTheConnection) {
    const std::string base = ServeAlways("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nokEXTRA");
    EXPECT_TRUE(Get(base));
    EXPECT_EQ(m_response, "ok");
    // The surplus must not be read as the start of the next answer.
    EXPECT_TRUE(Get(base));
    EXPECT_EQ(m_response, "ok");
    EXPECT_EQ(m_connections.load(), 2);
}

TEST_F(TransportTest, Http10AnswerWithoutLengthEndsWhenTheServerCloses) {
    const std::string base = Serve([](const RawRequest&) {
        RawAnswer answer = Bytes("HTTP/1.0 200 OK\r\nContent-Type: application/json\r\n\r\n{\"whole\":true}");
        answer.close = true;
        return answer;
    });
    EXPECT_TRUE(Get(base));
    EXPECT_EQ(m_response, "{\"whole\":true}");
    EXPECT_EQ(Result().lHttpStatus, 200);
}

TEST_F(TransportTest, BrokenChunkingFailsAsTransport) {
    EXPECT_FALSE(Get(ServeAlways("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nabc\r\n0\r\n\r\n")));
    ExpectFailure(TeskLibCurlFailure::Transport);
    ExpectOneErrorLine({"no complete answer from the server at"});
}

// ---------------------------------------------------------------------------
// Bodies

// Bytes that differ from one 4 KiB stretch to the next, so that a block joined out of place shows.
std::string Pattern(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>(i * 7 + (i >> 12));
    }
    return text;
}

TEST_F(TransportTest, LargeChunkedBodyArrivesWholeWithZeroPadding) {
    // Past the 16 MiB that one string takes, into the blocks that are joined at the end.
    const std::string body = Pattern(36u << 20);
    std::string chunked = "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n";
    const std::size_t piece = 1u << 20;
    for (std::size_t at = 0; at < body.size(); at += piece) {
        char size[32];
        std::snprintf(size, sizeof size, "%zx\r\n", piece);
        chunked += size;
        chunked.append(body, at, piece);
        chunked += "\r\n";
    }
    chunked += "0\r\n\r\n";
    ASSERT_TRUE(Get(ServeAlways(chunked)));
    EXPECT_EQ(m_response.size(), body.size());
    EXPECT_TRUE(m_response == body);
    ASSERT_GE(m_response.capacity(), m_response.size() + kTeskBodyPadding);
    EXPECT_EQ(std::string(m_response.data() + m_response.size(), kTeskBodyPadding),
              std::string(kTeskBodyPadding, '\0'));
}

TEST_F(TransportTest, SmallBodiesArePaddedAndTheCallersBufferIsReused) {
    const std::string base = ServeAlways(Answer(R"({"listzonesresponse":{}})"));
    ASSERT_TRUE(Get(base));
    EXPECT_EQ(m_response, R"({"listzonesresponse":{}})");
    ASSERT_GE(m_response.capacity(), m_response.size() + kTeskBodyPadding);
    EXPECT_EQ(std::string(m_response.data() + m_response.size(), kTeskBodyPadding),
              std::string(kTeskBodyPadding, '\0'));
    // The buffers change hands on each answer: the one given back is filled next time but one.
    const char* first = m_response.data();
    ASSERT_TRUE(Get(base));
    ASSERT_TRUE(Get(base));
    EXPECT_EQ(static_cast<const void*>(m_response.data()), static_cast<const void*>(first));
    EXPECT_EQ(m_connections.load(), 1);
}

TEST_F(TransportTest, EmptyBodyIsPaddedToo) {
    ASSERT_TRUE(Get(ServeAlways(Answer(""))));
    EXPECT_TRUE(m_response.empty());
    EXPECT_GE(m_response.capacity(), kTeskBodyPadding);
}

// ---------------------------------------------------------------------------
// TLS: certificates made for this run, the listener serving them on this process's address

class TlsTransportTest : public TransportTest {
protected:
    // Serves HTTPS with @p identity, demanding a client certificate of @p clientCa when given; the
    // answer is always a small JSON body.
    std::string ServeTls(const cstest::CertificateFiles& identity, const std::string& clientCaPem = "") {
        cstest::ListenOptions options;
        options.tls = identity;
        options.clientCaPem = clientCaPem;
        return Serve([](const RawRequest&) { return Bytes(Answer(R"({"ok":true})")); }, options);
    }

    cstest::TestCertificates m_certs{"", cstest::ProcessLoopbackAddress()};
};

TEST_F(TlsTransportTest, ExtraCaFileIsTrustedBesidesTheSystemStore) {
    m_conn.Tls().strCaFile = m_certs.Ca().certificateFile;
    EXPECT_TRUE(Get(ServeTls(m_certs.Server())));
    EXPECT_EQ(m_response, R"({"ok":true})");
    EXPECT_TRUE(m_log.Errors().empty()) << m_log.AllText();
}

TEST_F(TlsTransportTest, CertificateOfAnUnknownIssuerFailsAsTlsCertificate) {
    // Trusted neither by the system store nor by the extra file.
    m_conn.Tls().strCaFile = m_certs.Ca().certificateFile;
    EXPECT_FALSE(Get(ServeTls(m_certs.Unknown())));
    ExpectFailure(TeskLibCurlFailure::TlsCertificate);
    ExpectOneErrorLine({"no answer from the server at", "certificate"});
}

TEST_F(TlsTransportTest, CertificateWithoutTheSystemStoreOrExtraFileFailsAsTlsCertificate) {
    EXPECT_FALSE(Get(ServeTls(m_certs.Server())));
    ExpectFailure(TeskLibCurlFailure::TlsCertificate);
    ExpectOneErrorLine({"certificate"});
}

TEST_F(TlsTransportTest, CertificateForAnotherHostFailsAsTlsCertificate) {
    // Signed by the trusted CA, but for a name and no address: the request goes to the address.
    cstest::TestCertificates other("cloud.example.invalid", "");
    m_conn.Tls().strCaFile = other.Ca().certificateFile;
    EXPECT_FALSE(Get(ServeTls(other.Server())));
    ExpectFailure(TeskLibCurlFailure::TlsCertificate);
    ExpectOneErrorLine({"no alternative certificate subject name matches"});
}

TEST_F(TlsTransportTest, VerificationSwitchedOffAcceptsAnyCertificate) {
    m_conn.Tls().bVerifyPeer = false;
    const std::string base = ServeTls(m_certs.Unknown());
    EXPECT_TRUE(Get(base));
    EXPECT_EQ(m_response, R"({"ok":true})");
    // Switching it back on drops the connection that was made without checks.
    m_conn.Tls().bVerifyPeer = true;
    EXPECT_FALSE(Get(base));
    ExpectFailure(TeskLibCurlFailure::TlsCertificate);
    EXPECT_EQ(m_connections.load(), 1);
}

TEST_F(TlsTransportTest, UnreadableCaFileFailsAsTlsWithoutConnecting) {
    m_conn.Tls().strCaFile = m_certs.Directory() + "/missing.pem";
    EXPECT_FALSE(Get(ServeTls(m_certs.Server())));
    ExpectFailure(TeskLibCurlFailure::Tls);
    ExpectOneErrorLine({"cannot read the CA file " + m_certs.Directory() + "/missing.pem"});
    EXPECT_EQ(m_connections.load(), 0);
}

TEST_F(TlsTransportTest, PlainHttpAnswerToTheHandshakeFailsAsTls) {
    // A plain HTTP server on the port where TLS was expected answers the ClientHello with an
    // HTTP error page.
    cstest::ClosedPort port;
    ASSERT_EQ(listen(port.Fd(), 1), 0);
    std::thread server([&port] {
        const int client = accept(port.Fd(), nullptr, nullptr);
        if (client < 0) return;
        char buffer[4096];
        if (recv(client, buffer, sizeof buffer, 0) > 0) {
            const std::string reply = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
            send(client, reply.data(), reply.size(), MSG_NOSIGNAL);
        }
        shutdown(client, SHUT_WR);
        while (recv(client, buffer, sizeof buffer, 0) > 0) {
        }
        close(client);
    });
    EXPECT_FALSE(Get("https://" + cstest::ProcessLoopbackAddress() + ":" + std::to_string(port.Port())));
    server.join();
    ExpectFailure(TeskLibCurlFailure::Tls);
    ExpectOneErrorLine({"no answer from the server at", "wrong version number"});
}

TEST_F(TlsTransportTest, SilentPeerDuringTheHandshakeFailsAtTheConnectTimeout) {
    // The listener waits for a request line that the TLS handshake never sends.
    const std::string base = ServeAlways(Answer("{}"));
    m_conn.Limits().lConnectTimeoutMs = kLimitMs;
    EXPECT_FALSE(Get("https://" + base.substr(std::string("http://").size())));
    ExpectFailure(TeskLibCurlFailure::Connect);
    ExpectOneErrorLine({"not connected within the connect time-out of 200 ms"});
    EXPECT_GE(m_elapsedMs, kLimitMs);
    EXPECT_LT(m_elapsedMs, kWellWithinMs);
}

// A client certificate goes with every handshake; a server that demands one says so when it is
// missing or not its CA's, and the failure reads as TLS, not as a broken connection.
TEST_F(TlsTransportTest, ClientCertificateIsPresentedAndAServerThatDemandsOneSaysWhy) {
    m_conn.Tls().strCaFile = m_certs.Ca().certificateFile;
    const std::string base = ServeTls(m_certs.Server(), m_certs.Ca().certificatePem);
    const std::string combined = m_certs.Directory() + "/client-combined.pem";
    std::ofstream(combined) << m_certs.Client().privateKeyPem << m_certs.Client().certificatePem;
    struct Case {
        const char* what;
        std::string certFile;
        std::string keyFile;
        const char* refusal;  // empty: accepted
    };
    const Case cases[] = {
        {"none", "", "", "the server demands a client certificate and none was given"},
        {"one no CA of the server's signed", m_certs.Unknown().certificateFile, m_certs.Unknown().privateKeyFile,
         "the server refused the client certificate"},
        {"the CA's, key apart", m_certs.Client().certificateFile, m_certs.Client().privateKeyFile, ""},
        {"the CA's, key in the same file", combined, "", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_log.Clear();
        m_conn.Curl().SetClientCertificate(c.certFile, c.keyFile);
        const bool ok = Get(base);
        if (*c.refusal == '\0') {
            EXPECT_TRUE(ok) << Result().strError;
            EXPECT_EQ(m_response, R"({"ok":true})");
            continue;
        }
        EXPECT_FALSE(ok);
        ExpectFailure(TeskLibCurlFailure::Tls);
        ExpectOneErrorLine({"no answer from the server at", c.refusal});
    }
}

TEST_F(TlsTransportTest, UnusableClientCertificateFilesFailAsTlsWithoutConnecting) {
    const std::string base = ServeTls(m_certs.Server(), m_certs.Ca().certificatePem);
    m_conn.Tls().strCaFile = m_certs.Ca().certificateFile;
    const std::string dir = m_certs.Directory();
    const std::string& cert = m_certs.Client().certificateFile;
    std::ofstream(dir + "/not-pem.pem") << "not a certificate\n";
    const std::string encrypted = dir + "/encrypted-key.pem";
    {
        // The client's key under a passphrase: the library never prompts for one.
        BIO* text = BIO_new_mem_buf(m_certs.Client().privateKeyPem.data(), -1);
        EVP_PKEY* key = PEM_read_bio_PrivateKey(text, nullptr, nullptr, nullptr);
        BIO* out = BIO_new_file(encrypted.c_str(), "w");
        char passphrase[] = "passphrase";
        ASSERT_EQ(PEM_write_bio_PrivateKey(out, key, EVP_aes_128_cbc(), nullptr, 0, nullptr, passphrase), 1);
        BIO_free(out);
        EVP_PKEY_free(key);
        BIO_free(text);
    }
    struct Case {
        std::string certFile;
        std::string keyFile;
        std::string error;
    };
    const Case cases[] = {
        {dir + "/missing.pem", "", "cannot read the client certificate file '" + dir + "/missing.pem': No such file"},
        {cert, dir + "/missing-key.pem", "cannot read the client key file '" + dir + "/missing-key.pem'"},
        {dir + "/not-pem.pem", "", "no PEM certificate in the client certificate file '" + dir + "/not-pem.pem'"},
        {cert, "", "no unencrypted PEM private key in the client key file '" + cert + "'"},
        {cert, encrypted, "no unencrypted PEM private key in the client key file '" + encrypted + "'"},
        {cert, m_certs.Server().privateKeyFile,
         "the private key in '" + m_certs.Server().privateKeyFile + "' does not belong to the client certificate"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.certFile + " " + c.keyFile);
        m_log.Clear();
        m_conn.Curl().SetClientCertificate(c.certFile, c.keyFile);
        std::string error;
        EXPECT_FALSE(m_conn.Curl().LoadClientCertificate(error));
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
        EXPECT_FALSE(Get(base));
        ExpectFailure(TeskLibCurlFailure::Tls);
        ExpectOneErrorLine({c.error});
    }
    EXPECT_EQ(m_connections.load(), 0);
    // Mended, the same handle connects.
    m_conn.Curl().SetClientCertificate(cert, m_certs.Client().privateKeyFile);
    EXPECT_TRUE(Get(base)) << Result().strError;
}

// ---------------------------------------------------------------------------
// Through a proxy of the tests' own, which counts what passes

class ProxyTransportTest : public TlsTransportTest {
protected:
    void SetUp() override { ASSERT_TRUE(m_proxy.Start()); }
    void TearDown() override {
        m_proxy.Stop();
        TlsTransportTest::TearDown();
    }

    bool UseProxy(const std::string& url) {
        std::string error;
        const bool accepted = m_conn.Curl().SetProxy(url, error);
        EXPECT_TRUE(accepted) << error;
        return accepted;
    }

    cstest::TestProxy m_proxy;
};

TEST_F(ProxyTransportTest, PlainHttpGoesInAbsoluteFormAndHttpsThroughOneTunnel) {
    std::vector<std::string> seenByServer;
    const std::string plain = Serve([&seenByServer](const RawRequest& request) {
        seenByServer.push_back(request.target);
        return Bytes(Answer(R"({"plain":true})"));
    });
    ASSERT_TRUE(UseProxy(m_proxy.Url()));
    ASSERT_TRUE(Get(plain)) << Result().strError;
    EXPECT_EQ(m_response, R"({"plain":true})");
    ASSERT_EQ(m_proxy.Passages().size(), 1u);
    EXPECT_EQ(m_proxy.Passages()[0].method, "GET");
    EXPECT_EQ(m_proxy.Passages()[0].target, plain + kPath);
    EXPECT_EQ(seenByServer, std::vector<std::string>{kPath});

    m_listener->Stop();
    m_conn.Tls().strCaFile = m_certs.Ca().certificateFile;
    const std::string secure = ServeTls(m_certs.Server());
    ASSERT_TRUE(Get(secure)) << Result().strError;
    ASSERT_TRUE(Get(secure)) << Result().strError;
    EXPECT_EQ(m_response, R"({"ok":true})");
    EXPECT_EQ(m_proxy.Count("CONNECT"), 1u) << "the tunnel is kept for the next request";
    EXPECT_EQ(m_proxy.Passages().back().target, secure.substr(std::string("https://").size()));
    EXPECT_EQ(m_proxy.Count("GET"), 1u) << "nothing of the https requests shows to the proxy";
    EXPECT_TRUE(m_log.Errors().empty()) << m_log.AllText();
}

// The library reads no environment: the proxy variables curl itself would follow change nothing.
TEST_F(ProxyTransportTest, TheEnvironmentsProxyVariablesAreIgnored) {
    const std::string base = ServeAlways(Answer("{}"));
    const char* const names[] = {"http_proxy", "HTTPS_PROXY", "all_proxy", "no_proxy"};
    for (const char* name : names) setenv(name, std::string(name) == "no_proxy" ? "*" : m_proxy.Url().c_str(), 1);
    const bool direct = Get(base);
    EXPECT_EQ(m_proxy.Passages().size(), 0u);
    ASSERT_TRUE(UseProxy(m_proxy.Url()));
    const bool proxied = Get(base);
    for (const char* name : names) unsetenv(name);
    EXPECT_TRUE(direct) << Result().strError;
    EXPECT_TRUE(proxied) << Result().strError;
    EXPECT_EQ(m_proxy.Count("GET"), 1u) << "no_proxy=* in the environment must not send it around the proxy";
}

TEST_F(ProxyTransportTest, FailuresOnTheWayNameTheProxyButNeverItsCredentials) {
    const std::string plain = ServeAlways(Answer("{}"));
    const std::string secure = "https://" + plain.substr(std::string("http://").size());
    const std::string proxy = m_proxy.HostPort();
    cstest::ClosedPort closed;
    const std::string closedProxy = cstest::ProcessLoopbackAddress() + ":" + std::to_string(closed.Port());
    struct Case {
        const char* what;
        std::string proxyUrl;
        std::string url;
        std::function<void()> arrange;
        std::string error;
    };
    const Case cases[] = {
        {"the proxy refuses the connection", "http://user:pw-s3cret@" + closedProxy, plain, [] {},
         "cannot connect to the proxy " + closedProxy + ": "},
        {"CONNECT without the right credentials", "http://user:pw-s3cret@" + proxy, secure,
         [this] { m_proxy.RequireCredentials("user", "other"); },
         "the proxy " + proxy + " answered CONNECT with HTTP 407 (it wants credentials"},
        {"a plain request without them", "http://user:pw-s3cret@" + proxy, plain, [] {},
         "the proxy " + proxy + " answered HTTP 407"},
        {"CONNECT refused", "http://" + proxy, secure,
         [this] {
             m_proxy.RequireCredentials("", "");
             m_proxy.RefuseWith(403);
         },
         "the proxy " + proxy + " answered CONNECT with HTTP 403 (it refuses"},
        {"CONNECT to a name the proxy cannot resolve", "http://" + proxy, "https://cloud.example.invalid:8443",
         [this] { m_proxy.RefuseWith(0); },
         "the proxy " + proxy + " answered CONNECT with HTTP 502 (it cannot reach the server"},
        {"a plain request to such a name", "http://" + proxy, "http://cloud.example.invalid:8080", [] {},
         "the proxy " + proxy + " answered HTTP 502 (it cannot reach the server"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        m_log.Clear();
        c.arrange();
        ASSERT_TRUE(UseProxy(c.proxyUrl));
        EXPECT_FALSE(Get(c.url));
        ExpectFailure(TeskLibCurlFailure::Proxy);
        ExpectOneErrorLine({"no answer from the server at", c.error});
        EXPECT_EQ(m_log.AllText().find("pw-s3cret"), std::string::npos) << m_log.AllText();
        EXPECT_EQ(m_log.AllText().find("user:"), std::string::npos) << m_log.AllText();
        EXPECT_EQ(Result().strError.find("pw-s3cret"), std::string::npos) << Result().strError;
    }
    EXPECT_EQ(m_connections.load(), 0) << "no request reached the server";
    // The right credentials pass, as curl sends them: Basic, from the URL's percent-decoded user info.
    m_proxy.RequireCredentials("user", "pw s3cret");
    ASSERT_TRUE(UseProxy("http://user:pw%20s3cret@" + proxy));
    EXPECT_TRUE(Get(plain)) << Result().strError;
    EXPECT_EQ(m_connections.load(), 1);
}

TEST_F(ProxyTransportTest, UrlsOfOtherFormsAreRefusedAndNothingIsSentUntilOneIsAccepted) {
    const std::string base = ServeAlways(Answer("{}"));
    const std::string proxy = m_proxy.HostPort();
    for (const std::string& url :
         {"HTTP://" + proxy, "https://" + proxy, "socks5h://user:pw@" + proxy, "http://" + proxy + "/",
          std::string("http://[::1]:3128"), std::string("http://proxy.example")}) {
        std::string error;
        EXPECT_TRUE(m_conn.Curl().SetProxy(url, error)) << url << ": " << error;
    }
    const struct {
        std::string url;
        const char* error;
    } refused[] = {
        {"ftp://" + proxy, "the proxy scheme 'ftp' is not http, https or socks5h"},
        {"socks5://" + proxy, "the proxy scheme 'socks5' is not http, https or socks5h"},
        {proxy, "a proxy URL starts with http://, https:// or socks5h://"},
        {"pw-s3cret@" + proxy + "/?next=http://x", "a proxy URL starts with http://, https:// or socks5h://"},
        {"http://user:pw-s3cret@", "the proxy URL names no host"},
        {"http://" + cstest::ProcessLoopbackAddress() + ":0", "the proxy port is no number from 1 to 65535"},
        {"http://" + cstest::ProcessLoopbackAddress() + ":65536", "the proxy port is no number from 1 to 65535"},
        {"http://user:pw-s3cret@" + proxy + "/path", "a proxy URL has no path, query or fragment"},
        {"http://" + proxy + "?x=1", "a proxy URL has no path, query or fragment"},
        {"http://" + proxy + "\r\nX-Injected: 1", "the proxy URL holds a blank or a control character"},
    };
    for (const auto& c : refused) {
        SCOPED_TRACE(c.url);
        m_log.Clear();
        std::string error;
        EXPECT_FALSE(m_conn.Curl().SetProxy(c.url, error));
        EXPECT_EQ(error, c.error);
        EXPECT_EQ(m_conn.Curl().ProxyRefusal(), std::string("proxy refused: ") + c.error);
        EXPECT_FALSE(Get(base));
        ExpectFailure(TeskLibCurlFailure::Proxy);
        ExpectOneErrorLine({"proxy refused: " + std::string(c.error)});
        EXPECT_EQ(m_log.AllText().find("pw-s3cret"), std::string::npos) << m_log.AllText();
    }
    EXPECT_EQ(m_connections.load(), 0);
    EXPECT_EQ(m_proxy.Passages().size(), 0u);
    ASSERT_TRUE(UseProxy(""));
    EXPECT_TRUE(Get(base)) << Result().strError;
}

#ifndef CSTEST_SANITIZED
TEST_F(TransportTest, CompressionBombStaysWithinTheCapPlusAFewMebibytes) {
    // Growing one string to the cap would hold the old half and the new whole at once.
    constexpr std::size_t kCap = std::size_t{128} << 20;
    const std::string bomb = cstest::DeflateRepeated(std::string(std::size_t{1} << 20, '\0'), kCap / (1u << 20) + 8);
    ASSERT_FALSE(bomb.empty());
    // A first small answer, on the same connection and listener thread, sets up their memory
    // before the cap.
    const std::string small = Answer("{}");
    const std::string large = Answer(bomb, "Content-Encoding: deflate\r\n");
    std::atomic<int> requests{0};
    const std::string base = Serve([&](const RawRequest&) { return Bytes(requests++ == 0 ? small : large); });
    m_conn.Limits().ullMaxBodyBytes = kCap;
    ASSERT_TRUE(Get(base));
    m_log.Clear();
    bool ok = true;
    {
        cstest::AddressSpaceCap cap(kCap + (std::size_t{40} << 20));
        ASSERT_TRUE(cap.Ok());
        ok = Get(base);
    }
    EXPECT_FALSE(ok);
    ExpectFailure(TeskLibCurlFailure::TooLarge);
    ExpectOneErrorLine({"answer body larger than the limit of 134217728 bytes"});
    EXPECT_EQ(m_connections.load(), 1);
}
#endif

}  // namespace
