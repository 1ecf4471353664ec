#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "HttpListenerThread.h"
#include "LogCapture.h"
#include "LoopbackAddress.h"
#include "RawListener.h"
#include "TeskLibCurl.h"
#include "TeskRestApiConnection.h"

namespace {

const int kPort = 8080;

std::string BaseUrl() {
    return "http://" + cstest::ProcessLoopbackAddress() + ":" + std::to_string(kPort);
}

// Exposes the hooks and counts how often they run.
class HookedConnection : public TeskRestApiConnection {
public:
    bool computeUrl(const std::string& server, const std::string& path, const TeskRestApiRequestOptions* options,
                    std::string& url) override {
        ++computeUrlCalls;
        if (!TeskRestApiConnection::computeUrl(server, path, options, url)) {
            return false;
        }
        url += "&viaHook=1";
        return true;
    }
    bool addCommonCurlHeaders() override {
        ++headerCalls;
        if (failHeaders) {
            return false;
        }
        m_pCurl->TeskLibCurlFreeHttpHeaderList();
        return TeskRestApiConnection::addCommonCurlHeaders() &&
               m_pCurl->TeskLibCurlAppendHeader(HTTP_HDR_REQUEST, "X-Hook: yes");
    }
    bool saveLoginCurlHeaders() override {
        ++saveCalls;
        savedCookies.clear();
        m_pCurl->GetHttpResponseHeaders("Set-Cookie", savedCookies);
        return true;
    }
    void SetLoginInProgress(bool on) { m_bLoginInProgress = on; }
    TeskLibCurl& Curl() { return *m_pCurl; }

    int computeUrlCalls{0};
    int headerCalls{0};
    int saveCalls{0};
    bool failHeaders{false};
    std::list<std::string> savedCookies;
};

struct SeenRequest {
    std::string method;
    std::string command;
    httplib::Params params;
    httplib::Headers headers;
    std::string body;
    int remotePort{-1};
};

// A management-server stand-in on this process's loopback address: answers according to the
// "command" parameter and records every request.
class TeskRestApiWireTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_server = std::make_unique<httplib::Server>();
        m_server->set_keep_alive_max_count(100);
        m_server->set_keep_alive_timeout(2);
        // A socket left in TIME_WAIT by an earlier test in this process must not block the port.
        m_server->set_socket_options([](socket_t sock) {
            const int on = 1;
            setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        });
        auto handler = [this](const httplib::Request& req, httplib::Response& res) { Answer(req, res); };
        m_server->Get("/client/api", handler);
        m_server->Post("/client/api", handler);
        m_listener = std::make_unique<cstools::HttpListenerThread>(*m_server);
        ASSERT_EQ(m_listener->Start(cstest::ProcessLoopbackAddress(), kPort), kPort);
        m_conn = std::make_unique<HookedConnection>();
        ASSERT_TRUE(m_conn->connect(BaseUrl() + "/client/api", false, ""));
    }

    void TearDown() override {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_release = true;
        }
        m_released.notify_all();
        // Closing the client first lets the server's keep-alive loop end at once.
        m_conn.reset();
        if (m_listener) {
            m_listener->Stop();
        }
    }

    void Answer(const httplib::Request& req, httplib::Response& res) {
        const std::string command = req.get_param_value("command");
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_seen.push_back(SeenRequest{req.method, command, req.params, req.headers, req.body, req.remote_port});
        }
        if (command == "status") {
            res.status = std::stoi(req.get_param_value("code"));
            res.set_content(R"({"errorresponse":{"errorcode":)" + req.get_param_value("code") + "}}",
                            "application/json");
        } else if (command == "html503") {
            res.status = 503;
            res.set_content("<html><body>Service Unavailable</body></html>", "text/html");
        } else if (command == "login") {
            res.status = req.has_param("bad") ? 531 : 200;
            res.set_header("Set-Cookie", "JSESSIONID=node0abc.node0; Path=/client");
            res.set_header("Set-Cookie", "sessionkey=jJ_NmQCrcOErJFYh05czknvs6gE;HttpOnly;SameSite=Lax");
            res.set_header("x-MiXeD-case", "Value");
            res.set_content(R"({"loginresponse":{}})", "application/json");
        } else if (command == "big") {
            res.set_content(std::string(10000, 'b'), "application/octet-stream");
        } else if (command == "bigchunked") {
            res.set_chunked_content_provider("application/octet-stream", [](size_t, httplib::DataSink& sink) {
                const std::string piece(1000, 'c');
                for (int i = 0; i < 10; ++i) {
                    sink.write(piece.data(), piece.size());
                }
                sink.done();
                return true;
            });
        } else if (command == "gzip") {
            res.set_header("Content-Encoding", "gzip");
            res.set_content(Gzip(LongJson()), "application/octet-stream");
        } else if (command == "json") {
            res.set_content(LongJson(), "application/json");
        } else if (command == "slow") {
            std::unique_lock<std::mutex> lock(m_mutex);
            m_released.wait_for(lock, std::chrono::milliseconds(2500), [this] { return m_release; });
            res.set_content("late", "text/plain");
        } else {
            res.set_content(R"({"okresponse":{}})", "application/json");
        }
    }

    static std::string LongJson() {
        std::string json = R"({"listzonesresponse":{"count":300,"zone":[)";
        for (int i = 0; i < 300; ++i) {
            json += (i ? "," : "") + std::string(R"({"name":"zone )") + std::to_string(i) + "\"}";
        }
        return json + "]}}";
    }

    static std::string Gzip(const std::string& text) {
        std::string out;
        httplib::detail::gzip_compressor compressor;
        compressor.compress(text.data(), text.size(), true, [&out](const char* data, size_t size) {
            out.append(data, size);
            return true;
        });
        return out;
    }

    std::vector<SeenRequest> Seen() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_seen;
    }

    std::unique_ptr<httplib::Server> m_server;
    std::unique_ptr<cstools::HttpListenerThread> m_listener;
    std::unique_ptr<HookedConnection> m_conn;
    std::mutex m_mutex;
    std::condition_variable m_released;
    bool m_release{false};
    std::vector<SeenRequest> m_seen;
};

