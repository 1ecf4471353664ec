// Wire-level tests of the management-server connection: login, cookies, the session key,
// command requests and the digest, against the in-process test server.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "CloudStackConnection.h"
#include "LogCapture.h"
#include "TestServer.h"

using CloudStackSDKWrapper::CCloudStackConnection;
using cstest::Reply;
using cstest::TestServer;

namespace {

class ConnectionTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(server.Start()); }
    void TearDown() override { server.Stop(); }

    bool Login(const std::string& user = "admin", const std::string& password = "password") {
        return connection.connect(server.Address(), user, password);
    }

    // A successful login answer that sets exactly the given cookie lines.
    static Reply LoginReply(std::vector<std::string> cookies) {
        Reply reply;
        reply.body = cstest::Fixture("login-success.json");
        for (auto& c : cookies) reply.headers.emplace_back("Set-Cookie", std::move(c));
        return reply;
    }

    TestServer server;
    CCloudStackConnection connection;
};

TEST_F(ConnectionTest, LoginIsAPostWithCredentialsInTheUrlAndNothingElse) {
    server.SetCredentials("u", "p");
    ASSERT_TRUE(Login("u", "p"));
    ASSERT_EQ(server.Count(), 1u);
    const auto login = server.Requests().front();
    EXPECT_EQ(login.method, "POST");
    EXPECT_EQ(login.target, "/client/api?command=login&username=u&password=p&response=json");
    EXPECT_EQ(login.body, "");
    EXPECT_EQ(login.Headers("Accept"), std::vector<std::string>{"application/json;charset=UTF-8"});
    EXPECT_TRUE(login.Headers("Cookie").empty());
    EXPECT_EQ(login.Headers("Content-Length"), std::vector<std::string>{"0"});
}

TEST_F(ConnectionTest, CredentialsWithReservedAndNonAsciiCharactersArriveIntact) {
    const std::string user = "op & ops+1=#x y";
    const std::string password = "p@ss w+rd&=#%\xC3\xA9\xE2\x82\xAC";
    server.SetCredentials(user, password);
    ASSERT_TRUE(Login(user, password));
    const auto login = server.Requests().front();
    EXPECT_EQ(login.Param("username"), user);
    EXPECT_EQ(login.Param("password"), password);
    EXPECT_EQ(login.Param("response"), "json");
}

TEST_F(ConnectionTest, EmptyCredentialsAreStillSent) {
    server.Queue("login", LoginReply({}));
    ASSERT_TRUE(Login("", ""));
    const auto login = server.Requests().front();
    EXPECT_TRUE(login.Has("username"));
    EXPECT_TRUE(login.Has("password"));
    EXPECT_EQ(login.Param("username"), "");
}

TEST_F(ConnectionTest, BadCredentialsFailAndLaterRequestsCarryNoSession) {
    EXPECT_FALSE(Login("admin", "wrong"));
    std::string response;
    EXPECT_FALSE(connection.GET("listZones", response));
    const auto list = server.Requests().back();
    EXPECT_TRUE(list.Headers("Cookie").empty());
    EXPECT_FALSE(list.Has("sessionkey"));
}

TEST_F(ConnectionTest, CookiesOfTheLoginAnswerAreReplayedInOrderOnePerLine) {
    server.Queue("login", LoginReply({"JSESSIONID=abc; Path=/client", "sessionkey=KEY1;HttpOnly;SameSite=Lax"}));
    server.Always("listZones", Reply{200, {}, cstest::Fixture("listZones.json")});
    ASSERT_TRUE(Login());
    std::string response;
    ASSERT_TRUE(connection.GET("listZones", response));
    const auto list = server.Requests().back();
    EXPECT_EQ(list.Headers("Cookie"),
              (std::vector<std::string>{"JSESSIONID=abc; Path=/client", "sessionkey=KEY1;HttpOnly;SameSite=Lax"}));
    EXPECT_EQ(list.Headers("Accept"), std::vector<std::string>{"application/json;charset=UTF-8"});
}

