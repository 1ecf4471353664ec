// Self-test of the scripted management server that every wire-level test relies on.

#include <curl/curl.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <future>
#include <nlohmann/json.hpp>
#include <utility>

#include "LoopbackSockets.h"
#include "TestCertificates.h"
#include "TestServer.h"

namespace {

using cstest::Fixture;
using cstest::RawExchange;
using cstest::Reply;
using cstest::TestServer;

Reply Status(int status) {
    Reply r;
    r.status = status;
    r.body = "{}";
    return r;
}

class TestServerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(server.Start());
        client.set_url_encode(false);  // send targets exactly as written
        client.set_keep_alive(true);
    }

    httplib::Result Login(const std::string& password = "password") {
        return client.Post("/client/api?command=login&username=admin&password=" + password + "&response=json");
    }

    httplib::Result Call(const std::string& query, const httplib::Headers& headers = {}) {
        return client.Get("/client/api?" + query, headers);
    }

    httplib::Headers SessionCookies() {
        return {{"Cookie", "JSESSIONID=" + server.SessionId()}, {"Cookie", "sessionkey=" + server.SessionKey()}};
    }

    TestServer server;
    httplib::Client client{server.Address(), TestServer::kPort};
};

TEST_F(TestServerTest, LoginOnlyByPostSetsBothCookiesAndEveryLoginMakesANewSession) {
    auto get = client.Get("/client/api?command=login&username=admin&password=password&response=json");
    ASSERT_TRUE(get);
    EXPECT_EQ(405, get->status);
    EXPECT_EQ(std::string::npos, get->get_header_value("Content-Type").find("json"));
    EXPECT_TRUE(server.SessionKey().empty());

    auto bad = Login("wrong");
    ASSERT_TRUE(bad);
    EXPECT_EQ(531, bad->status);
    EXPECT_EQ(nlohmann::json::parse(Fixture("login-bad-credentials.json")), nlohmann::json::parse(bad->body));
    EXPECT_FALSE(bad->has_header("Set-Cookie"));

    auto good = Login();
    ASSERT_TRUE(good);
    ASSERT_EQ(200, good->status);
    const std::string key = server.SessionKey();
    const std::string id = server.SessionId();
    EXPECT_EQ(27u, key.size());
    EXPECT_EQ(key, nlohmann::json::parse(good->body)["loginresponse"]["sessionkey"]);
    ASSERT_EQ(2u, good->get_header_value_count("Set-Cookie"));
    EXPECT_EQ("JSESSIONID=" + id + "; Path=/client", good->get_header_value("Set-Cookie", 0));
    EXPECT_EQ("sessionkey=" + key + ";HttpOnly;SameSite=Lax", good->get_header_value("Set-Cookie", 1));

    server.SetOlderServerCookie(true);
    auto again = Login();
    ASSERT_TRUE(again);
    EXPECT_NE(key, server.SessionKey());
    EXPECT_NE(id, server.SessionId());
    EXPECT_EQ("sessionkey=" + server.SessionKey() + ";HttpOnly", again->get_header_value("Set-Cookie", 1));

    // A POST without Content-Length has no body; it must not wait for one.
    const std::string raw = RawExchange(server.Address(), TestServer::kPort,
                                        "POST /client/api?command=login&username=admin&password=password&response=json "
                                        "HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(0u, raw.rfind("HTTP/1.1 200", 0)) << raw;
}

TEST_F(TestServerTest, CurrentServerNeedsCookieAndParameterAndABadKeyEndsTheSession) {
    ASSERT_TRUE(Login());
    const std::string key = server.SessionKey();

    auto ok = Call("command=listZones&response=json&sessionkey=" + key, SessionCookies());
    ASSERT_TRUE(ok);
    EXPECT_EQ(200, ok->status);
    EXPECT_EQ(Fixture("listZones.json"), ok->body);

    auto cookieOnly = Call("command=listZones&response=json", SessionCookies());
    ASSERT_TRUE(cookieOnly);
    EXPECT_EQ(401, cookieOnly->status);
    EXPECT_EQ(
        R"({"listzonesresponse":{"uuidList":[],"errorcode":401,"errortext":"unable to verify user credentials"}})",
        cookieOnly->body);
    EXPECT_TRUE(server.SessionKey().empty());

    const httplib::Headers oldCookies{{"Cookie", "JSESSIONID=x"}, {"Cookie", "sessionkey=" + key}};
    auto afterwards = Call("command=listHosts&response=json&sessionkey=" + key, oldCookies);
    ASSERT_TRUE(afterwards);
    EXPECT_EQ(401, afterwards->status);
    EXPECT_EQ(
        R"({"listhostsresponse":{"uuidList":[],"errorcode":401,"errortext":"unable to verify user credentials and/or request signature"}})",
        afterwards->body);
}

TEST_F(TestServerTest, OlderServerTakesEitherCookieOrParameterButEveryPresentOneMustMatch) {
    server.SetRequireParamAndCookie(false);
    ASSERT_TRUE(Login());
    const std::string id = server.SessionId();
    const std::string key = server.SessionKey();

    auto cookieOnly = Call("command=listPods&response=json", SessionCookies());
    ASSERT_TRUE(cookieOnly);
    EXPECT_EQ(200, cookieOnly->status);
    auto paramOnly = Call("command=listPods&response=json&sessionkey=" + key, {{"Cookie", "JSESSIONID=" + id}});
    ASSERT_TRUE(paramOnly);
    EXPECT_EQ(200, paramOnly->status);
    auto wrongParam = Call("command=listPods&response=json&sessionkey=nope", SessionCookies());
    ASSERT_TRUE(wrongParam);
    EXPECT_EQ(401, wrongParam->status);
    EXPECT_TRUE(server.SessionId().empty());
}

TEST_F(TestServerTest, DefaultListsFilterAndPage) {
    ASSERT_TRUE(Login());
    const std::string auth = "&response=json&sessionkey=" + server.SessionKey();
    const auto items = [&](const std::string& query, const char* key, const char* member) {
        auto r = Call(query + auth, SessionCookies());
        std::vector<std::string> names;
        if (!r || r->status != 200) return std::vector<std::string>{"status " + std::to_string(r ? r->status : -1)};
        const auto doc = nlohmann::json::parse(r->body).at(key);
        for (const auto& item : doc.value(member, nlohmann::json::array())) names.push_back(item.at("name"));
        return names;
    };
    using Names = std::vector<std::string>;
    EXPECT_EQ(items("command=listVirtualMachines", "listvirtualmachinesresponse", "virtualmachine"), Names{"web-01"});
    EXPECT_EQ(items("command=listVirtualMachines&listall=true", "listvirtualmachinesresponse", "virtualmachine"),
              (Names{"web-01", "db-01"}));
    EXPECT_EQ(
        items("command=listVirtualMachines&listall=true&name=DB", "listvirtualmachinesresponse", "virtualmachine"),
        Names{"db-01"});
    // Only machines are filtered by name; an unknown id matches nothing instead of failing.
    EXPECT_EQ(items("command=listZones&name=nothing", "listzonesresponse", "zone"), (Names{"zone-eu1", "zone-eu2"}));
    EXPECT_EQ(items("command=listHosts&id=x", "listhostsresponse", "host"), Names{});
    EXPECT_EQ(items("command=listZones&page=2&pagesize=1", "listzonesresponse", "zone"), Names{"zone-eu2"});
    EXPECT_EQ(items("command=listZones&page=1&pagesize=501", "listzonesresponse", "zone"), Names{"status 431"});
}

TEST_F(TestServerTest, DefaultJobsSucceedAndUnknownCommandsPathsAndMethodsAreRefused) {
    ASSERT_TRUE(Login());
    const std::string auth = "&response=json&sessionkey=" + server.SessionKey();
    auto start = Call("command=startVirtualMachine&id=fcbea053-779e-4c4b-8c30-b22ece7c5b3d" + auth, SessionCookies());
    ASSERT_TRUE(start);
    ASSERT_EQ(200, start->status) << start->body;
    const std::string jobId = nlohmann::json::parse(start->body).at("startvirtualmachineresponse").at("jobid");
    for (const std::string& id : {jobId, std::string("scripted-job")}) {
        auto poll = Call("command=queryAsyncJobResult&jobid=" + id + auth, SessionCookies());
        ASSERT_TRUE(poll);
        const auto job = nlohmann::json::parse(poll->body).at("queryasyncjobresultresponse");
        EXPECT_EQ(1, job.at("jobstatus")) << poll->body;
        EXPECT_EQ(id, job.at("jobid"));
    }
    auto unknownVm = Call("command=stopVirtualMachine&id=nope" + auth, SessionCookies());
    ASSERT_TRUE(unknownVm);
    EXPECT_EQ(431, unknownVm->status);
    auto missingId = Call("command=stopVirtualMachine" + auth, SessionCookies());
    ASSERT_TRUE(missingId);
    EXPECT_EQ(431, missingId->status);
    auto unknown = Call("command=listTemplates" + auth, SessionCookies());
    ASSERT_TRUE(unknown);
    EXPECT_EQ(432, unknown->status);
    auto elsewhere = client.Get("/client/other", SessionCookies());
    ASSERT_TRUE(elsewhere);
    EXPECT_EQ(404, elsewhere->status);
    auto put = client.Put("/client/api?command=listZones" + auth, SessionCookies(), "", "text/plain");
    ASSERT_TRUE(put);
    EXPECT_EQ(405, put->status);

    const httplib::Headers cookies = SessionCookies();
    server.EndSession();
    EXPECT_TRUE(server.SessionKey().empty());
    auto ended = Call("command=listZones" + auth, cookies);
    ASSERT_TRUE(ended);
    EXPECT_EQ(401, ended->status);

    ASSERT_TRUE(Login());
    EXPECT_FALSE(server.SessionId().empty());
    server.Stop();
    EXPECT_TRUE(server.SessionId().empty());
}

TEST_F(TestServerTest, QueuedRepliesComeFirstThenTheFixedOneThenTheHandlerThenTheDefault) {
    Reply first = Status(531);
    first.headers = {{"Set-Cookie", "a=1"}, {"Set-Cookie", "b=2"}};
    server.Queue("listZones", first);
    server.Queue("listZones", Status(202));
    server.Always("listZones", Status(210));
    server.SetHandler([](const cstest::RecordedRequest& r) -> std::optional<Reply> {
        if (r.Command() == "listZones" || r.Command() == "listPods") return Status(222);
        return std::nullopt;
    });

    std::vector<int> statuses;
    for (int i = 0; i < 4; ++i) {
        auto res = Call("command=listZones&response=json");
        ASSERT_TRUE(res);
        statuses.push_back(res->status);
        if (i == 0) {
            ASSERT_EQ(2u, res->get_header_value_count("Set-Cookie"));
            EXPECT_EQ("a=1", res->get_header_value("Set-Cookie", 0));
            EXPECT_EQ("b=2", res->get_header_value("Set-Cookie", 1));
        }
    }
    EXPECT_EQ((std::vector<int>{531, 202, 210, 210}), statuses);

    auto handled = Call("command=listPods&response=json");
    ASSERT_TRUE(handled);
    EXPECT_EQ(222, handled->status);
    auto unhandled = Call("command=listHosts&response=json");
    ASSERT_TRUE(unhandled);
    EXPECT_EQ(401, unhandled->status);  // the default: no session
    EXPECT_EQ(6u, server.Count());
    EXPECT_EQ(4u, server.Requests("listZones").size());
}

TEST_F(TestServerTest, RecordsTheRawTargetDecodedParametersAndHeaderLinesInReceivedOrder) {
    const std::string target = "/client/api?command=listZones&name=a%2Bb&name=c+d&x=%26%3D&flag&q=a?b";
    const std::string response = RawExchange(server.Address(), TestServer::kPort,
                                             "GET " + target +
                                                 " HTTP/1.1\r\nZ-Last: 1\r\nCookie: a=1; b = 2 \r\n"
                                                 "A-First:  two words \r\nCookie: c=3\r\n"
                                                 "Host: x\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(0u, response.rfind("HTTP/1.1 401", 0)) << response;  // a '?' in the query is data, as on the server

    ASSERT_EQ(1u, server.Count());
    const auto r = server.Requests().front();
    EXPECT_EQ("GET", r.method);
    EXPECT_EQ(target, r.target);
    EXPECT_EQ("/client/api", r.path);
    EXPECT_EQ("command=listZones&name=a%2Bb&name=c+d&x=%26%3D&flag&q=a?b", r.rawQuery);
    const cstest::NameValues params{
        {"command", "listZones"}, {"name", "a+b"}, {"name", "c d"}, {"x", "&="}, {"flag", ""}, {"q", "a?b"}};
    EXPECT_EQ(params, r.params);
    EXPECT_EQ("c d", r.Param("name"));
    EXPECT_TRUE(r.Has("flag"));
    EXPECT_FALSE(r.Has("nope"));
    const cstest::NameValues headers{
        {"Z-Last", "1"}, {"Cookie", "a=1; b = 2"}, {"A-First", "two words"}, {"Cookie", "c=3"},
        {"Host", "x"},   {"Connection", "close"}};
    EXPECT_EQ(headers, r.headers);
    EXPECT_EQ((std::vector<std::string>{"a=1; b = 2", "c=3"}), r.Headers("cookie"));
    EXPECT_EQ((cstest::NameValues{{"a", "1"}, {"b", "2"}, {"c", "3"}}), r.Cookies());
}

TEST_F(TestServerTest, NumbersTcpConnectionsInOrderOfFirstRequest) {
    for (int i = 0; i < 7; ++i) ASSERT_TRUE(Call("command=listZones"));
    httplib::Client second(server.Address(), TestServer::kPort);
    ASSERT_TRUE(second.Get("/client/api?command=listZones"));
    ASSERT_TRUE(Call("command=listZones"));

    std::vector<int> connections;
    for (const auto& r : server.Requests()) connections.push_back(r.connection);
    EXPECT_EQ((std::vector<int>{1, 1, 1, 1, 1, 1, 1, 2, 1}), connections);
    EXPECT_EQ(2, server.ConnectionCount());
    server.ClearRequests();
    EXPECT_EQ(0, server.ConnectionCount());
}

TEST_F(TestServerTest, ASecondServerOnTheSameAddressFailsToStartAndStopCutsADelayedAnswerShort) {
    TestServer second(server.Address());
    EXPECT_FALSE(second.Start());

    std::promise<void> arrived;
    server.SetHandler([&arrived](const cstest::RecordedRequest&) -> std::optional<Reply> {
        arrived.set_value();
        Reply slow = Status(200);
        slow.delayMs = 3600 * 1000;  // far beyond the test's time limit: only Stop can end it
        return slow;
    });
    client.set_read_timeout(3600, 0);
    auto pending = std::async(std::launch::async, [this] { return static_cast<bool>(Call("command=listZones")); });
    arrived.get_future().wait();
    server.Stop();
    server.Stop();
    EXPECT_FALSE(pending.get());
    EXPECT_FALSE(server.Running());
}

TEST_F(TestServerTest, ARawReplyGoesOutByteForByteAndTheRequestIsRecordedAsAnyOther) {
    Reply broken;
    broken.raw.emplace();
    broken.raw->bytes = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\nshort";
    broken.raw->close = true;
    server.Queue("listZones", broken);
    const std::string response =
        RawExchange(server.Address(), TestServer::kPort, "GET /client/api?command=listZones HTTP/1.1\r\n\r\n");
    EXPECT_EQ(broken.raw->bytes, response);
    ASSERT_EQ(1u, server.Requests("listZones").size());
}

// What curl, the library's transport, makes of one HTTPS request: its result code and the HTTP status.
std::pair<CURLcode, long> HttpsGet(const std::string& url, const std::string& caFile) {
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_CAINFO, caFile.c_str());
    curl_easy_setopt(curl, CURLOPT_PROXY, "");  // never through a proxy from the environment
    curl_easy_setopt(
        curl, CURLOPT_WRITEFUNCTION, +[](char*, size_t size, size_t count, void*) { return size * count; });
    const CURLcode code = curl_easy_perform(curl);
    long status = 0;
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status);
    curl_easy_cleanup(curl);
    return {code, status};
}

TEST(TestServerTlsTest, ServesHttpsOnItsPortWithACertificateThatOnlyTheTestCaVouchesFor) {
    const cstest::TestCertificates certs("", cstest::ProcessLoopbackAddress());
    TestServer server;
    cstest::ListenOptions options;
    options.port = 8443;
    options.tls = certs.Server();
    ASSERT_TRUE(server.Start(options));
    EXPECT_EQ("https://" + server.Address() + ":8443", server.BaseUrl());
    const std::string url = server.BaseUrl() + "/client/api?command=listZones&response=json";
    EXPECT_EQ(std::make_pair(CURLE_OK, 401L), HttpsGet(url, certs.Ca().certificateFile));

    server.Stop();
    options.tls = certs.Unknown();
    ASSERT_TRUE(server.Start(options));
    EXPECT_EQ(CURLE_PEER_FAILED_VERIFICATION, HttpsGet(url, certs.Ca().certificateFile).first);
    EXPECT_EQ(1u, server.Count());  // the refused handshake carried no request
}

}  // namespace
