#include <gtest/gtest.h>

#include <cstdint>
#include <stdexcept>
#include <string>

#include "LogCapture.h"
#include "TeskJson.h"

namespace {

JsonObject ObjectOf(const std::string& text) {
    JsonObject object;
    EXPECT_TRUE(TeskJson::Unserialize(text, object)) << text;
    return object;
}

// ---------------------------------------------------------------------------
class TeskJsonUnserializeTest : public ::testing::Test {
protected:
    cstest::LogCapture m_log;
};

TEST_F(TeskJsonUnserializeTest, ObjectBodyFillsTheObject) {
    JsonObject out;
    ASSERT_TRUE(TeskJson::Unserialize(R"({"a":{"b":[1,2]},"c":"d"})", out));
    ASSERT_EQ(out.size(), 2u);
    EXPECT_EQ(out.at("a").at("b").size(), 2u);
    EXPECT_EQ(out.at("c"), "d");
}

TEST_F(TeskJsonUnserializeTest, ReplacesWhatTheObjectHeld) {
    JsonObject out = ObjectOf(R"({"old":1})");
    ASSERT_TRUE(TeskJson::Unserialize(R"({"new":2})", out));
    EXPECT_EQ(out.count("old"), 0u);
    EXPECT_EQ(out.count("new"), 1u);
}

TEST_F(TeskJsonUnserializeTest, RejectsEverythingButAnObjectSilently) {
    const char* const bodies[] = {
        "",   "   ",  "not json", R"({"a":1)", R"({"a":1} trailing)",          "[1,2,3]",    R"("a string")",
        "42", "null", "true",     "{'a':1}",   "<html>502 Bad Gateway</html>", R"({"a":1,})"};
    for (const char* body : bodies) {
        JsonObject out = ObjectOf(R"({"kept":true})");
        EXPECT_NO_THROW(EXPECT_FALSE(TeskJson::Unserialize(body, out)) << body);
        EXPECT_EQ(out.count("kept"), 1u) << body;
    }
    EXPECT_EQ(m_log.Count(), 0u);
}

// ---------------------------------------------------------------------------
class TeskJsonFindValueTest : public ::testing::Test {
protected:
    const JsonObject m_obj = ObjectOf(R"({"obj":{"x":1},"arr":[1,{"y":2}],"str":"s","num":3,"nul":null})");
};

TEST_F(TeskJsonFindValueTest, FindsObjectsAndArraysOfTheirOwnKind) {
    JsonObject object;
    ASSERT_TRUE(TeskJson::FindObjectValue(m_obj, "obj", object));
    EXPECT_EQ(object.at("x"), 1);
    JsonArray array;
    ASSERT_TRUE(TeskJson::FindArrayValue(m_obj, "arr", array));
    EXPECT_EQ(array.size(), 2u);
}

TEST_F(TeskJsonFindValueTest, OtherKindsAndMissingKeysFail) {
    JsonObject object;
    JsonArray array;
    for (const char* key : {"arr", "str", "num", "nul", "missing"}) {
        EXPECT_FALSE(TeskJson::FindObjectValue(m_obj, key, object)) << key;
    }
    for (const char* key : {"obj", "str", "num", "nul", "missing"}) {
        EXPECT_FALSE(TeskJson::FindArrayValue(m_obj, key, array)) << key;
    }
    EXPECT_EQ(TeskJson::FindObject(m_obj, "arr"), nullptr);
    EXPECT_EQ(TeskJson::FindArray(m_obj, "obj"), nullptr);
}

TEST_F(TeskJsonFindValueTest, KeysMatchExactlyOnly) {
    JsonObject object;
    JsonArray array;
    EXPECT_FALSE(TeskJson::FindObjectValue(m_obj, "OBJ", object));
    EXPECT_FALSE(TeskJson::FindArrayValue(m_obj, "Arr", array));
}

// ---------------------------------------------------------------------------
class TeskJsonKeyLookupTest : public ::testing::Test {};

TEST_F(TeskJsonKeyLookupTest, ServerLowerCaseKeysAnswerMixedCaseNames) {
    const JsonObject obj = ObjectOf(R"({"domainid":"d-1","zonename":"zone-eu1","cpunumber":4,"memory":2048})");
    EXPECT_EQ(TeskJson::GetStringValue(obj, "domainId"), "d-1");
    EXPECT_EQ(TeskJson::GetStringValue(obj, "zoneName"), "zone-eu1");
    EXPECT_EQ(TeskJson::GetIntValue(obj, "CpuNumber"), 4);
    EXPECT_EQ(TeskJson::GetUInt64Value(obj, "MEMORY"), 2048u);
}

TEST_F(TeskJsonKeyLookupTest, MixedCaseMemberAnswersAnyCase) {
    const JsonObject obj = ObjectOf(R"({"ZoneName":"z"})");
    EXPECT_EQ(TeskJson::GetStringValue(obj, "zonename"), "z");
    EXPECT_EQ(TeskJson::GetStringValue(obj, "ZONENAME"), "z");
    EXPECT_EQ(TeskJson::GetStringValue(obj, "zonenam"), "");
}

TEST_F(TeskJsonKeyLookupTest, ExactMatchWinsThenAllLowerCase) {
    // Sorted by name "DomainId" < "domainId" < "domainid": a plain scan would find "DomainId" first.
    const JsonObject obj = ObjectOf(R"({"DomainId":"upper","domainId":"exact","domainid":"lower"})");
    EXPECT_EQ(TeskJson::GetStringValue(obj, "domainId"), "exact");
    EXPECT_EQ(TeskJson::GetStringValue(obj, "DomainId"), "upper");
    EXPECT_EQ(TeskJson::GetStringValue(obj, "DOMAINID"), "lower");
}

TEST_F(TeskJsonKeyLookupTest, OnlyAsciiLettersFoldCase) {
    const JsonObject obj = ObjectOf(R"({"caf\u00e9":"x","a_b":"y"})");
    EXPECT_EQ(TeskJson::GetStringValue(obj, "CAF\xc3\xa9"), "x");
    EXPECT_EQ(TeskJson::GetStringValue(obj, "CAF\xc3\x89"), "");
    EXPECT_EQ(TeskJson::GetStringValue(obj, "A_B"), "y");
    EXPECT_EQ(TeskJson::GetStringValue(obj, "a-b"), "");
}

// ---------------------------------------------------------------------------
class TeskJsonStringTest : public ::testing::Test {
protected:
    const JsonObject m_obj = ObjectOf(R"({"s":"12.5%","empty":"","i":-7,"u":135089188864,"f":0.52,"t":true,
        "b":false,"n":null,"o":{"a":"b"},"a":["x"],"utf":"Caf\u00e9 \u6771\u4eac"})");
};

