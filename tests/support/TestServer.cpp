#include "TestServer.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string_view>

#include "QueryDecoder.h"
#include "Simulator.h"

#ifndef CLOUDSTACK_FIXTURES_DIR
#error "CLOUDSTACK_FIXTURES_DIR must name the fixtures folder"
#endif

namespace cstest {
namespace {

using Json = cssim::Json;  // ordered: keeps the key order of the fixtures

constexpr int kIoTimeoutMs = 60000;  // generous: time-out tests measure the client, not us
constexpr int kKeepAliveMs = 60000;  // an idle connection stays usable as long as any test runs
constexpr std::size_t kHeadLimit = 1 << 16;
const char* const kListCommands[] = {"listProjects", "listZones", "listPods",
                                     "listClusters", "listHosts", "listVirtualMachines"};

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

bool EqualsIgnoreCase(const std::string& a, const std::string& b) {
    return Lower(a) == Lower(b);
}

std::string Trim(std::string_view s) {
    const auto first = s.find_first_not_of(" \t");
    if (first == std::string_view::npos) return {};
    const auto last = s.find_last_not_of(" \t");
    return std::string(s.substr(first, last - first + 1));
}

// Decoded as the server does; a component with a broken escape is recorded as it came.
std::string Decode(std::string_view s) {
    const std::string raw(s);
    std::string decoded;
    return cssim::DecodeComponent(raw, decoded) ? decoded : raw;
}

NameValues ParseQuery(std::string_view text) {
    NameValues out;
    while (!text.empty()) {
        const auto amp = text.find('&');
        const auto piece = text.substr(0, amp);
        text = amp == std::string_view::npos ? std::string_view{} : text.substr(amp + 1);
        if (piece.empty()) continue;
        const auto eq = piece.find('=');
        if (eq == std::string_view::npos) {
            out.emplace_back(Decode(piece), std::string{});
        } else {
            out.emplace_back(Decode(piece.substr(0, eq)), Decode(piece.substr(eq + 1)));
        }
    }
    return out;
}

bool HasValue(const NameValues& values, const std::string& name) {
    return std::any_of(values.begin(), values.end(), [&](const auto& p) { return p.first == name; });
}

std::string LastValue(const NameValues& values, const std::string& name) {
    for (auto it = values.rbegin(); it != values.rend(); ++it) {
        if (it->first == name) return it->second;
    }
    return {};
}

std::string Dump(const Json& j) {
    return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string XmlEscape(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

void AppendXml(const Json& value, const std::string& name, std::string& out) {
    if (value.is_array()) {
        for (const auto& item : value) AppendXml(item, name, out);
        return;
    }
    out += "<" + name + ">";
    if (value.is_object()) {
        for (auto it = value.begin(); it != value.end(); ++it) AppendXml(it.value(), it.key(), out);
    } else if (value.is_string()) {
        out += XmlEscape(value.get<std::string>());
    } else if (!value.is_null()) {
        out += Dump(value);
    }
    out += "</" + name + ">";
}

// Without response=json the server answers XML; a client that forgets the parameter must notice.
void ToXml(Reply& reply) {
    const Json doc = Json::parse(reply.body, nullptr, false);
    if (doc.is_discarded() || !doc.is_object() || doc.size() != 1) return;
    std::string xml = R"(<?xml version="1.0" encoding="UTF-8"?>)";
    AppendXml(doc.begin().value(), doc.begin().key(), xml);
    reply.body = std::move(xml);
    reply.contentType = "text/xml;charset=utf-8";
}

bool IsApiPath(const std::string& path) {
    const std::string api = TestServer::kApiPath;
    return path == api || path.rfind(api + "/", 0) == 0;
}

// Queue/Always keys: the server takes login and logout in any case, every other command exactly.
std::string ScriptKey(const std::string& command) {
    const std::string lower = Lower(command);
    return lower == "login" || lower == "logout" ? lower : command;
}

bool HasBodyFraming(const std::string& head) {
    std::size_t lineStart = head.find("\r\n");
    while (lineStart != std::string::npos && lineStart + 2 < head.size()) {
        lineStart += 2;
        const auto colon = head.find(':', lineStart);
        const auto lineEnd = head.find("\r\n", lineStart);
        if (colon != std::string::npos && colon < lineEnd) {
            const std::string name = Lower(Trim(std::string_view(head).substr(lineStart, colon - lineStart)));
            if (name == "content-length" || name == "transfer-encoding") return true;
        }
        lineStart = lineEnd;
    }
    return false;
}

// The recording keeps the head as received; httplib gets a copy it can parse the way the real
// server would: a '?' inside the query is data (httplib answers 400), and a request without
// Content-Length or chunking has no body (httplib would read a POST body until the connection closes).
std::string HeadForHttplib(std::string head) {
    const auto lineEnd = head.find("\r\n");
    const auto query = head.find('?');
    auto lastSpace = head.rfind(' ', lineEnd);
    if (query != std::string::npos && query < lastSpace) {
        for (auto q = head.find('?', query + 1); q < lastSpace; q = head.find('?', q + 3)) {
            head.replace(q, 1, "%3F");
            lastSpace += 2;
        }
    }
    if (!HasBodyFraming(head)) head.insert(head.size() - 2, "Content-Length: 0\r\n");
    return head;
}

// ---------------------------------------------------------------------------------------------
// Connection handling. httplib reads requests through a Stream; ours reads each request head in
// full first, so the recording has the raw target and the header lines in their real order
// (httplib's own header map is sorted by name).

class ConnectionStream final : public httplib::Stream {
public:
    explicit ConnectionStream(int sock) : sock_(sock) {}

    bool is_readable() const override { return pos_ < buffer_.size() || Wait(POLLIN, kIoTimeoutMs); }
    bool is_writable() const override { return Wait(POLLOUT, kIoTimeoutMs); }

    ssize_t read(char* ptr, size_t size) override {
        if (pos_ == buffer_.size()) {
            const ssize_t got = Fill(kIoTimeoutMs);
            if (got <= 0) return got;
        }
        const std::size_t n = std::min(size, buffer_.size() - pos_);
        std::memcpy(ptr, buffer_.data() + pos_, n);
        pos_ += n;
        return static_cast<ssize_t>(n);
    }

    using httplib::Stream::write;
    ssize_t write(const char* ptr, size_t size) override {
        if (!Wait(POLLOUT, kIoTimeoutMs)) return -1;
        ssize_t n = 0;
        do {
            n = ::send(sock_, ptr, size, MSG_NOSIGNAL);  // a vanished client must not raise SIGPIPE
        } while (n < 0 && errno == EINTR);
        return n;
    }

    void get_remote_ip_and_port(std::string& ip, int& port) const override { Address(true, ip, port); }
    void get_local_ip_and_port(std::string& ip, int& port) const override { Address(false, ip, port); }
    socket_t socket() const override { return sock_; }

    // Waits for the next request (as long as a connection may idle) and buffers its head. False when
    // the connection closed, idled out or was shut down before a request began.
    bool NextRequest() {
        head_.clear();
        buffer_.erase(0, pos_);  // from here on pos_ stays 0, so offsets into buffer_ stay valid
        pos_ = 0;
        if (buffer_.empty() && Fill(kKeepAliveMs) <= 0) return false;
        std::size_t searchFrom = 0;
        for (;;) {
            const auto end = buffer_.find("\r\n\r\n", searchFrom);
            if (end != std::string::npos) {
                head_ = buffer_.substr(0, end + 4);
                buffer_.replace(0, head_.size(), HeadForHttplib(head_));
                return true;
            }
            if (buffer_.size() > kHeadLimit) return true;  // httplib rejects the long head
            searchFrom = buffer_.size() >= 3 ? buffer_.size() - 3 : 0;
            if (Fill(kIoTimeoutMs) <= 0) return true;  // httplib fails on the partial head
        }
    }
    const std::string& Head() const { return head_; }

private:
    bool Wait(short events, int timeoutMs) const {
        pollfd pfd{sock_, events, 0};
        int n = 0;
        do {
            n = ::poll(&pfd, 1, timeoutMs);
        } while (n < 0 && errno == EINTR);
        return n > 0;
    }

    // Appends what the socket has; 0 at end of stream, -1 on error or time-out.
    ssize_t Fill(int timeoutMs) {
        if (pos_ > 0) {
            buffer_.erase(0, pos_);
            pos_ = 0;
        }
        if (!Wait(POLLIN, timeoutMs)) return -1;
        char chunk[4096];
        ssize_t n = 0;
        do {
            n = ::recv(sock_, chunk, sizeof(chunk), 0);
        } while (n < 0 && errno == EINTR);
        if (n > 0) buffer_.append(chunk, static_cast<std::size_t>(n));
        return n;
    }

    void Address(bool remote, std::string& ip, int& port) const {
        sockaddr_storage addr{};
        socklen_t len = sizeof(addr);
        auto* raw = reinterpret_cast<sockaddr*>(&addr);
        if ((remote ? ::getpeername(sock_, raw, &len) : ::getsockname(sock_, raw, &len)) != 0) return;
        char text[INET6_ADDRSTRLEN] = {};
        if (addr.ss_family == AF_INET) {
            const auto* in = reinterpret_cast<const sockaddr_in*>(&addr);
            ::inet_ntop(AF_INET, &in->sin_addr, text, sizeof(text));
            port = ntohs(in->sin_port);
        } else if (addr.ss_family == AF_INET6) {
            const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&addr);
            ::inet_ntop(AF_INET6, &in6->sin6_addr, text, sizeof(text));
            port = ntohs(in6->sin6_port);
        }
        ip = text;
    }

    int sock_;
    std::string buffer_;  // received bytes; those before pos_ are consumed
    std::size_t pos_ = 0;
    std::string head_;  // the current request's head as received
};

struct ConnectionContext {
    ConnectionStream* stream = nullptr;
    long long id = 0;
    bool closeAfter = false;
};
thread_local ConnectionContext tlsConnection;  // httplib runs a request's handler on its connection's thread
std::atomic<long long> nextConnectionId{0};

// One thread per connection: an idle keep-alive connection or a slow answer never holds up another.
class ConnectionThreads final : public httplib::TaskQueue {
public:
    ~ConnectionThreads() override { shutdown(); }

    void enqueue(std::function<void()> fn) override {
        std::lock_guard<std::mutex> lock(mutex_);
        Reap();
        auto done = std::make_shared<std::atomic<bool>>(false);
        workers_.push_back({std::thread([task = std::move(fn), done] {
                                task();
                                *done = true;
                            }),
                            done});
    }

    void shutdown() override {
        std::vector<Worker> all;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            all.swap(workers_);
        }
        for (auto& w : all) w.thread.join();
    }

private:
    struct Worker {
        std::thread thread;
        std::shared_ptr<std::atomic<bool>> done;
    };

    void Reap() {
        for (auto it = workers_.begin(); it != workers_.end();) {
            if (*it->done) {
                it->thread.join();
                it = workers_.erase(it);
            } else {
                ++it;
            }
        }
    }

    std::mutex mutex_;
    std::vector<Worker> workers_;
};

bool ParseHead(const std::string& head, RecordedRequest& out) {
    if (head.size() < 4 || head.compare(head.size() - 4, 4, "\r\n\r\n") != 0) return false;
    std::size_t lineStart = 0;
    bool first = true;
    while (lineStart < head.size()) {
        const auto lineEnd = head.find("\r\n", lineStart);
        const std::string line = head.substr(lineStart, lineEnd - lineStart);
        lineStart = lineEnd + 2;
        if (line.empty()) break;
        if (first) {
            first = false;
            const auto sp1 = line.find(' ');
            const auto sp2 = line.rfind(' ');
            if (sp1 == std::string::npos || sp2 == sp1) return false;
            out.method = line.substr(0, sp1);
            out.target = line.substr(sp1 + 1, sp2 - sp1 - 1);
            continue;
        }
        const auto colon = line.find(':');
        if (colon == std::string::npos) continue;
        out.headers.emplace_back(line.substr(0, colon), Trim(std::string_view(line).substr(colon + 1)));
    }
    return !first;
}

RecordedRequest MakeRecord(const httplib::Request& req) {
    RecordedRequest rec;
    if (tlsConnection.stream == nullptr || !ParseHead(tlsConnection.stream->Head(), rec)) {
        rec = RecordedRequest{};
        rec.method = req.method;
        rec.target = req.target;
        static const std::set<std::string> kAdded{"remote_addr", "remote_port", "local_addr", "local_port"};
        for (const auto& h : req.headers) {
            if (kAdded.count(Lower(h.first)) == 0) rec.headers.emplace_back(h.first, h.second);
        }
    }
    std::string_view target = rec.target;
    // A target in absolute form (as sent to a proxy) still names the same path and query.
    const auto scheme = target.find("://");
    if (scheme != std::string_view::npos && scheme < target.find('/')) {
        const auto slash = target.find('/', scheme + 3);
        target = slash == std::string_view::npos ? std::string_view("/") : target.substr(slash);
    }
    const auto question = target.find('?');
    rec.path = std::string(target.substr(0, question));
    if (question != std::string_view::npos) {
        rec.rawQuery = std::string(target.substr(question + 1));
        rec.params = ParseQuery(rec.rawQuery);
    }
    rec.body = req.body;
    return rec;
}

void ApplyReply(const Reply& reply, httplib::Response& res) {
    res.status = reply.status;
    bool hasType = false;
    for (const auto& h : reply.headers) {
        res.headers.emplace(h.first, h.second);  // emplace keeps repeated names (Set-Cookie) as separate lines
        hasType = hasType || EqualsIgnoreCase(h.first, "Content-Type");
    }
    if (!hasType && !reply.contentType.empty()) res.headers.emplace("Content-Type", reply.contentType);
    res.body = reply.body;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

class TestServer::Listener final : public httplib::Server {
public:
    explicit Listener(TestServer& owner) : owner_(owner) {
        new_task_queue = [] { return new ConnectionThreads; };
        // SO_REUSEADDR only: the default also sets SO_REUSEPORT, which would let a second server
        // bind the same address silently.
        set_socket_options([](socket_t sock) {
            int yes = 1;
            ::setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof(yes));
        });
        set_keep_alive_timeout(kKeepAliveMs / 1000);
        set_keep_alive_max_count(1000000);
        set_read_timeout(kIoTimeoutMs / 1000);
        set_write_timeout(kIoTimeoutMs / 1000);
        set_exception_handler([](const httplib::Request&, httplib::Response& res, std::exception_ptr ep) {
            res.status = 500;
            std::string what = "unknown exception";
            try {
                std::rethrow_exception(ep);
            } catch (const std::exception& e) {
                what = e.what();
            } catch (...) {
            }
            res.set_content("test server: " + what, "text/plain");
        });
        const std::string any = R"([\s\S]*)";
        auto handle = [this](const httplib::Request& req, httplib::Response& res) { Handle(req, res); };
        Get(any, handle);
        Post(any, handle);
        Put(any, handle);
        Patch(any, handle);
        Delete(any, handle);
        Options(any, handle);
    }

    // Shuts down every open connection, now and as they are accepted, so nothing waits out its idle time.
    void CloseAll() {
        std::lock_guard<std::mutex> lock(socketsMutex_);
        closing_ = true;
        for (int sock : sockets_) ::shutdown(sock, SHUT_RDWR);
    }

    std::atomic<bool> finished{false};

private:
    bool process_and_close_socket(socket_t sock) override {
        bool ok = false;
        if (Track(sock)) {
            int yes = 1;  // answers go out in several writes; Nagle would hold the last one back
            ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &yes, sizeof(yes));
            ConnectionStream stream(sock);
            tlsConnection = ConnectionContext{&stream, ++nextConnectionId, false};
            while (stream.NextRequest()) {
                bool closed = false;
                ok = process_request(stream, false, closed, nullptr);
                if (!ok || closed || tlsConnection.closeAfter) break;
            }
            tlsConnection = ConnectionContext{};
            Untrack(sock);
        }
        ::shutdown(sock, SHUT_RDWR);
        ::close(sock);
        return ok;
    }

