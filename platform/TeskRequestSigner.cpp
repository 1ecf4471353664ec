#include "TeskRequestSigner.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <climits>
#include <ctime>

#include "StrUtil.h"

std::vector<TeskQueryParam> TeskRequestSigner::DecodeQuery(const std::string& query) {
    std::vector<TeskQueryParam> params;
    StrUtil::AppendQueryPairs(query, (!query.empty() && query[0] == '?') ? 1 : 0, params);
    return params;
}

std::string TeskRequestSigner::JavaUrlEncode(const std::string& value) {
    // URLEncoder keeps . - * _ and writes a blank as '+', which the server's check writes as %20.
    return StrUtil::PercentEncode(value, ".-*_");
}

std::string TeskRequestSigner::CanonicalText(const std::vector<TeskQueryParam>& params) {
    std::vector<const TeskQueryParam*> sorted;
    sorted.reserve(params.size());
    for (const TeskQueryParam& param : params) {
        if (param.first != "signature") sorted.push_back(&param);
    }
    // Stable: of a name given twice, the first value comes first and is the one kept.
    std::stable_sort(sorted.begin(), sorted.end(),
                     [](const TeskQueryParam* a, const TeskQueryParam* b) { return a->first < b->first; });
    std::string text;
    const std::string* previous = nullptr;
    for (const TeskQueryParam* param : sorted) {
        if (previous != nullptr && *previous == param->first) continue;
        previous = &param->first;
        if (!text.empty()) text += '&';
        text += param->first;
        text += '=';
        text += JavaUrlEncode(param->second);
    }
    StrUtil::ToLower(text);
    return text;
}

std::string TeskRequestSigner::Signature(const std::string& text, const std::string& secretKey) {
    if (secretKey.size() > static_cast<std::size_t>(INT_MAX)) return std::string();
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (HMAC(EVP_sha1(), secretKey.data(), static_cast<int>(secretKey.size()),
             reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest, &length) == nullptr) {
        return std::string();
    }
    std::string encoded(4 * ((length + 2) / 3) + 1, '\0');
    const int written =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(&encoded[0]), digest, static_cast<int>(length));
    encoded.resize(written > 0 ? static_cast<std::size_t>(written) : 0);
    return encoded;
}

std::string TeskRequestSigner::ExpiresText(std::chrono::system_clock::time_point when) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[32];
    const std::size_t length = std::strftime(text, sizeof(text), "%Y-%m-%dT%H:%M:%S+0000", &utc);
    return std::string(text, length);
}

void TeskRequestSigner::Wipe(std::string& secret) {
    if (!secret.empty()) OPENSSL_cleanse(&secret[0], secret.size());
    secret.clear();
    secret.shrink_to_fit();
}
