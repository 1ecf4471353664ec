// The proxy of a transfer: which URLs are accepted, how the proxy is named in messages, and which
// failures are the proxy's.

#include <cctype>
#include <string>

#include "TeskLibCurlParts.h"

namespace teskcurl {

namespace {

struct ProxyScheme {
    const char* prefix;
    const char* defaultPort;  // curl's: 1080 for every proxy but an https one
    bool http;                // answers plain http requests itself
};

const char* const kSchemeCharacters = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789+-.";

const ProxyScheme kProxySchemes[] = {
    {"http://", "1080", true},
    {"https://", "443", true},
    {"socks5h://", "1080", false},
};

const ProxyScheme* SchemeOf(const std::string& url) {
    for (const ProxyScheme& scheme : kProxySchemes) {
        if (StartsWithNoCase(url, scheme.prefix)) return &scheme;
    }
    return nullptr;
}

// Letters, digits and what a host name, an IPv4 address or a bracketed IPv6 address hold.
bool IsHostCharacter(char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0 || c == '.' || c == '-' || c == '_' || c == ':' ||
           c == '[' || c == ']';
}

const char* ReasonOf(long status) {
    switch (status) {
        case 407:
            return " (it wants credentials, or refused those given in the proxy URL)";
        case 403:
            return " (it refuses to carry requests there)";
        case 502:
        case 503:
        case 504:
            return " (it cannot reach the server: its name may not resolve there, or the server may be down)";
        default:
            return "";
    }
}

}  // namespace

bool CheckProxyUrl(const std::string& url, std::string& error) {
    const ProxyScheme* scheme = SchemeOf(url);
    if (scheme == nullptr) {
        // The scheme is quoted only when it is one: what stands before "://" may be anything,
        // a password included.
        const std::size_t separator = url.find("://");
        const bool named = separator != std::string::npos && separator > 0 && separator <= 16 &&
                           std::isalpha(static_cast<unsigned char>(url[0])) != 0 &&
                           url.find_first_not_of(kSchemeCharacters) >= separator;
        error = named ? "the proxy scheme '" + url.substr(0, separator) + "' is not http, https or socks5h"
                      : "a proxy URL starts with http://, https:// or socks5h://";
        return false;
    }
    for (const char c : url) {
        if (static_cast<unsigned char>(c) <= 0x20 || c == 0x7F) {
            error = "the proxy URL holds a blank or a control character";
            return false;
        }
    }
    std::size_t begin = 0;
    const std::size_t end = AuthorityEnd(url, begin);
    const std::string rest = url.substr(end);
    if (!rest.empty() && rest != "/") {
        error = "a proxy URL has no path, query or fragment";
        return false;
    }
    const std::string authority = url.substr(begin, end - begin);
    const std::size_t at = authority.rfind('@');
    std::string host = at == std::string::npos ? authority : authority.substr(at + 1);
    std::string port;
    const std::size_t close = host.rfind(']');
    const std::size_t colon = host.rfind(':');
    if (colon != std::string::npos && (close == std::string::npos || colon > close)) {
        port = host.substr(colon + 1);
        host.erase(colon);
        if (port.empty() || port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos ||
            std::stoul(port) == 0 || std::stoul(port) > 65535) {
            error = "the proxy port is no number from 1 to 65535";
            return false;
        }
    }
    bool hostOk = !host.empty();
    for (const char c : host) hostOk = hostOk && IsHostCharacter(c);
    if (!hostOk) {
        error = "the proxy URL names no host";
        return false;
    }
    return true;
}

std::string ProxyHostOf(const std::string& url) {
    const ProxyScheme* scheme = SchemeOf(url);
    std::size_t begin = 0;
    const std::size_t end = AuthorityEnd(url, begin);
    std::string host = url.substr(begin, end - begin);
    const std::size_t at = host.rfind('@');
    if (at != std::string::npos) host.erase(0, at + 1);
    const std::size_t close = host.rfind(']');
    const std::size_t colon = host.rfind(':');
    if (scheme != nullptr && (colon == std::string::npos || (close != std::string::npos && colon < close))) {
        host += ':';
        host += scheme->defaultPort;
    }
    return host;
}

bool IsHttpProxy(const std::string& url) {
    const ProxyScheme* scheme = SchemeOf(url);
    return scheme != nullptr && scheme->http;
}

void ClassifyThroughProxy(CURLcode code, long connectStatus, bool plainAnswerIsTheProxys, const std::string& proxy,
                          TeskLibCurlResult& result) {
    // A limit of ours, not the proxy, ended the transfer.
    if (result.eFailure == TeskLibCurlFailure::Timeout || result.eFailure == TeskLibCurlFailure::TooLarge) return;
    const std::string curlText = result.strError;
    std::string why;
    if (code == CURLE_COULDNT_RESOLVE_PROXY) {
        why = "cannot resolve the host name of the proxy " + proxy;
    } else if (code == CURLE_COULDNT_CONNECT && result.eFailure == TeskLibCurlFailure::Connect) {
        why = "cannot connect to the proxy " + proxy + ": " + curlText;
    } else if (connectStatus >= 300) {
        why = "the proxy " + proxy + " answered CONNECT with HTTP " + std::to_string(connectStatus) +
              ReasonOf(connectStatus);
    } else if (code == CURLE_PROXY) {
        why = "the proxy " + proxy + " failed: " + curlText;
    } else if (code == CURLE_OK && result.eFailure == TeskLibCurlFailure::None && plainAnswerIsTheProxys &&
               (result.lHttpStatus == 407 || (result.lHttpStatus >= 502 && result.lHttpStatus <= 504))) {
        why = "the proxy " + proxy + " answered HTTP " + std::to_string(result.lHttpStatus) +
              ReasonOf(result.lHttpStatus);
    } else {
        return;
    }
    result.eFailure = TeskLibCurlFailure::Proxy;
    result.strError = why;
}

}  // namespace teskcurl

using namespace teskcurl;

bool TeskLibCurl::SetProxy(const std::string& url, std::string& error) {
    Impl& impl = *m_pImpl;
    error.clear();
    if (url == impl.strProxy && impl.strProxyRefusal.empty()) return true;
    Wipe(impl.strProxy);
    impl.strProxyHost.clear();
    impl.strProxyRefusal.clear();
    impl.bTlsChanged = true;
    if (!url.empty() && !CheckProxyUrl(url, error)) {
        impl.strProxyRefusal = "proxy refused: " + error;
        return false;
    }
    impl.strProxy = url;
    if (!url.empty()) impl.strProxyHost = ProxyHostOf(url);
    return true;
}

const std::string& TeskLibCurl::ProxyRefusal() const {
    return m_pImpl->strProxyRefusal;
}
