#pragma once

// Bare sockets on this process's loopback address, for what no well-behaved server or client does.

#include <string>

namespace cstest {

/// @brief Sends @p request exactly as given (an HTTP client library would sort and re-encode it) on a new
///        connection to @p address:@p port.
/// @return everything the server writes back until it closes; empty when the connection fails.
std::string RawExchange(const std::string& address, int port, const std::string& request);

/// @brief A TCP connection to @p address:@p port, as a proxy makes one for its client; only 127.x.y.z addresses.
/// @return the connected socket, which the caller closes; -1 when refused or the connection fails.
int ConnectLoopback(const std::string& address, int port);

/// A socket bound to a free port of this process's address but not listening: a SYN to it is answered with a reset.
class ClosedPort {
public:
    ClosedPort();
    ~ClosedPort();
    ClosedPort(const ClosedPort&) = delete;
    ClosedPort& operator=(const ClosedPort&) = delete;
    /// @return the bound port; 0 when binding failed.
    int Port() const { return m_port; }
    int Fd() const { return m_fd; }

private:
    int m_fd{-1};
    int m_port{0};
};

/// A listening socket on this process's address whose accept queue is full: the kernel drops every further SYN,
/// as a firewall or an overloaded server does.
class FullBacklog {
public:
    FullBacklog();
    ~FullBacklog();
    FullBacklog(const FullBacklog&) = delete;
    FullBacklog& operator=(const FullBacklog&) = delete;
    /// @return the port; 0 when the queue could not be filled.
    int Port() const { return m_port; }

private:
    ClosedPort m_listener;
    int m_filler{-1};
    int m_port{0};
};

}  // namespace cstest
