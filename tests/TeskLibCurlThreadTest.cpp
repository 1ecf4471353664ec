// Eight threads, each with a connection of its own, send requests at the same time. Run under
// ThreadSanitizer this shows that connections share nothing unguarded; in every build it shows
// that each keeps its one TCP connection. The listener is the project's own (instrumented like
// the rest), so that a report points at the transport and not at a prebuilt server library.

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "LoopbackAddress.h"
#include "RawListener.h"
#include "TeskRestApiConnection.h"

namespace {

constexpr int kThreads = 8;
constexpr int kRequestsPerThread = 200;

TEST(TeskLibCurlThreadTest, EightConnectionsInEightThreadsEachKeepOneTcpConnection) {
    std::mutex mutex;
    std::map<std::string, std::set<int>> connectionsByThread;
    std::map<std::string, int> requestsByThread;
    const std::string body = R"({"listzonesresponse":{"count":1,"zone":[{"name":"z"}]}})";
    cstest::RawListener listener([&](const cstest::RawRequest& request) {
        const std::string::size_type at = request.target.find("thread=");
        const std::string thread = at == std::string::npos ? "?" : request.target.substr(at + 7);
        {
            std::lock_guard<std::mutex> lock(mutex);
            connectionsByThread[thread].insert(request.connection);
            ++requestsByThread[thread];
        }
        cstest::RawAnswer answer;
        answer.bytes = cstest::FormatResponse(200, {{"Content-Type", "application/json"}}, body);
        return answer;
    });
    cstest::ListenOptions options;
    options.port = 0;
    ASSERT_TRUE(listener.Start(cstest::ProcessLoopbackAddress(), options));
    const std::string base = "http://" + cstest::ProcessLoopbackAddress() + ":" + std::to_string(listener.Port());

    std::vector<int> successes(kThreads, 0);
    std::vector<std::thread> clients;
    for (int t = 0; t < kThreads; ++t) {
        clients.emplace_back([t, &base, &successes] {
            TeskRestApiConnection connection;
            connection.SetContentType("Content-Type: application/json; charset=UTF-8");
            if (!connection.connect(base, false, "")) {
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
    listener.Stop();

    std::set<int> allConnections;
    for (int t = 0; t < kThreads; ++t) {
        const std::string thread = std::to_string(t);
        EXPECT_EQ(successes[static_cast<std::size_t>(t)], kRequestsPerThread) << "thread " << t;
        EXPECT_EQ(requestsByThread[thread], kRequestsPerThread) << "thread " << t;
        EXPECT_EQ(connectionsByThread[thread].size(), 1u) << "thread " << t;
        allConnections.insert(connectionsByThread[thread].begin(), connectionsByThread[thread].end());
    }
    EXPECT_EQ(allConnections.size(), static_cast<std::size_t>(kThreads));
}

}  // namespace
