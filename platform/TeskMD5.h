#pragma once

#include <memory>

#include "TeskHash.h"

/// @brief MD5 digest (16 bytes). Every failure throws TeskException.
class TeskMD5 : public TeskHash {
public:
    /// @brief Size of the digest in bytes.
    static constexpr int kDigestSize = 16;

    /// @brief Creates the digest, ready for addData.
    TeskMD5();
    ~TeskMD5() override;
    TeskMD5(const TeskMD5&) = delete;
    TeskMD5& operator=(const TeskMD5&) = delete;

    void reset() override;
    void addData(const void* data, int length) override;

protected:
    /// @brief Writes the 16-byte digest into @p buffer; @p size must be at least 16.
    /// The digest starts over afterwards.
    void finishDigest(void* buffer, int size) override;

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};