TEST_F(TeskJsonStringTest, ReturnsTextAsItIs) {
    EXPECT_EQ(TeskJson::GetStringValue(m_obj, "s"), "12.5%");
    EXPECT_EQ(TeskJson::GetStringValue(m_obj, "empty"), "");
    EXPECT_EQ(TeskJson::GetStringValue(m_obj, "utf"), "Caf\xc3\xa9 \xe6\x9d\xb1\xe4\xba\xac");
}

TEST_F(TeskJsonStringTest, NumbersAndBoolsGiveTheirJsonText) {
    EXPECT_EQ(TeskJson::GetStringValue(m_obj, "i"), "-7");
    EXPECT_EQ(TeskJson::GetStringValue(m_obj, "u"), "135089188864");
    EXPECT_EQ(TeskJson::GetStringValue(m_obj, "f"), "0.52");
    EXPECT_EQ(TeskJson::GetStringValue(m_obj, "t"), "true");
    EXPECT_EQ(TeskJson::GetStringValue(m_obj, "b"), "false");
}

TEST_F(TeskJsonStringTest, NullMissingAndContainersGiveEmptyText) {
    for (const char* key : {"n", "missing", "o", "a"}) {
        EXPECT_EQ(TeskJson::GetStringValue(m_obj, key), "") << key;
    }
}