    void Handle(const httplib::Request& req, httplib::Response& res) {
        Reply reply = owner_.Serve(MakeRecord(req), tlsConnection.id);
        owner_.WaitUnlessStopping(reply.delayMs);
        if (reply.dropWithoutAnswer) {
            if (tlsConnection.stream != nullptr) ::shutdown(tlsConnection.stream->socket(), SHUT_RDWR);
            tlsConnection.closeAfter = true;
            return;
        }
        ApplyReply(reply, res);
        if (reply.closeAfter) tlsConnection.closeAfter = true;
    }

    bool Track(int sock) {
        std::lock_guard<std::mutex> lock(socketsMutex_);
        if (closing_) return false;
        sockets_.insert(sock);
        return true;
    }

    // Before close(): CloseAll must never shut down a descriptor number that was reused.
    void Untrack(int sock) {
        std::lock_guard<std::mutex> lock(socketsMutex_);
        sockets_.erase(sock);
    }

    TestServer& owner_;
    std::mutex socketsMutex_;
    std::set<int> sockets_;
    bool closing_ = false;
};

// ---------------------------------------------------------------------------------------------

std::string RecordedRequest::Command() const {
    return Param("command");
}

bool RecordedRequest::Has(const std::string& name) const {
    return HasValue(params, name);
}

std::string RecordedRequest::Param(const std::string& name) const {
    return LastValue(params, name);
}

std::vector<std::string> RecordedRequest::Headers(const std::string& name) const {
    std::vector<std::string> out;
    for (const auto& h : headers) {
        if (EqualsIgnoreCase(h.first, name)) out.push_back(h.second);
    }
    return out;
}

NameValues RecordedRequest::Cookies() const {
    return cssim::ParseCookies(Headers("Cookie"));
}

std::vector<std::string> RecordedRequest::Cookie(const std::string& name) const {
    std::vector<std::string> out;
    for (const auto& c : Cookies()) {
        if (c.first == name) out.push_back(c.second);
    }
    return out;
}

std::string Fixture(const std::string& fileName) {
    const std::string path = std::string(CLOUDSTACK_FIXTURES_DIR) + "/" + fileName;
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("fixture not found: " + path);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// ---------------------------------------------------------------------------------------------

TestServer::TestServer(std::string address) : address_(std::move(address)) {
    cssim::SimulatorOptions options;
    options.badLoginDelay = std::chrono::milliseconds(0);  // tests of failed logins need no brake
    options.singleSession = true;
    options.permissiveJobs = true;     // scripted start answers carry job ids of their own
    options.refuseUnknownIds = false;  // tests look records up with made-up ids and names
    options.nameFilterOnEveryList = false;
    options.inventory = cssim::Inventory{};
    simulator_ = std::make_unique<cssim::Simulator>(std::move(options));
    for (const char* command : kListCommands) SetDefaultList(command, Fixture(std::string(command) + ".json"));
}

TestServer::~TestServer() {
    Stop();
}

bool TestServer::Start() {
    if (listener_) return true;
    if (address_.rfind("127.", 0) != 0) return false;  // never listen beyond loopback
    auto listener = std::make_unique<Listener>(*this);
    if (!listener->bind_to_port(address_, kPort)) return false;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopRequested_ = false;
    }
    listenThread_ = std::thread([l = listener.get()] {
        l->listen_after_bind();
        l->finished = true;
    });
    while (!listener->is_running() && !listener->finished) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const bool running = listener->is_running();
    listener_ = std::move(listener);
    if (!running) {
        Stop();
        return false;
    }
    return true;
}

void TestServer::Stop() {
    if (!listener_) return;
    // Sockets first: a delayed handler woken before they close could still send its answer.
    listener_->CloseAll();
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopRequested_ = true;
    }
    stopping_.notify_all();
    listener_->stop();
    listenThread_.join();
    listener_.reset();
    simulator_->EndSessions();  // sessions live in the server's memory: a restart ends them
}

