// Fault cases of complete answers that are not what they should be: proxy pages, empty and
// non-object bodies, broken text, absurd nesting, a body of 64 MiB, duplicate keys; and what the
// one error line of a failed parse and the last error may show of the body and the server's text.

#include <nlohmann/json.hpp>

#include "FaultHarness.h"
#include "HostileText.h"

namespace faults {
namespace {

class FaultAnswerTest : public FaultTest {
protected:
    // A failed list of zones whose only line is the parser's, with the body shown after its reason.
    void ExpectBadList(const std::string& body, const std::string& why) {
        log.Clear();
        server.Queue("listZones", Reply{200, {}, body});
        ExpectFailure(ListZones(), CS_ERROR_BAD_ANSWER, {"[zone] - " + why});
        ExpectZonesUntouched();
    }

    // The body part of the one error line (after its first "; body: ").
    std::string LoggedBody() const {
        const auto lines = log.Errors();
        if (lines.size() != 1) return "(" + std::to_string(lines.size()) + " lines)";
        const std::string separator = "; body: ";
        const std::size_t at = lines[0].message.find(separator);
        return at == std::string::npos ? std::string() : lines[0].message.substr(at + separator.size());
    }
};

// ---------------------------------------------------------------------------
// Answers that are no list

TEST_F(FaultAnswerTest, ProxyPagesAreRefusedWithTheirStatus) {
    for (const int status : {502, 503}) {
        log.Clear();
        server.Queue("listZones", Reply{status,
                                        {},
                                        "<html><body><h1>" + std::to_string(status) + " Bad Gateway</h1></body></html>",
                                        "text/html"});
        ExpectFailure(ListZones(), status, {"refused it with HTTP status " + std::to_string(status)});
        EXPECT_NE(errors.strErrorMessage.find("is not the server's API answer"), std::string::npos)
            << errors.strErrorMessage;
        ExpectZonesUntouched();
    }
    ExpectAlive();
}

TEST_F(FaultAnswerTest, NoContentIsNoList) {
    server.Queue("listZones", Raw("HTTP/1.1 204 No Content\r\n\r\n"));
    ExpectFailure(ListZones(), CS_ERROR_BAD_ANSWER, {"[zone] - the body is empty"});
    ExpectZonesUntouched();
    ExpectAlive();
}

TEST_F(FaultAnswerTest, TopLevelThatIsNoObjectIsNoList) {
    for (const char* body : {R"([{"listzonesresponse":{"zone":[{"id":"z"}]}}])", R"("listzonesresponse")", "42", "null",
                             "<html>maintenance</html>"}) {
        ExpectBadList(body, "not a JSON object");
    }
    ExpectAlive();
}

TEST_F(FaultAnswerTest, AnswerUnderAnotherKeyOrWithAnErrorInsideA200IsNoList) {
    ExpectBadList(R"({"listpodsresponse":{"count":1,"pod":[{"id":"p"}]}})", "no \"listzonesresponse\" object");
    ExpectBadList(R"({"listzonesresponse":{"count":1,"zone":{"id":"z"}}})", "\"zone\" holds no array");
    // Only the envelope's code is taken, not the status of the answer that carried it.
    log.Clear();
    server.Queue("listZones",
                 Reply{200, {}, R"({"listzonesresponse":{"uuidList":[],"errorcode":530,"errortext":"busy"}})"});
    ExpectFailure(ListZones(), 530, {"[zone] - API error 530: busy"});
    EXPECT_EQ(errors.strErrorMessage, "busy");
    ExpectZonesUntouched();
    ExpectAlive();
}

TEST_F(FaultAnswerTest, InvalidUtf8IsNoList) {
    ExpectBadList("{\"listzonesresponse\":{\"count\":1,\"zone\":[{\"id\":\"z\",\"name\":\"\xff\xfe\xc3\"}]}}",
                  "not a JSON object");
    ExpectBadList("{\"listzonesresponse\":{\"count\":1,\"zone\":[{\"id\":\"\xed\xa0\x80\"}]}}", "not a JSON object");
    ExpectAlive();
}

TEST_F(FaultAnswerTest, AMillionLevelsOfNestingAreRefusedWithoutRecursion) {
    const std::string deep(1000000, '[');
    ExpectBadList(deep, "JSON answer nests objects and arrays deeper than 256 levels");
    ExpectBadList(R"({"listzonesresponse":{"count":1,"zone":[{"id":"z","tags":)" + deep,
                  "JSON answer nests objects and arrays deeper than 256 levels");
    ExpectBadList(R"({"listzonesresponse":)" + std::string(500000, '{') + std::string(500000, '}'),
                  "JSON answer nests objects and arrays deeper than 256 levels");
    ExpectAlive();
}

TEST_F(FaultAnswerTest, GenericCallsRefuseWhatTheListsRefuse) {
    // Call and CallList read the members themselves, through the parser's response object.
    for (const std::string& body : {std::string(1000000, '['), std::string("<html>502</html>"),
                                    std::string(R"({"listzonesresponse":{"errorcode":530,"errortext":"busy"}})")}) {
        for (const bool list : {false, true}) {
            log.Clear();
            server.Queue("listZones", Reply{200, {}, body});
            std::string json = "kept";
            const bool result = Run(
                [&] { return list ? queries.CallList("listZones", {}, json) : queries.Call("listZones", {}, json); });
            ExpectFailure(result, body[0] == '{' ? 530L : static_cast<long>(CS_ERROR_BAD_ANSWER),
                          {"json obj [listzonesresponse] - "});
            EXPECT_EQ(json, "kept");
        }
    }
    ExpectAlive();
}

TEST_F(FaultAnswerTest, SixtyFourMebibytesOfOpeningBracketsAreRefusedByTheParseBounds) {
    // As it arrives and as gzip brought it: the transport hands over 64 MiB either way.
    ExpectBadList(std::string(std::size_t{64} << 20, '['),
                  "JSON answer nests objects and arrays deeper than 256 levels");
    EXPECT_LE(LoggedBody().size(), CCloudStackParser::kLoggedBodyBytes + 64);
    ExpectAlive();
}

TEST_F(FaultAnswerTest, DuplicateKeysKeepTheLastValueAsTheTreeDoes) {
    server.Queue("listZones", Reply{200,
                                    {},
                                    R"({"listzonesresponse":{"count":1,"zone":[{"id":"first"}]},)"
                                    R"("listzonesresponse":{"count":2,"count":1,"zone":[{"id":"a"}],)"
                                    R"("zone":[{"id":"b","name":"n1","name":"n2"}]}})"});
    ASSERT_TRUE(ListZones()) << errors.strErrorMessage;
    ASSERT_EQ(zones.size(), 2u);
    EXPECT_EQ(zones[1].strId, "b");
    EXPECT_EQ(zones[1].strName, "n2");
    // count 1 was the last word: no second page is asked for.
    EXPECT_EQ(server.Requests("listZones").size(), 1u);
    EXPECT_TRUE(log.Errors().empty()) << log.AllText();
}

// ---------------------------------------------------------------------------
// What the one error line shows of the body

TEST_F(FaultAnswerTest, TheErrorLineShowsAtMostFourKibibytesAndMasksEverySecret) {
    // A value that cannot be converted: the line names it, the password beside it is masked.
    std::vector<SHostInfoLib> hosts(1);
    server.Queue("listHosts", Reply{200,
                                    {},
                                    R"({"listhostsresponse":{"count":1,"host":[{"id":"h","cpunumber":)"
                                    R"("many","password":"Pw-leak-7"}]}})"});
    ExpectFailure(Run([&] { return queries.GetHostInfoList(hosts, 0); }), CS_ERROR_BAD_ANSWER,
                  {"Exception parsing json list [host]", "cpunumber"});
    EXPECT_EQ(hosts.size(), 1u) << "nothing of the failed answer is appended";
    EXPECT_EQ(log.AllText().find("Pw-leak-7"), std::string::npos) << log.AllText();

    // Secrets of every kind in the first 4 KiB and one beyond, in a list broken at its very end.
    std::string body = R"({"listzonesresponse":{"count":3,"zone":[)"
                       R"({"id":"a","password":"Pw-leak-1","details":{"SecretKey":"Sk-leak-2","apikey":"Ak-leak-3"}},)"
                       R"({"id":"b","tags":[{"sessionkey":"Sess-leak-4"}],"pass\u0077ord":"Pw-leak-5","padding":")";
    body += std::string(8000, 'x') + R"("},{"id":"c","password":"Pw-leak-6"}]})";
    log.Clear();
    server.Queue("listZones", Reply{200, {}, body});
    ExpectFailure(ListZones(), CS_ERROR_BAD_ANSWER, {"[zone] - not a JSON object"});
    const std::string shown = LoggedBody();
    EXPECT_LE(shown.size(), CCloudStackParser::kLoggedBodyBytes + 64) << shown.size();
    EXPECT_NE(shown.find("bytes left out]"), std::string::npos);
    for (const char* secret : {"Pw-leak-1", "Sk-leak-2", "Ak-leak-3", "Sess-leak-4", "Pw-leak-5", "Pw-leak-6"}) {
        EXPECT_EQ(log.AllText().find(secret), std::string::npos) << secret << " in " << shown.substr(0, 400);
    }
    EXPECT_NE(shown.find(R"("password":"***")"), std::string::npos) << shown.substr(0, 400);
    ExpectZonesUntouched();
}

