#include "Signature.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <ctime>
#include <map>

#include "Text.h"

namespace cssim {
namespace {

bool Unreserved(unsigned char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
           c == '*' || c == '_';
}

bool ReadDigits(const std::string& text, std::size_t at, std::size_t count, int& value) {
    if (at + count > text.size()) return false;
    value = 0;
    for (std::size_t i = at; i < at + count; ++i) {
        if (text[i] < '0' || text[i] > '9') return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

/// Constant time, like the server's comparison: the time taken tells nothing about the expected value.
bool SameText(const std::string& a, const std::string& b) {
    unsigned char difference = a.size() == b.size() ? 0 : 1;
    for (std::size_t i = 0; i < a.size(); ++i) {
        difference |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
    }
    return difference == 0;
}

std::string HmacBase64(const EVP_MD* digestType, const std::string& key, const std::string& data) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    HMAC(digestType, key.data(), static_cast<int>(key.size()), reinterpret_cast<const unsigned char*>(data.data()),
         data.size(), digest, &length);
    std::string encoded(4 * ((length + 2) / 3) + 1, '\0');
    const int written =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()), digest, static_cast<int>(length));
    encoded.resize(static_cast<std::size_t>(std::max(written, 0)));
    return encoded;
}

}  // namespace

std::string EncodeForSignature(const std::string& value) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size() * 3);
    for (const char c : value) {
        const auto byte = static_cast<unsigned char>(c);
        if (Unreserved(byte)) {
            out.push_back(c);
        } else {
            // URLEncoder writes a blank as "+", which the server then turns into "%20": the same as any other byte.
            out.push_back('%');
            out.push_back(kHex[byte >> 4]);
            out.push_back(kHex[byte & 0x0f]);
        }
    }
    return out;
}

const std::string* FirstValueIgnoringCase(const ParameterList& pairs, const std::string& lowerName) {
    for (const auto& [name, value] : pairs) {
        if (cstools::AsciiLower(name) == lowerName) return &value;
    }
    return nullptr;
}

std::string SignatureBase(const ParameterList& pairs) {
    std::map<std::string, const std::string*> firstValues;  // std::string orders by bytes, as Java orders ASCII
    for (const auto& [name, value] : pairs) {
        if (cstools::AsciiLower(name) != "signature") firstValues.emplace(name, &value);
    }
    std::string base;
    for (const auto& [name, value] : firstValues) {
        if (!base.empty()) base.push_back('&');
        base += name + "=" + EncodeForSignature(*value);
    }
    return cstools::AsciiLower(base);
}

std::string HmacSha1Base64(const std::string& key, const std::string& data) {
    return HmacBase64(EVP_sha1(), key, data);
}

std::string HmacSha512Base64(const std::string& key, const std::string& data) {
    return HmacBase64(EVP_sha512(), key, data);
}

std::string ComputeSignature(const ParameterList& pairs, const std::string& secretKey) {
    return HmacSha1Base64(secretKey, SignatureBase(pairs));
}

bool ParseExpires(const std::string& text, std::chrono::system_clock::time_point& when) {
    // yyyy-MM-ddTHH:mm:ss+HHMM
    if (text.size() != 24 || text[4] != '-' || text[7] != '-' || text[10] != 'T' || text[13] != ':' ||
        text[16] != ':' || (text[19] != '+' && text[19] != '-')) {
        return false;
    }
    std::tm parts{};
    int zoneHours = 0;
    int zoneMinutes = 0;
    if (!ReadDigits(text, 0, 4, parts.tm_year) || !ReadDigits(text, 5, 2, parts.tm_mon) ||
        !ReadDigits(text, 8, 2, parts.tm_mday) || !ReadDigits(text, 11, 2, parts.tm_hour) ||
        !ReadDigits(text, 14, 2, parts.tm_min) || !ReadDigits(text, 17, 2, parts.tm_sec) ||
        !ReadDigits(text, 20, 2, zoneHours) || !ReadDigits(text, 22, 2, zoneMinutes)) {
        return false;
    }
    if (parts.tm_mon < 1 || parts.tm_mon > 12 || parts.tm_mday < 1 || parts.tm_mday > 31 || parts.tm_hour > 23 ||
        parts.tm_min > 59 || parts.tm_sec > 60 || zoneMinutes > 59) {
        return false;
    }
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    const std::time_t local = timegm(&parts);
    const long offset = (zoneHours * 60L + zoneMinutes) * 60L * (text[19] == '-' ? -1 : 1);
    when = std::chrono::system_clock::from_time_t(local - offset);
    return true;
}

SignatureVerdict CheckSignature(const ParameterList& pairs, const std::string& secretKey,
                                std::chrono::system_clock::time_point now) {
    const std::string* version = FirstValueIgnoringCase(pairs, "signatureversion");
    if (version != nullptr && *version == "3") {
        const std::string* expires = FirstValueIgnoringCase(pairs, "expires");
        if (expires == nullptr) return SignatureVerdict::MissingExpires;
        std::chrono::system_clock::time_point until;
        if (!ParseExpires(*expires, until)) return SignatureVerdict::BadExpires;
        if (until < now) return SignatureVerdict::Expired;
    }
    const std::string* signature = FirstValueIgnoringCase(pairs, "signature");
    if (signature == nullptr || !SameText(*signature, ComputeSignature(pairs, secretKey))) {
        return SignatureVerdict::Mismatch;
    }
    return SignatureVerdict::Accepted;
}

}  // namespace cssim
