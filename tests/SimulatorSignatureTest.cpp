#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "Signature.h"

namespace {

using cssim::ParameterList;
using cssim::SignatureVerdict;

// Expected values below were computed outside this code base, e.g.
//   printf '%s' '<text>' | openssl dgst -sha1 -hmac '<key>' -binary | openssl base64
// and the texts the server signs were written out by hand from its rules.

TEST(SimulatorSignatureTest, HmacMatchesPublishedVector) {
    // RFC 2202, test case 2.
    EXPECT_EQ(cssim::HmacSha1Base64("Jefe", "what do ya want for nothing?"), "7/zfauXrL6LSdBbV8YTfnCWafHk=");
}

TEST(SimulatorSignatureTest, ValuesAreEncodedLikeJavaUrlEncoderWithPercent20) {
    EXPECT_EQ(cssim::EncodeForSignature("AZaz09.-*_"), "AZaz09.-*_");
    EXPECT_EQ(cssim::EncodeForSignature("a b"), "a%20b");
    EXPECT_EQ(cssim::EncodeForSignature("+&=~/:?%"), "%2B%26%3D%7E%2F%3A%3F%25");
    EXPECT_EQ(cssim::EncodeForSignature("\xC3\xBC\xE2\x82\xAC"), "%C3%BC%E2%82%AC");  // ü€ as UTF-8 bytes
    EXPECT_EQ(cssim::EncodeForSignature(""), "");
}

TEST(SimulatorSignatureTest, BaseSortsNamesEncodesValuesAndLowerCases) {
    const ParameterList pairs{{"response", "json"},
                              {"command", "listVirtualMachines"},
                              {"name", "web 01+x&y*z~\xC3\xBC"},
                              {"signature", "left out"},
                              {"keyword", "a b"},
                              {"apikey", "test-api-key"}};
    const std::string base =
        "apikey=test-api-key&command=listvirtualmachines&keyword=a%20b&name=web%2001%2bx%26y*z%7e%c3%bc&response=json";
    EXPECT_EQ(cssim::SignatureBase(pairs), base);
    EXPECT_EQ(cssim::ComputeSignature(pairs, "test-secret-key"), "DxtFhUHPvDaGMksqQCqLupP6LIg=");
}

TEST(SimulatorSignatureTest, FirstValueOfARepeatedNameIsSigned) {
    const ParameterList pairs{{"command", "listZones"}, {"name", "first"}, {"name", "second"}};
    EXPECT_EQ(cssim::SignatureBase(pairs), "command=listzones&name=first");
}

TEST(SimulatorSignatureTest, NamesSortByTheirBytesBeforeLowerCasing) {
    // 'Z' (0x5A) sorts before 'a' (0x61), as in Java's String order.
    const ParameterList pairs{{"apple", "1"}, {"Zoo", "2"}, {"Signature", "x"}};
    EXPECT_EQ(cssim::SignatureBase(pairs), "zoo=2&apple=1");
}

TEST(SimulatorSignatureTest, ExpiresIsReadWithItsZoneOffset) {
    std::chrono::system_clock::time_point utc;
    std::chrono::system_clock::time_point shifted;
    ASSERT_TRUE(cssim::ParseExpires("2026-12-08T10:15:00+0000", utc));
    ASSERT_TRUE(cssim::ParseExpires("2026-12-08T11:45:00+0130", shifted));
    EXPECT_EQ(utc, shifted);
    EXPECT_EQ(std::chrono::system_clock::to_time_t(utc), 1796724900);  // date -u -d 2026-12-08T10:15:00Z +%s
    for (const char* bad : {"2026-12-08 10:15:00+0000", "2026-12-08T10:15:00Z", "2026-13-08T10:15:00+0000",
                            "2026-12-08T10:15:00+00", "", "2026-12-08T10:15:0a+0000"}) {
        EXPECT_FALSE(cssim::ParseExpires(bad, utc)) << bad;
    }
}

class SimulatorSignatureCheckTest : public ::testing::Test {
protected:
    static std::chrono::system_clock::time_point At(const char* when) {
        std::chrono::system_clock::time_point instant;
        EXPECT_TRUE(cssim::ParseExpires(when, instant));
        return instant;
    }

    const std::chrono::system_clock::time_point before_ = At("2026-12-08T10:14:59+0000");
    const std::chrono::system_clock::time_point after_ = At("2026-12-08T10:15:01+0000");
};

TEST_F(SimulatorSignatureCheckTest, VersionThreeSignsExpiresAndRefusesItOnceItHasPassed) {
    const ParameterList pairs{{"command", "listZones"},
                              {"response", "json"},
                              {"apikey", "test-api-key"},
                              {"signatureversion", "3"},
                              {"expires", "2026-12-08T10:15:00+0000"},
                              {"signature", "fbFGo4Y59nUR8aeim+BfyPtrTCw="}};
    EXPECT_EQ(cssim::CheckSignature(pairs, "test-secret-key", before_), SignatureVerdict::Accepted);
    EXPECT_EQ(cssim::CheckSignature(pairs, "test-secret-key", after_), SignatureVerdict::Expired);
    EXPECT_EQ(cssim::CheckSignature(pairs, "another-secret", before_), SignatureVerdict::Mismatch);
}

TEST_F(SimulatorSignatureCheckTest, VersionThreeWithoutReadableExpiresIsRefused) {
    ParameterList pairs{{"command", "listZones"}, {"apikey", "k"}, {"signatureversion", "3"}};
    pairs.emplace_back("signature", cssim::ComputeSignature(pairs, "s"));
    EXPECT_EQ(cssim::CheckSignature(pairs, "s", before_), SignatureVerdict::MissingExpires);
    pairs.insert(pairs.begin(), {"expires", "tomorrow"});
    EXPECT_EQ(cssim::CheckSignature(pairs, "s", before_), SignatureVerdict::BadExpires);
}

TEST_F(SimulatorSignatureCheckTest, ExpiresWithoutVersionThreeIsNotChecked) {
    ParameterList pairs{{"command", "listZones"}, {"apikey", "k"}, {"expires", "2000-01-01T00:00:00+0000"}};
    pairs.emplace_back("signature", cssim::ComputeSignature(pairs, "s"));
    EXPECT_EQ(cssim::CheckSignature(pairs, "s", after_), SignatureVerdict::Accepted);
}

TEST_F(SimulatorSignatureCheckTest, MissingOrAlteredSignatureIsAMismatch) {
    const ParameterList unsigned_{{"command", "listZones"}, {"response", "json"}, {"apikey", "test-api-key"}};
    EXPECT_EQ(cssim::CheckSignature(unsigned_, "test-secret-key", before_), SignatureVerdict::Mismatch);
    ParameterList pairs = unsigned_;
    pairs.emplace_back("signature", "ypByT97+Feq9LXl/tBk0hKLPVIY=");
    EXPECT_EQ(cssim::CheckSignature(pairs, "test-secret-key", before_), SignatureVerdict::Accepted);
    pairs.back().second = "ypByT97 Feq9LXl/tBk0hKLPVIY=";  // what a '+' sent unencoded decodes to
    EXPECT_EQ(cssim::CheckSignature(pairs, "test-secret-key", before_), SignatureVerdict::Mismatch);
    pairs.back().second = "ypByT97+Feq9LXl/tBk0hKLPVIY";
    EXPECT_EQ(cssim::CheckSignature(pairs, "test-secret-key", before_), SignatureVerdict::Mismatch);
}

}  // namespace