TEST_F(TeskRestApiWireTest, SuccessfulAnswerReturnsTrueAndReplacesResponse) {
    cstest::LogCapture log;
    std::string response = "stale";
    EXPECT_TRUE(m_conn->get("?command=listZones", response, nullptr));
    EXPECT_EQ(response, R"({"okresponse":{}})");
    EXPECT_EQ(log.Errors().size(), 0u);
}

TEST_F(TeskRestApiWireTest, EveryTwoHundredStatusIsSuccess) {
    std::string response;
    EXPECT_TRUE(m_conn->get("?command=status&code=201", response, nullptr));
    EXPECT_TRUE(m_conn->get("?command=status&code=299", response, nullptr));
}

class TeskRestApiStatusTest : public TeskRestApiWireTest, public ::testing::WithParamInterface<int> {};

TEST_P(TeskRestApiStatusTest, RefusingAnswerFailsWithOneErrorLineNamingStatusAndCommand) {
    cstest::LogCapture log;
    const std::string code = std::to_string(GetParam());
    std::string response;
    EXPECT_FALSE(m_conn->get("?command=status&code=" + code + "&password=s3cret", response, nullptr));
    // The body still reaches the caller, whose parser reads the error text from it.
    EXPECT_NE(response.find("errorcode\":" + code), std::string::npos);
    const auto errors = log.Errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].message.find("HTTP status " + code), std::string::npos) << errors[0].line;
    EXPECT_NE(errors[0].message.find("status"), std::string::npos);
    EXPECT_EQ(errors[0].line.find("s3cret"), std::string::npos);
    EXPECT_EQ(errors[0].line.find("/client/api"), std::string::npos);
    EXPECT_EQ(errors[0].message.find("no answer"), std::string::npos);
    EXPECT_NE(errors[0].function.find("TeskRestApiConnection::"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Codes, TeskRestApiStatusTest, ::testing::Values(401, 431, 531, 302, 300));

TEST_F(TeskRestApiWireTest, ProxyHtmlPageFailsNamingStatusAndCommand) {
    cstest::LogCapture log;
    std::string response;
    EXPECT_FALSE(m_conn->get("?command=html503", response, nullptr));
    ASSERT_EQ(log.Errors().size(), 1u);
    EXPECT_NE(log.Errors()[0].message.find("503"), std::string::npos);
    EXPECT_NE(log.Errors()[0].message.find("html503"), std::string::npos);
}

TEST_F(TeskRestApiWireTest, GetSendsNoBodyAndPostSendsContentLengthZero) {
    std::string response;
    ASSERT_TRUE(m_conn->get("?command=a", response, nullptr));
    ASSERT_TRUE(m_conn->post("?command=b", "", response, nullptr));
    const auto seen = Seen();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].method, "GET");
    EXPECT_EQ(seen[0].headers.count("Content-Length"), 0u);
    EXPECT_EQ(seen[1].method, "POST");
    ASSERT_EQ(seen[1].headers.count("Content-Length"), 1u);
    EXPECT_EQ(seen[1].headers.find("Content-Length")->second, "0");
}

