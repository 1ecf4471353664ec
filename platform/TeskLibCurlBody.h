#pragma once

// The answer body of one transfer: how TeskLibCurl receives it without holding a large body twice.
// Part of TeskLibCurl; not installed.

#include <sys/mman.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <exception>
#include <limits>
#include <string>
#include <utility>
#include <vector>

#include "TeskLibCurl.h"

namespace teskcurl {

// One anonymous mapping: given back to the system the moment it is released, which freed heap
// memory of this size is not always (glibc keeps it once its mmap threshold has grown).
class MappedBlock {
public:
    explicit MappedBlock(std::size_t size) : m_nSize(size) {
        void* data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        m_pData = data == MAP_FAILED ? nullptr : static_cast<char*>(data);
    }
    ~MappedBlock() { Release(); }
    MappedBlock(MappedBlock&& other) noexcept
        : m_pData(std::exchange(other.m_pData, nullptr)), m_nSize(other.m_nSize) {}
    MappedBlock(const MappedBlock&) = delete;
    MappedBlock& operator=(const MappedBlock&) = delete;
    MappedBlock& operator=(MappedBlock&&) = delete;

    char* Data() const { return m_pData; }
    void Release() {
        if (m_pData != nullptr) {
            munmap(m_pData, m_nSize);
            m_pData = nullptr;
        }
    }

private:
    char* m_pData;
    std::size_t m_nSize;
};

// Receives one answer body. Up to kBlockBytes (or the size announced by Content-Length) it
// grows one string that is later swapped into the caller's; beyond that it fills fixed
// blocks and joins them only at the end, releasing each block as it is copied, so that a
// large body never sits in memory twice the way std::string growth would leave it.
class BodyBuffer {
public:
    static constexpr std::size_t kBlockBytes = std::size_t{16} << 20;

    void Reset() {
        m_Blocks.clear();
        m_nLastUsed = 0;
        m_nSize = 0;
        m_strHead.clear();
        if (m_strHead.capacity() > kBlockBytes + kTeskBodyPadding) {
            // A buffer that once held a large body is not kept for the small ones that follow.
            std::string().swap(m_strHead);
        }
    }

    // Content-Length is only a hint: a compressed body grows beyond it.
    void Expect(unsigned long long bytes) {
        if (!m_Blocks.empty() || bytes == 0 || bytes > std::numeric_limits<std::size_t>::max() - 2 * kTeskBodyPadding) {
            return;
        }
        const std::size_t wanted = static_cast<std::size_t>(bytes) + kTeskBodyPadding;
        if (wanted <= m_strHead.capacity()) {
            return;
        }
        try {
            m_strHead.reserve(wanted);
        } catch (const std::exception&) {
            // Only a guess; the body still arrives through growth and blocks.
        }
    }

    bool Append(const char* data, std::size_t size) {
        try {
            if (m_Blocks.empty()) {
                const std::size_t needed = m_strHead.size() + size + kTeskBodyPadding;
                if (needed <= m_strHead.capacity() || needed <= kBlockBytes) {
                    if (needed > m_strHead.capacity()) {
                        m_strHead.reserve(std::max(needed, std::min(2 * m_strHead.capacity(), kBlockBytes)));
                    }
                    m_strHead.append(data, size);
                    m_nSize += size;
                    return true;
                }
            }
            while (size > 0) {
                if (m_Blocks.empty() || m_nLastUsed == kBlockBytes) {
                    MappedBlock block(kBlockBytes);
                    if (block.Data() == nullptr) {
                        return false;
                    }
                    m_Blocks.push_back(std::move(block));
                    m_nLastUsed = 0;
                }
                const std::size_t piece = std::min(size, kBlockBytes - m_nLastUsed);
                std::memcpy(m_Blocks.back().Data() + m_nLastUsed, data, piece);
                m_nLastUsed += piece;
                m_nSize += piece;
                data += piece;
                size -= piece;
            }
            return true;
        } catch (const std::exception&) {
            return false;
        }
    }

    // Hands the body to @p out with the padding behind it; @p out's old buffer stays here for
    // the next answer. Throws std::bad_alloc when the joined body does not fit in memory.
    void MoveTo(std::string& out) {
        if (m_Blocks.empty()) {
            if (m_strHead.capacity() < m_strHead.size() + kTeskBodyPadding) {
                m_strHead.reserve(m_strHead.size() + kTeskBodyPadding);
            }
            ZeroPadding(m_strHead);
            out.swap(m_strHead);
            Reset();
            return;
        }
        std::string().swap(out);
        out.reserve(m_nSize + kTeskBodyPadding);
        out.append(m_strHead);
        std::string().swap(m_strHead);
        for (std::size_t i = 0; i < m_Blocks.size(); ++i) {
            out.append(m_Blocks[i].Data(), i + 1 == m_Blocks.size() ? m_nLastUsed : kBlockBytes);
            m_Blocks[i].Release();
        }
        ZeroPadding(out);
        Reset();
    }

private:
    // Within the reserved capacity, so no reallocation: leaves the spare bytes zero.
    static void ZeroPadding(std::string& text) {
        const std::size_t size = text.size();
        text.append(kTeskBodyPadding, '\0');
        text.resize(size);
    }

    std::string m_strHead;
    std::vector<MappedBlock> m_Blocks;
    std::size_t m_nLastUsed{0};
    std::size_t m_nSize{0};
};

}  // namespace teskcurl
