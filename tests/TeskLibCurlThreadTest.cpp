// Eight threads, each with a connection of its own, send requests at the same time. Run under
// ThreadSanitizer this shows that connections share nothing unguarded; in every build it shows
// that each keeps its one TCP connection.

#include <gtest/gtest.h>
#include <httplib.h>

#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackAddress.h"
#include "TeskRestApiConnection.h"

namespace {

constexpr int kThreads = 8;
constexpr int kRequestsPerThread = 200;

TEST(TeskLibCurlThreadTest, EightConnectionsInEightThreadsEachKeepOneTcpConnection) {
    httplib::Server server;
    server.new_task_queue = [] { return new httplib::ThreadPool(kThreads + 2); };
    server.set_keep_alive_max_count(kRequestsPerThread + 10);
    server.set_keep_alive_timeout(30);
    // Without it each answer waits for the client's delayed ACK between header and body writes.
    server.set_tcp_nodelay(true);
    std::mutex mutex;
    std::map<std::string, std::set<int>> portsByThread;
    std::map<std::string, int> requestsByThread;
    server.Get("/client/api", [&](const httplib::Request& req, httplib::Response& res) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            const std::string thread = req.get_param_value("thread");
            portsByThread[thread].insert(req.remote_port);
            ++requestsByThread[thread];
        }
        res.set_content(R"({"listzonesresponse":{"count":1,"zone":[{"name":"z"}]}})", "application/json");
    });
    const int port = server.bind_to_any_port(cstest::ProcessLoopbackAddress());
    ASSERT_GT(port, 0);
    // The socket listens from here on: connections wait in its backlog until the loop accepts.
    std::thread listener([&server] { server.listen_after_bind(); });

    std::vector<int> successes(kThreads, 0);
    std::vector<std::thread> clients;
    for (int t = 0; t < kThreads; ++t) {
        clients.emplace_back([t, port, &successes] {
            TeskRestApiConnection connection;
            connection.SetContentType("Content-Type: application/json; charset=UTF-8");
            if (!connection.connect("http://" + cstest::ProcessLoopbackAddress() + ":" + std::to_string(port), false,
                                    "")) {
                return;
            }
            std::string response;
            const std::string path = "/client/api?command=listZones&thread=" + std::to_string(t);
            for (int i = 0; i < kRequestsPerThread; ++i) {
                if (connection.get(path, response, nullptr) && response.find("zone") != std::string::npos) {
                    ++successes[static_cast<std::size_t>(t)];
                }
            }
        });
    }
    for (std::thread& client : clients) {
        client.join();
    }
    server.stop();
    listener.join();

    std::set<int> allPorts;
    for (int t = 0; t < kThreads; ++t) {
        const std::string thread = std::to_string(t);
        EXPECT_EQ(successes[static_cast<std::size_t>(t)], kRequestsPerThread) << "thread " << t;
        EXPECT_EQ(requestsByThread[thread], kRequestsPerThread) << "thread " << t;
        EXPECT_EQ(portsByThread[thread].size(), 1u) << "thread " << t;
        allPorts.insert(portsByThread[thread].begin(), portsByThread[thread].end());
    }
    EXPECT_EQ(allPorts.size(), static_cast<std::size_t>(kThreads));
}

}  // namespace
