// The request signer over any parameters and key. The input's first line is the secret key, the
// rest a query string. CanonicalText keeps the first value of each name, sorted by name, encoded
// and lower-cased; JavaUrlEncode decodes back to its value; Signature is standard Base64 of a
// 20-byte digest and the same for the same text and key.

#include <cstddef>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "TeskRequestSigner.h"

using cloudstack_fuzz::Require;

namespace {

std::string Lower(std::string text) {
    for (char& c : text) c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    return text;
}

bool IsKept(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '.' || c == '-' ||
           c == '*' || c == '_';
}

bool IsBase64(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

void CheckJavaUrlEncode(const std::string& value) {
    const std::string encoded = TeskRequestSigner::JavaUrlEncode(value);
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] == '%') {
            Require(i + 2 < encoded.size(), "a cut escape", encoded);
            i += 2;
        } else {
            Require(IsKept(encoded[i]), "a character Java's encoder would have escaped", encoded);
        }
    }
    const std::vector<TeskQueryParam> decoded = TeskRequestSigner::DecodeQuery("v=" + encoded);
    Require(decoded.size() == 1 && decoded[0].second == value, "JavaUrlEncode does not decode back", value);
}

void CheckCanonicalText(const std::vector<TeskQueryParam>& params) {
    const std::string text = TeskRequestSigner::CanonicalText(params);
    for (const char c : text) Require(!(c >= 'A' && c <= 'Z'), "an upper-case letter in the signed text", text);

    // Names are not encoded, so only names without the query's own delimiters can be read back.
    std::map<std::string, std::string> firstValues;
    for (const TeskQueryParam& param : params) {
        if (param.first.find_first_of("&=%+") != std::string::npos) return;
        if (param.first != "signature") firstValues.emplace(param.first, param.second);
    }
    std::vector<TeskQueryParam> expected;
    for (const auto& entry : firstValues) expected.emplace_back(Lower(entry.first), Lower(entry.second));
    // A leading '&' keeps DecodeQuery from taking a first name that starts with '?' for the query's mark.
    Require(TeskRequestSigner::DecodeQuery("&" + text) == expected,
            "the signed text is not the sorted first values, encoded and lower-cased", text);
}

void CheckSignature(const std::string& text, const std::string& key) {
    const std::string signature = TeskRequestSigner::Signature(text, key);
    Require(signature.size() == 28 && signature[27] == '=', "a signature that is not Base64 of 20 bytes", signature);
    for (std::size_t i = 0; i < 27; ++i) Require(IsBase64(signature[i]), "a character outside Base64", signature);
    Require(TeskRequestSigner::Signature(text, key) == signature, "the same text and key signed differently");

    std::string secret = key;
    TeskRequestSigner::Wipe(secret);
    Require(secret.empty(), "a wiped secret is not empty");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    const std::size_t newline = input.find('\n');
    const std::string key = input.substr(0, newline);
    const std::string query = newline == std::string::npos ? std::string() : input.substr(newline + 1);

    const std::vector<TeskQueryParam> params = TeskRequestSigner::DecodeQuery(query);
    for (const TeskQueryParam& param : params) CheckJavaUrlEncode(param.second);
    CheckJavaUrlEncode(key);
    CheckCanonicalText(params);
    CheckSignature(TeskRequestSigner::CanonicalText(params), key);
    return 0;
}
