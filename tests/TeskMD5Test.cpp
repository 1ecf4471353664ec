#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "TeskException.h"
#include "TeskMD5.h"

namespace {

std::string Hex(const unsigned char* digest) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (int i = 0; i < 16; ++i) {
        out += kDigits[digest[i] >> 4];
        out += kDigits[digest[i] & 0x0F];
    }
    return out;
}

class TeskMD5Test : public ::testing::Test {
protected:
    std::string Digest(TeskHash& hash) {
        unsigned char buffer[16] = {};
        hash.finish(buffer, sizeof buffer);
        return Hex(buffer);
    }
    void Add(const std::string& text) { m_md5.addData(text.data(), static_cast<int>(text.size())); }

    TeskMD5 m_md5;
};

TEST_F(TeskMD5Test, MatchesReferenceVectors) {
    EXPECT_EQ(Digest(m_md5), "d41d8cd98f00b204e9800998ecf8427e");
    Add("message digest");
    EXPECT_EQ(Digest(m_md5), "f96b697d7cb7938d525a2f31aaf161d0");
    Add("12345678901234567890123456789012345678901234567890123456789012345678901234567890");
    EXPECT_EQ(Digest(m_md5), "57edf4a22be3c955ac49da2e2107b67a");
}

TEST_F(TeskMD5Test, PiecewiseInputGivesTheSameDigest) {
    Add("ab");
    m_md5.addData("", 0);
    Add("c");
    EXPECT_EQ(Digest(m_md5), "900150983cd24fb0d6963f7d28e17f72");
}

TEST_F(TeskMD5Test, ResetForgetsEarlierData) {
    Add("something else entirely");
    m_md5.reset();
    Add("abc");
    EXPECT_EQ(Digest(m_md5), "900150983cd24fb0d6963f7d28e17f72");
}

TEST_F(TeskMD5Test, FinishWritesOnlyTheFirstSixteenBytes) {
    Add("abc");
    unsigned char buffer[32];
    for (unsigned char& byte : buffer) {
        byte = 0xAA;
    }
    m_md5.finish(buffer, sizeof buffer);
    EXPECT_EQ(Hex(buffer), "900150983cd24fb0d6963f7d28e17f72");
    for (int i = 16; i < 32; ++i) {
        EXPECT_EQ(buffer[i], 0xAA) << i;
    }
}

TEST_F(TeskMD5Test, TooSmallBufferThrowsTeskExceptionNotRuntimeError) {
    unsigned char buffer[15] = {};
    bool caught = false;
    try {
        m_md5.finish(buffer, sizeof buffer);
    } catch (const std::runtime_error&) {
        FAIL() << "caught as std::runtime_error";
    } catch (const TeskException& e) {
        caught = true;
        EXPECT_FALSE(e.formatError().empty());
        EXPECT_EQ(e.formatError(), e.what());
    }
    EXPECT_TRUE(caught);
}

TEST_F(TeskMD5Test, NegativeLengthThrows) {
    EXPECT_THROW(m_md5.addData("x", -1), TeskException);
}

}  // namespace
