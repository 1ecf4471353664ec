// An answer that needs more memory than there is must not take the host down: std::bad_alloc is
// caught inside the parse and reported as false with one error line. This executable replaces the
// global operator new so that a test can make one chosen allocation fail.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "CloudStackParser.h"
#include "LogCapture.h"
#include "TestServer.h"

namespace {

std::atomic<long> g_countdown{0};                       // the allocation that fails, counted from 1; 0 for none
std::atomic<std::size_t> g_failAbove{~std::size_t{0}};  // every allocation larger than this fails
std::atomic<bool> g_failed{false};
std::atomic<bool> g_failedQuietly{false};  // the failed allocation was a nothrow one

bool ShouldFail(std::size_t size) {
    return size > g_failAbove.load() || (g_countdown.load() > 0 && g_countdown.fetch_sub(1) == 1);
}

}  // namespace

void* operator new(std::size_t size) {
    if (ShouldFail(size)) {
        g_failed = true;
        throw std::bad_alloc();
    }
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}

void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    if (ShouldFail(size)) {
        g_failed = true;
        g_failedQuietly = true;
        return nullptr;
    }
    return std::malloc(size == 0 ? 1 : size);
}

void* operator new[](std::size_t size) {
    return operator new(size);
}

void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept {
    return operator new(size, tag);
}

// Not inlined, so that the compiler does not pair the free() with a new-expression.
__attribute__((noinline)) void operator delete(void* p) noexcept {
    std::free(p);
}

__attribute__((noinline)) void operator delete(void* p, std::size_t) noexcept {
    std::free(p);
}

__attribute__((noinline)) void operator delete[](void* p) noexcept {
    std::free(p);
}

__attribute__((noinline)) void operator delete[](void* p, std::size_t) noexcept {
    std::free(p);
}

using namespace CloudStackSDKWrapper;

namespace {

using cstest::Fixture;

class CloudStackParserAllocTest : public ::testing::Test {
protected:
    void TearDown() override {
        g_countdown = 0;
        g_failAbove = ~std::size_t{0};
    }

    // Runs parse with the n-th allocation failing; true when that allocation happened.
    template <typename Parse>
    bool FailingAllocation(long n, Parse parse) {
        g_failed = false;
        g_failedQuietly = false;
        g_countdown = n;
        parse();
        g_countdown = 0;
        return g_failed;
    }

    CCloudStackParser m_parser;
};

TEST_F(CloudStackParserAllocTest, ListRecordsThatDoNotFitAreReportedNotThrown) {
    std::string body = R"({"listzonesresponse":{"count":20000,"zone":[)";
    for (int i = 0; i < 20000; ++i)
        body += (i > 0 ? "," : "") + std::string(R"({"name":"z)") + std::to_string(i) + "\"}";
    body += "]}}";
    cstest::LogCapture log;
    std::vector<SZoneInfoLib> zones;
    bool result = true;
    g_failAbove = 1 << 20;  // the room for 20,000 records is larger
    EXPECT_NO_THROW(result = m_parser.ParseNestedList(body, "listzonesresponse", "zone", zones));
    g_failAbove = ~std::size_t{0};
    EXPECT_FALSE(result);
    EXPECT_TRUE(zones.empty());
    const auto errors = log.Errors();
    ASSERT_EQ(log.Count(), 1u);
    EXPECT_EQ(errors[0].message.rfind("Exception parsing json list [zone] - std::bad_alloc; body: ", 0), 0u)
        << errors[0].message.substr(0, 200);
}

TEST_F(CloudStackParserAllocTest, EveryAllocationOfAListParseMayFail) {
    const std::string body = Fixture("listVirtualMachines.json");
    const std::string responseKey = "listvirtualmachinesresponse";
    const std::string itemKey = "virtualmachine";
    std::vector<SVMInfoLib> expected;
    ASSERT_TRUE(m_parser.ParseNestedList(body, "listvirtualmachinesresponse", "virtualmachine", expected));
    // Through the one pass (a padded body), the copy it makes of an unpadded one, and the tree
    // walk it hands a body with a byte-order mark to.
    std::string padded;
    padded.reserve(body.size() + CCloudStackParser::kBodyPadding);
    padded = body;
    const std::string marked = "\xEF\xBB\xBF" + body;
    for (const std::string* text : {static_cast<const std::string*>(&padded), &body, &marked}) {
        long n = 1;
        for (; n < 100000; ++n) {
            cstest::LogCapture log;
            std::vector<SVMInfoLib> vms;
            bool result = false;
            const bool failed = FailingAllocation(
                n, [&]() { EXPECT_NO_THROW(result = m_parser.ParseNestedList(*text, responseKey, itemKey, vms)); });
            if (!failed) {
                EXPECT_TRUE(result);
                EXPECT_EQ(vms.size(), expected.size());
                break;
            }
            // simdjson asks for some buffers without exceptions and copes when it gets none.
            if (result && g_failedQuietly) {
                EXPECT_EQ(vms.size(), expected.size()) << "allocation " << n;
                EXPECT_EQ(log.Count(), 0u) << "allocation " << n;
                continue;
            }
            EXPECT_FALSE(result) << "allocation " << n;
            EXPECT_TRUE(vms.empty()) << "allocation " << n;
            ASSERT_EQ(log.Count(), 1u) << "allocation " << n;
            EXPECT_NE(log.Records()[0].message.find(" - std::bad_alloc; body: "), std::string::npos)
                << "allocation " << n;
        }
        EXPECT_GT(n, 10) << "the parse allocates";
    }
}

TEST_F(CloudStackParserAllocTest, EveryAllocationOfAnObjectParseMayFail) {
    const std::string body = Fixture("queryAsyncJobResult-success.json");
    const std::string responseKey = "queryasyncjobresultresponse";
    long n = 1;
    for (; n < 100000; ++n) {
        cstest::LogCapture log;
        SJobInfoLib job;
        bool result = false;
        const bool failed = FailingAllocation(
            n, [&]() { EXPECT_NO_THROW(result = m_parser.ParseNestedObject(body, responseKey, job)); });
        if (!failed) {
            EXPECT_TRUE(result);
            EXPECT_EQ(job.nJobStatus, 1);
            break;
        }
        EXPECT_FALSE(result) << "allocation " << n;
        ASSERT_EQ(log.Count(), 1u) << "allocation " << n;
        EXPECT_EQ(log.Records()[0].message.rfind(
                      "Exception parsing json obj [queryasyncjobresultresponse] - std::bad_alloc; body: ", 0),
                  0u)
            << "allocation " << n;
    }
    EXPECT_GT(n, 10) << "the parse allocates";
}

}  // namespace
