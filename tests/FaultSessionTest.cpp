// Fault cases of the login, through the wrapper as a host drives it: answers that set no session,
// Set-Cookie values that would smuggle header lines into later requests, and floods of cookies.
// A failed login leaves no session behind: later requests carry no cookie and no session key.

#include "CloudStackWrapper.h"
#include "FaultHarness.h"

namespace faults {
namespace {

std::string LoginBody(const std::string& sessionKey) {
    return R"({"loginresponse":{"timeout":"1800","username":"admin","sessionkey":")" + sessionKey + R"("}})";
}

class FaultSessionTest : public ::testing::Test {
protected:
    void SetUp() override {
        server.SetCredentials(kUser, kPassword);
        ASSERT_TRUE(server.Start());
    }

    bool Connect() { return wrapper.Connect(server.Address(), kUser, kPassword); }

    // The end of a failed login: false, the code, one error line, no secret in the log.
    void ExpectLoginFailure(bool result, long code, const std::string& needle) {
        EXPECT_FALSE(result);
        EXPECT_EQ(wrapper.GetLastError().lErrorCode, code) << wrapper.GetLastError().strErrorMessage;
        const auto lines = log.Errors();
        ASSERT_EQ(lines.size(), 1u) << log.AllText();
        EXPECT_NE(lines[0].line.find(needle), std::string::npos) << lines[0].line;
        EXPECT_EQ(log.AllText().find(kPassword), std::string::npos) << log.AllText();
    }

    // The next request goes out without any session, and the server refuses it.
    void ExpectNoSessionLeft() {
        server.ClearRequests();
        std::vector<SZoneInfoLib> zones;
        EXPECT_FALSE(wrapper.GetZoneInfoList(zones));
        EXPECT_EQ(wrapper.GetLastError().lErrorCode, 401);
        ASSERT_EQ(server.Count(), 1u);
        const RecordedRequest request = server.Requests().front();
        EXPECT_TRUE(request.Headers("Cookie").empty());
        EXPECT_FALSE(request.Has("sessionkey"));
    }

    // Cookie header lines of the last request the server saw.
    std::vector<std::string> SentCookieLines() const { return server.Requests().back().Headers("Cookie"); }

