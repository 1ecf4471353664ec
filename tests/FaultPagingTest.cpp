// Fault cases of paging: a server whose count lies, whose pages repeat themselves, or that pages
// on and on. The number of requests stays bounded, and a list that fails leaves the caller's
// vector as it was before the call.

#include "FaultHarness.h"

namespace faults {
namespace {

// Every request for zones gets @p pageSize fresh ids from @p next, and a count of @p count.
std::function<std::optional<Reply>(const RecordedRequest&)> FreshPages(long long count, int pageSize, int* next) {
    return [count, pageSize, next](const RecordedRequest& request) -> std::optional<Reply> {
        if (request.Command() != "listZones") return std::nullopt;
        std::vector<std::string> ids;
        for (int i = 0; i < pageSize; ++i) ids.push_back("id-" + std::to_string((*next)++));
        return Reply{200, {}, Zones(ids, count)};
    };
}

class FaultPagingTest : public FaultTest {
protected:
    std::size_t ListRequests() const { return server.Requests("listZones").size(); }
    int m_next{0};
};

TEST_F(FaultPagingTest, ACountBeyondAnyInventoryIsRefusedAfterTheFirstPage) {
    server.SetHandler(FreshPages(1000000000000000000LL, 500, &m_next));
    ExpectFailure(ListZones(), CS_ERROR_LIST_TOO_LONG,
                  {"command listZones: the server counts 1000000000000000000 records; at most 1000000 are listed"});
    EXPECT_EQ(ListRequests(), 1u);
    ExpectZonesUntouched();

    // The same through the generic list, which keeps no records of its own.
    log.Clear();
    server.ClearRequests();
    std::string json = "kept";
    ExpectFailure(Run([&] { return queries.CallList("listZones", {}, json); }), CS_ERROR_LIST_TOO_LONG,
                  {"at most 1000000 are listed"});
    EXPECT_EQ(json, "kept");
    EXPECT_EQ(ListRequests(), 1u);
}

TEST_F(FaultPagingTest, AServerThatIgnoresPagingIsCaughtAtItsSecondPage) {
    server.SetHandler([](const RecordedRequest&) -> std::optional<Reply> {
        return Reply{200, {}, Zones({"a", "b", "c"}, 1000)};
    });
    ExpectFailure(ListZones(), CS_ERROR_LIST_TOO_LONG, {"page 2 repeats a record of an earlier page"});
    // Page 3 was asked for while page 2 was read, and abandoned.
    server.WaitForRequests(3);
    EXPECT_EQ(ListRequests(), 3u);
    ExpectZonesUntouched();
}

TEST_F(FaultPagingTest, ALaterPageRepeatingOneIdAmongFreshOnesEndsTheList) {
    server.SetHandler([](const RecordedRequest& request) -> std::optional<Reply> {
        const std::string page = request.Has("page") ? request.Param("page") : "1";
        return Reply{200, {}, Zones({"p" + page + "-a", page == "4" ? "p2-b" : "p" + page + "-b"}, 10)};
    });
    ExpectFailure(ListZones(), CS_ERROR_LIST_TOO_LONG, {"page 4 repeats a record of an earlier page"});
    server.WaitForRequests(5);
    EXPECT_EQ(ListRequests(), 5u);
    ExpectZonesUntouched();
}

TEST_F(FaultPagingTest, PagesThatNeverEndAreAskedForOnlyUntilTheCount) {
    // Every page brings fresh ids, page after page: the first answer's count and page size bound
    // the requests, and the list holds exactly what the count promised.
    server.SetHandler(FreshPages(47, 5, &m_next));
    EXPECT_TRUE(ListZones()) << errors.strErrorMessage;
    EXPECT_EQ(ListRequests(), 10u);
    EXPECT_EQ(zones.size(), 1u + 50u);
    EXPECT_EQ(server.Requests("listZones").back().Param("page"), "10");
    EXPECT_TRUE(log.Errors().empty()) << log.AllText();
}

TEST_F(FaultPagingTest, ALaterPageThatFailsTakesBackEveryPageBeforeIt) {
    server.Queue("listZones", Reply{200, {}, Zones({"a", "b", "c", "d"}, 12)});
    server.Queue("listZones", Reply{200, {}, Zones({"e", "f", "g", "h"}, 12)});
    server.Queue("listZones", Reply{200, {}, R"({"listzonesresponse":{"count":12,"zone":[{"id":"i"},)"});
    ExpectFailure(ListZones(), CS_ERROR_BAD_ANSWER, {"[zone] - not a JSON object"});
    EXPECT_EQ(ListRequests(), 3u);
    ExpectZonesUntouched();

    log.Clear();
    server.ClearRequests();
    server.Queue("listZones", Reply{200, {}, Zones({"a", "b", "c", "d"}, 12)});
    RawAnswer silence;
    silence.hang = true;
    server.Queue("listZones", Raw(silence));
    // Room enough for the first page on a loaded machine.
    Limits().lIdleTimeoutMs = 1000;
    ExpectFailure(ListZones(), CS_ERROR_TIMEOUT, {"no byte received for 1000 ms"});
    ExpectTrippedAt(1000);
    ExpectZonesUntouched();
    ExpectAlive();
}

// Page 4 is asked for while page 3 is read. When page 3 ends the list, page 4 is abandoned, and never
// answered here: the call returns only because it closed page 4's connection instead of reading it.
TEST_F(FaultPagingTest, APageThatEndsTheListAbandonsThePageOnItsWay) {
    const struct {
        const char* what;
        std::string page3;
        long code;  // 0: the list ends well, with the pages before
        const char* needle;
        std::size_t asked;
    } cases[] = {
        {"no JSON", "<html>maintenance</html>", CS_ERROR_BAD_ANSWER, "not a JSON object", 4},
        {"a record of page 1", Zones({"p1-a", "p3-b"}, 10), CS_ERROR_LIST_TOO_LONG,
         "page 3 repeats a record of an earlier page", 4},
        {"nothing: the count lied", R"({"listzonesresponse":{"count":10}})", 0, "", 4},
        {"the server's refusal", "", 530, "command listZones: the server refused it with HTTP status 530", 3},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        log.Clear();
        server.ClearRequests();
        zones.assign(1, SZoneInfoLib{});
        zones[0].strName = "kept";
        server.SetHandler([&c](const RecordedRequest& request) -> std::optional<Reply> {
            const std::string page = request.Has("page") ? request.Param("page") : "1";
            if (page == "4") {
                RawAnswer silence;
                silence.hang = true;
                return Raw(silence);
            }
            if (page == "3" && c.page3.empty()) {
                return Reply{530, {}, R"({"listzonesresponse":{"errorcode":530,"errortext":"db down"}})"};
            }
            if (page == "3") return Reply{200, {}, c.page3};
            return Reply{200, {}, Zones({"p" + page + "-a", "p" + page + "-b"}, 10)};
        });
        if (c.code == 0) {
            EXPECT_TRUE(ListZones()) << errors.strErrorMessage;
            ASSERT_EQ(zones.size(), 5u);
            EXPECT_EQ(zones[4].strId, "p2-b");
            EXPECT_TRUE(log.Errors().empty()) << log.AllText();
        } else {
            ExpectFailure(ListZones(), c.code, {c.needle});
            ExpectZonesUntouched();
        }
        server.WaitForRequests(c.asked);
        const auto requests = server.Requests("listZones");
        ASSERT_EQ(requests.size(), c.asked);
        EXPECT_EQ(requests.back().Param("page"), std::to_string(c.asked));
    }
    server.SetHandler(nullptr);
    ExpectAlive();
}

// As for any single answer, the records converted before the bad value stay: only paging, which
// could otherwise hand back a mix of pages, takes back what it appended.
TEST_F(FaultPagingTest, AFirstAnswerThatFailsHalfWayKeepsWhatWasConvertedBeforeTheBadValue) {
    server.Queue("listHosts", Reply{200,
                                    {},
                                    R"({"listhostsresponse":{"count":3,"host":[{"id":"h1","cpunumber":4},)"
                                    R"({"id":"h2","cpunumber":"four"},{"id":"h3"}]}})"});
    std::vector<SHostInfoLib> hosts(1);
    ExpectFailure(Run([&] { return queries.GetHostInfoList(hosts, 0); }), CS_ERROR_BAD_ANSWER,
                  {"Exception parsing json list [host]"});
    ASSERT_EQ(hosts.size(), 2u);
    EXPECT_EQ(hosts[1].strId, "h1");
}

}  // namespace
}  // namespace faults
