#pragma once

#include <chrono>
#include <string>

#include "QueryDecoder.h"

// How the server checks a request signed with an API key: the text it signs, the HMAC, the expiry.
namespace cssim {

/// @brief A value as Java's URLEncoder.encode(value, "UTF-8") writes it, with "+" then replaced by "%20":
/// A-Z a-z 0-9 . - * _ stay, every other byte becomes %XX.
std::string EncodeForSignature(const std::string& value);

/// @brief The text the server signs: every parameter except "signature" (in any case), the first value of each
/// name, names sorted by their bytes, "name=<encoded value>" joined with "&", the whole lower-cased.
std::string SignatureBase(const ParameterList& pairs);

/// @brief Standard Base64 (with padding) of HMAC-SHA1 keyed with the bytes of @p key.
std::string HmacSha1Base64(const std::string& key, const std::string& data);

/// @brief Standard Base64 (with padding) of HMAC-SHA512 keyed with the bytes of @p key.
std::string HmacSha512Base64(const std::string& key, const std::string& data);

/// @brief The signature a client must send for @p pairs: HmacSha1Base64(secretKey, SignatureBase(pairs)).
std::string ComputeSignature(const ParameterList& pairs, const std::string& secretKey);

/// @brief Reads an expiry written as yyyy-MM-ddTHH:mm:ss followed by a zone offset such as +0000 or -0130.
bool ParseExpires(const std::string& text, std::chrono::system_clock::time_point& when);

/// @brief The first value of the parameter named @p lowerName in any case, or nullptr.
const std::string* FirstValueIgnoringCase(const ParameterList& pairs, const std::string& lowerName);

enum class SignatureVerdict {
    Accepted,
    Mismatch,        // no signature, or not the one the secret key gives
    MissingExpires,  // signatureversion=3 without expires
    BadExpires,      // an expires the server cannot read
    Expired,         // signatureversion=3 and expires lies in the past
};

/// @brief Checks the signature of @p pairs against @p secretKey as the server does at @p now.
SignatureVerdict CheckSignature(const ParameterList& pairs, const std::string& secretKey,
                                std::chrono::system_clock::time_point now);

}  // namespace cssim