TEST_F(ConnectionTest, CookieLinesAreCutAfterTheColonWhateverTheBlanksAndCase) {
    server.SetHandler([](const cstest::RecordedRequest& r) -> std::optional<Reply> {
        if (r.Command() != "login") return std::nullopt;
        return Reply{200, {{"set-cookie", "JSESSIONID=first"}, {"SET-COOKIE", "  sessionkey=k2"}}, "{}"};
    });
    ASSERT_TRUE(Login());
    server.Always("listZones", Reply{200, {}, "{}"});
    std::string response;
    ASSERT_TRUE(connection.GET("listZones", response));
    EXPECT_EQ(server.Requests().back().Headers("Cookie"),
              (std::vector<std::string>{"JSESSIONID=first", "sessionkey=k2"}));
    EXPECT_EQ(server.Requests().back().Param("sessionkey"), "k2");
}

TEST_F(ConnectionTest, ALoginAnswerWithoutCookiesEmptiesTheList) {
    ASSERT_TRUE(Login());  // the default server sets two cookies
    server.Queue("login", LoginReply({}));
    ASSERT_TRUE(Login());
    server.Always("listZones", Reply{200, {}, "{}"});
    std::string response;
    ASSERT_TRUE(connection.GET("listZones", response));
    const auto list = server.Requests().back();
    EXPECT_TRUE(list.Headers("Cookie").empty());
    EXPECT_FALSE(list.Has("sessionkey"));
}

TEST_F(ConnectionTest, AnEmptySetCookieIsKeptAndSentAsAnEmptyCookieLine) {
    server.Queue("login", LoginReply({""}));
    ASSERT_TRUE(Login());
    server.Always("listZones", Reply{200, {}, "{}"});
    std::string response;
    ASSERT_TRUE(connection.GET("listZones", response));
    const auto cookies = server.Requests().back().Headers("Cookie");
    ASSERT_EQ(cookies.size(), 1u);
    EXPECT_EQ(cookies[0], "");
}

TEST_F(ConnectionTest, ASecondLoginReplacesTheCookiesOfTheFirst) {
    server.Queue("login", LoginReply({"JSESSIONID=one", "sessionkey=K1"}));
    server.Queue("login", LoginReply({"JSESSIONID=two", "sessionkey=K2;HttpOnly"}));
    ASSERT_TRUE(Login());
    ASSERT_TRUE(Login());
    server.Always("listZones", Reply{200, {}, "{}"});
    std::string response;
    ASSERT_TRUE(connection.GET("listZones", response));
    const auto list = server.Requests().back();
    EXPECT_EQ(list.Headers("Cookie"), (std::vector<std::string>{"JSESSIONID=two", "sessionkey=K2;HttpOnly"}));
    EXPECT_EQ(list.Param("sessionkey"), "K2");
}

TEST_F(ConnectionTest, TheSessionKeyTravelsAsAParameterAfterLoginOnly) {
    std::string response;
    EXPECT_FALSE(Login("admin", "wrong"));
    EXPECT_FALSE(connection.GET("listZones", response));  // no session yet: 401
    ASSERT_EQ(server.Count(), 2u);
    EXPECT_FALSE(server.Requests().back().Has("sessionkey"));

    ASSERT_TRUE(Login());
    EXPECT_FALSE(server.Requests().back().Has("sessionkey"));  // not on the login itself
    ASSERT_TRUE(connection.GET("listZones", response));
    ASSERT_TRUE(connection.POST("listHosts", {"id=x"}, response));
    for (const auto& r : server.Requests("listZones")) {
        if (!r.Headers("Cookie").empty()) {
            EXPECT_EQ(r.Param("sessionkey"), server.SessionKey());
        }
    }
    EXPECT_EQ(server.Requests("listHosts").back().Param("sessionkey"), server.SessionKey());
}