TEST_F(TeskRestApiWireTest, PostSendsItsBody) {
    std::string response;
    ASSERT_TRUE(m_conn->post("?command=b", "x=1&y=2", response, nullptr));
    const auto seen = Seen();
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].body, "x=1&y=2");
}

TEST_F(TeskRestApiWireTest, HooksShapeTheRequest) {
    m_conn->SetContentType("Content-Type: application/x-test");
    std::string response;
    ASSERT_TRUE(m_conn->get("?command=a", response, nullptr));
    ASSERT_TRUE(m_conn->get("?command=a", response, nullptr));
    EXPECT_EQ(m_conn->computeUrlCalls, 2);
    EXPECT_EQ(m_conn->headerCalls, 2);
    const auto seen = Seen();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[1].params.count("viaHook"), 1u);
    // One copy of each line, however many requests went before.
    EXPECT_EQ(seen[1].headers.count("X-Hook"), 1u);
    ASSERT_EQ(seen[1].headers.count("Content-Type"), 1u);
    EXPECT_EQ(seen[1].headers.find("Content-Type")->second, "application/x-test");
}

TEST_F(TeskRestApiWireTest, FailingHeaderHookStopsTheRequest) {
    cstest::LogCapture log;
    m_conn->failHeaders = true;
    std::string response;
    EXPECT_FALSE(m_conn->get("?command=a", response, nullptr));
    EXPECT_TRUE(Seen().empty());
    EXPECT_EQ(log.Errors().size(), 1u);
}

TEST_F(TeskRestApiWireTest, LoginHeadersAreSavedOnlyWhileLoginIsInProgress) {
    std::string response;
    ASSERT_TRUE(m_conn->post("?command=login", "", response, nullptr));
    EXPECT_EQ(m_conn->saveCalls, 0);

    m_conn->SetLoginInProgress(true);
    ASSERT_TRUE(m_conn->post("?command=login", "", response, nullptr));
    EXPECT_EQ(m_conn->saveCalls, 1);
    EXPECT_EQ(m_conn->savedCookies,
              (std::list<std::string>{"Set-Cookie: JSESSIONID=node0abc.node0; Path=/client\r\n",
                                      "Set-Cookie: sessionkey=jJ_NmQCrcOErJFYh05czknvs6gE;HttpOnly;SameSite=Lax\r\n"}));
}

TEST_F(TeskRestApiWireTest, LoginHeadersAreSavedForARefusedLoginToo) {
    m_conn->SetLoginInProgress(true);
    std::string response;
    EXPECT_FALSE(m_conn->post("?command=login&bad=1", "", response, nullptr));
    EXPECT_EQ(m_conn->saveCalls, 1);
}

TEST_F(TeskRestApiWireTest, ResponseHeaderLinesMatchIgnoringCaseAndAppend) {
    std::string response;
    ASSERT_TRUE(m_conn->get("?command=login", response, nullptr));
    std::list<std::string> lines{"kept"};
    EXPECT_TRUE(m_conn->Curl().GetHttpResponseHeaders("X-MIXED-CASE", lines));
    EXPECT_EQ(lines, (std::list<std::string>{"kept", "x-MiXeD-case: Value\r\n"}));
    // A prefix of a name is not the name.
    EXPECT_FALSE(m_conn->Curl().GetHttpResponseHeaders("X-Mixed", lines));
    EXPECT_EQ(lines.size(), 2u);
}

