#pragma once

// The HTTP/1.1 wire format as RawListener reads it: one connection's bytes, plain or TLS, turned into requests.

#include <string>
#include <string_view>

#include "RawListener.h"

struct ssl_st;

namespace cstest {

enum class Got { kOk, kClosed, kBad };

/// One connection's byte stream over a socket or an established TLS session; only one thread uses it.
class Channel {
public:
    /// @param ssl the TLS session on @p fd, or null for plain TCP.
    Channel(int fd, ssl_st* ssl) : fd_(fd), ssl_(ssl) {}

    /// @return false when the connection failed or was shut down before every byte was handed to it.
    bool Send(std::string_view bytes);
    /// @brief Everything up to and including the blank line that ends a head.
    Got Head(std::string& head);
    /// @brief One line without its CRLF.
    Got Line(std::string& line);
    /// @brief Appends exactly @p size bytes to @p out.
    Got Exact(std::size_t size, std::string& out);
    /// @brief Discards whatever arrives, below any TLS, until the connection ends or is shut down.
    void DrainUntilClosed();
    /// @brief What was received and not yet read as a request, handed over and forgotten (for a tunnel).
    std::string TakeBuffered() { return std::move(buffer_); }

private:
    bool Fill();
    Got Take(std::size_t size, std::string& out);

    int fd_;
    ssl_st* ssl_;
    std::string buffer_;  // received, not yet consumed
};

/// @brief Reads the next request: head, then a Content-Length or chunked body (inviting it first when the
///        client sent "Expect: 100-continue").
/// @return kClosed when the connection ended before a complete request, kBad for one that breaks the syntax.
Got ReadRequest(Channel& channel, RawRequest& request);

/// @return true when the client asked to close after this request, or spoke HTTP/1.0 without keep-alive.
bool WantsClose(const RawRequest& request);

}  // namespace cstest
