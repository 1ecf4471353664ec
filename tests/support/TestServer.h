#pragma once

// A scripted, recording management server for wire-level tests. It listens on <address>:8080 (or another port,
// over HTTP or HTTPS), records every request before answering it, and answers either from a script (Queue,
// Always, SetHandler) or by handing the request to an in-process simulator of a current management server
// (login, session checks, lists, jobs). It depends on nothing of the library under test.

#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "LoopbackAddress.h"
#include "RawListener.h"

namespace cssim {
class Simulator;
}

namespace cstest {

struct RecordedRequest {
    std::string method;    // "GET", "POST", ...
    std::string target;    // request target exactly as received, not decoded
    std::string path;      // part of the target before '?', not decoded
    std::string rawQuery;  // part of the target after '?', not decoded
    NameValues params;     // query and then form-body parameters in order, %XX decoded and '+' read as a blank
    NameValues headers;    // header lines in received order (name as sent, value without surrounding blanks)
    std::string body;      // as received (de-chunked)
    int connection = 0;    // 1, 2, ...: which TCP connection carried it, numbered in order of first request

    std::string Command() const;
    bool Has(const std::string& name) const;
    std::string Param(const std::string& name) const;                 // last value, "" if absent
    std::vector<std::string> Headers(const std::string& name) const;  // values of that header, any case, in order
    NameValues Cookies() const;                                       // every name=value of every Cookie line, in order
    std::vector<std::string> Cookie(const std::string& name) const;   // values of one cookie, in order
};

struct Reply {
    int status = 200;
    NameValues headers;  // sent as separate header lines, in this order
    std::string body;
    std::string contentType = "application/json;charset=utf-8";  // ignored when headers carry a Content-Type
    int delayMs = 0;                                             // wait before answering (cut short by Stop)
    std::optional<RawAnswer> raw{};  // when set, sent instead of all the above: a misbehaving server
};

// Contents of a file in CLOUDSTACK_FIXTURES_DIR; throws std::runtime_error when it cannot be read.
std::string Fixture(const std::string& fileName);

class TestServer {
public:
    static constexpr int kPort = 8080;

    // Only 127.x.y.z addresses are accepted; Start() fails for any other.
    explicit TestServer(std::string address = ProcessLoopbackAddress());
    ~TestServer();
    TestServer(const TestServer&) = delete;
    TestServer& operator=(const TestServer&) = delete;

    // Listens before it returns (port 8080 unless options say otherwise; HTTPS with options.tls); false when the
    // address cannot be bound.
    bool Start(const ListenOptions& options = {});
    void Stop();  // idempotent; closes open connections and ends the session, as a restart would
    bool Running() const;
    const std::string& Address() const;
    int Port() const;
    std::string BaseUrl() const;  // "http://<address>:8080", "https://..." over TLS

    // Scripting, for requests under /client/api whose command is C (login/logout in any case): first
    // a queued reply for C (FIFO), else the fixed reply for C, else the handler (for any path) if it
    // returns a reply, else the default behaviour below.
    void Queue(const std::string& command, Reply reply);
    void Always(const std::string& command, Reply reply);
    void SetHandler(std::function<std::optional<Reply>(const RecordedRequest&)> handler);

    // Recording. ClearRequests also restarts the connection numbering.
    std::vector<RecordedRequest> Requests() const;
    std::vector<RecordedRequest> Requests(const std::string& command) const;
    std::size_t Count() const;
    void ClearRequests();
    int ConnectionCount() const;  // distinct TCP connections among the recorded requests
    // Blocks until at least @p count requests are recorded (since the last ClearRequests), with no time limit
    // of its own: a request that a client sent and then abandoned is recorded all the same, only later.
    void WaitForRequests(std::size_t count) const;

    // Requests open at once: received and not yet answered, login and logout left out. HoldUntilOpen(n) keeps
    // every such request from being answered until @p n are open at the same time (once; 0: no hold), so that
    // a client that keeps fewer under way never gets an answer (a test of it would end by its time-out).
    void HoldUntilOpen(std::size_t n);
    std::size_t MaxOpen() const;  // the most open at once since the last ClearRequests

    // Default behaviour of a current server, whose lists hold the records of the list fixtures.
    void SetCredentials(std::string user, std::string password);  // default "admin" / "password"
    void SetRequireParamAndCookie(bool both);  // true (default): cookie AND parameter; false: any present must match
    std::string SessionKey() const;            // "" when no session
    std::string SessionId() const;             // JSESSIONID value, "" when no session
    void EndSession();                         // as if the session timed out on the server
    void SetOlderServerCookie(bool older);     // "sessionkey=<key>;HttpOnly" without SameSite

private:
    RawAnswer Serve(const RawRequest& raw);
    std::optional<Reply> Scripted(const RecordedRequest& request);
    Reply DefaultReply(const RecordedRequest& request);

    const std::string address_;
    RawListener listener_;
    bool tls_ = false;

    mutable std::mutex mutex_;
    std::map<std::string, std::deque<Reply>> queued_;
    std::map<std::string, Reply> fixed_;
    std::function<std::optional<Reply>(const RecordedRequest&)> handler_;
    std::vector<RecordedRequest> requests_;
    mutable std::condition_variable changed_;  // a request was recorded, or one was opened or closed
    std::size_t open_ = 0;
    std::size_t maxOpen_ = 0;
    std::size_t holdUntil_ = 0;
    std::map<int, int> connectionNumbers_;  // the listener's number -> ours, restarted by ClearRequests

    std::unique_ptr<cssim::Simulator> simulator_;
    std::map<std::string, std::string> lists_;  // list fixtures, sent byte for byte while the answer equals them
};

}  // namespace cstest
