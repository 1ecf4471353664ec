#include "CloudStackEndpoint.h"

#include <algorithm>

#include "StrUtil.h"

namespace CloudStackSDKWrapper {

namespace {

const char* const kDefaultPort = "8080";
const char* const kDefaultPath = "/client/api";

bool IsControl(char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
}

}  // namespace

bool HasControl(const std::string& text) {
    for (const char c : text) {
        if (IsControl(c)) return true;
    }
    return false;
}

namespace {

bool IsHostChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
           c == '_';
}

bool IsIPv6Char(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' || c == '.';
}

bool AllOf(const std::string& text, bool (*test)(char)) {
    for (const char c : text) {
        if (!test(c)) return false;
    }
    return true;
}

// "[...]" holding an IPv6 literal.
bool IsBracketedIPv6(const std::string& host) {
    if (host.size() < 4 || host.front() != '[' || host.back() != ']') return false;
    const std::string inner = host.substr(1, host.size() - 2);
    return inner.find(':') != std::string::npos && AllOf(inner, IsIPv6Char);
}

bool ValidPort(const std::string& port, std::string& why) {
    if (port.empty()) {
        why = "the port after ':' is empty";
        return false;
    }
    if (port.size() > 5 || !AllOf(port, [](char c) { return c >= '0' && c <= '9'; }) || std::stol(port) < 1 ||
        std::stol(port) > 65535) {
        why = "the port must be a number from 1 to 65535";
        return false;
    }
    return true;
}

// Splits "host[:port]" (host possibly a bracketed IPv6 literal) and checks both.
bool SplitAuthority(const std::string& authority, bool bareServer, std::string& host, std::string& port,
                    std::string& why) {
    port.clear();
    if (!authority.empty() && authority.front() == '[') {
        const std::string::size_type close = authority.find(']');
        if (close == std::string::npos) {
            why = "an IPv6 address lacks its closing ']'";
            return false;
        }
        host = authority.substr(0, close + 1);
        const std::string rest = authority.substr(close + 1);
        if (!rest.empty()) {
            if (rest.front() != ':') {
                why = "only ':' and a port may follow an IPv6 address in brackets";
                return false;
            }
            port = rest.substr(1);
            if (!ValidPort(port, why)) return false;
        }
        if (!IsBracketedIPv6(host)) {
            why = "the text in brackets is no IPv6 address";
            return false;
        }
        return true;
    }
    const std::string::size_type colons =
        static_cast<std::string::size_type>(std::count(authority.begin(), authority.end(), ':'));
    if (colons >= 2) {
        // A bare IPv6 literal: only as a whole bare server, where no port can be meant.
        if (!bareServer || !AllOf(authority, IsIPv6Char)) {
            why = "an IPv6 address in a URL must stand in brackets, as in http://[::1]:8080";
            return false;
        }
        host = "[" + authority + "]";
        return true;
    }
    const std::string::size_type colon = authority.find(':');
    host = authority.substr(0, colon);
    if (colon != std::string::npos) {
        port = authority.substr(colon + 1);
        if (!ValidPort(port, why)) return false;
    }
    if (host.empty()) {
        why = "the host name is empty";
        return false;
    }
    if (!AllOf(host, IsHostChar)) {
        why = "the host name may hold only letters, digits, '-', '.' and '_'";
        return false;
    }
    return true;
}

}  // namespace

bool EndpointFor(const std::string& server, std::string& endpoint, std::string& why) {
    if (server.empty()) {
        why = "no server given";
        return false;
    }
    for (const char c : server) {
        if (IsControl(c) || c == ' ') {
            why = "it holds a blank or a control character";
            return false;
        }
    }
    std::string scheme;
    std::string rest = server;
    const std::string::size_type separator = server.find("://");
    if (separator != std::string::npos) {
        scheme = server.substr(0, separator);
        StrUtil::ToLower(scheme);
        if (scheme != "http" && scheme != "https") {
            why = "the scheme must be http:// or https://";
            return false;
        }
        rest = server.substr(separator + 3);
    }
    if (rest.find_first_of("?#") != std::string::npos) {
        why = "a server URL may not hold a query or a fragment";
        return false;
    }
    const std::string::size_type slash = rest.find('/');
    const std::string authority = rest.substr(0, slash);
    std::string path = slash == std::string::npos ? std::string() : rest.substr(slash);
    if (authority.find('@') != std::string::npos) {
        why = "a server URL may not hold a user name or password; give them to Connect";
        return false;
    }
    const bool bare = scheme.empty();
    std::string host;
    std::string port;
    if (!SplitAuthority(authority, bare, host, port, why)) return false;
    if (bare) {
        if (!path.empty()) {
            why = "a path needs a scheme, as in https://" + authority + path;
            return false;
        }
        endpoint = "http://" + host + ":" + (port.empty() ? kDefaultPort : port) + kDefaultPath;
        return true;
    }
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (path.empty() || path == "/") path = kDefaultPath;
    endpoint = scheme + "://" + host + (port.empty() ? "" : ":" + port) + path;
    return true;
}

}  // namespace CloudStackSDKWrapper
