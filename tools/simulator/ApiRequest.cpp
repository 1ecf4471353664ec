#include "ApiRequest.h"

#include "Text.h"

namespace cssim {

const std::string* ApiRequest::Param(const std::string& name) const {
    const auto it = params.find(name);
    return it == params.end() ? nullptr : &it->second;
}

std::string ApiRequest::ResponseKey() const {
    return lowerCommand.empty() ? "errorresponse" : lowerCommand + "response";
}

bool IsApiPath(const std::string& target) {
    const std::string path = target.substr(0, target.find('?'));
    return path == "/client/api" || path.rfind("/client/api/", 0) == 0;
}

std::string HeaderValue(const HeaderLines& headers, const std::string& lowerName) {
    for (const auto& [key, value] : headers) {
        if (cstools::AsciiLower(key) == lowerName) return value;
    }
    return {};
}

bool DecodeApiRequest(const SimRequest& request, ApiRequest& decoded) {
    decoded.method = request.method;
    const auto mark = request.target.find('?');
    if (mark != std::string::npos && !DecodePairs(request.target.substr(mark + 1), decoded.pairs)) return false;
    // The container reads a form body only when it is declared as one.
    const std::string type = cstools::AsciiLower(HeaderValue(request.headers, "content-type"));
    if (type.rfind("application/x-www-form-urlencoded", 0) == 0 && !DecodePairs(request.body, decoded.pairs)) {
        return false;
    }
    for (const auto& [name, value] : decoded.pairs) decoded.params[name] = value;

    std::vector<std::string> cookieLines;
    for (const auto& [name, value] : request.headers) {
        if (cstools::AsciiLower(name) == "cookie") cookieLines.push_back(value);
    }
    decoded.cookies = ParseCookies(cookieLines);
    const std::string* command = decoded.Param("command");
    decoded.command = command == nullptr ? std::string() : *command;
    decoded.lowerCommand = cstools::AsciiLower(decoded.command);
    return true;
}

}  // namespace cssim
