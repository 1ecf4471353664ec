#pragma once

#include <string>
#include <utility>
#include <vector>

#include "QueryDecoder.h"
#include "SimMessages.h"

namespace cssim {

/// What a request to /client/api says, decoded the way the server's container decodes it.
struct ApiRequest {
    std::string method;
    /// The last value of each name; the form body comes after the query, so a body value wins.
    ParameterMap params;
    /// Every pair as sent: the query's first, then the form body's (signatures take the first value of a name).
    ParameterList pairs;
    std::vector<std::pair<std::string, std::string>> cookies;
    std::string command;  // as sent
    std::string lowerCommand;

    /// @brief The value of @p name, or nullptr when the request has none.
    const std::string* Param(const std::string& name) const;

    /// @brief The key the answer goes under: "<command lower-cased>response", "errorresponse" without a command.
    std::string ResponseKey() const;
};

/// @brief True for /client/api and the paths below it.
bool IsApiPath(const std::string& target);

/// @brief Decodes query, form body and cookies of @p request. False on a malformed %-escape (the container's 400).
bool DecodeApiRequest(const SimRequest& request, ApiRequest& decoded);

/// @brief The value of header @p lowerName (compared without regard to case); empty when absent.
std::string HeaderValue(const HeaderLines& headers, const std::string& lowerName);

}  // namespace cssim