bool TestServer::Running() const {
    return listener_ != nullptr;
}
const std::string& TestServer::Address() const {
    return address_;
}
std::string TestServer::BaseUrl() const {
    return "http://" + address_ + ":" + std::to_string(kPort);
}
std::string TestServer::ApiUrl() const {
    return BaseUrl() + kApiPath;
}

void TestServer::Queue(const std::string& command, Reply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    queued_[ScriptKey(command)].push_back(std::move(reply));
}

void TestServer::Always(const std::string& command, Reply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    fixed_[ScriptKey(command)] = std::move(reply);
}

void TestServer::ClearScript() {
    std::lock_guard<std::mutex> lock(mutex_);
    queued_.clear();
    fixed_.clear();
    handler_ = nullptr;
}

void TestServer::SetHandler(std::function<std::optional<Reply>(const RecordedRequest&)> handler) {
    std::lock_guard<std::mutex> lock(mutex_);
    handler_ = std::move(handler);
}

std::vector<RecordedRequest> TestServer::Requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
}

std::vector<RecordedRequest> TestServer::Requests(const std::string& command) const {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<RecordedRequest> out;
    for (const auto& r : requests_) {
        if (r.Command() == command) out.push_back(r);
    }
    return out;
}

std::size_t TestServer::Count() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_.size();
}

