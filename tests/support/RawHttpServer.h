#pragma once

#include <atomic>
#include <functional>
#include <string>
#include <thread>

namespace cstest {

/// @brief A one-thread TCP server on this process's loopback address and a port of its own,
/// which runs a script on each accepted connection, one connection after the other: for the
/// answers an off-the-shelf server will not give (drips, lies, broken framing, silence).
/// The script waits only on the client or on Stop, never on a clock of the test.
class RawHttpServer {
public:
    /// The script gets the server (for its helpers) and the connected socket, which is closed
    /// when the script returns.
    using Script = std::function<void(RawHttpServer& server, int client)>;

    explicit RawHttpServer(Script script);
    ~RawHttpServer();
    RawHttpServer(const RawHttpServer&) = delete;
    RawHttpServer& operator=(const RawHttpServer&) = delete;

    /// @brief false when the socket could not be bound or listened on.
    bool Started() const { return m_nListen >= 0; }
    /// @brief "http://<address>:<port>".
    std::string BaseUrl() const;
    /// @brief Connections accepted so far.
    int Connections() const { return m_nConnections.load(); }
    /// @brief Wakes a waiting script and joins the thread; called by the destructor.
    void Stop();

    /// @brief Reads one request: up to the blank line, then as many body bytes as its
    /// Content-Length says. Empty when the client closed first or the server stops.
    std::string ReadRequest(int client);
    /// @brief Sends all of @p data; false when the client is gone.
    bool Send(int client, const std::string& data);
    /// @brief Paces a script: waits @p ms unless the server stops first.
    /// @return true when the server is stopping
    bool Pause(int ms);
    /// @brief Waits until the client closes the connection or the server stops.
    void WaitForClose(int client);

private:
    void Run();
    // Waits for @p fd to become readable or the server to stop; false on stop or time-out.
    bool WaitReadable(int fd, int timeoutMs);

    Script m_Script;
    int m_nListen{-1};
    int m_nPort{0};
    int m_Wake[2]{-1, -1};
    std::atomic<int> m_nConnections{0};
    std::atomic<bool> m_bStopping{false};
    std::thread m_Thread;
};

}  // namespace cstest