TEST_F(ConnectionTest, ASessionKeyNeedingEscapesIsPercentEncoded) {
    server.Queue("login", LoginReply({"sessionkey=a+b/c=;HttpOnly"}));
    ASSERT_TRUE(Login());
    server.Always("listZones", Reply{200, {}, "{}"});
    std::string response;
    ASSERT_TRUE(connection.GET("listZones", response));
    const auto list = server.Requests().back();
    EXPECT_EQ(list.Param("sessionkey"), "a+b/c=");
    EXPECT_NE(list.rawQuery.find("sessionkey=a%2Bb%2Fc%3D"), std::string::npos) << list.rawQuery;
}

TEST_F(ConnectionTest, NonSuccessStatusesAreFailures) {
    ASSERT_TRUE(Login());
    for (int status : {301, 400, 401, 404, 405, 431, 432, 500, 502, 503, 530, 531}) {
        server.Queue("listZones", Reply{status, {}, "{\"listzonesresponse\":{\"errorcode\":1}}"});
        std::string response;
        EXPECT_FALSE(connection.GET("listZones", response)) << status;
    }
    server.Queue("listZones", Reply{204, {}, ""});
    std::string response;
    EXPECT_TRUE(connection.GET("listZones", response));
}

TEST_F(ConnectionTest, AnUnreachableServerFailsWithoutSendingAnything) {
    server.Stop();
    cstest::LogCapture log;
    EXPECT_FALSE(Login());
    EXPECT_EQ(log.Errors().size(), 1u);
    CCloudStackConnection other;
    EXPECT_FALSE(other.connect("", "admin", "password"));  // nothing to connect to
}

TEST_F(ConnectionTest, ALaterLoginToAGoodServerRecovers) {
    CCloudStackConnection fresh;
    // Nothing listens on 127.1.0.1: test servers use 127.2.0.0 and above.
    EXPECT_FALSE(fresh.connect("127.1.0.1", "admin", "password"));
    ASSERT_TRUE(fresh.connect(server.Address(), "admin", "password"));
    std::string response;
    EXPECT_TRUE(fresh.GET("listZones", response));
}

TEST_F(ConnectionTest, OneTcpConnectionCarriesALoginAndTenRequests) {
    ASSERT_TRUE(Login());
    for (int i = 0; i < 10; ++i) {
        std::string response;
        ASSERT_TRUE(connection.GET("listZones", response));
    }
    EXPECT_EQ(server.Count(), 11u);
    EXPECT_EQ(server.ConnectionCount(), 1);
}

TEST_F(ConnectionTest, NoSecretReachesAnyLogLineWithDebugOn) {
    cstest::LogCapture log;
    connection.EnableDebug();
    const std::string password = "S3cr3t-P4ss";
    server.SetCredentials("admin", password);
    ASSERT_TRUE(Login("admin", password));
    std::string response;
    ASSERT_TRUE(connection.GET("listZones", response));
    server.Queue("listHosts", Reply{401, {}, "{}"});
    EXPECT_FALSE(connection.GET("listHosts", response));

    const std::string all = log.AllText();
    ASSERT_FALSE(all.empty());
    EXPECT_EQ(all.find(password), std::string::npos);
    EXPECT_EQ(all.find(server.SessionKey()), std::string::npos);
    EXPECT_EQ(all.find(server.SessionId()), std::string::npos);
    EXPECT_NE(all.find("password=*****"), std::string::npos);
    EXPECT_NE(all.find("sessionkey=*****"), std::string::npos);
    EXPECT_TRUE(log.AnyLineContains("Computed URL [http://" + server.Address() + ":8080/client/api?command=listZones"));
    EXPECT_TRUE(log.AnyLineContains("Parsed from response : Cookie = JSESSIONID=*****; Path=/client"));
}

TEST_F(ConnectionTest, ACookieWithoutANameIsMaskedWhole) {
    cstest::LogCapture log;
    connection.EnableDebug();
    server.Queue("login", LoginReply({"token123; Path=/client"}));
    ASSERT_TRUE(Login());
    EXPECT_EQ(log.AllText().find("token123"), std::string::npos) << log.AllText();
    EXPECT_TRUE(log.AnyLineContains("Parsed from response : Cookie = *****; Path=/client"));
}

