// Query strings: StrUtil::PercentEncode, TeskRestApiConnection::appendQueryStringArgument and
// TeskRequestSigner::DecodeQuery over any bytes. Decoding what was encoded gives the value back,
// and a decoded query, encoded again, decodes to the same parameters.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "StrUtil.h"
#include "TeskRequestSigner.h"
#include "TeskRestApiConnection.h"

using cloudstack_fuzz::Require;

namespace {

bool IsUnreserved(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_' || c == '~';
}

bool IsUpperHex(char c) {
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F');
}

void CheckEncoding(const std::string& value) {
    const std::string encoded = StrUtil::PercentEncode(value);
    std::size_t escapes = 0;
    for (std::size_t i = 0; i < encoded.size(); ++i) {
        if (encoded[i] == '%') {
            Require(i + 2 < encoded.size() && IsUpperHex(encoded[i + 1]) && IsUpperHex(encoded[i + 2]),
                    "an escape without two upper-case hex digits", encoded);
            i += 2;
            ++escapes;
        } else {
            Require(IsUnreserved(encoded[i]), "a reserved character left unencoded", encoded);
        }
    }
    Require(encoded.size() == value.size() + 2 * escapes, "encoded length does not add up");

    const std::vector<TeskQueryParam> decoded = TeskRequestSigner::DecodeQuery("?v=" + encoded);
    Require(decoded.size() == 1 && decoded[0].first == "v" && decoded[0].second == value,
            "decoding the encoded value does not give it back", value);
}

void CheckArgument(TeskRestApiConnection& connection, const std::string& text) {
    std::string query = "?command=listZones";
    connection.appendQueryStringArgument(query, "%s", text.c_str());
    // printf stops at the first NUL.
    const std::string argument = text.substr(0, text.find('\0'));
    const std::size_t equals = argument.find('=');
    const std::vector<TeskQueryParam> params = TeskRequestSigner::DecodeQuery(query);
    Require(!params.empty() && params[0] == TeskQueryParam("command", "listZones"), "the query lost its start", query);
    if (equals == std::string::npos) {
        Require(query == "?command=listZones&" + argument, "an argument without '=' was changed", query);
        return;
    }
    const std::string name = argument.substr(0, equals);
    const std::string value = argument.substr(equals + 1);
    Require(query == "?command=listZones&" + name + "=" + StrUtil::PercentEncode(value),
            "the argument's value was not encoded exactly once", query);
    if (name.find_first_of("&%+") == std::string::npos) {
        Require(params.size() == 2 && params[1].first == name && params[1].second == value,
                "the argument does not decode to its name and value", query);
    }
}

void CheckDecodeRoundTrip(const std::string& query) {
    const std::vector<TeskQueryParam> params = TeskRequestSigner::DecodeQuery(query);
    std::string again;
    for (const TeskQueryParam& param : params) {
        if (!again.empty()) again += '&';
        again += StrUtil::PercentEncode(param.first) + "=" + StrUtil::PercentEncode(param.second);
    }
    Require(TeskRequestSigner::DecodeQuery(again) == params, "decoded parameters do not survive encoding", query);
}

void CheckCommand(const std::string& text) {
    const TeskRestApiRequestInfo asPath{HTTP_REQ_GET, text, std::string()};
    const TeskRestApiRequestInfo asBody{HTTP_REQ_POST, std::string(), text};
    for (const TeskRestApiRequestInfo* info : {&asPath, &asBody}) {
        const std::string command = info->Command();
        Require(!command.empty() && command.find_first_of("&#") == std::string::npos,
                "a command name that runs past its parameter", command);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static TeskRestApiConnection connection;
    const std::string input(reinterpret_cast<const char*>(data), size);
    CheckEncoding(input);
    CheckArgument(connection, input);
    CheckDecodeRoundTrip(input);
    CheckCommand(input);
    return 0;
}
