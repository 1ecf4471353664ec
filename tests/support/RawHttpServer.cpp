#include "RawHttpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <utility>

#include "LoopbackAddress.h"

namespace cstest {

RawHttpServer::RawHttpServer(Script script) : m_Script(std::move(script)) {
    if (pipe(m_Wake) != 0) {
        return;
    }
    const int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listener < 0) {
        return;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = 0;
    socklen_t length = sizeof address;
    if (inet_pton(AF_INET, ProcessLoopbackAddress().c_str(), &address.sin_addr) != 1 ||
        bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || listen(listener, 16) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        close(listener);
        return;
    }
    m_nPort = ntohs(address.sin_port);
    m_nListen = listener;
    m_Thread = std::thread([this] { Run(); });
}

RawHttpServer::~RawHttpServer() {
    Stop();
    if (m_nListen >= 0) {
        close(m_nListen);
    }
    for (int fd : m_Wake) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

std::string RawHttpServer::BaseUrl() const {
    return "http://" + ProcessLoopbackAddress() + ":" + std::to_string(m_nPort);
}

void RawHttpServer::Stop() {
    if (!m_bStopping.exchange(true) && m_Wake[1] >= 0) {
        const char byte = 1;
        (void)!write(m_Wake[1], &byte, 1);
    }
    if (m_Thread.joinable()) {
        m_Thread.join();
    }
}

bool RawHttpServer::WaitReadable(int fd, int timeoutMs) {
    pollfd fds[2] = {{fd, POLLIN, 0}, {m_Wake[0], POLLIN, 0}};
    const int ready = poll(fds, 2, timeoutMs);
    return ready > 0 && fds[1].revents == 0 && fds[0].revents != 0;
}

void RawHttpServer::Run() {
    while (WaitReadable(m_nListen, -1)) {
        const int client = accept4(m_nListen, nullptr, nullptr, SOCK_CLOEXEC);
        if (client < 0) {
            continue;
        }
        ++m_nConnections;
        m_Script(*this, client);
        close(client);
    }
}

std::string RawHttpServer::ReadRequest(int client) {
    std::string request;
    char buffer[4096];
    std::size_t headerEnd = std::string::npos;
    std::size_t wanted = 0;
    for (;;) {
        if (headerEnd == std::string::npos) {
            headerEnd = request.find("\r\n\r\n");
            if (headerEnd != std::string::npos) {
                headerEnd += 4;
                const std::string head = request.substr(0, headerEnd);
                for (std::size_t at = head.find("\r\n"); at != std::string::npos; at = head.find("\r\n", at + 2)) {
                    if (strncasecmp(head.c_str() + at + 2, "Content-Length:", 15) == 0) {
                        wanted = std::strtoul(head.c_str() + at + 17, nullptr, 10);
                    }
                }
            }
        }
        if (headerEnd != std::string::npos && request.size() >= headerEnd + wanted) {
            return request;
        }
        if (!WaitReadable(client, -1)) {
            return std::string();
        }
        const ssize_t got = recv(client, buffer, sizeof buffer, 0);
        if (got <= 0) {
            return std::string();
        }
        request.append(buffer, static_cast<std::size_t>(got));
    }
}

bool RawHttpServer::Send(int client, const std::string& data) {
    std::size_t sent = 0;
    while (sent < data.size()) {
        // A client that stopped reading must not keep Stop from ending the script.
        pollfd fds[2] = {{client, POLLOUT, 0}, {m_Wake[0], POLLIN, 0}};
        if (poll(fds, 2, -1) <= 0 || fds[1].revents != 0) {
            return false;
        }
        const ssize_t wrote = send(client, data.data() + sent, data.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (wrote < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            continue;
        }
        if (wrote <= 0) {
            return false;
        }
        sent += static_cast<std::size_t>(wrote);
    }
    return true;
}

bool RawHttpServer::Pause(int ms) {
    pollfd wake{m_Wake[0], POLLIN, 0};
    return poll(&wake, 1, ms) != 0;
}

void RawHttpServer::WaitForClose(int client) {
    char buffer[4096];
    while (WaitReadable(client, -1)) {
        if (recv(client, buffer, sizeof buffer, 0) <= 0) {
            return;
        }
    }
}

}  // namespace cstest
