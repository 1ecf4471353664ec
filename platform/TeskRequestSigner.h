#pragma once

/// @file
/// Signing of API requests with a key pair, as the management server verifies them.

#include <chrono>
#include <string>
#include <vector>

#include "TeskApiRequest.h"

/// @brief The pieces of a signed request. All static; none of them logs or throws of its own.
///
/// The server rebuilds the text it signs from the request it received: every parameter but
/// "signature", sorted by name, "name=value" joined with '&', each value encoded as Java's
/// URLEncoder does with '+' then written as "%20", the whole text lower-cased; then HMAC-SHA1
/// with the secret key and standard Base64. The signer does the same on the parameters as the
/// server will decode them, so what is signed is exactly what is sent.
class TeskRequestSigner {
public:
    TeskRequestSigner() = delete;

    /// @brief The parameters of a query string ("?a=1&b=2" or "a=1&b=2") decoded as the server
    /// decodes them: %XX as bytes, '+' as a blank; a parameter without '=' has an empty value.
    static std::vector<TeskQueryParam> DecodeQuery(const std::string& query);

    /// @brief A value encoded as Java's URLEncoder.encode(value, "UTF-8") with '+' replaced by
    /// "%20": A-Z a-z 0-9 . - * _ stay, every other byte becomes %XX (upper-case hex digits).
    static std::string JavaUrlEncode(const std::string& value);

    /// @brief The text the server signs: parameters sorted by name (byte order; a name given
    /// twice keeps its first value, as the server reads it), "name=encoded value" joined with
    /// '&', lower-cased. "signature" itself is left out.
    static std::string CanonicalText(const std::vector<TeskQueryParam>& params);

    /// @brief Base64 (standard alphabet, padded) of HMAC-SHA1(@p text) keyed with @p secretKey.
    /// @return empty when the digest cannot be computed
    static std::string Signature(const std::string& text, const std::string& secretKey);

    /// @brief @p when as the server's "expires" format: yyyy-MM-ddTHH:mm:ss+0000 (UTC).
    static std::string ExpiresText(std::chrono::system_clock::time_point when);

    /// @brief Overwrites the characters of @p secret before clearing it, so that the secret
    /// does not linger in freed memory.
    static void Wipe(std::string& secret);
};
