#include "HttpFrontEnd.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "ApiRequest.h"
#include "HttpListenerThread.h"
#include "QueryDecoder.h"
#include "Text.h"

namespace cssim {
namespace {

// A request's method or target for the log line: at most 80 bytes, no control characters.
std::string Printable(const std::string& text) {
    std::string shown = cstools::Printable(text.substr(0, 80));
    return shown.empty() ? "-" : shown;
}

SimRequest ToSimRequest(const httplib::Request& request) {
    SimRequest simRequest{request.method, request.target, {}, request.body};
    for (const auto& [name, value] : request.headers) simRequest.headers.emplace_back(name, value);
    return simRequest;
}

void Log(const httplib::Request& request, const httplib::Response& response) {
    // Only the command name: parameters carry the password, the session key and signatures.
    std::string what = request.path;
    if (IsApiPath(request.target)) {
        ApiRequest decoded;
        DecodeApiRequest(ToSimRequest(request), decoded);
        what = decoded.command;
    }
    std::fprintf(stderr, "%s %s %d\n", Printable(request.method).c_str(), Printable(what).c_str(), response.status);
}

// One worker per open connection, made when a connection comes and no worker is free: httplib gives a kept-alive
// connection its worker until the connection closes, so a fixed pool would make a client that opens more
// connections than it has workers wait for other clients' idle ones. At most kMaxWorkers.
class ConnectionWorkers : public httplib::TaskQueue {
public:
    static constexpr std::size_t kMaxWorkers = 256;

    ConnectionWorkers() = default;
    ~ConnectionWorkers() override = default;
    ConnectionWorkers(const ConnectionWorkers&) = delete;
    ConnectionWorkers& operator=(const ConnectionWorkers&) = delete;

    void enqueue(std::function<void()> work) override {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back(std::move(work));
        if (jobs_.size() > idle_ && threads_.size() < kMaxWorkers) {
            threads_.emplace_back([this] { Work(); });
        } else {
            ready_.notify_one();
        }
    }

    // Every connection accepted is served to its end before the workers stop.
    void shutdown() override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stopping_ = true;
        }
        ready_.notify_all();
        for (std::thread& thread : threads_) thread.join();
    }

private:
    void Work() {
        for (;;) {
            std::function<void()> work;
            {
                std::unique_lock<std::mutex> lock(mutex_);
                ++idle_;
                ready_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
                --idle_;
                if (jobs_.empty()) return;
                work = std::move(jobs_.front());
                jobs_.pop_front();
            }
            work();
        }
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::function<void()>> jobs_;
    std::vector<std::thread> threads_;
    std::size_t idle_{0};
    bool stopping_{false};
};

}  // namespace

bool IsLoopbackAddress(const std::string& address) {
    if (address == "::1") return true;
    in_addr parsed{};
    if (inet_pton(AF_INET, address.c_str(), &parsed) != 1) return false;
    return (ntohl(parsed.s_addr) >> 24) == 127;
}

struct HttpFrontEnd::Impl {
    Handler handler;
    FrontEndSettings settings;
    std::unique_ptr<httplib::Server> server;
    std::unique_ptr<cstools::HttpListenerThread> listener;

    void Serve(const httplib::Request& request, httplib::Response& response) {
        SimResponse reply = handler(ToSimRequest(request));
        response.status = reply.status;
        for (const auto& [name, value] : reply.headers) response.headers.emplace(name, value);
        // Moved, not copied: a page of machines is megabytes.
        response.body = std::move(reply.body);
        response.set_header("Content-Type", reply.contentType);
    }

    bool Build() {
        if (settings.certificateFile.empty() != settings.keyFile.empty()) return false;
        if (settings.certificateFile.empty()) {
            server = std::make_unique<httplib::Server>();
        } else {
            server = std::make_unique<httplib::SSLServer>(settings.certificateFile.c_str(), settings.keyFile.c_str());
        }
        if (!server->is_valid()) return false;
        httplib::Server& s = *server;
        s.set_socket_options([](socket_t sock) {
            const int yes = 1;
            // httplib's default adds SO_REUSEPORT, which would let a second simulator share the address and receive
            // half of the connections; without it a taken address makes Start() fail as it should.
            setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
            // httplib writes the head and the body of an answer separately. With Nagle's algorithm the body would
            // wait for the client's delayed ACK of the head (40 ms on Linux). Accepted sockets inherit the option.
            setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof yes);
        });
        // Clients keep connections open between calls (one that runs many commands at once keeps many), and each
        // open one holds a worker: a worker for each, and no early close that would make a client reconnect every
        // few calls.
        s.new_task_queue = [] { return new ConnectionWorkers; };
        s.set_keep_alive_max_count(1000);
        const auto serve = [this](const httplib::Request& request, httplib::Response& response) {
            Serve(request, response);
        };
        s.Get(".*", serve);
        s.Post(".*", serve);
        s.Put(".*", serve);
        s.Delete(".*", serve);
        s.Patch(".*", serve);
        // A POST with neither Content-Length nor chunked body (curl -X POST) has an empty body for the server's
        // container; httplib would refuse it with 400 before routing, so answer it here.
        s.set_pre_routing_handler([this](const httplib::Request& request, httplib::Response& response) {
            if (request.method != "POST" || request.has_header("Content-Length") ||
                request.has_header("Transfer-Encoding")) {
                return httplib::Server::HandlerResponse::Unhandled;
            }
            Serve(request, response);
            return httplib::Server::HandlerResponse::Handled;
        });
        if (settings.log) s.set_logger(Log);
        listener = std::make_unique<cstools::HttpListenerThread>(s);
        return true;
    }
};

HttpFrontEnd::HttpFrontEnd(Handler handler, FrontEndSettings settings) : impl_(std::make_unique<Impl>()) {
    impl_->handler = std::move(handler);
    impl_->settings = std::move(settings);
}

HttpFrontEnd::~HttpFrontEnd() {
    Stop();
}

int HttpFrontEnd::Start(const std::string& address, int port) {
    if (!IsLoopbackAddress(address)) return -1;
    if (!impl_->server && !impl_->Build()) {
        impl_->server.reset();
        return -1;
    }
    return impl_->listener->Start(address, port);
}

void HttpFrontEnd::Stop() {
    if (impl_->listener) impl_->listener->Stop();
}

}  // namespace cssim