// ---------------------------------------------------------------------------
class TeskJsonNumberTest : public ::testing::Test {
protected:
    static JsonObject Value(const std::string& json) { return ObjectOf("{\"v\":" + json + "}"); }
    static int Int(const std::string& json) { return TeskJson::GetIntValue(Value(json), "v"); }
    static uint64_t UInt64(const std::string& json) { return TeskJson::GetUInt64Value(Value(json), "v"); }
};

TEST_F(TeskJsonNumberTest, IntAcceptsTheWholeInt32Range) {
    EXPECT_EQ(Int("2147483647"), 2147483647);
    EXPECT_EQ(Int("-2147483648"), INT32_MIN);
    EXPECT_EQ(Int("0"), 0);
    EXPECT_EQ(Int(R"("2147483647")"), 2147483647);
    EXPECT_EQ(Int(R"("-2147483648")"), INT32_MIN);
    EXPECT_EQ(Int(R"("-15")"), -15);
}

TEST_F(TeskJsonNumberTest, IntRejectsAnythingElse) {
    for (const char* json : {"2147483648", "-2147483649", "4294967296", "18446744073709551615", "2.0", "1.5", "1e3",
                             "true", "false", "{}", "[]", "[1]"}) {
        EXPECT_THROW(Int(json), std::runtime_error) << json;
    }
    for (const char* text : {"", "+5", " 5", "5 ", "12a", "0x10", "-", "2147483648", "-2147483649", "1.0"}) {
        EXPECT_THROW(Int(std::string("\"") + text + "\""), std::runtime_error) << text;
    }
}

TEST_F(TeskJsonNumberTest, UInt64AcceptsTheWholeRange) {
    EXPECT_EQ(UInt64("18446744073709551615"), UINT64_MAX);
    EXPECT_EQ(UInt64("135089188864"), 135089188864u);
    EXPECT_EQ(UInt64("0"), 0u);
    EXPECT_EQ(UInt64(R"("123")"), 123u);
    EXPECT_EQ(UInt64(R"("18446744073709551615")"), UINT64_MAX);
}

TEST_F(TeskJsonNumberTest, UInt64RejectsAnythingElse) {
    // 18446744073709551616 does not fit any integer type, so it arrives as a double.
    for (const char* json : {"18446744073709551616", "-1", "-9223372036854775808", "1.5", "2.0", "true", "{}", "[]",
                             R"("")", R"("12a")", R"("-1")", R"("+1")", R"("18446744073709551616")", R"(" 1")"}) {
        EXPECT_THROW(UInt64(json), std::runtime_error) << json;
    }
}

TEST_F(TeskJsonNumberTest, MissingAndNullGiveZero) {
    EXPECT_EQ(Int("null"), 0);
    EXPECT_EQ(UInt64("null"), 0u);
    const JsonObject none = ObjectOf("{}");
    EXPECT_EQ(TeskJson::GetIntValue(none, "v"), 0);
    EXPECT_EQ(TeskJson::GetUInt64Value(none, "v"), 0u);
}

TEST_F(TeskJsonNumberTest, ErrorNamesTheKeyAndTheValue) {
    const JsonObject obj = ObjectOf(R"({"cpuspeed":"fast","memorytotal":-1})");
    try {
        TeskJson::GetIntValue(obj, "cpuSpeed");
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("cpuSpeed"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("fast"), std::string::npos) << e.what();
    }
    try {
        TeskJson::GetUInt64Value(obj, "memorytotal");
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("memorytotal"), std::string::npos) << e.what();
        EXPECT_NE(std::string(e.what()).find("-1"), std::string::npos) << e.what();
    }
}

TEST_F(TeskJsonNumberTest, CountIsNonNegativeIntegerOrNothing) {
    long long count = 99;
    EXPECT_TRUE(TeskJson::TryGetCount(Value("12"), "v", count));
    EXPECT_EQ(count, 12);
    EXPECT_TRUE(TeskJson::TryGetCount(Value(R"("34")"), "v", count));
    EXPECT_EQ(count, 34);
    for (const char* json : {"-1", "1.0", R"("x")", "null", "{}", "18446744073709551615"}) {
        count = 99;
        EXPECT_NO_THROW(EXPECT_FALSE(TeskJson::TryGetCount(Value(json), "v", count)) << json);
        EXPECT_EQ(count, 99) << json;
    }
}

}  // namespace

