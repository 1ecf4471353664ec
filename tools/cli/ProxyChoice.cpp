#include "ProxyChoice.h"

#include <arpa/inet.h>

#include <cstdlib>
#include <cstring>
#include <vector>

#include "Text.h"

namespace cscli {

namespace {

// The scheme ("http", "https") and host of the server string, as the library reads it: a string
// without "://" is a host (or host:port) reached over http.
void SchemeAndHost(const std::string& server, std::string& scheme, std::string& host) {
    const std::size_t separator = server.find("://");
    scheme = separator == std::string::npos ? "http" : cstools::AsciiLower(server.substr(0, separator));
    std::string authority = separator == std::string::npos ? server : server.substr(separator + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    const std::size_t at = authority.rfind('@');
    if (at != std::string::npos) authority.erase(0, at + 1);
    if (!authority.empty() && authority[0] == '[') {
        host = authority.substr(1, authority.find(']') - 1);
        return;
    }
    host = authority.substr(0, authority.find(':'));
}

// The address of an IPv4 or IPv6 text, in network order; false for anything else.
bool ParseAddress(const std::string& text, std::vector<unsigned char>& bytes) {
    unsigned char buffer[16];
    if (inet_pton(AF_INET, text.c_str(), buffer) == 1) {
        bytes.assign(buffer, buffer + 4);
        return true;
    }
    if (inet_pton(AF_INET6, text.c_str(), buffer) == 1) {
        bytes.assign(buffer, buffer + 16);
        return true;
    }
    return false;
}

// "address" or "address/bits" against the host's address.
bool AddressMatches(const std::string& pattern, const std::vector<unsigned char>& host) {
    const std::size_t slash = pattern.find('/');
    std::string address = pattern.substr(0, slash);
    if (address.size() > 2 && address.front() == '[' && address.back() == ']')
        address = address.substr(1, address.size() - 2);
    std::vector<unsigned char> network;
    if (!ParseAddress(address, network) || network.size() != host.size()) return false;
    std::size_t bits = network.size() * 8;
    if (slash != std::string::npos) {
        const std::string text = pattern.substr(slash + 1);
        if (text.empty() || text.size() > 3 || text.find_first_not_of("0123456789") != std::string::npos) return false;
        bits = static_cast<std::size_t>(std::atoi(text.c_str()));
        if (bits > network.size() * 8) return false;
    }
    for (std::size_t i = 0; i < network.size() && bits > 0; ++i) {
        const unsigned mask = bits >= 8 ? 0xFFU : (0xFFU << (8 - bits)) & 0xFFU;
        if ((network[i] & mask) != (host[i] & mask)) return false;
        bits = bits >= 8 ? bits - 8 : 0;
    }
    return true;
}

std::string WithScheme(const std::string& url) {
    return url.find("://") == std::string::npos ? "http://" + url : url;
}

}  // namespace

bool NoProxyMatches(const std::string& noProxy, const std::string& host, std::string& entry) {
    std::string name = cstools::AsciiLower(host);
    if (name.size() > 2 && name.front() == '[' && name.back() == ']') name = name.substr(1, name.size() - 2);
    while (!name.empty() && name.back() == '.') name.pop_back();
    std::vector<unsigned char> address;
    const bool isAddress = ParseAddress(name, address);
    std::size_t start = 0;
    while (start < noProxy.size()) {
        const std::size_t end = noProxy.find_first_of(", \t", start);
        const std::string item = noProxy.substr(start, end == std::string::npos ? std::string::npos : end - start);
        start = end == std::string::npos ? noProxy.size() : end + 1;
        if (item.empty()) continue;
        std::string pattern = cstools::AsciiLower(item);
        bool matches = false;
        if (pattern == "*") {
            matches = true;
        } else if (isAddress) {
            matches = AddressMatches(pattern, address);
        } else {
            while (!pattern.empty() && pattern.front() == '.') pattern.erase(0, 1);
            while (!pattern.empty() && pattern.back() == '.') pattern.pop_back();
            matches = !pattern.empty() &&
                      (name == pattern || (name.size() > pattern.size() &&
                                           name.compare(name.size() - pattern.size(), pattern.size(), pattern) == 0 &&
                                           name[name.size() - pattern.size() - 1] == '.'));
        }
        if (matches) {
            entry = item;
            return true;
        }
    }
    return false;
}

ProxyChoice ChooseProxy(const std::string& server, const std::string& commandLine, const std::string& configFile,
                        const EnvironmentReader& env) {
    std::string scheme;
    std::string host;
    SchemeAndHost(server, scheme, host);
    ProxyChoice choice;
    if (!commandLine.empty()) {
        choice = {WithScheme(commandLine), "--proxy", ""};
    } else {
        // curl reads http_proxy in lower case only: HTTP_PROXY can be set by a web server's client
        // in a CGI program's environment.
        std::vector<std::string> names = {scheme + "_proxy"};
        if (scheme != "http") names.push_back(cstools::AsciiUpper(scheme) + "_PROXY");
        names.insert(names.end(), {"all_proxy", "ALL_PROXY"});
        for (const std::string& name : names) {
            const std::string value = env(name.c_str());
            if (!value.empty()) {
                choice = {WithScheme(value), name, ""};
                break;
            }
        }
        if (choice.url.empty() && !configFile.empty()) choice = {WithScheme(configFile), "the config file", ""};
    }
    if (choice.url.empty()) return choice;
    std::string noProxy = env("no_proxy");
    if (noProxy.empty()) noProxy = env("NO_PROXY");
    std::string entry;
    if (NoProxyMatches(noProxy, host, entry)) return ProxyChoice{"", "", entry};
    return choice;
}

std::string WithoutCredentials(const std::string& url) {
    const std::size_t separator = url.find("://");
    const std::size_t begin = separator == std::string::npos ? 0 : separator + 3;
    const std::size_t end = url.find_first_of("/?#", begin);
    const std::size_t at = url.rfind('@', end == std::string::npos ? std::string::npos : end);
    if (at == std::string::npos || at < begin) return url;
    return url.substr(0, begin) + url.substr(at + 1);
}

}  // namespace cscli
