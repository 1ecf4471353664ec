// The request signer against values computed independently (Python's hmac, hashlib and base64
// over a canonical text built by hand), so that a fault shared by signer and simulator shows.

#include <gtest/gtest.h>

#include <chrono>

#include "TeskRequestSigner.h"

namespace {

TEST(TeskRequestSignerTest, SignsTheCanonicalTextOfBlanksPlusAmpersandsStarsTildesAndUtf8) {
    const std::vector<TeskQueryParam> params = {
        {"command", "listVirtualMachines"}, {"response", "json"},      {"apikey", "AK-1 +x"},
        {"name", "a b+c&d*e~f \xC3\xA9"},   {"signatureversion", "3"}, {"expires", "2026-12-08T10:15:00+0000"},
        {"signature", "left out"}};
    const std::string text = TeskRequestSigner::CanonicalText(params);
    EXPECT_EQ(text,
              "apikey=ak-1%20%2bx&command=listvirtualmachines&expires=2026-12-08t10%3a15%3a00%2b0000"
              "&name=a%20b%2bc%26d*e%7ef%20%c3%a9&response=json&signatureversion=3");
    EXPECT_EQ(TeskRequestSigner::Signature(text, "S3cret/Key+="), "pSKo+JnJro5WoExDNA7jifNuWSk=");

    const std::string apiKey = "plgWJfZK4gyS3mOMTVmjUVg-X-jlWlnfaUJ9GAbBbf9EdM-kAYMmAiLqzzq1ElZLYq_u38zCm0bewzGUdP66mg";
    const std::string zones = TeskRequestSigner::CanonicalText(
        TeskRequestSigner::DecodeQuery("?command=listZones&response=json&apikey=" + apiKey));
    EXPECT_EQ(TeskRequestSigner::Signature(
                  zones, "VDaACYb0LV9eNjTetIOElcVQkvJck_J_QljX_FcHRj87ZKiy0z0ty0ZsYBkoXkY9b7eq1EhwJaw7FF3akA3KBQ"),
              "HmSwFbyOmNCn2FB58UXRauTAI3A=");
}

TEST(TeskRequestSignerTest, DecodesQueriesAsTheServerDoesAndKeepsTheFirstOfARepeatedName) {
    const auto params = TeskRequestSigner::DecodeQuery("?a=x+y%20z&b&c=%41%zz%4&d=1&a=second");
    ASSERT_EQ(params.size(), 5u);
    EXPECT_EQ(params[0], (TeskQueryParam{"a", "x y z"}));
    EXPECT_EQ(params[1], (TeskQueryParam{"b", ""}));
    EXPECT_EQ(params[2], (TeskQueryParam{"c", "A%zz%4"}));
    EXPECT_EQ(TeskRequestSigner::CanonicalText(params), "a=x%20y%20z&b=&c=a%25zz%254&d=1");
}

TEST(TeskRequestSignerTest, ExpiresIsUtcWithANumericZone) {
    const auto when = std::chrono::system_clock::from_time_t(1796724900);  // 2026-12-08T10:15:00Z
    EXPECT_EQ(TeskRequestSigner::ExpiresText(when), "2026-12-08T10:15:00+0000");
}

}  // namespace