TEST_F(TeskRestApiWireTest, ResponseHeaderLinesBelongToTheLastAnswerOnly) {
    std::string response;
    ASSERT_TRUE(m_conn->get("?command=login", response, nullptr));
    ASSERT_TRUE(m_conn->get("?command=a", response, nullptr));
    std::list<std::string> lines;
    EXPECT_FALSE(m_conn->Curl().GetHttpResponseHeaders("Set-Cookie", lines));
    EXPECT_TRUE(lines.empty());
}

TEST_F(TeskRestApiWireTest, OneConnectionCarriesConsecutiveRequests) {
    std::string response;
    for (int i = 0; i < 10; ++i) {
        ASSERT_TRUE(m_conn->get(i % 2 ? "?command=a" : "?command=status&code=401", response, nullptr) == (i % 2 != 0));
    }
    std::set<int> ports;
    for (const auto& seen : Seen()) {
        ports.insert(seen.remotePort);
    }
    EXPECT_EQ(Seen().size(), 10u);
    EXPECT_EQ(ports.size(), 1u);
}

TEST_F(TeskRestApiWireTest, GzipAnswerIsDecoded) {
    std::string response;
    ASSERT_TRUE(m_conn->get("?command=gzip", response, nullptr));
    EXPECT_EQ(response, LongJson());
    const auto seen = Seen();
    ASSERT_EQ(seen.size(), 1u);
    const auto accept = seen[0].headers.find("Accept-Encoding");
    ASSERT_NE(accept, seen[0].headers.end());
    EXPECT_NE(accept->second.find("gzip"), std::string::npos);
}

TEST_F(TeskRestApiWireTest, CompressedJsonAnswerIsDecoded) {
    std::string response;
    ASSERT_TRUE(m_conn->get("?command=json", response, nullptr));
    std::list<std::string> encoding;
    // Proves that the server did compress, whichever coding it chose.
    EXPECT_TRUE(m_conn->Curl().GetHttpResponseHeaders("Content-Encoding", encoding));
    EXPECT_EQ(response, LongJson());
}

TEST_F(TeskRestApiWireTest, BodyAtTheLimitIsAccepted) {
    m_conn->Limits().ullMaxBodyBytes = 10000;
    std::string response;
    EXPECT_TRUE(m_conn->get("?command=big", response, nullptr));
    EXPECT_EQ(response.size(), 10000u);
    EXPECT_TRUE(m_conn->get("?command=bigchunked", response, nullptr));
    EXPECT_EQ(response.size(), 10000u);
}

TEST_F(TeskRestApiWireTest, BodyOverTheLimitWithKnownLengthFails) {
    cstest::LogCapture log;
    m_conn->Limits().ullMaxBodyBytes = 9999;
    std::string response;
    EXPECT_FALSE(m_conn->get("?command=big", response, nullptr));
    ASSERT_EQ(log.Errors().size(), 1u);
    EXPECT_NE(log.Errors()[0].message.find("big"), std::string::npos);
}

TEST_F(TeskRestApiWireTest, ChunkedBodyOverTheLimitFails) {
    cstest::LogCapture log;
    m_conn->Limits().ullMaxBodyBytes = 9999;
    std::string response;
    EXPECT_FALSE(m_conn->get("?command=bigchunked", response, nullptr));
    ASSERT_EQ(log.Errors().size(), 1u);
    EXPECT_NE(log.Errors()[0].message.find("9999"), std::string::npos) << log.Errors()[0].line;
    // The connection is still usable after an abandoned transfer.
    m_conn->Limits().ullMaxBodyBytes = 1u << 20;
    EXPECT_TRUE(m_conn->get("?command=a", response, nullptr));
}

TEST_F(TeskRestApiWireTest, ServerSilentLongerThanIdleTimeoutFails) {
    cstest::LogCapture log;
    m_conn->Limits().lIdleTimeoutMs = 200;
    std::string response;
    EXPECT_FALSE(m_conn->get("?command=slow", response, nullptr));
    ASSERT_EQ(log.Errors().size(), 1u);
    EXPECT_NE(log.Errors()[0].message.find("no answer"), std::string::npos) << log.Errors()[0].line;
}