void TestServer::ClearRequests() {
    std::lock_guard<std::mutex> lock(mutex_);
    requests_.clear();
    connectionNumbers_.clear();
}

int TestServer::ConnectionCount() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(connectionNumbers_.size());
}

void TestServer::SetCredentials(std::string user, std::string password) {
    simulator_->SetCredentials(user, password);
}

void TestServer::SetRequireParamAndCookie(bool both) {
    simulator_->SetOlderSessionCheck(!both);
}

std::string TestServer::SessionKey() const {
    return simulator_->LatestSession().second;
}

std::string TestServer::SessionId() const {
    return simulator_->LatestSession().first;
}

void TestServer::EndSession() {
    simulator_->EndSessions();
}

void TestServer::SetOlderServerCookie(bool older) {
    simulator_->SetOlderServerCookie(older);
}

void TestServer::SetDefaultList(const std::string& command, std::string body) {
    // The simulator serves the items; a body of another shape leaves it none and goes out as given.
    std::vector<Json> records;
    const Json doc = Json::parse(body, nullptr, false);
    if (!doc.is_discarded() && doc.is_object() && doc.size() == 1 && doc.begin().value().is_object()) {
        for (const auto& member : doc.begin().value()) {
            if (!member.is_array()) continue;
            records.assign(member.begin(), member.end());
            break;
        }
    }
    simulator_->SetRecords(command, std::move(records));
    std::lock_guard<std::mutex> lock(mutex_);
    lists_[command] = std::move(body);
}

