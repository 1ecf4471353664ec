#pragma once

// A small HTTP/1.1 listener for tests, over plain TCP or TLS. Every request is handed to one handler whose
// answer says exactly which bytes go back and how: a well-formed response, or any misbehaviour a fault test
// needs (broken framing, a dripping body, a connection closed mid-answer, no answer at all).
//
//     cstest::RawListener listener([](const cstest::RawRequest& request) {
//         cstest::RawAnswer answer;
//         answer.bytes = cstest::FormatResponse(200, {{"Content-Type", "text/plain"}}, "hello");
//         return answer;
//     });
//     listener.Start(cstest::ProcessLoopbackAddress());  // accepts connections as soon as it returns
//
// Threads: one accepts, one serves each connection, so an idle keep-alive connection or a slow answer never
// holds up another. The handler runs on the connection's thread, concurrently for different connections.

#include <condition_variable>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "TestCertificates.h"

struct ssl_ctx_st;

namespace cstest {

using NameValues = std::vector<std::pair<std::string, std::string>>;

/// One request as it arrived.
struct RawRequest {
    std::string method;   ///< "GET", "POST", ...
    std::string target;   ///< exactly as received, not decoded
    std::string version;  ///< "HTTP/1.1", "HTTP/1.0"
    NameValues headers;   ///< in received order, names as sent, values without surrounding blanks
    std::string body;     ///< Content-Length bytes or the de-chunked body; empty without either
    std::string head;     ///< the request line and header lines byte for byte, through the blank line
    int connection = 0;   ///< 1, 2, ...: the listener's TCP connections, numbered in order of their first request
};

/// What the listener does with one request, in this order: wait delayMs, send bytes, send dripPiece every
/// dripEveryMs (dripCount times, or until the client goes away when 0), hang if asked, then close the connection
/// if asked or if the request said "Connection: close" (or was HTTP/1.0 without keep-alive); otherwise read the
/// next request on the same connection. Stop cuts every wait short and sends nothing more.
struct RawAnswer {
    std::string bytes;  ///< sent exactly as given: any status line, headers, framing, or none
    int delayMs = 0;
    std::string dripPiece;
    int dripEveryMs = 0;
    int dripCount = 0;
    bool hang = false;   ///< after the above, stay silent until the client goes away or Stop
    bool close = false;  ///< close the connection after the above
    /// "127.x.y.z:port": after the above, relay the connection's bytes to and from that address, as a proxy does
    /// after CONNECT, until either side closes or Stop (plain TCP listeners only)
    std::string tunnel;
};

/// @brief An answer that sends @p bytes exactly as given, and closes the connection after them when @p close.
inline RawAnswer Bytes(std::string bytes, bool close = false) {
    RawAnswer answer;
    answer.bytes = std::move(bytes);
    answer.close = close;
    return answer;
}

/// Where and how a listener serves.
struct ListenOptions {
    int port = 8080;                      ///< 0 picks a free port (see Port())
    std::optional<CertificateFiles> tls;  ///< serve HTTPS with this certificate and key (their PEM text)
    /// with tls: demand of every client a certificate that this CA (its PEM text) signed; a client without one, or
    /// with another, fails the handshake. Empty: no client certificate is asked for.
    std::string clientCaPem;
};

/// @brief A well-formed response: status line, the header lines in order, Content-Length unless a header line
///        gives Content-Length or Transfer-Encoding, a blank line, and the body unless @p headOnly (for HEAD).
std::string FormatResponse(int status, const NameValues& headers, const std::string& body, bool headOnly = false);

class RawListener {
public:
    using Handler = std::function<RawAnswer(const RawRequest&)>;

    /// @param handler called for every complete request; an exception it throws becomes a 500 answer.
    explicit RawListener(Handler handler);
    ~RawListener();
    RawListener(const RawListener&) = delete;
    RawListener& operator=(const RawListener&) = delete;

    /// @brief Binds and listens on @p address (127.x.y.z only) before it returns, so a client may connect at once.
    /// @return false when the address is refused, cannot be bound, the TLS identity is unusable, or already running.
    bool Start(const std::string& address, const ListenOptions& options = {});

    /// @brief Shuts every socket down first, then wakes every wait, then joins every thread. Once Stop has begun,
    ///        no byte of any answer leaves. Idempotent; Start may follow.
    void Stop();

    /// @brief Blocks until every connection accepted so far has ended (the client went away, an answer closed it, or
    ///        Stop). Proves that a client dropped a connection, with no time limit of its own.
    void WaitUntilNoConnection();

    bool Running() const;
    /// @return the bound port while running, else the port of the last Start.
    int Port() const;

private:
    struct Connection;

    void AcceptLoop();
    void Serve(Connection& connection);
    bool WaitUnlessStopping(int ms);  // true once Stop began

    Handler handler_;
    ssl_ctx_st* tls_ = nullptr;
    int listenFd_ = -1;
    int wakeFds_[2] = {-1, -1};
    int port_ = 0;
    std::thread acceptThread_;

    mutable std::mutex mutex_;
    std::condition_variable stopping_;
    std::condition_variable ended_;  // a connection ended
    bool stopRequested_ = false;
    std::list<std::unique_ptr<Connection>> connections_;
    int numbered_ = 0;
};

}  // namespace cstest
