#include "TestProxy.h"

#include <openssl/evp.h>

#include <algorithm>
#include <cstdlib>

#include "LoopbackAddress.h"
#include "LoopbackSockets.h"
#include "Text.h"

namespace cstest {
namespace {

// Hop-by-hop lines and the proxy's own are not sent on.
bool SentOn(const std::string& name) {
    const std::string lower = cstools::AsciiLower(name);
    return lower != "connection" && lower != "keep-alive" && lower != "proxy-connection" &&
           lower != "proxy-authorization" && lower != "transfer-encoding" && lower != "content-length";
}

std::string HeaderValue(const RawRequest& request, const std::string& name) {
    for (const auto& [n, v] : request.headers)
        if (cstools::AsciiLower(n) == name) return v;
    return "";
}

// "host:port" into its parts; false for a destination beyond loopback, which this proxy cannot resolve.
bool LoopbackDestination(const std::string& authority, int defaultPort, std::string& host, int& port) {
    const std::size_t colon = authority.rfind(':');
    host = authority.substr(0, colon);
    port = colon == std::string::npos ? defaultPort : std::atoi(authority.c_str() + colon + 1);
    return host.rfind("127.", 0) == 0 && port > 0;
}

RawAnswer CannotResolve(const std::string& host) {
    return Bytes(
        FormatResponse(502, {{"Content-Type", "text/html"}}, "<html><body>cannot resolve " + host + "</body></html>"));
}

}  // namespace

TestProxy::TestProxy() : listener_([this](const RawRequest& request) { return Handle(request); }) {}

TestProxy::~TestProxy() {
    Stop();
}

bool TestProxy::Start() {
    ListenOptions options;
    options.port = 0;
    return listener_.Start(ProcessLoopbackAddress(), options);
}

void TestProxy::Stop() {
    listener_.Stop();
}

std::string TestProxy::Url() const {
    return "http://" + HostPort();
}

std::string TestProxy::HostPort() const {
    return ProcessLoopbackAddress() + ":" + std::to_string(listener_.Port());
}

void TestProxy::RequireCredentials(const std::string& user, const std::string& password) {
    if (user.empty() && password.empty()) {
        std::lock_guard<std::mutex> lock(mutex_);
        credentials_.clear();
        return;
    }
    const std::string plain = user + ":" + password;
    std::string encoded(4 * ((plain.size() + 2) / 3) + 1, '\0');
    const int size =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&encoded[0]),
                        reinterpret_cast<const unsigned char*>(plain.data()), static_cast<int>(plain.size()));
    encoded.resize(static_cast<std::size_t>(size));
    std::lock_guard<std::mutex> lock(mutex_);
    credentials_ = "Basic " + encoded;
}

void TestProxy::RefuseWith(int status) {
    std::lock_guard<std::mutex> lock(mutex_);
    refusal_ = status;
}

std::vector<ProxyPassage> TestProxy::Passages() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return passages_;
}

std::size_t TestProxy::Count(const std::string& method) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<std::size_t>(std::count_if(passages_.begin(), passages_.end(),
                                                  [&method](const ProxyPassage& p) { return p.method == method; }));
}

RawAnswer TestProxy::Handle(const RawRequest& request) {
    const std::string authorization = HeaderValue(request, "proxy-authorization");
    std::string credentials;
    int refusal = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        passages_.push_back({request.method, request.target, authorization, request.connection});
        credentials = credentials_;
        refusal = refusal_;
    }
    if (!credentials.empty() && authorization != credentials) {
        return Bytes(FormatResponse(407, {{"Proxy-Authenticate", "Basic realm=\"cstest proxy\""}}, ""));
    }
    if (refusal != 0) return Bytes(FormatResponse(refusal, {{"Content-Type", "text/html"}}, "<html>refused</html>"));

    std::string host;
    int port = 0;
    if (request.method == "CONNECT") {
        if (!LoopbackDestination(request.target, 443, host, port)) return CannotResolve(host);
        RawAnswer answer = Bytes("HTTP/1.1 200 Connection established\r\n\r\n");
        answer.tunnel = host + ":" + std::to_string(port);
        return answer;
    }
    static const std::string kScheme = "http://";
    if (request.target.rfind(kScheme, 0) != 0) {
        return Bytes(FormatResponse(400, {{"Content-Type", "text/plain"}}, "not a proxy request"), true);
    }
    const std::size_t pathStart = request.target.find('/', kScheme.size());
    const std::string authority = request.target.substr(kScheme.size(), pathStart - kScheme.size());
    if (!LoopbackDestination(authority, 80, host, port)) return CannotResolve(host);
    std::string forwarded = request.method + " " +
                            (pathStart == std::string::npos ? std::string("/") : request.target.substr(pathStart)) +
                            " HTTP/1.1\r\n";
    for (const auto& [name, value] : request.headers)
        if (SentOn(name)) forwarded += name + ": " + value + "\r\n";
    forwarded += "Content-Length: " + std::to_string(request.body.size()) + "\r\nConnection: close\r\n\r\n";
    forwarded += request.body;
    const std::string answer = RawExchange(host, port, forwarded);
    if (answer.empty()) return Bytes(FormatResponse(502, {{"Content-Type", "text/plain"}}, "no answer"));
    return Bytes(answer);
}

}  // namespace cstest