    cstest::LogCapture log;
    cstest::TestServer server;
    CCloudStackWrapper wrapper;
};

TEST_F(FaultSessionTest, HtmlPageWith200ThatSetsNoSessionIsAFailedLogin) {
    server.Queue("login", Reply{200,
                                {{"Set-Cookie", "JSESSIONID=portal-1; Path=/"}},
                                "<html><body>Welcome to the portal</body></html>",
                                "text/html"});
    // An answer that is no API error keeps its HTTP status.
    ExpectLoginFailure(Connect(), 200, "login failed: the login answer is not the server's JSON login answer");
    ExpectNoSessionLeft();
}

TEST_F(FaultSessionTest, JsonLoginAnswerWithoutASessionKeyIsAFailedLogin) {
    server.Queue("login", Reply{200,
                                {{"Set-Cookie", "JSESSIONID=j-1; Path=/client"}},
                                R"({"loginresponse":{"timeout":"1800","username":"admin"}})"});
    ExpectLoginFailure(Connect(), CS_ERROR_LOGIN_FAILED, "the login answer carries no session key");
    ExpectNoSessionLeft();
}

TEST_F(FaultSessionTest, LoginAnswerNestedTooDeepIsAFailedLoginNotAnException) {
    server.Queue("login", Reply{200, {{"Set-Cookie", "JSESSIONID=j-1"}}, std::string(1000000, '[')});
    ExpectLoginFailure(Connect(), 200, "deeper than 256 levels");
    ExpectNoSessionLeft();
}

TEST_F(FaultSessionTest, AnEndedSessionIsRenewedWithoutALineAndAFailedRenewalWritesOne) {
    ASSERT_TRUE(Connect());
    std::vector<SZoneInfoLib> zones;
    server.EndSession();
    EXPECT_TRUE(wrapper.GetZoneInfoList(zones)) << wrapper.GetLastError().strErrorMessage;
    EXPECT_TRUE(log.Errors().empty()) << log.AllText();

    // The new login is refused: the call's one line is the login's.
    server.EndSession();
    server.Queue("login", Reply{531, {}, cstest::Fixture("login-bad-credentials.json")});
    ExpectLoginFailure(wrapper.GetZoneInfoList(zones), 531,
                       "command login: the server refused it with HTTP status 531");

    // The repeat after a good new login gets 401 again: its line is the one.
    ASSERT_TRUE(Connect());
    log.Clear();
    server.ClearRequests();
    server.Queue("listZones", Reply{401, {}, cstest::Fixture("error-401-no-session.json")});
    server.Queue("listZones", Reply{401, {}, cstest::Fixture("error-401-no-session.json")});
    ExpectLoginFailure(wrapper.GetZoneInfoList(zones), 401,
                       "command listZones: the server refused it with HTTP status 401");
    EXPECT_EQ(server.Requests("listZones").size(), 2u);
    EXPECT_EQ(server.Requests("login").size(), 1u);
}

TEST_F(FaultSessionTest, SetCookieValuesWithControlCharactersAreNotSaved) {
    // Sent back as header lines, any of them could end the Cookie line and start another.
    const std::string cookies =
        "Set-Cookie: JSESSIONID=ok-1; Path=/client\r\n"
        "Set-Cookie: sessionkey=Key-1;HttpOnly\r\n"
        "Set-Cookie: cr=1\rX-Injected: cr\r\n"
        "Set-Cookie: soh=1\x01X-Injected: soh\r\n"
        "Set-Cookie: del=1\x7fX-Injected: del\r\n"
        "Set-Cookie: lf=1\nX-Injected: lf\r\n";
    const std::string body = LoginBody("Key-1");
    server.Queue("login", Raw(Http("200 OK", body, cookies + "Content-Type: application/json\r\n")));
    ASSERT_TRUE(Connect()) << wrapper.GetLastError().strErrorMessage;
    const auto lines = log.Errors();
    ASSERT_EQ(lines.size(), 1u) << log.AllText();
    EXPECT_NE(lines[0].line.find("Set-Cookie lines not saved: 3 with a control character, 0 beyond"), std::string::npos)
        << lines[0].line;

    server.Always("listZones", Reply{200, {}, R"({"listzonesresponse":{}})"});
    std::vector<SZoneInfoLib> zones;
    ASSERT_TRUE(wrapper.GetZoneInfoList(zones));
    const RecordedRequest sent = server.Requests().back();
    EXPECT_TRUE(sent.Headers("X-Injected").empty());
    // A bare LF ends a header line, so "lf=1" arrived as a clean cookie of its own.
    EXPECT_EQ(SentCookieLines(),
              (std::vector<std::string>{"JSESSIONID=ok-1; Path=/client", "sessionkey=Key-1;HttpOnly", "lf=1"}));
    EXPECT_EQ(sent.Param("sessionkey"), "Key-1");
}

TEST_F(FaultSessionTest, SetCookieWithANulByteMakesTheWholeLoginAnswerInvalid) {
    // curl refuses an answer with a NUL in its header block before any line reaches the library.
    static const char kNul[] = "Set-Cookie: nul=1\0X-Injected: nul\r\n";
    server.Queue("login", Raw(Http("200 OK", LoginBody("Key-1"),
                                   "Set-Cookie: sessionkey=Key-1\r\n" + std::string(kNul, sizeof kNul - 1))));
    ExpectLoginFailure(Connect(), CS_ERROR_TRANSPORT, "Nul byte in header");
    ExpectNoSessionLeft();
}

TEST_F(FaultSessionTest, TenThousandSetCookieLinesBreakTheHeaderBoundsNotTheHost) {
    std::string cookies;
    for (int i = 0; i < 10000; ++i) cookies += "Set-Cookie: c" + std::to_string(i) + "=v\r\n";
    server.Queue("login", Raw(Http("200 OK", LoginBody("Key-1"), cookies)));
    ExpectLoginFailure(Connect(), CS_ERROR_TOO_LARGE, "more than 100 header lines");
    ExpectNoSessionLeft();
}

TEST_F(FaultSessionTest, SixtySetCookieLinesBecomeFiftyCookieLines) {
    std::string cookies = "Set-Cookie: sessionkey=Key-1\r\n";
    for (int i = 0; i < 59; ++i) cookies += "Set-Cookie: c" + std::to_string(i) + "=v\r\n";
    server.Queue("login", Raw(Http("200 OK", LoginBody("Key-1"), cookies)));
    ASSERT_TRUE(Connect()) << wrapper.GetLastError().strErrorMessage;
    const auto lines = log.Errors();
    ASSERT_EQ(lines.size(), 1u) << log.AllText();
    EXPECT_NE(
        lines[0].line.find("Set-Cookie lines not saved: 0 with a control character, 10 beyond the 50 cookies kept"),
        std::string::npos)
        << lines[0].line;
    server.Always("listZones", Reply{200, {}, R"({"listzonesresponse":{}})"});
    std::vector<SZoneInfoLib> zones;
    ASSERT_TRUE(wrapper.GetZoneInfoList(zones));
    const auto sent = SentCookieLines();
    ASSERT_EQ(sent.size(), CCloudStackConnection::kMaxCookies);
    EXPECT_EQ(sent.front(), "sessionkey=Key-1");
    EXPECT_EQ(sent.back(), "c48=v");
}

}  // namespace
}  // namespace faults