// ---------------------------------------------------------------------------------------------

Reply TestServer::Serve(RecordedRequest request, long long connection) {
    std::function<std::optional<Reply>(const RecordedRequest&)> handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const int next = static_cast<int>(connectionNumbers_.size()) + 1;
        request.connection = connectionNumbers_.emplace(connection, next).first->second;
        requests_.push_back(request);
        if (IsApiPath(request.path)) {
            const std::string key = ScriptKey(request.Command());
            auto queued = queued_.find(key);
            if (queued != queued_.end() && !queued->second.empty()) {
                Reply reply = std::move(queued->second.front());
                queued->second.pop_front();
                return reply;
            }
            auto fixed = fixed_.find(key);
            if (fixed != fixed_.end()) return fixed->second;
        }
        handler = handler_;
    }
    if (handler) {
        if (auto reply = handler(request)) return *reply;  // called unlocked: it may inspect the server
    }
    return DefaultReply(request);
}

void TestServer::WaitUnlessStopping(int delayMs) {
    if (delayMs <= 0) return;
    std::unique_lock<std::mutex> lock(mutex_);
    stopping_.wait_for(lock, std::chrono::milliseconds(delayMs), [this] { return stopRequested_; });
}

Reply TestServer::DefaultReply(const RecordedRequest& request) {
    // The simulator takes the origin form; an absolute target names the same path and query.
    const bool hasQuery = request.target.find('?') != std::string::npos;
    cssim::SimRequest simRequest{request.method, request.path + (hasQuery ? "?" + request.rawQuery : std::string()),
                                 request.headers, request.body};
    const cssim::SimResponse answer = simulator_->Handle(simRequest);
    Reply reply;
    reply.status = answer.status;
    reply.headers = answer.headers;
    reply.body = answer.body;
    reply.contentType = answer.contentType;
    if (!IsApiPath(request.path)) return reply;

    NameValues params = request.params;
    const auto types = request.Headers("Content-Type");
    if (request.method == "POST" && !types.empty() &&
        Lower(types.back()).rfind("application/x-www-form-urlencoded", 0) == 0) {
        const NameValues form = ParseQuery(request.body);
        params.insert(params.end(), form.begin(), form.end());
    }
    const std::string command = LastValue(params, "command");
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const auto list = lists_.find(command);
        if (list != lists_.end() && reply.status == 432) {
            reply.status = 200;  // a command the simulator does not know: the session passed, answer as given
            reply.body = list->second;
        } else if (list != lists_.end() && reply.status == 200) {
            // Same items as the stored body: send its exact bytes (tests compare them).
            const auto given = nlohmann::json::parse(list->second, nullptr, false);
            const auto served = nlohmann::json::parse(reply.body, nullptr, false);
            const bool listShape =
                !given.is_discarded() && given.is_object() && given.size() == 1 && given.begin().value().is_object();
            if (!listShape || given == served) reply.body = list->second;
        }
    }
    if (Lower(LastValue(params, "response")) != "json") ToXml(reply);
    return reply;
}

}  // namespace cstest
