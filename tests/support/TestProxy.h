#pragma once

// An HTTP proxy for tests, built on RawListener, on this process's loopback address and a port of its own. It
// counts what passes: a plain http request in absolute form ("GET http://host:port/path HTTP/1.1") is sent on to
// its server and the answer handed back; CONNECT opens a tunnel to the server. It goes only to 127.x.y.z addresses:
// any other destination is answered 502, as a proxy that cannot resolve the server's name answers.
//
//     cstest::TestProxy proxy;
//     ASSERT_TRUE(proxy.Start());
//     wrapper.SetProxy(proxy.Url());
//     ...
//     EXPECT_EQ(proxy.Count("CONNECT"), 1u);

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

#include "RawListener.h"

namespace cstest {

/// One request that reached the proxy.
struct ProxyPassage {
    std::string method;              ///< "CONNECT", "GET", "POST", ...
    std::string target;              ///< as received: "http://host:port/path?query", or "host:port" for CONNECT
    std::string proxyAuthorization;  ///< the Proxy-Authorization header; empty without one
    int connection = 0;              ///< which of the proxy's client connections carried it: 1, 2, ...
};

class TestProxy {
public:
    TestProxy();
    ~TestProxy();
    TestProxy(const TestProxy&) = delete;
    TestProxy& operator=(const TestProxy&) = delete;

    /// @brief Listens on this process's loopback address and a free port before it returns.
    bool Start();
    void Stop();
    /// @return "http://<address>:<port>"
    std::string Url() const;
    /// @return "<address>:<port>", as a client's messages name the proxy
    std::string HostPort() const;

    /// @brief From now on a request without these credentials (Basic) is answered 407; both empty: none required.
    void RequireCredentials(const std::string& user, const std::string& password);
    /// @brief From now on every request is answered with @p status (403, ...) and carried nowhere; 0 carries them.
    void RefuseWith(int status);

    std::vector<ProxyPassage> Passages() const;
    /// @return how many requests of @p method reached the proxy
    std::size_t Count(const std::string& method) const;

private:
    RawAnswer Handle(const RawRequest& request);

    RawListener listener_;
    mutable std::mutex mutex_;
    std::vector<ProxyPassage> passages_;
    std::string credentials_;  // the Proxy-Authorization value required; empty for none
    int refusal_ = 0;
};

}  // namespace cstest