namespace {

// ---------------------------------------------------------------------------
// Limits on what one answer may cost, checked before anything is built.
class TeskJsonLimitTest : public ::testing::Test {
protected:
    ~TeskJsonLimitTest() override { TeskJson::SetCostLimit(TeskJson::kDefaultCostLimit); }

    static std::string Nest(std::size_t arrays) {
        return R"({"a":)" + std::string(arrays, '[') + std::string(arrays, ']') + "}";
    }
    static bool Refused(const std::string& body, const char* reason) {
        try {
            TeskJson::CheckTreeLimits(body);
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find(reason), std::string::npos) << e.what();
            return true;
        }
        return false;
    }
};

TEST_F(TeskJsonLimitTest, NestingUpToTheLimitPassesOneLevelMoreIsRefused) {
    EXPECT_FALSE(Refused(Nest(TeskJson::kMaxDepth - 1), ""));
    EXPECT_TRUE(Refused(Nest(TeskJson::kMaxDepth), "deeper than 256 levels"));
    // Unclosed brackets count as well: the check runs before anything is validated.
    EXPECT_TRUE(Refused(std::string(1 << 20, '['), "deeper than 256 levels"));
}

TEST_F(TeskJsonLimitTest, BracketsInStringsDoNotNest) {
    const std::string brackets(1000, '[');
    EXPECT_FALSE(Refused(R"({"a":")" + brackets + R"("})", ""));
    EXPECT_FALSE(Refused(R"({"a":"\")" + brackets + R"(\\","b":1})", ""));
    EXPECT_TRUE(Refused(R"({"a":"\\",)" + brackets, "deeper"));
}

TEST_F(TeskJsonLimitTest, UnserializeRefusesByThrowingAndKeepsTheOutput) {
    JsonObject out = ObjectOf(R"({"kept":1})");
    EXPECT_THROW(TeskJson::Unserialize(Nest(300), out), std::runtime_error);
    EXPECT_EQ(out.count("kept"), 1u);
}

TEST_F(TeskJsonLimitTest, CostFollowsWhatTheTreeHoldsNotTheLengthOfTheText) {
    // The same size of body: one long string is cheap, thousands of numbers are not.
    std::string numbers = R"({"a":[0)";
    for (int i = 0; i < 5000; ++i) numbers += ",0";
    numbers += "]}";
    const std::string text = R"({"a":")" + std::string(numbers.size() - 8, 'x') + R"("})";
    ASSERT_EQ(text.size(), numbers.size());
    EXPECT_EQ(TeskJson::SetCostLimit(64 * numbers.size()), TeskJson::kDefaultCostLimit);
    EXPECT_FALSE(Refused(numbers, ""));
    EXPECT_EQ(TeskJson::SetCostLimit(4 * numbers.size()), 64 * numbers.size());
    EXPECT_EQ(TeskJson::CostLimit(), 4 * numbers.size());
    EXPECT_TRUE(Refused(numbers, "bytes of memory to parse (the limit)"));
    EXPECT_FALSE(Refused(text, ""));
    JsonObject out;
    EXPECT_THROW(TeskJson::Unserialize(numbers, out), std::runtime_error);
    EXPECT_TRUE(TeskJson::Unserialize(text, out));
}

TEST_F(TeskJsonLimitTest, ReleaseEmptiesTreesOfAnyShape) {
    // Deeper than the path Release keeps, and wide at every level.
    JsonValue root = JsonValue::array();
    JsonValue* node = &root;
    for (int level = 0; level < 5000; ++level) {
        node->push_back(level);
        node->push_back(JsonValue::object({{"k", "v"}, {"o", JsonValue::object({{"x", 1}})}}));
        node->push_back(JsonValue::array());
        node = &node->back();
    }
    TeskJson::Release(root);
    EXPECT_TRUE(root.is_array());
    EXPECT_TRUE(root.empty());

    JsonObject document = ObjectOf(R"({"a":{"b":[1,{"c":[[],[[2]]]}]},"d":"e","f":[{}]})");
    TeskJson::Release(document);
    EXPECT_TRUE(document.empty());
}

}  // namespace
