#include <arpa/inet.h>
#include <dirent.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>

#include "HttpListenerThread.h"
#include "LoopbackAddress.h"
#include "Simulator.h"

namespace {

/// The TCP_NODELAY setting of every connection this process accepted on @p port: -1 for none found.
int AcceptedNoDelay(int port) {
    int found = -1;
    DIR* fds = opendir("/proc/self/fd");
    if (fds == nullptr) return found;
    while (const dirent* entry = readdir(fds)) {
        const int fd = std::atoi(entry->d_name);
        sockaddr_storage local{};
        socklen_t size = sizeof local;
        int listening = 0;
        socklen_t flagSize = sizeof listening;
        if (fd <= 2 || getsockname(fd, reinterpret_cast<sockaddr*>(&local), &size) != 0 || local.ss_family != AF_INET ||
            getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &flagSize) != 0) {
            continue;
        }
        if (ntohs(reinterpret_cast<const sockaddr_in*>(&local)->sin_port) != port || listening != 0) continue;
        int noDelay = 0;
        socklen_t noDelaySize = sizeof noDelay;
        getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, &noDelaySize);
        found = noDelay;
    }
    closedir(fds);
    return found;
}

class SimulatorFrontEndTest : public ::testing::Test {
protected:
    const std::string address_ = cstest::ProcessLoopbackAddress();
};

TEST_F(SimulatorFrontEndTest, ListenerStartsAndStopsAgainAndAgain) {
    httplib::Server server;
    int served = 0;
    server.Get("/ping", [&served](const httplib::Request&, httplib::Response& response) {
        ++served;
        response.set_content("pong", "text/plain");
    });
    cstools::HttpListenerThread listener(server);
    for (int round = 0; round < 25; ++round) {
        const int port = listener.Start(address_, 0);
        ASSERT_GT(port, 0);
        EXPECT_TRUE(listener.Running());
        if (round % 5 == 0) {
            httplib::Client client(address_, port);
            const auto result = client.Get("/ping");
            ASSERT_TRUE(result);
            EXPECT_EQ(result->body, "pong");
        }
        listener.Stop();  // at once: the accept loop must already run
        EXPECT_FALSE(listener.Running());
    }
    listener.Stop();
    EXPECT_EQ(served, 5);
}

TEST_F(SimulatorFrontEndTest, TakenPortIsRefused) {
    httplib::Server first;
    httplib::Server second;
    // httplib's default options include SO_REUSEPORT, which would let both bind.
    for (httplib::Server* server : {&first, &second}) {
        server->set_socket_options([](socket_t sock) {
            const int yes = 1;
            setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
        });
    }
    cstools::HttpListenerThread one(first);
    cstools::HttpListenerThread two(second);
    const int port = one.Start(address_, 0);
    ASSERT_GT(port, 0);
    EXPECT_EQ(two.Start(address_, port), -1);
    EXPECT_FALSE(two.Running());
    EXPECT_EQ(one.Start(address_, 0), -1) << "already running";
}

TEST_F(SimulatorFrontEndTest, AnswersLeaveWithoutWaitingForAnAck) {
    cssim::SimulatorOptions options;
    options.port = 0;
    cssim::Simulator simulator(std::move(options));
    ASSERT_TRUE(simulator.Start(address_));
    ASSERT_GT(simulator.Port(), 0);
    httplib::Client client(address_, simulator.Port());
    client.set_keep_alive(true);
    const auto result = client.Get("/client/api?command=listZones&response=json");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 401);
    // The connection stays open, so the accepted socket can be inspected.
    EXPECT_EQ(AcceptedNoDelay(simulator.Port()), 1);
    client.stop();
    simulator.Stop();
}

TEST_F(SimulatorFrontEndTest, ServesOnIpv6Loopback) {
    cssim::SimulatorOptions options;
    options.port = 0;
    cssim::Simulator simulator(std::move(options));
    ASSERT_TRUE(simulator.Start("::1"));
    httplib::Client client("::1", simulator.Port());
    const auto result = client.Post("/client/api?command=login&username=admin&password=password&response=json", "",
                                    "application/x-www-form-urlencoded");
    ASSERT_TRUE(result);
    EXPECT_EQ(result->status, 200);
    EXPECT_EQ(result->get_header_value_count("Set-Cookie"), 2u);
}

TEST_F(SimulatorFrontEndTest, MissingCertificateFailsTheStart) {
    cssim::SimulatorOptions options;
    options.port = 0;
    options.tlsCertificateFile = "/nonexistent/server.pem";
    options.tlsKeyFile = "/nonexistent/server.key";
    cssim::Simulator simulator(std::move(options));
    EXPECT_FALSE(simulator.Start(address_));
    EXPECT_EQ(simulator.Port(), 0);
}

}  // namespace
