#pragma once

#include <string>
#include <utility>
#include <vector>

namespace cssim {

using HeaderLines = std::vector<std::pair<std::string, std::string>>;

/// One HTTP request, whatever carried it.
struct SimRequest {
    std::string method;
    std::string target;   // origin form: path and query, still percent-encoded
    HeaderLines headers;  // any case, in order
    std::string body;
};

struct SimResponse {
    int status{200};
    HeaderLines headers;  // Set-Cookie lines, in order
    std::string body;
    std::string contentType;
};

}  // namespace cssim