TEST_F(TeskRestApiWireTest, QueryArgumentValueIsEncodedAndArrivesIntact) {
    const std::string value = "a b&c=d+e#f%g/\xC3\xA4";
    std::string query = "?command=login";
    m_conn->appendQueryStringArgument(query, "username=%s", value.c_str());
    m_conn->appendQueryStringArgument(query, "n=%d", 5);
    EXPECT_EQ(query, "?command=login&username=a%20b%26c%3Dd%2Be%23f%25g%2F%C3%A4&n=5");
    std::string response;
    ASSERT_TRUE(m_conn->post(query, "", response, nullptr));
    const auto seen = Seen();
    ASSERT_EQ(seen.size(), 1u);
    ASSERT_EQ(seen[0].params.count("username"), 1u);
    EXPECT_EQ(seen[0].params.find("username")->second, value);
    ASSERT_EQ(seen[0].params.count("n"), 1u);
    EXPECT_EQ(seen[0].params.find("n")->second, "5");
}

TEST_F(TeskRestApiWireTest, DebugSummaryLineOnlyAfterEnableDebug) {
    cstest::LogCapture log;
    std::string response;
    ASSERT_TRUE(m_conn->get("?command=listZones&password=s3cret", response, nullptr));
    EXPECT_TRUE(log.Traces().empty());

    EXPECT_TRUE(m_conn->enableDebug());
    ASSERT_TRUE(m_conn->post("?command=listZones&password=s3cret", "", response, nullptr));
    const auto traces = log.Traces();
    ASSERT_EQ(traces.size(), 1u);
    EXPECT_EQ(traces[0].level, 2);
    EXPECT_NE(traces[0].message.find("POST"), std::string::npos);
    EXPECT_NE(traces[0].message.find("listZones"), std::string::npos);
    EXPECT_NE(traces[0].message.find("200"), std::string::npos);
    EXPECT_NE(traces[0].message.find(std::to_string(response.size()) + " bytes"), std::string::npos);
    EXPECT_EQ(traces[0].line.find("s3cret"), std::string::npos);
    EXPECT_EQ(traces[0].line.find("/client/api"), std::string::npos);
}

// Records every hook call, and builds its header list only when the base says it must.
class RecordingConnection : public TeskRestApiConnection {
public:
    bool computeUrl(const std::string& server, const std::string& path, const TeskRestApiRequestOptions* options,
                    std::string& url) override {
        calls.push_back("computeUrl");
        return TeskRestApiConnection::computeUrl(server, path, options, url);
    }
    bool addCommonCurlHeaders() override {
        calls.push_back("addCommonCurlHeaders");
        rebuilds.push_back(HeadersNeedRebuild());
        if (!HeadersNeedRebuild()) {
            return true;
        }
        const std::string line = "X-Built: " + std::to_string(++builds);
        return TeskRestApiConnection::addCommonCurlHeaders() &&
               m_pCurl->TeskLibCurlAppendHeader(HTTP_HDR_REQUEST, line.c_str());
    }
    bool addCurlHeaders(const TeskRestApiRequestOptions* options) override {
        calls.push_back("addCurlHeaders");
        return TeskRestApiConnection::addCurlHeaders(options);
    }
    bool addLoginCurlHeaders() override {
        calls.push_back("addLoginCurlHeaders");
        return TeskRestApiConnection::addLoginCurlHeaders();
    }
    void LogRequest(const TeskRestApiRequestInfo& request) override {
        calls.push_back("LogRequest");
        TeskRestApiConnection::LogRequest(request);
    }
    bool sendReq(_http_req_type_ method, const std::string& url, const std::string& body,
                 std::string& response) override {
        calls.push_back("sendReq");
        return TeskRestApiConnection::sendReq(method, url, body, response);
    }
    bool recvResp(std::string& response) override {
        calls.push_back("recvResp");
        return TeskRestApiConnection::recvResp(response);
    }
    bool saveLoginCurlHeaders() override {
        calls.push_back("saveLoginCurlHeaders");
        return TeskRestApiConnection::saveLoginCurlHeaders();
    }
    void LogResponse(const TeskRestApiRequestInfo& request, const TeskLibCurlResult& result) override {
        calls.push_back("LogResponse");
        TeskRestApiConnection::LogResponse(request, result);
    }
    void LogError(const TeskRestApiRequestInfo& request, const TeskLibCurlResult& result) override {
        calls.push_back("LogError");
        TeskRestApiConnection::LogError(request, result);
    }
    void SetLoginInProgress(bool on) { m_bLoginInProgress = on; }
    using TeskRestApiConnection::InvalidateHeaders;