TEST_F(ConnectionTest, TracesAreSilentUntilDebugIsEnabled) {
    cstest::LogCapture log;
    ASSERT_TRUE(Login());
    EXPECT_TRUE(log.Traces().empty());
}

TEST_F(ConnectionTest, GetAndPostSendTheSameQueryWithEmptyBodies) {
    ASSERT_TRUE(Login());
    std::string response = "kept until filled";
    ASSERT_TRUE(connection.GET("listZones", {"name=a", ""}, response));
    ASSERT_TRUE(connection.POST("listZones", {"name=a", ""}, response));
    const auto requests = server.Requests("listZones");
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].method, "GET");
    EXPECT_EQ(requests[1].method, "POST");
    EXPECT_EQ(requests[1].body, "");
    EXPECT_EQ(requests[0].Param("name"), "a");
    EXPECT_EQ(requests[0].rawQuery.find("command=listZones&name=a&&response=json"), 0u) << requests[0].rawQuery;
    EXPECT_EQ(response, cstest::Fixture("listZones.json"));
}

TEST(BuildCommandUrlTest, JoinsCommandArgumentsAndTheResponseFormatUnchanged) {
    CCloudStackConnection c;
    EXPECT_EQ(c.BuildCommandUrl("listZones", {}), "?command=listZones&response=json");
    EXPECT_EQ(c.BuildCommandUrl("listVirtualMachines", {"name=vm01"}),
              "?command=listVirtualMachines&name=vm01&response=json");
    EXPECT_EQ(c.BuildCommandUrl("queryAsyncJobResult", {"jobid=42"}),
              "?command=queryAsyncJobResult&jobid=42&response=json");
    EXPECT_EQ(c.BuildCommandUrl("x", {"", "a=b c&d#e"}), "?command=x&&a=b c&d#e&response=json");
    EXPECT_EQ(c.BuildCommandUrl("", {}), "?command=&response=json");
}

TEST(MD5HashTest, MatchesTheRfc1321Suite) {
    CCloudStackConnection c;
    EXPECT_EQ(c.MD5Hash(""), "D41D8CD98F00B204E9800998ECF8427E");
    EXPECT_EQ(c.MD5Hash("a"), "0CC175B9C0F1B6A831C399E269772661");
    EXPECT_EQ(c.MD5Hash("abc"), "900150983CD24FB0D6963F7D28E17F72");
    EXPECT_EQ(c.MD5Hash("message digest"), "F96B697D7CB7938D525A2F31AAF161D0");
    EXPECT_EQ(c.MD5Hash("abcdefghijklmnopqrstuvwxyz"), "C3FCD3D76192E4007DFB496CCA67E13B");
    EXPECT_EQ(c.MD5Hash("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              "D174AB98D277D9F5A5611C2C9F419D9F");
    EXPECT_EQ(c.MD5Hash("12345678901234567890123456789012345678901234567890123456789012345678901234567890"),
              "57EDF4A22BE3C955AC49DA2E2107B67A");
}

TEST(MD5HashTest, CountsEveryByteAndKeepsLeadingZeros) {
    CCloudStackConnection c;
    const std::string a("ab\0cd", 5), b("ab\0ce", 5);
    EXPECT_NE(c.MD5Hash(a), c.MD5Hash(b));
    EXPECT_NE(c.MD5Hash(a), c.MD5Hash("ab"));
    EXPECT_EQ(c.MD5Hash(std::string(1, '\0')), "93B885ADFE0DA089CDF634904FD59F71");
    // md5("jk8ssl") begins with a zero byte.
    EXPECT_EQ(c.MD5Hash("jk8ssl"), "0000000018E6137AC2CAAB16074784A6");
    for (const char* text : {"", "x", "password", "\xff\xfe"}) {
        const std::string digest = c.MD5Hash(text);
        ASSERT_EQ(digest.size(), 32u);
        EXPECT_EQ(digest.find_first_not_of("0123456789ABCDEF"), std::string::npos) << digest;
    }
}

}  // namespace
