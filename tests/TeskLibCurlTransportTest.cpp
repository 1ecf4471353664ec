// Wire-level tests of the transport: every failure kind against a server that misbehaves on
// purpose, the limits (lowered so that each case ends within a fraction of a second), the
// handling of odd but legal answers, and the memory a large answer body may take.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>
#include <zlib.h>

#include <chrono>
#include <cstdio>
#include <fstream>
#include <functional>
#include <initializer_list>
#include <string>

#include "LogCapture.h"
#include "LoopbackAddress.h"
#include "RawHttpServer.h"
#include "TeskLibCurl.h"
#include "TeskRestApiConnection.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define CSTEST_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define CSTEST_SANITIZED 1
#endif
#endif

namespace {

using cstest::RawHttpServer;

constexpr long kLimitMs = 200;
// Upper bound for a case that must end at a lowered limit: far below every default limit,
// far above any scheduling delay.
constexpr long kWellWithinMs = 5000;
const char kPath[] = "/client/api?command=listZones&password=s3cret";

// A raw deflate stream (no zlib wrapper) of @p mebibytes MiB of zeros, built from compressed
// MiBs that repeat: after a full flush the compressor starts afresh, so every MiB after the
// first compresses to the same bytes. Empty when that does not hold (the caller asserts).
std::string DeflatedZeros(std::size_t mebibytes) {
    z_stream stream{};
    if (mebibytes < 3 || deflateInit2(&stream, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY) != Z_OK) {
        return std::string();
    }
    std::string zeros(std::size_t{1} << 20, '\0');
    auto run = [&stream, &zeros](int flush, bool input) {
        std::string out;
        char buffer[1 << 16];
        stream.next_in = input ? reinterpret_cast<Bytef*>(&zeros[0]) : Z_NULL;
        stream.avail_in = input ? static_cast<uInt>(zeros.size()) : 0;
        do {
            stream.next_out = reinterpret_cast<Bytef*>(buffer);
            stream.avail_out = sizeof buffer;
            deflate(&stream, flush);
            out.append(buffer, sizeof buffer - stream.avail_out);
        } while (stream.avail_out == 0);
        return out;
    };
    const std::string first = run(Z_FULL_FLUSH, true);
    const std::string next = run(Z_FULL_FLUSH, true);
    const std::string again = run(Z_FULL_FLUSH, true);
    const std::string end = run(Z_FINISH, false);
    deflateEnd(&stream);
    if (next != again) {
        return std::string();
    }
    std::string body = first + next + again;
    for (std::size_t i = 3; i < mebibytes; ++i) {
        body += next;
    }
    return body + end;
}

std::string Answer(const std::string& body, const std::string& extraHeaders = "") {
    return "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" + extraHeaders + "\r\n" + body;
}

// Answers every request on every connection with @p reply.
RawHttpServer::Script AlwaysAnswer(std::string reply) {
    return [reply](RawHttpServer& server, int client) {
        while (!server.ReadRequest(client).empty() && server.Send(client, reply)) {
        }
    };
}

// Reads the request and says nothing until the client gives up.
void StaySilent(RawHttpServer& server, int client) {
    server.ReadRequest(client);
    server.WaitForClose(client);
}

class TransportTest : public ::testing::Test {
protected:
    // One GET of kPath (or @p path) through the REST base against @p base, timed.
    bool Get(const std::string& base, const std::string& path = kPath) {
        EXPECT_TRUE(m_conn.connect(base, false, ""));
        const auto started = std::chrono::steady_clock::now();
        const bool ok = m_conn.get(path, m_response, nullptr);
        m_elapsedMs = static_cast<long>(
            std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count());
        return ok;
    }
    bool Get(const RawHttpServer& server, const std::string& path = kPath) {
        EXPECT_TRUE(server.Started());
        return Get(server.BaseUrl(), path);
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

    cstest::LogCapture m_log;
    TeskRestApiConnection m_conn;
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

// A socket that is bound but not listening answers a SYN with a reset.
class ClosedPort {
public:
    ClosedPort() {
        m_fd = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in address{};
        address.sin_family = AF_INET;
        socklen_t length = sizeof address;
        inet_pton(AF_INET, cstest::ProcessLoopbackAddress().c_str(), &address.sin_addr);
        if (bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
            m_port = ntohs(address.sin_port);
        }
    }
    ~ClosedPort() { close(m_fd); }
    ClosedPort(const ClosedPort&) = delete;
    ClosedPort& operator=(const ClosedPort&) = delete;
    int Port() const { return m_port; }
    int Fd() const { return m_fd; }

private:
    int m_fd{-1};
    int m_port{0};
};

TEST_F(TransportTest, RefusedConnectionFailsAsConnect) {
    ClosedPort port;
    ASSERT_NE(port.Port(), 0);
    const std::string host = cstest::ProcessLoopbackAddress() + ":" + std::to_string(port.Port());
    EXPECT_FALSE(Get("http://" + host));
    ExpectFailure(TeskLibCurlFailure::Connect);
    EXPECT_EQ(Result().strHost, host);
    ExpectOneErrorLine({"no answer from the server at " + host, "Couldn't connect to server"});
}

TEST_F(TransportTest, DroppedSynFailsAsConnectAtTheConnectTimeout) {
    // A listening socket whose accept queue is full drops every further SYN, as a firewall does.
    ClosedPort listener;
    ASSERT_EQ(listen(listener.Fd(), 0), 0);
    const int filler = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(listener.Port()));
    inet_pton(AF_INET, cstest::ProcessLoopbackAddress().c_str(), &address.sin_addr);
    ASSERT_EQ(connect(filler, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    m_conn.Limits().lConnectTimeoutMs = kLimitMs;
    EXPECT_FALSE(Get("http://" + cstest::ProcessLoopbackAddress() + ":" + std::to_string(listener.Port())));
    close(filler);
    ExpectFailure(TeskLibCurlFailure::Connect);
    ExpectOneErrorLine({"not connected within the connect time-out of 200 ms"});
    EXPECT_GE(m_elapsedMs, kLimitMs);
    EXPECT_LT(m_elapsedMs, kWellWithinMs);
}

// ---------------------------------------------------------------------------
// Time limits

TEST_F(TransportTest, SilentServerFailsAtTheIdleTimeout) {
    RawHttpServer server(StaySilent);
    m_conn.Limits().lIdleTimeoutMs = kLimitMs;
    EXPECT_FALSE(Get(server));
    ExpectFailure(TeskLibCurlFailure::Timeout);
    ExpectOneErrorLine({"no answer from the server at", "no byte received for 200 ms"});
    EXPECT_GE(m_elapsedMs, kLimitMs);
    EXPECT_LT(m_elapsedMs, kWellWithinMs);
}

TEST_F(TransportTest, DrippingServerFailsTheAverageRate) {
    // Ten bytes now and then keep the idle time-out from ever firing.
    RawHttpServer server([](RawHttpServer& s, int client) {
        s.ReadRequest(client);
        if (!s.Send(client, "HTTP/1.1 200 OK\r\nContent-Length: 100000\r\n\r\n")) return;
        while (!s.Pause(20) && s.Send(client, "0123456789")) {
        }
    });
    m_conn.Limits().lIdleTimeoutMs = kWellWithinMs;
    m_conn.Limits().lRateWindowMs = kLimitMs;
    m_conn.Limits().ullMinBytesPerSec = 1024;
    EXPECT_FALSE(Get(server));
    ExpectFailure(TeskLibCurlFailure::Timeout);
    ExpectOneErrorLine({"no complete answer from the server at", "after HTTP status 200",
                        "in the last 200 ms, below the minimum average of 1024 bytes/s"});
    EXPECT_GE(m_elapsedMs, kLimitMs);
    EXPECT_LT(m_elapsedMs, kWellWithinMs);
}

TEST_F(TransportTest, EndlessFastStreamFailsAtTheOverallLimit) {
    RawHttpServer server([](RawHttpServer& s, int client) {
        s.ReadRequest(client);
        if (!s.Send(client, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")) return;
        const std::string chunk = "400\r\n" + std::string(1024, 'x') + "\r\n";
        while (!s.Pause(2) && s.Send(client, chunk)) {
        }
    });
    m_conn.Limits().lIdleTimeoutMs = kWellWithinMs;
    m_conn.Limits().lTotalTimeoutMs = kLimitMs;
    EXPECT_FALSE(Get(server));
    ExpectFailure(TeskLibCurlFailure::Timeout);
    ExpectOneErrorLine({"did not complete within the overall limit of 200 ms"});
    EXPECT_GT(Result().nBytes, 0u);
    EXPECT_GE(m_elapsedMs, kLimitMs);
    EXPECT_LT(m_elapsedMs, kWellWithinMs);
}

TEST_F(TransportTest, AbandonedTransferLeavesTheConnectionUsable) {
    RawHttpServer server([](RawHttpServer& s, int client) {
        if (s.Connections() == 1) {
            StaySilent(s, client);
        } else {
            AlwaysAnswer(Answer("{}"))(s, client);
        }
    });
    m_conn.Limits().lIdleTimeoutMs = kLimitMs;
    EXPECT_FALSE(Get(server));
    EXPECT_TRUE(Get(server));
    EXPECT_EQ(m_response, "{}");
    EXPECT_EQ(server.Connections(), 2);
}

// ---------------------------------------------------------------------------
// Size limits

TEST_F(TransportTest, CompressedBodyOverTheCapFailsAsTooLarge) {
    const std::string bomb = DeflatedZeros(4);
    ASSERT_FALSE(bomb.empty());
    ASSERT_LT(bomb.size(), 64u * 1024);
    RawHttpServer server(AlwaysAnswer(Answer(bomb, "Content-Encoding: deflate\r\n")));
    m_conn.Limits().ullMaxBodyBytes = 1u << 20;
    EXPECT_FALSE(Get(server));
    ExpectFailure(TeskLibCurlFailure::TooLarge);
    ExpectOneErrorLine({"answer body larger than the limit of 1048576 bytes"});
    EXPECT_LE(Result().nBytes, 1u << 20);
}

TEST_F(TransportTest, AnnouncedLengthOverTheCapFailsBeforeTheBody) {
    RawHttpServer server([](RawHttpServer& s, int client) {
        s.ReadRequest(client);
        s.Send(client, "HTTP/1.1 200 OK\r\nContent-Length: 2000000\r\n\r\n");
        s.WaitForClose(client);
    });
    m_conn.Limits().ullMaxBodyBytes = 1u << 20;
    EXPECT_FALSE(Get(server));
    ExpectFailure(TeskLibCurlFailure::TooLarge);
    ExpectOneErrorLine({"answer body larger than the limit of 1048576 bytes"});
    EXPECT_EQ(Result().nBytes, 0u);
}

TEST_F(TransportTest, HeaderLineOverCurlsLimitFailsAsTooLarge) {
    RawHttpServer server(AlwaysAnswer(Answer("{}", "X-Huge: " + std::string(200 * 1024, 'h') + "\r\n")));
    EXPECT_FALSE(Get(server));
    ExpectFailure(TeskLibCurlFailure::TooLarge);
    ExpectOneErrorLine({"header line larger than curl's limit of 102400 bytes"});
    EXPECT_EQ(m_log.AllText().find("Out of memory"), std::string::npos);
}

TEST_F(TransportTest, TenThousandCookieLinesFailAsTooLarge) {
    std::string cookies;
    for (int i = 0; i < 10000; ++i) {
        cookies += "Set-Cookie: c" + std::to_string(i) + "=v\r\n";
    }
    RawHttpServer server(AlwaysAnswer(Answer("{}", cookies)));
    EXPECT_FALSE(Get(server));
    ExpectFailure(TeskLibCurlFailure::TooLarge);
    ExpectOneErrorLine({"more than 100 header lines"});
}

// ---------------------------------------------------------------------------
// Redirects

TEST_F(TransportTest, RedirectFailsNamingTheLocationWithoutItsQuery) {
    RawHttpServer server(AlwaysAnswer(
        "HTTP/1.1 302 Found\r\nLocation: https://user:pw@cloud.example.invalid:8443/api?command=login&password=s3cret"
        "\r\nContent-Length: 0\r\n\r\n"));
    EXPECT_FALSE(Get(server));
    EXPECT_TRUE(Result().bTransportOk);
    EXPECT_EQ(Result().eFailure, TeskLibCurlFailure::None);
    EXPECT_EQ(Result().lHttpStatus, 302);
    EXPECT_EQ(Result().strLocation, "https://cloud.example.invalid:8443/api");
    ExpectOneErrorLine({"redirected it (HTTP 302) to https://cloud.example.invalid:8443/api; use that URL"});
    EXPECT_EQ(m_log.AllText().find("pw@"), std::string::npos);
    // Not followed: the one request went to this server only.
    EXPECT_EQ(server.Connections(), 1);
}

TEST_F(TransportTest, RelativeRedirectIsMadeAbsolute) {
    RawHttpServer server(
        AlwaysAnswer("HTTP/1.1 301 Moved\r\nLocation: /cloud/api?x=1#top\r\nContent-Length: 0\r\n\r\n"));
    EXPECT_FALSE(Get(server));
    EXPECT_EQ(Result().strLocation, server.BaseUrl() + "/cloud/api");
    ExpectOneErrorLine({"(HTTP 301) to " + server.BaseUrl() + "/cloud/api; use that URL"});
}

// ---------------------------------------------------------------------------
// Connections and framing

TEST_F(TransportTest, KeptAliveConnectionClosedByTheServerIsReplaced) {
    // The answer promises nothing about closing; the server closes right after it anyway.
    RawHttpServer server([](RawHttpServer& s, int client) {
        s.ReadRequest(client);
        s.Send(client, Answer("{\"n\":" + std::to_string(s.Connections()) + "}"));
    });
    EXPECT_TRUE(Get(server));
    EXPECT_EQ(m_response, "{\"n\":1}");
    EXPECT_TRUE(Get(server));
    EXPECT_EQ(m_response, "{\"n\":2}");
    EXPECT_EQ(server.Connections(), 2);
    EXPECT_TRUE(m_log.Errors().empty()) << m_log.AllText();
}

TEST_F(TransportTest, ConnectionClosedMidBodyFailsAsTransport) {
    RawHttpServer server([](RawHttpServer& s, int client) {
        s.ReadRequest(client);
        s.Send(client, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nshort");
    });
    EXPECT_FALSE(Get(server));
    ExpectFailure(TeskLibCurlFailure::Transport);
    EXPECT_EQ(Result().lHttpStatus, 200);
    ExpectOneErrorLine({"no complete answer from the server at", "after HTTP status 200"});
}

TEST_F(TransportTest, ContentLengthShorterThanTheBodyCutsItAndDropsTheConnection) {
    RawHttpServer server(AlwaysAnswer("HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nokEXTRA"));
    EXPECT_TRUE(Get(server));
    EXPECT_EQ(m_response, "ok");
    // The surplus must not be read as the start of the next answer.
    EXPECT_TRUE(Get(server));
    EXPECT_EQ(m_response, "ok");
    EXPECT_EQ(server.Connections(), 2);
}

TEST_F(TransportTest, Http10AnswerWithoutLengthEndsWhenTheServerCloses) {
    RawHttpServer server([](RawHttpServer& s, int client) {
        s.ReadRequest(client);
        s.Send(client, "HTTP/1.0 200 OK\r\nContent-Type: application/json\r\n\r\n{\"whole\":true}");
    });
    EXPECT_TRUE(Get(server));
    EXPECT_EQ(m_response, "{\"whole\":true}");
    EXPECT_EQ(Result().lHttpStatus, 200);
}

TEST_F(TransportTest, BrokenChunkingFailsAsTransport) {
    RawHttpServer server(AlwaysAnswer("HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\nabc\r\n0\r\n\r\n"));
    EXPECT_FALSE(Get(server));
    ExpectFailure(TeskLibCurlFailure::Transport);
    ExpectOneErrorLine({"no complete answer from the server at"});
}

// ---------------------------------------------------------------------------
// Bodies

// Bytes that differ from one 4 KiB stretch to the next, so that a block joined out of place shows.
std::string Pattern(std::size_t size) {
    std::string text(size, '\0');
    for (std::size_t i = 0; i < size; ++i) {
        text[i] = static_cast<char>('a' + (i * 7 + (i >> 12)) % 26);
    }
    return text;
}

TEST_F(TransportTest, LargeChunkedBodyArrivesWholeWithZeroPadding) {
    // Past the 16 MiB that one string takes, into the blocks that are joined at the end.
    const std::string body = Pattern(36u << 20);
    RawHttpServer server([&body](RawHttpServer& s, int client) {
        s.ReadRequest(client);
        if (!s.Send(client, "HTTP/1.1 200 OK\r\nTransfer-Encoding: chunked\r\n\r\n")) return;
        const std::size_t piece = 1u << 20;
        char size[32];
        for (std::size_t at = 0; at < body.size(); at += piece) {
            std::snprintf(size, sizeof size, "%zx\r\n", piece);
            if (!s.Send(client, size) || !s.Send(client, body.substr(at, piece)) || !s.Send(client, "\r\n")) return;
        }
        s.Send(client, "0\r\n\r\n");
        s.WaitForClose(client);
    });
    ASSERT_TRUE(Get(server));
    EXPECT_EQ(m_response.size(), body.size());
    EXPECT_TRUE(m_response == body);
    ASSERT_GE(m_response.capacity(), m_response.size() + kTeskBodyPadding);
    EXPECT_EQ(std::string(m_response.data() + m_response.size(), kTeskBodyPadding),
              std::string(kTeskBodyPadding, '\0'));
}

TEST_F(TransportTest, SmallBodiesArePaddedAndTheCallersBufferIsReused) {
    RawHttpServer server(AlwaysAnswer(Answer(R"({"listzonesresponse":{}})")));
    ASSERT_TRUE(Get(server));
    EXPECT_EQ(m_response, R"({"listzonesresponse":{}})");
    ASSERT_GE(m_response.capacity(), m_response.size() + kTeskBodyPadding);
    EXPECT_EQ(std::string(m_response.data() + m_response.size(), kTeskBodyPadding),
              std::string(kTeskBodyPadding, '\0'));
    // The buffers change hands on each answer: the one given back is filled next time but one.
    const char* first = m_response.data();
    ASSERT_TRUE(Get(server));
    ASSERT_TRUE(Get(server));
    EXPECT_EQ(static_cast<const void*>(m_response.data()), static_cast<const void*>(first));
    EXPECT_EQ(server.Connections(), 1);
}

TEST_F(TransportTest, EmptyBodyIsPaddedToo) {
    RawHttpServer server(AlwaysAnswer(Answer("")));
    ASSERT_TRUE(Get(server));
    EXPECT_TRUE(m_response.empty());
    EXPECT_GE(m_response.capacity(), kTeskBodyPadding);
}

#ifndef CSTEST_SANITIZED
std::size_t VmSizeBytes() {
    std::ifstream status("/proc/self/status");
    std::string key;
    while (status >> key) {
        if (key == "VmSize:") {
            std::size_t kib = 0;
            status >> kib;
            return kib * 1024;
        }
        status.ignore(1 << 16, '\n');
    }
    return 0;
}

// Runs the test body with the process's address space capped at what it uses now plus
// @p headroom bytes, so that any allocation beyond it fails there and then.
class AddressSpaceCap {
public:
    explicit AddressSpaceCap(std::size_t headroom) {
        getrlimit(RLIMIT_AS, &m_previous);
        rlimit capped = m_previous;
        capped.rlim_cur = VmSizeBytes() + headroom;
        m_ok = capped.rlim_cur > headroom && setrlimit(RLIMIT_AS, &capped) == 0;
    }
    ~AddressSpaceCap() { setrlimit(RLIMIT_AS, &m_previous); }
    AddressSpaceCap(const AddressSpaceCap&) = delete;
    AddressSpaceCap& operator=(const AddressSpaceCap&) = delete;
    bool Ok() const { return m_ok; }

private:
    rlimit m_previous{};
    bool m_ok{false};
};

TEST_F(TransportTest, CompressionBombStaysWithinTheCapPlusAFewMebibytes) {
    // Growing one string to the cap would hold the old half and the new whole at once.
    constexpr std::size_t kCap = std::size_t{128} << 20;
    const std::string bomb = DeflatedZeros(kCap / (1u << 20) + 8);
    ASSERT_FALSE(bomb.empty());
    // A first small answer, on the same connection and server thread, sets up their memory
    // before the cap.
    const std::string small = Answer("{}");
    const std::string large = Answer(bomb, "Content-Encoding: deflate\r\n");
    RawHttpServer server([&small, &large](RawHttpServer& s, int client) {
        bool first = true;
        while (!s.ReadRequest(client).empty() && s.Send(client, first ? small : large)) {
            first = false;
        }
    });
    m_conn.Limits().ullMaxBodyBytes = kCap;
    ASSERT_TRUE(Get(server));
    m_log.Clear();
    bool ok = true;
    {
        AddressSpaceCap cap(kCap + (std::size_t{40} << 20));
        ASSERT_TRUE(cap.Ok());
        ok = Get(server);
    }
    EXPECT_FALSE(ok);
    ExpectFailure(TeskLibCurlFailure::TooLarge);
    ExpectOneErrorLine({"answer body larger than the limit of 134217728 bytes"});
}
#endif

}  // namespace
