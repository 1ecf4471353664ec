#include "LoopbackSockets.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include "LoopbackAddress.h"

namespace cstest {
namespace {

sockaddr_in Endpoint(const std::string& address, int port) {
    sockaddr_in endpoint{};
    endpoint.sin_family = AF_INET;
    endpoint.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, address.c_str(), &endpoint.sin_addr);
    return endpoint;
}

bool Connect(int fd, const sockaddr_in& endpoint) {
    return connect(fd, reinterpret_cast<const sockaddr*>(&endpoint), sizeof endpoint) == 0;
}

}  // namespace

int ConnectLoopback(const std::string& address, int port) {
    sockaddr_in endpoint = Endpoint(address, port);
    if (address.rfind("127.", 0) != 0 || port <= 0 || port > 65535 ||
        inet_pton(AF_INET, address.c_str(), &endpoint.sin_addr) != 1) {
        return -1;  // never beyond loopback
    }
    const int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock >= 0 && Connect(sock, endpoint)) return sock;
    if (sock >= 0) close(sock);
    return -1;
}

std::string RawExchange(const std::string& address, int port, const std::string& request) {
    const int sock = socket(AF_INET, SOCK_STREAM, 0);
    const timeval limit{30, 0};  // a server that never answers fails the test instead of hanging it
    setsockopt(sock, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    std::string response;
    if (Connect(sock, Endpoint(address, port)) &&
        send(sock, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char buffer[4096];
        for (ssize_t n; (n = recv(sock, buffer, sizeof buffer, 0)) > 0;) {
            response.append(buffer, static_cast<std::size_t>(n));
        }
    }
    close(sock);
    return response;
}

ClosedPort::ClosedPort() : m_fd(socket(AF_INET, SOCK_STREAM, 0)) {
    sockaddr_in address = Endpoint(ProcessLoopbackAddress(), 0);
    socklen_t length = sizeof address;
    if (bind(m_fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&address), &length) == 0) {
        m_port = ntohs(address.sin_port);
    }
}

ClosedPort::~ClosedPort() {
    close(m_fd);
}

FullBacklog::FullBacklog() {
    if (m_listener.Port() == 0 || listen(m_listener.Fd(), 0) != 0) return;
    // The one connection the queue holds, never accepted.
    m_filler = socket(AF_INET, SOCK_STREAM, 0);
    if (Connect(m_filler, Endpoint(ProcessLoopbackAddress(), m_listener.Port()))) m_port = m_listener.Port();
}

FullBacklog::~FullBacklog() {
    close(m_filler);
}

}  // namespace cstest
