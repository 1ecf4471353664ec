#pragma once

/// @brief A message digest fed piece by piece.
class TeskHash {
public:
    virtual ~TeskHash() = default;

    /// @brief Starts a new digest, forgetting any data added before.
    virtual void reset() = 0;
    /// @brief Adds @p length bytes at @p data to the digest.
    virtual void addData(const void* data, int length) = 0;
    /// @brief Writes the digest into the first bytes of @p buffer, which holds @p size bytes.
    void finish(void* buffer, int size) { finishDigest(buffer, size); }

protected:
    TeskHash() = default;
    TeskHash(const TeskHash&) = default;
    TeskHash& operator=(const TeskHash&) = default;

    /// @brief Does the work of finish().
    virtual void finishDigest(void* buffer, int size) = 0;
};