TEST_F(FaultAnswerTest, AJobResultHoldingAPasswordNeverReachesTheLog) {
    // A job that reset a machine's password answers with it; a field that cannot be read fails the parse.
    server.Queue("startVirtualMachine", Reply{200, {}, R"({"startvirtualmachineresponse":{"jobid":"j-1"}})"});
    server.Queue("queryAsyncJobResult",
                 Reply{200,
                       {},
                       R"({"queryasyncjobresultresponse":{"jobid":"j-1","jobstatus":1,"jobresultcode":"zero",)"
                       R"("jobresult":{"virtualmachine":{"id":"vm","password":"Vm-Pw-9","passwordenabled":true}}}})"});
    ExpectFailure(Run([&] { return operations.StartVM("", "vm"); }), CS_ERROR_BAD_ANSWER,
                  {"Exception parsing json obj [queryasyncjobresultresponse]", "jobresultcode"});
    EXPECT_EQ(log.AllText().find("Vm-Pw-9"), std::string::npos) << log.AllText();
    EXPECT_NE(LoggedBody().find(R"("password":"***")"), std::string::npos) << LoggedBody();
    ExpectAlive();
}

TEST_F(FaultAnswerTest, ServerTextReachesTheLogAndTheLastErrorShownAsEscapesOnOneLine) {
    const auto expectShownSafely = [this] {
        for (const TraceLogRecord& record : log.Records())
            EXPECT_EQ(cstest::FirstUnsafe(record.line), std::string::npos) << record.line;
        EXPECT_EQ(cstest::FirstUnsafe(errors.strErrorMessage), std::string::npos) << errors.strErrorMessage;
    };
    for (const cstest::HostileText& hostile : cstest::HostileTexts()) {
        SCOPED_TRACE(hostile.what);
        // The server's errortext: the last error holds it, the line quotes it with the body.
        if (hostile.json) {
            log.Clear();
            const nlohmann::json envelope = {{"listzonesresponse", {{"errorcode", 530}, {"errortext", hostile.text}}}};
            server.Queue("listZones", Reply{200, {}, envelope.dump()});
            ExpectFailure(ListZones(), 530, {"[zone] - API error 530: " + hostile.shown + "; body: {"});
            EXPECT_EQ(errors.strErrorMessage, hostile.shown);
            expectShownSafely();
        }
        // A body that is no answer, in the log line.
        log.Clear();
        server.Queue("listZones", Reply{200, {}, "<p>" + hostile.text + "</p>", "text/html"});
        ExpectFailure(ListZones(), CS_ERROR_BAD_ANSWER,
                      {"[zone] - not a JSON object; body: <p>" + hostile.shown + "</p>"});
        expectShownSafely();
        // A redirect's Location, in the log line and the last error.
        if (hostile.header) {
            log.Clear();
            server.Queue("listZones", Reply{302, {{"Location", "http://cloud.example.invalid/" + hostile.text}}, ""});
            ExpectFailure(ListZones(), CS_ERROR_REDIRECT);
            expectShownSafely();
        }
    }
    ExpectZonesUntouched();
    ExpectAlive();
}

}  // namespace
}  // namespace faults
