// Sends small requests over one kept-alive connection to an in-process server on a loopback
// address and prints what one request costs: wall time, and the CPU time of the calling thread
// (which leaves out the server's share).
//
//   transport_bench [requests, default 5000]

#include <httplib.h>
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "TeskRestApiConnection.h"

namespace {

double ThreadCpuSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
    const int requests = argc > 1 ? std::atoi(argv[1]) : 5000;
    const std::string address = "127.1.2.3";
    httplib::Server server;
    server.set_keep_alive_max_count(requests + 100);
    server.set_keep_alive_timeout(60);
    // Without it the answer waits for the client's delayed ACK between header and body writes.
    server.set_tcp_nodelay(true);
    const std::string body = R"({"listzonesresponse":{"count":1,"zone":[{"id":"1","name":"zone1"}]}})";
    server.Get("/client/api",
               [&body](const httplib::Request&, httplib::Response& res) { res.set_content(body, "application/json"); });
    const int port = server.bind_to_any_port(address);
    if (port <= 0) {
        std::fprintf(stderr, "cannot bind %s\n", address.c_str());
        return 1;
    }
    std::thread listener([&server] { server.listen_after_bind(); });

    TeskRestApiConnection connection;
    connection.SetContentType("Content-Type: application/json; charset=UTF-8");
    connection.connect("http://" + address + ":" + std::to_string(port), false, "");
    std::string response;
    const std::string path = "/client/api?command=listZones&response=json&sessionkey=abcdefghijklmnopqrstuvwxyz0";
    int failures = 0;
    for (int i = 0; i < 100; ++i) {
        failures += connection.get(path, response, nullptr) ? 0 : 1;
    }
    const auto started = std::chrono::steady_clock::now();
    const double cpuStarted = ThreadCpuSeconds();
    for (int i = 0; i < requests; ++i) {
        failures += connection.get(path, response, nullptr) ? 0 : 1;
    }
    const double cpu = ThreadCpuSeconds() - cpuStarted;
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    server.stop();
    listener.join();

    std::printf("%d requests over one connection, %d failed\n", requests, failures);
    std::printf("wall %.1f us per request, client thread CPU %.1f us per request\n", wall * 1e6 / requests,
                cpu * 1e6 / requests);
    return failures == 0 ? 0 : 1;
}
