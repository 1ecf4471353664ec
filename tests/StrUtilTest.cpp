#include <gtest/gtest.h>

#include <ostream>
#include <string>

#include "StrUtil.h"

namespace {

class StrUtilTest : public ::testing::Test {};

TEST_F(StrUtilTest, FormatsLikePrintf) {
    EXPECT_EQ(StrUtil::Format("%s=%d/%05.1f", "k", -7, 2.25), "k=-7/002.2");
}

TEST_F(StrUtilTest, FormatsTextLongerThanAnyFixedBuffer) {
    const std::string big(70000, 'z');
    const std::string out = StrUtil::Format("[%s|%s]", big.c_str(), "end");
    EXPECT_EQ(out.size(), big.size() + 6);
    EXPECT_EQ(out, "[" + big + "|end]");
}

TEST_F(StrUtilTest, FormatOfEmptyResultIsEmpty) {
    EXPECT_EQ(StrUtil::Format("%s", ""), "");
}

TEST_F(StrUtilTest, TrimRightRemovesOnlyTrailingCharactersOfTheSet) {
    std::string text = " a \r\n b\r\n \r\n";
    StrUtil::TrimRight(text, "\r\n ");
    EXPECT_EQ(text, " a \r\n b");
}

TEST_F(StrUtilTest, TrimRightCanEmptyTheText) {
    std::string text = "\r\n\r\n";
    StrUtil::TrimRight(text, "\r\n");
    EXPECT_EQ(text, "");
}

TEST_F(StrUtilTest, TrimRightLeavesTextWithoutTrailingSetCharacters) {
    std::string text = "value;";
    StrUtil::TrimRight(text, " ");
    EXPECT_EQ(text, "value;");
}

TEST_F(StrUtilTest, ToUpperChangesAsciiLettersOnly) {
    std::string text = "abc-XyZ_09 \xC3\xA4\xE2\x82\xAC";
    StrUtil::ToUpper(text);
    EXPECT_EQ(text, "ABC-XYZ_09 \xC3\xA4\xE2\x82\xAC");
}

TEST_F(StrUtilTest, CompareNoCaseIgnoresCaseAndOrdersOtherwise) {
    EXPECT_EQ(StrUtil::CompareNoCase("Set-Cookie", "set-COOKIE"), 0);
    EXPECT_LT(StrUtil::CompareNoCase("apple", "Banana"), 0);
    EXPECT_GT(StrUtil::CompareNoCase("cookie2", "COOKIE"), 0);
}

struct EncodeCase {
    const char* input;
    const char* expected;
};

// The case as ctest lists it: its expected encoding, rather than the bytes of two pointers.
void PrintTo(const EncodeCase& encodeCase, std::ostream* out) {
    *out << '"' << encodeCase.expected << '"';
}

class StrUtilPercentEncodeTest : public ::testing::TestWithParam<EncodeCase> {};

TEST_P(StrUtilPercentEncodeTest, EncodesEveryByteOutsideTheUnreservedSet) {
    EXPECT_EQ(StrUtil::PercentEncode(GetParam().input), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Table, StrUtilPercentEncodeTest,
    ::testing::Values(EncodeCase{"", ""}, EncodeCase{"AZaz09-._~", "AZaz09-._~"}, EncodeCase{"a b", "a%20b"},
                      EncodeCase{"a+b", "a%2Bb"}, EncodeCase{"k&x=y", "k%26x%3Dy"},
                      EncodeCase{"#frag?q", "%23frag%3Fq"}, EncodeCase{"100%", "100%25"},
                      EncodeCase{"/:;,@!*'()", "%2F%3A%3B%2C%40%21%2A%27%28%29"}, EncodeCase{"\t\n", "%09%0A"},
                      EncodeCase{"\xC3\xA4\xE2\x82\xAC", "%C3%A4%E2%82%AC"}, EncodeCase{"\xFF\x80", "%FF%80"}));

TEST_F(StrUtilTest, PercentEncodeKeepsEmbeddedNulBytes) {
    EXPECT_EQ(StrUtil::PercentEncode(std::string("a\0b", 3)), "a%00b");
}

}  // namespace
