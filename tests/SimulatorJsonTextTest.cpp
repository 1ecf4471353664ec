#include <gtest/gtest.h>

#include <cstdint>
#include <string>

#include "JsonText.h"
#include "SimulatorTestHelpers.h"

namespace {

using cssim::Json;
using namespace std::string_literals;

std::string Library(const Json& value) {
    return value.dump(-1, ' ', false, Json::error_handler_t::replace);
}

std::string Fast(const Json& value) {
    std::string text;
    cssim::AppendJson(text, value);
    return text;
}

TEST(SimulatorJsonTextTest, WritesWhatTheLibraryWritesForEveryRecordOfTheClouds) {
    const cssim::Inventory builtIn = cssim::Inventory::BuiltIn();
    for (const Json& document : {simtest::SharedGenerated(600).ToJson(), builtIn.ToJson()}) {
        EXPECT_EQ(Fast(document), Library(document));
    }
}

TEST(SimulatorJsonTextTest, EscapesLikeTheLibrary) {
    const std::string strings[] = {
        "plain",
        "quote \" backslash \\ slash /",
        "controls \x01\x08\x09\x0a\x0c\x0d\x1f and DEL \x7f"s,
        "nul \0 inside"s,
        "UTF-8: \xC3\xBC \xE2\x82\xAC \xF0\x9F\x98\x80",
        "truncated \xC3",
        "lone continuation \x80 byte",
        "surrogate \xED\xA0\x80",
        "overlong \xC0\xAF",
        "above U+10FFFF \xF4\x90\x80\x80",
        "",
    };
    for (const std::string& text : strings) {
        const Json value = Json{{text, text}, {"list", Json::array({text, 1})}};
        EXPECT_EQ(Fast(value), Library(value)) << text;
    }
}

TEST(SimulatorJsonTextTest, WritesNumbersAndLiteralsLikeTheLibrary) {
    const Json value = Json{{"int", -42},
                            {"big", std::int64_t{135089188864}},
                            {"unsigned", std::uint64_t{18446744073709551615ULL}},
                            {"float", 0.52},
                            {"zero", 0.0},
                            {"huge", 1e20},
                            {"negative", -3.5},
                            {"true", true},
                            {"false", false},
                            {"null", nullptr},
                            {"empty object", Json::object()},
                            {"empty array", Json::array()}};
    EXPECT_EQ(Fast(value), Library(value));
}

}  // namespace