    std::vector<std::string> Take() {
        std::vector<std::string> taken;
        taken.swap(calls);
        return taken;
    }
    bool LastRebuild() const { return !rebuilds.empty() && rebuilds.back(); }

    std::vector<std::string> calls;
    std::vector<bool> rebuilds;
    int builds{0};
};

using Calls = std::vector<std::string>;

TEST_F(TeskRestApiWireTest, EveryHookRunsInItsPlace) {
    RecordingConnection conn;
    ASSERT_TRUE(conn.connect(BaseUrl() + "/client/api", false, ""));
    std::string response;

    ASSERT_TRUE(conn.get("?command=a", response, nullptr));
    EXPECT_EQ(conn.Take(), (Calls{"computeUrl", "addCommonCurlHeaders", "addCurlHeaders", "LogRequest", "sendReq",
                                  "recvResp", "LogResponse"}));

    EXPECT_FALSE(conn.get("?command=status&code=431", response, nullptr));
    EXPECT_EQ(conn.Take(), (Calls{"computeUrl", "addCommonCurlHeaders", "addCurlHeaders", "LogRequest", "sendReq",
                                  "recvResp", "LogResponse", "LogError"}));

    conn.SetLoginInProgress(true);
    EXPECT_FALSE(conn.post("?command=login&bad=1", "", response, nullptr));
    EXPECT_EQ(conn.Take(),
              (Calls{"computeUrl", "addCommonCurlHeaders", "addCurlHeaders", "addLoginCurlHeaders", "LogRequest",
                     "sendReq", "recvResp", "saveLoginCurlHeaders", "LogResponse", "LogError"}));
    conn.SetLoginInProgress(false);

    // No complete answer: nothing to receive or save.
    conn.Limits().lIdleTimeoutMs = 100;
    EXPECT_FALSE(conn.get("?command=slow", response, nullptr));
    EXPECT_EQ(conn.Take(), (Calls{"computeUrl", "addCommonCurlHeaders", "addCurlHeaders", "LogRequest", "sendReq",
                                  "LogResponse", "LogError"}));
    EXPECT_EQ(conn.LastResult().eFailure, TeskLibCurlFailure::Timeout);
}

TEST_F(TeskRestApiWireTest, HeaderListIsKeptUntilSomethingItHoldsChanges) {
    RecordingConnection conn;
    conn.SetContentType("Content-Type: application/json");
    ASSERT_TRUE(conn.connect(BaseUrl() + "/client/api", false, ""));
    std::string response;
    auto send = [&](const TeskRestApiRequestOptions* options = nullptr) {
        EXPECT_TRUE(options ? conn.post("?command=a", "x=1", response, options)
                            : conn.get("?command=a", response, nullptr));
        return conn.LastRebuild();
    };
    auto lastHeader = [this](const char* name) {
        const auto seen = Seen();
        const auto found = seen.back().headers.find(name);
        return found == seen.back().headers.end() ? std::string("(none)") : found->second;
    };

    EXPECT_TRUE(send());
    EXPECT_FALSE(send());
    // The kept list still goes out whole.
    EXPECT_EQ(lastHeader("X-Built"), "1");
    EXPECT_EQ(lastHeader("Content-Type"), "application/json");

    conn.SetContentType("Content-Type: application/json; charset=UTF-8");
    EXPECT_TRUE(send());
    EXPECT_EQ(lastHeader("Content-Type"), "application/json; charset=UTF-8");
    conn.SetContentType("Content-Type: application/json; charset=UTF-8");
    EXPECT_FALSE(send());

    TeskRestApiRequestOptions form;
    form.strContentType = "application/x-www-form-urlencoded";
    EXPECT_TRUE(send(&form));
    EXPECT_EQ(lastHeader("Content-Type"), "application/x-www-form-urlencoded");
    // The next request undoes what the options changed.
    EXPECT_TRUE(send());
    EXPECT_EQ(lastHeader("Content-Type"), "application/json; charset=UTF-8");
    EXPECT_FALSE(send());

    conn.SetLoginInProgress(true);
    EXPECT_TRUE(send());
    // A login answer may have changed what the derived class sends.
    EXPECT_TRUE(send());
    conn.SetLoginInProgress(false);
    EXPECT_TRUE(send());
    EXPECT_FALSE(send());

    conn.InvalidateHeaders();
    EXPECT_TRUE(send());
    EXPECT_FALSE(send());
    EXPECT_EQ(lastHeader("X-Built"), std::to_string(conn.builds));
}

