// Query strings: StrUtil::PercentEncode, TeskRestApiConnection::appendQueryStringArgument,
// TeskRequestSigner::DecodeQuery and the request value TeskApiRequest over any bytes. Decoding what
// was encoded gives the value back, a decoded query, encoded again, decodes to the same parameters,
// and what the server decodes from a request's URL and form body is what the request holds.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "StrUtil.h"
#include "TeskApiRequest.h"
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

void CheckRequest(const std::string& text) {
    using Params = std::vector<TeskQueryParam>;
    TeskApiRequest get = TeskApiRequest::Get("listZones").Add("name", text).Add("password", text);
    Require(TeskRequestSigner::DecodeQuery(get.Query()) == get.AllParams(), "a GET does not decode to its pairs",
            get.Query());

    TeskApiRequest post = TeskApiRequest::Post("updateUser").Add("name", text).Add("password", text);
    Require(TeskRequestSigner::DecodeQuery(post.Query()) == Params{{"command", "updateUser"}, {"response", "json"}},
            "a POST's URL holds more than its command", post.Query());
    Require(TeskRequestSigner::DecodeQuery(post.Body()) == post.params, "a POST's body does not decode to its pairs",
            post.Body());
    Require(post.MaskedBody() == "name=" + StrUtil::PercentEncode(text) + "&password=*****",
            "the masked body shows a secret or hides the rest", post.MaskedBody());

    // A host's "name=value" text reaches the server as it did when it was inserted as given.
    const TeskApiRequest legacy = TeskApiRequest::FromTexts(HTTP_REQ_GET, "listZones", {text});
    Params expected{{"command", "listZones"}};
    for (const TeskQueryParam& param : TeskRequestSigner::DecodeQuery("&" + text)) {
        if (!param.first.empty() || !param.second.empty()) expected.push_back(param);  // "=" names nothing
    }
    expected.emplace_back("response", "json");
    Require(TeskRequestSigner::DecodeQuery(legacy.Query()) == expected, "a text is not read as the server reads it",
            legacy.Query());
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    static TeskRestApiConnection connection;
    const std::string input(reinterpret_cast<const char*>(data), size);
    CheckEncoding(input);
    CheckArgument(connection, input);
    CheckDecodeRoundTrip(input);
    CheckCommand(input);
    CheckRequest(input);
    return 0;
}
