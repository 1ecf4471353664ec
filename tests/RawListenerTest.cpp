// The raw listener under the test server and the fault tests: request framing, connection numbering, scripted
// misbehaviour, and Stop, which must end every wait and let no answer out once it began.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <future>
#include <mutex>
#include <string>
#include <vector>

#include "LoopbackAddress.h"
#include "RawListener.h"

namespace {

using cstest::FormatResponse;
using cstest::RawAnswer;
using cstest::RawListener;
using cstest::RawRequest;

// A plain TCP client that sends bytes exactly as given.
class RawClient {
public:
    RawClient() {
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(8080);
        ::inet_pton(AF_INET, cstest::ProcessLoopbackAddress().c_str(), &addr.sin_addr);
        const timeval limit{30, 0};  // a listener that never answers fails the test instead of hanging it
        ::setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
        connected_ = ::connect(fd_, reinterpret_cast<const sockaddr*>(&addr), sizeof(addr)) == 0;
    }
    ~RawClient() { ::close(fd_); }

    bool Connected() const { return connected_; }
    bool Send(const std::string& bytes) {
        return ::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(bytes.size());
    }
    // Exactly n bytes, fewer when the connection ends first.
    std::string Read(std::size_t n) {
        std::string out;
        char buf[4096];
        while (out.size() < n) {
            const ssize_t got = ::recv(fd_, buf, std::min(sizeof(buf), n - out.size()), 0);
            if (got <= 0) break;
            out.append(buf, static_cast<std::size_t>(got));
        }
        return out;
    }
    std::string ReadToEnd() { return Read(std::string::npos); }

private:
    int fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
    bool connected_ = false;
};

class RawListenerTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(listener.Start(cstest::ProcessLoopbackAddress())); }

    // Every request is recorded; the next scripted answer goes back, else an echo of the body.
    RawAnswer Handle(const RawRequest& request) {
        std::lock_guard<std::mutex> lock(mutex);
        requests.push_back(request);
        if (handled) handled->set_value();
        handled.reset();
        if (!script.empty()) {
            RawAnswer answer = script.front();
            script.erase(script.begin());
            return answer;
        }
        return Echo(request.body);
    }

    static RawAnswer Echo(const std::string& body) {
        RawAnswer answer;
        answer.bytes = FormatResponse(200, {{"Content-Type", "text/plain"}}, body);
        return answer;
    }

    // Resolves once the next request reached the handler.
    std::future<void> NextRequest() {
        std::lock_guard<std::mutex> lock(mutex);
        handled.emplace();
        return handled->get_future();
    }

    std::mutex mutex;
    std::vector<RawRequest> requests;
    std::vector<RawAnswer> script;
    std::optional<std::promise<void>> handled;
    RawListener listener{[this](const RawRequest& request) { return Handle(request); }};
};

TEST_F(RawListenerTest, ReadsLengthAndChunkedBodiesFromPipelinedRequestsOnOneConnection) {
    RawClient client;
    ASSERT_TRUE(client.Connected());
    ASSERT_TRUE(client.Send(
        "POST /a?x=1 HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\nB-Second:  two words \r\n\r\nhello"
        "POST /b HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n4\r\nWiki\r\n5;ext=1\r\npedia\r\n0\r\nTrailer: t\r\n\r\n"
        "GET /c HTTP/1.1\r\nConnection: close\r\n\r\n"));
    EXPECT_EQ(Echo("hello").bytes + Echo("Wikipedia").bytes + Echo("").bytes, client.ReadToEnd());

    std::lock_guard<std::mutex> lock(mutex);
    ASSERT_EQ(3u, requests.size());
    EXPECT_EQ("POST", requests[0].method);
    EXPECT_EQ("/a?x=1", requests[0].target);
    EXPECT_EQ("HTTP/1.1", requests[0].version);
    EXPECT_EQ((cstest::NameValues{{"Host", "h"}, {"Content-Length", "5"}, {"B-Second", "two words"}}),
              requests[0].headers);
    EXPECT_EQ("Wikipedia", requests[1].body);
    EXPECT_EQ("/c", requests[2].target);
    EXPECT_EQ("", requests[2].body);
    for (const auto& r : requests) EXPECT_EQ(1, r.connection);
}

TEST_F(RawListenerTest, InvitesAnExpectedBodyBeforeReadingIt) {
    RawClient client;
    ASSERT_TRUE(client.Send("PUT /x HTTP/1.1\r\nExpect: 100-continue\r\nContent-Length: 3\r\n\r\n"));
    const std::string invitation = "HTTP/1.1 100 Continue\r\n\r\n";
    EXPECT_EQ(invitation, client.Read(invitation.size()));
    ASSERT_TRUE(client.Send("abc"));
    const std::string answer = Echo("abc").bytes;
    EXPECT_EQ(answer, client.Read(answer.size()));
}