TEST_F(TeskRestApiWireTest, FormPostCarriesItsBodyWithItsOwnContentType) {
    m_conn->SetContentType("Content-Type: application/json; charset=UTF-8");
    TeskRestApiRequestOptions form;
    form.strContentType = "application/x-www-form-urlencoded";
    std::string response;
    ASSERT_TRUE(m_conn->post("?command=login&response=json", "username=u%26v&password=p%20q", response, &form));
    ASSERT_TRUE(m_conn->get("?command=listZones", response, nullptr));
    const auto seen = Seen();
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(seen[0].method, "POST");
    EXPECT_EQ(seen[0].body, "username=u%26v&password=p%20q");
    ASSERT_EQ(seen[0].headers.count("Content-Type"), 1u);
    EXPECT_EQ(seen[0].headers.find("Content-Type")->second, "application/x-www-form-urlencoded");
    ASSERT_EQ(seen[0].params.count("username"), 1u);
    EXPECT_EQ(seen[0].params.find("username")->second, "u&v");
    ASSERT_EQ(seen[1].headers.count("Content-Type"), 1u);
    EXPECT_EQ(seen[1].headers.find("Content-Type")->second, "application/json; charset=UTF-8");
}

TEST_F(TeskRestApiWireTest, LastResultTellsTheDerivedClassWhatHappened) {
    std::string response;
    EXPECT_FALSE(m_conn->get("?command=status&code=431", response, nullptr));
    const TeskLibCurlResult& result = m_conn->LastResult();
    EXPECT_TRUE(result.bTransportOk);
    EXPECT_EQ(result.eFailure, TeskLibCurlFailure::None);
    EXPECT_EQ(result.lHttpStatus, 431);
    EXPECT_EQ(result.strHost, cstest::ProcessLoopbackAddress() + ":" + std::to_string(kPort));
    EXPECT_EQ(result.nBytes, response.size());
    EXPECT_GE(response.capacity(), response.size() + kTeskBodyPadding);
}

class TeskRestApiQueryTest : public ::testing::Test {
protected:
    TeskRestApiConnection m_conn;
};

TEST_F(TeskRestApiQueryTest, FirstArgumentIsNotPrecededByAmpersand) {
    std::string query;
    m_conn.appendQueryStringArgument(query, "command=%s", "listZones");
    EXPECT_EQ(query, "command=listZones");
}

TEST_F(TeskRestApiQueryTest, OnlyTheFirstEqualsSignSeparatesKeyAndValue) {
    std::string query = "?command=x";
    m_conn.appendQueryStringArgument(query, "filter=%s", "a=b");
    EXPECT_EQ(query, "?command=x&filter=a%3Db");
}

TEST_F(TeskRestApiQueryTest, ConnectRefusesAnEmptyServer) {
    cstest::LogCapture log;
    EXPECT_FALSE(m_conn.connect("", false, ""));
    EXPECT_TRUE(m_conn.connect(BaseUrl(), true, "ignored"));
}

// Nothing listens on this process's address: the transfer fails before any answer.
class TeskRestApiUnreachableTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(m_conn.connect(BaseUrl() + "/client/api", false, "")); }
    TeskRestApiConnection m_conn;
};

TEST_F(TeskRestApiUnreachableTest, FailsWithCurlErrorTextAndNoUrl) {
    cstest::LogCapture log;
    std::string response = "stale";
    EXPECT_FALSE(m_conn.get("?command=listZones&password=s3cret", response, nullptr));
    EXPECT_EQ(response, "");
    const auto errors = log.Errors();
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].message.find("no answer"), std::string::npos) << errors[0].line;
    EXPECT_NE(errors[0].message.find("Couldn't connect to server"), std::string::npos) << errors[0].line;
    EXPECT_NE(errors[0].message.find("listZones"), std::string::npos);
    EXPECT_EQ(errors[0].message.find("HTTP status"), std::string::npos);
    EXPECT_EQ(errors[0].line.find("s3cret"), std::string::npos);
    EXPECT_EQ(errors[0].line.find("/client/api"), std::string::npos);
}

