#include "TeskApiRequest.h"

#include "StrUtil.h"
#include "TeskSecrets.h"

namespace {

// '&' and "name=value" with both percent-encoded (the value masked when asked); an empty pair (from
// an empty text) stays an empty field.
void AppendPair(std::string& out, const TeskQueryParam& param, bool masked) {
    if (!out.empty() && out.back() != '?') out += '&';
    if (param.first.empty() && param.second.empty()) return;
    out += StrUtil::PercentEncode(param.first);
    out += '=';
    out += masked ? TeskSecrets::kMask : StrUtil::PercentEncode(param.second);
}

// The query string (@p query) or the form body of @p request, with the values flagged in @p masked
// (parameters, then auth fields) masked.
std::string Render(const TeskApiRequest& request, bool query, const std::vector<bool>* masked) {
    std::string out;
    if (query) out = "?command=" + StrUtil::PercentEncode(request.strCommand);
    const bool inQuery = !request.bFormBody;
    if (query == inQuery) {
        for (std::size_t i = 0; i < request.params.size(); ++i) {
            AppendPair(out, request.params[i], masked != nullptr && (*masked)[i]);
        }
    }
    if (query) out += "&response=json";
    if (query == inQuery) {
        for (std::size_t i = 0; i < request.auth.size(); ++i) {
            AppendPair(out, request.auth[i], masked != nullptr && (*masked)[request.params.size() + i]);
        }
    }
    return out;
}

std::vector<bool> SecretFlags(const TeskApiRequest& request) {
    std::vector<TeskQueryParam> all = request.params;
    all.insert(all.end(), request.auth.begin(), request.auth.end());
    return TeskSecrets::SecretValues(all);
}

}  // namespace

TeskApiRequest TeskApiRequest::Get(std::string command) {
    TeskApiRequest request;
    request.strCommand = std::move(command);
    return request;
}

TeskApiRequest TeskApiRequest::Post(std::string command) {
    TeskApiRequest request;
    request.eMethod = HTTP_REQ_POST;
    request.strCommand = std::move(command);
    request.bFormBody = true;
    return request;
}

TeskApiRequest TeskApiRequest::FromTexts(_http_req_type_ method, std::string command,
                                         const std::vector<std::string>& texts) {
    TeskApiRequest request;
    request.eMethod = method;
    request.strCommand = std::move(command);
    request.params.reserve(texts.size());
    for (const std::string& text : texts) {
        if (text.empty()) {
            request.params.emplace_back();
            continue;
        }
        // Read as the server reads a query: split on '&', each side of the first '=' decoded.
        StrUtil::AppendQueryPairs(text, 0, request.params);
    }
    return request;
}

TeskApiRequest& TeskApiRequest::Add(std::string name, std::string value) {
    params.emplace_back(std::move(name), std::move(value));
    return *this;
}

std::string TeskApiRequest::Query() const {
    return Render(*this, true, nullptr);
}

std::string TeskApiRequest::Body() const {
    return bFormBody ? Render(*this, false, nullptr) : std::string();
}

std::string TeskApiRequest::MaskedQuery() const {
    const std::vector<bool> masked = SecretFlags(*this);
    return Render(*this, true, &masked);
}

std::string TeskApiRequest::MaskedBody() const {
    if (!bFormBody) return std::string();
    const std::vector<bool> masked = SecretFlags(*this);
    return Render(*this, false, &masked);
}

std::vector<TeskQueryParam> TeskApiRequest::AllParams() const {
    std::vector<TeskQueryParam> all;
    all.reserve(params.size() + auth.size() + 2);
    all.emplace_back("command", strCommand);
    for (const TeskQueryParam& param : params) {
        if (!param.first.empty()) all.push_back(param);
    }
    all.emplace_back("response", "json");
    all.insert(all.end(), auth.begin(), auth.end());
    return all;
}

bool TeskApiRequest::FindNul(std::string& where) const {
    if (strCommand.find('\0') != std::string::npos) {
        where = "the command";
        return true;
    }
    for (const TeskQueryParam& param : params) {
        if (param.first.find('\0') != std::string::npos || param.second.find('\0') != std::string::npos) {
            // The value is never quoted: it may be a password.
            where = "parameter \"" + param.first.substr(0, param.first.find('\0')) + "\"";
            return true;
        }
    }
    return false;
}
