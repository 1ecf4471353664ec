#include "TeskMD5.h"

#include <openssl/err.h>
#include <openssl/evp.h>

#include <cstring>
#include <string>

#include "TeskException.h"

namespace {

struct EvpMdCtxDeleter {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

[[noreturn]] void ThrowOpenSsl(const char* what) {
    std::string text = std::string("MD5: ") + what + " failed";
    const unsigned long code = ERR_get_error();
    if (code != 0) {
        char reason[256];
        ERR_error_string_n(code, reason, sizeof(reason));
        text += ": ";
        text += reason;
    }
    // Leave no stale entries behind for the next caller on this thread.
    ERR_clear_error();
    throw TeskException(text);
}

}  // namespace

struct TeskMD5::Impl {
    std::unique_ptr<EVP_MD_CTX, EvpMdCtxDeleter> context;
};

TeskMD5::TeskMD5() : m_pImpl(new Impl) {
    m_pImpl->context.reset(EVP_MD_CTX_new());
    if (!m_pImpl->context) {
        ThrowOpenSsl("EVP_MD_CTX_new");
    }
    reset();
}

TeskMD5::~TeskMD5() = default;

void TeskMD5::reset() {
    if (EVP_DigestInit_ex(m_pImpl->context.get(), EVP_md5(), nullptr) != 1) {
        ThrowOpenSsl("EVP_DigestInit_ex");
    }
}

void TeskMD5::addData(const void* data, int length) {
    if (length < 0) {
        throw TeskException("MD5: addData called with a negative length (" + std::to_string(length) + ")");
    }
    if (length > 0 && data == nullptr) {
        throw TeskException("MD5: addData called with no data for " + std::to_string(length) + " bytes");
    }
    if (EVP_DigestUpdate(m_pImpl->context.get(), data, static_cast<std::size_t>(length)) != 1) {
        ThrowOpenSsl("EVP_DigestUpdate");
    }
}

void TeskMD5::finishDigest(void* buffer, int size) {
    if (buffer == nullptr || size < kDigestSize) {
        throw TeskException("MD5: digest buffer of " + std::to_string(buffer == nullptr ? 0 : size) +
                            " bytes is smaller than the 16 bytes of the digest");
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int written = 0;
    if (EVP_DigestFinal_ex(m_pImpl->context.get(), digest, &written) != 1) {
        ThrowOpenSsl("EVP_DigestFinal_ex");
    }
    if (written != static_cast<unsigned int>(kDigestSize)) {
        throw TeskException("MD5: unexpected digest length " + std::to_string(written));
    }
    std::memcpy(buffer, digest, kDigestSize);
    // A finalised context is undefined to feed again; start over so that the object is always usable.
    reset();
}