// Hand-written answers for what an off-the-shelf server does not send: interim
// answers with header lines, and the server's odd status lines.
class TeskRestApiRawAnswerTest : public ::testing::Test {
protected:
    // Answers every request with @p reply, then closes its connection.
    void ServeOnce(const std::string& reply) {
        m_listener = std::make_unique<cstest::RawListener>([this, reply](const cstest::RawRequest& request) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_request = request.head;
            cstest::RawAnswer answer;
            answer.bytes = reply;
            answer.close = true;
            return answer;
        });
        ASSERT_TRUE(m_listener->Start(cstest::ProcessLoopbackAddress()));
    }

    // The request line and header lines as received.
    std::string ReceivedRequest() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_request;
    }

    bool Perform(TeskLibCurlResult& result) {
        return m_curl.Perform(HTTP_REQ_GET, BaseUrl() + "/client/api?command=x", "", m_response, TeskLibCurlLimits(),
                              result);
    }

    TeskLibCurl m_curl;
    std::string m_response;
    std::mutex m_mutex;
    std::string m_request;
    std::unique_ptr<cstest::RawListener> m_listener;  // stops before what its handler touches goes
};

TEST_F(TeskRestApiRawAnswerTest, InterimAnswerHeaderLinesAreDropped) {
    ServeOnce(
        "HTTP/1.1 100 Continue\r\nSet-Cookie: interim=1\r\n\r\n"
        "HTTP/1.1 200 OK\r\nSet-Cookie: final=1\r\nContent-Length: 2\r\nConnection: close\r\n\r\nok");
    TeskLibCurlResult result;
    ASSERT_TRUE(Perform(result));
    EXPECT_EQ(result.lHttpStatus, 200);
    EXPECT_EQ(m_response, "ok");
    std::list<std::string> cookies;
    EXPECT_TRUE(m_curl.GetHttpResponseHeaders("set-cookie", cookies));
    EXPECT_EQ(cookies, (std::list<std::string>{"Set-Cookie: final=1\r\n"}));
}

TEST_F(TeskRestApiRawAnswerTest, OnlyTheStatusNumberCounts) {
    ServeOnce("HTTP/1.1 531 531\r\nContent-Length: 2\r\nConnection: close\r\n\r\nno");
    TeskLibCurlResult result;
    ASSERT_TRUE(Perform(result));
    EXPECT_TRUE(result.bTransportOk);
    EXPECT_EQ(result.lHttpStatus, 531);
    EXPECT_EQ(result.nBytes, 2u);
}

TEST_F(TeskRestApiRawAnswerTest, ConnectionClosedMidBodyIsATransportFailure) {
    ServeOnce("HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nshort");
    TeskLibCurlResult result;
    EXPECT_FALSE(Perform(result));
    EXPECT_FALSE(result.bTransportOk);
    EXPECT_EQ(result.lHttpStatus, 200);
    EXPECT_FALSE(result.strError.empty());
}

TEST_F(TeskRestApiRawAnswerTest, HeaderLineWithEmptyValueIsSentEmpty) {
    ServeOnce("HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    ASSERT_TRUE(m_curl.TeskLibCurlAppendHeader(HTTP_HDR_REQUEST, "Cookie: "));
    ASSERT_TRUE(m_curl.TeskLibCurlAppendHeader(HTTP_HDR_REQUEST, "X-Kept: v"));
    TeskLibCurlResult result;
    ASSERT_TRUE(Perform(result));
    const std::string request = ReceivedRequest();
    EXPECT_NE(request.find("\r\nCookie:\r\n"), std::string::npos) << request;
    EXPECT_NE(request.find("\r\nX-Kept: v\r\n"), std::string::npos) << request;
}

TEST_F(TeskRestApiRawAnswerTest, FreedHeaderListSendsNoLines) {
    ServeOnce("HTTP/1.1 200 OK\r\nContent-Length: 0\r\nConnection: close\r\n\r\n");
    ASSERT_TRUE(m_curl.TeskLibCurlAppendHeader(HTTP_HDR_REQUEST, "X-Gone: v"));
    m_curl.TeskLibCurlFreeHttpHeaderList();
    TeskLibCurlResult result;
    ASSERT_TRUE(Perform(result));
    EXPECT_EQ(ReceivedRequest().find("X-Gone"), std::string::npos);
}

}  // namespace
