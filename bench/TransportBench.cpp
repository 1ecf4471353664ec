// Sends small requests over one kept-alive connection to an in-process server on a loopback
// address and prints what one request costs: wall time, and the CPU time of the calling thread
// (which leaves out the server's share). The server is a bare socket loop that answers every
// request with the same bytes, so that the figures are the client's.
//
//   transport_bench [requests, default 5000]

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "LoopbackAddress.h"
#include "Measure.h"
#include "TeskRestApiConnection.h"

namespace {

// Answers each request of one connection with @p answer until the client closes.
void Serve(int listener, const std::string& answer) {
    const int client = accept(listener, nullptr, nullptr);
    if (client < 0) {
        return;
    }
    const int on = 1;
    setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    std::string pending;
    char buffer[8192];
    for (;;) {
        const ssize_t got = recv(client, buffer, sizeof buffer, 0);
        if (got <= 0) {
            break;
        }
        pending.append(buffer, static_cast<std::size_t>(got));
        std::size_t end = 0;
        while ((end = pending.find("\r\n\r\n")) != std::string::npos) {
            pending.erase(0, end + 4);
            if (send(client, answer.data(), answer.size(), MSG_NOSIGNAL) < 0) {
                break;
            }
        }
    }
    close(client);
}

}  // namespace

int main(int argc, char** argv) {
    const int requests = argc > 1 ? std::atoi(argv[1]) : 5000;
    // The address of this process, as the tests use: never shared with another process.
    const std::string address = cstest::ProcessLoopbackAddress();
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in where{};
    where.sin_family = AF_INET;
    socklen_t length = sizeof where;
    inet_pton(AF_INET, address.c_str(), &where.sin_addr);
    if (bind(listener, reinterpret_cast<sockaddr*>(&where), sizeof where) != 0 || listen(listener, 4) != 0 ||
        getsockname(listener, reinterpret_cast<sockaddr*>(&where), &length) != 0) {
        std::fprintf(stderr, "cannot listen on %s\n", address.c_str());
        return 1;
    }
    const std::string body = R"({"listzonesresponse":{"count":1,"zone":[{"id":"1","name":"zone1"}]}})";
    const std::string answer = "HTTP/1.1 200 OK\r\nContent-Type: application/json;charset=utf-8\r\nContent-Length: " +
                               std::to_string(body.size()) + "\r\n\r\n" + body;
    std::thread server([listener, &answer] { Serve(listener, answer); });

    int failures = 0;
    double wall = 0;
    double cpuMs = 0;
    {
        TeskRestApiConnection connection;
        connection.SetContentType("Content-Type: application/json; charset=UTF-8");
        connection.connect("http://" + address + ":" + std::to_string(ntohs(where.sin_port)), false, "");
        std::string response;
        const std::string path = "/client/api?command=listZones&response=json&sessionkey=abcdefghijklmnopqrstuvwxyz0";
        for (int i = 0; i < 100; ++i) {
            failures += connection.get(path, response, nullptr) ? 0 : 1;
        }
        const auto started = std::chrono::steady_clock::now();
        const double cpuStarted = csbench::ThreadCpuMs();
        for (int i = 0; i < requests; ++i) {
            failures += connection.get(path, response, nullptr) ? 0 : 1;
        }
        cpuMs = csbench::ThreadCpuMs() - cpuStarted;
        wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    }
    server.join();
    close(listener);

    std::printf("%d requests over one connection, %d failed\n", requests, failures);
    std::printf("wall %.1f us per request, client thread CPU %.1f us per request\n", wall * 1e6 / requests,
                cpuMs * 1e3 / requests);
    return failures == 0 ? 0 : 1;
}