TEST_F(RawListenerTest, NumbersConnectionsByTheirFirstRequestNotByTheirAccept) {
    RawClient first;
    RawClient second;
    const std::string request = "GET / HTTP/1.1\r\n\r\n";
    const std::size_t answerSize = Echo("").bytes.size();
    ASSERT_TRUE(second.Send(request));
    ASSERT_EQ(answerSize, second.Read(answerSize).size());
    ASSERT_TRUE(first.Send(request));
    ASSERT_EQ(answerSize, first.Read(answerSize).size());
    ASSERT_TRUE(second.Send(request));
    ASSERT_EQ(answerSize, second.Read(answerSize).size());

    std::lock_guard<std::mutex> lock(mutex);
    std::vector<int> numbers;
    for (const auto& r : requests) numbers.push_back(r.connection);
    EXPECT_EQ((std::vector<int>{1, 2, 1}), numbers);
}

TEST_F(RawListenerTest, ABrokenRequestGets400AndTheHandlerNeverSeesIt) {
    for (const char* broken :
         {"NONSENSE\r\n\r\n", "GET / HTTP/1.1\r\nno colon\r\n\r\n", "POST / HTTP/1.1\r\nContent-Length: 2x\r\n\r\nab",
          "POST / HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n"}) {
        RawClient client;
        ASSERT_TRUE(client.Send(broken));
        EXPECT_EQ(0u, client.ReadToEnd().rfind("HTTP/1.1 400 ", 0)) << broken;
    }
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_TRUE(requests.empty());
}

TEST_F(RawListenerTest, SendsScriptedBytesExactlyAndClosesWhenAsked) {
    RawAnswer unframed;
    unframed.bytes = "HTTP/1.0 200 OK\r\nX-Odd:\r\n\r\nbody without length";
    unframed.close = true;
    RawAnswer dripped;
    dripped.bytes = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n";
    dripped.dripPiece = "ab";
    dripped.dripCount = 3;  // then closes: the client is left 94 bytes short
    dripped.close = true;
    script = {unframed, dripped};
    for (const std::string& expected : {unframed.bytes, dripped.bytes + "ababab"}) {
        RawClient client;
        ASSERT_TRUE(client.Send("GET / HTTP/1.1\r\n\r\n"));
        EXPECT_EQ(expected, client.ReadToEnd());
    }
}

TEST_F(RawListenerTest, AnEndlessDripStopsWhenTheClientGoesAway) {
    RawAnswer endless;
    endless.bytes = "HTTP/1.1 200 OK\r\nContent-Length: 1000000000\r\n\r\n";
    endless.dripPiece = "x";
    endless.dripEveryMs = 1;
    script = {endless};
    {
        RawClient client;
        ASSERT_TRUE(client.Send("GET / HTTP/1.1\r\n\r\n"));
        EXPECT_EQ(endless.bytes + "xxxxx", client.Read(endless.bytes.size() + 5));
    }
    listener.WaitUntilNoConnection();  // without Stop: the failed write ended the drip
    EXPECT_TRUE(listener.Running());
}

TEST_F(RawListenerTest, StopEndsAHangAndADelayedAnswerWithoutSendingAByte) {
    RawAnswer hang;
    hang.hang = true;
    RawAnswer late = Echo("too late");
    late.delayMs = 3600 * 1000;  // far beyond the test's time limit: only Stop can end it
    script = {hang, late};
    RawClient hanging;
    RawClient waiting;
    auto first = NextRequest();
    ASSERT_TRUE(hanging.Send("GET / HTTP/1.1\r\n\r\n"));
    first.wait();
    auto second = NextRequest();
    ASSERT_TRUE(waiting.Send("GET / HTTP/1.1\r\n\r\n"));
    second.wait();

    listener.Stop();
    EXPECT_FALSE(listener.Running());
    EXPECT_EQ("", hanging.ReadToEnd());
    EXPECT_EQ("", waiting.ReadToEnd());
    listener.Stop();

    // A stopped listener frees its address at once, and starts again.
    ASSERT_TRUE(listener.Start(cstest::ProcessLoopbackAddress()));
    RawClient again;
    ASSERT_TRUE(again.Send("GET / HTTP/1.1\r\nConnection: close\r\n\r\n"));
    EXPECT_EQ(Echo("").bytes, again.ReadToEnd());
}

TEST_F(RawListenerTest, RefusesATakenAddressAndAnyAddressBeyondLoopback) {
    RawListener other([](const RawRequest&) { return RawAnswer{}; });
    EXPECT_FALSE(other.Start(cstest::ProcessLoopbackAddress()));
    EXPECT_FALSE(other.Start("10.0.0.1"));
    EXPECT_FALSE(other.Running());
}

}  // namespace
