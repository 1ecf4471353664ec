#include "TestServer.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <stdexcept>
#include <string_view>

#include "QueryDecoder.h"
#include "Simulator.h"
#include "Text.h"

#ifndef CLOUDSTACK_FIXTURES_DIR
#error "CLOUDSTACK_FIXTURES_DIR must name the fixtures folder"
#endif

namespace cstest {
namespace {

using Json = cssim::Json;  // ordered: keeps the key order of the fixtures

constexpr const char* kApiPath = "/client/api";
const char* const kListCommands[] = {"listProjects", "listZones", "listPods",
                                     "listClusters", "listHosts", "listVirtualMachines"};

std::string Lower(std::string s) {
    return cstools::AsciiLower(std::move(s));
}

bool EqualsIgnoreCase(const std::string& a, const std::string& b) {
    return Lower(a) == Lower(b);
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

std::string LastValue(const NameValues& values, const std::string& name) {
    for (auto it = values.rbegin(); it != values.rend(); ++it) {
        if (it->first == name) return it->second;
    }
    return {};
}

bool IsApiPath(const std::string& path) {
    const std::string api = kApiPath;
    return path == api || path.rfind(api + "/", 0) == 0;
}

// Queue/Always keys: the server takes login and logout in any case, every other command exactly.
std::string ScriptKey(const std::string& command) {
    const std::string lower = Lower(command);
    return lower == "login" || lower == "logout" ? lower : command;
}

RecordedRequest Record(const RawRequest& raw) {
    RecordedRequest rec;
    rec.method = raw.method;
    rec.target = raw.target;
    rec.headers = raw.headers;
    rec.body = raw.body;
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
    // The server reads the parameters of a form body as it reads those of the query.
    const auto types = rec.Headers("Content-Type");
    if (rec.method == "POST" && !types.empty() &&
        Lower(types.back()).rfind("application/x-www-form-urlencoded", 0) == 0) {
        const NameValues form = ParseQuery(rec.body);
        rec.params.insert(rec.params.end(), form.begin(), form.end());
    }
    return rec;
}

RawAnswer ToAnswer(const Reply& reply, const RecordedRequest& request) {
    if (reply.raw) return *reply.raw;
    NameValues headers = reply.headers;
    const bool typed = std::any_of(headers.begin(), headers.end(),
                                   [](const auto& h) { return EqualsIgnoreCase(h.first, "Content-Type"); });
    if (!typed && !reply.contentType.empty()) headers.emplace_back("Content-Type", reply.contentType);
    for (const auto& value : request.Headers("Connection")) {
        if (Lower(value).find("close") == std::string::npos) continue;
        headers.emplace_back("Connection", "close");  // the listener closes after this answer
        break;
    }
    RawAnswer answer;
    answer.bytes = FormatResponse(reply.status, headers, reply.body, request.method == "HEAD");
    answer.delayMs = reply.delayMs;
    return answer;
}

}  // namespace

std::string RecordedRequest::Command() const {
    return Param("command");
}

bool RecordedRequest::Has(const std::string& name) const {
    return std::any_of(params.begin(), params.end(), [&](const auto& p) { return p.first == name; });
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

TestServer::TestServer(std::string address)
    : address_(std::move(address)), listener_([this](const RawRequest& raw) { return Serve(raw); }) {
    cssim::SimulatorOptions options;
    options.badLoginDelay = std::chrono::milliseconds(0);  // tests of failed logins need no brake
    options.singleSession = true;
    options.permissiveJobs = true;     // scripted start answers carry job ids of their own
    options.refuseUnknownIds = false;  // tests look records up with made-up ids and names
    options.nameFilterOnEveryList = false;
    options.inventory = cssim::Inventory{};
    simulator_ = std::make_unique<cssim::Simulator>(std::move(options));
    for (const char* command : kListCommands) {
        std::string body = Fixture(std::string(command) + ".json");
        const Json doc = Json::parse(body);
        std::vector<Json> records;
        for (const auto& member : doc.begin().value()) {
            if (member.is_array()) records.assign(member.begin(), member.end());
        }
        simulator_->SetRecords(command, std::move(records));
        lists_[command] = std::move(body);
    }
}

TestServer::~TestServer() {
    Stop();
}

bool TestServer::Start(const ListenOptions& options) {
    if (Running()) return true;
    tls_ = options.tls.has_value();
    return listener_.Start(address_, options);
}

void TestServer::Stop() {
    if (!Running()) return;
    {
        // A held request is let go, so that the listener's threads can end.
        std::lock_guard<std::mutex> lock(mutex_);
        holdUntil_ = 0;
        changed_.notify_all();
    }
    listener_.Stop();
    simulator_->EndSessions();  // sessions live in the server's memory: a restart ends them
}

bool TestServer::Running() const {
    return listener_.Running();
}

const std::string& TestServer::Address() const {
    return address_;
}

int TestServer::Port() const {
    return listener_.Port();
}

std::string TestServer::BaseUrl() const {
    return (tls_ ? "https://" : "http://") + address_ + ":" + std::to_string(Port());
}

void TestServer::Queue(const std::string& command, Reply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    queued_[ScriptKey(command)].push_back(std::move(reply));
}

void TestServer::Always(const std::string& command, Reply reply) {
    std::lock_guard<std::mutex> lock(mutex_);
    fixed_[ScriptKey(command)] = std::move(reply);
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
    maxOpen_ = open_;
}

void TestServer::WaitForRequests(std::size_t count) const {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [&] { return requests_.size() >= count; });
}

void TestServer::HoldUntilOpen(std::size_t n) {
    std::lock_guard<std::mutex> lock(mutex_);
    holdUntil_ = n;
}

std::size_t TestServer::MaxOpen() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return maxOpen_;
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

// ---------------------------------------------------------------------------------------------

RawAnswer TestServer::Serve(const RawRequest& raw) {
    RecordedRequest request = Record(raw);
    const std::string key = ScriptKey(request.Command());
    const bool counted = key != "login" && key != "logout";
    {
        std::unique_lock<std::mutex> lock(mutex_);
        const int next = static_cast<int>(connectionNumbers_.size()) + 1;
        request.connection = connectionNumbers_.emplace(raw.connection, next).first->second;
        requests_.push_back(request);
        if (counted) maxOpen_ = std::max(maxOpen_, ++open_);
        changed_.notify_all();
        if (counted && holdUntil_ > 0) {
            if (open_ >= holdUntil_) holdUntil_ = 0;
            changed_.wait(lock, [this] { return holdUntil_ == 0; });
            changed_.notify_all();
        }
    }
    std::optional<Reply> reply = Scripted(request);
    RawAnswer answer = ToAnswer(reply ? *reply : DefaultReply(request), request);
    if (counted) {
        std::lock_guard<std::mutex> lock(mutex_);
        --open_;
    }
    return answer;
}

std::optional<Reply> TestServer::Scripted(const RecordedRequest& request) {
    std::function<std::optional<Reply>(const RecordedRequest&)> handler;
    {
        std::lock_guard<std::mutex> lock(mutex_);
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
    return handler ? handler(request) : std::nullopt;  // called unlocked: it may inspect the server
}

Reply TestServer::DefaultReply(const RecordedRequest& request) {
    // The simulator takes the origin form; an absolute target names the same path and query.
    const bool hasQuery = request.target.find('?') != std::string::npos;
    const cssim::SimResponse answer =
        simulator_->Handle({request.method, request.path + (hasQuery ? "?" + request.rawQuery : std::string()),
                            request.headers, request.body});
    Reply reply{answer.status, answer.headers, answer.body, answer.contentType};
    if (reply.status != 200 || !IsApiPath(request.path)) return reply;
    // Same items as the fixture: send its exact bytes, which tests compare.
    const auto list = lists_.find(LastValue(request.params, "command"));
    if (list != lists_.end() &&
        nlohmann::json::parse(list->second) == nlohmann::json::parse(reply.body, nullptr, false)) {
        reply.body = list->second;
    }
    return reply;
}

}  // namespace cstest
