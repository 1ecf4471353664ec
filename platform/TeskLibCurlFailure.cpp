// What went wrong with a transfer: the failure kind of each curl code, and messages that name the
// server but never the URL's path or query.

#include <strings.h>

#include <cstring>
#include <string>

#include "StrUtil.h"
#include "TeskLibCurlParts.h"

namespace teskcurl {

// End of "scheme://authority" in @p url, and in @p begin where the authority starts. curl takes
// a URL without a scheme for http, so the authority may start at the beginning.
std::size_t AuthorityEnd(const std::string& url, std::size_t& begin) {
    const std::size_t scheme = url.find("://");
    begin = scheme != std::string::npos && scheme < url.find_first_of("/?#") ? scheme + 3 : 0;
    const std::size_t end = url.find_first_of("/?#", begin);
    return end == std::string::npos ? url.size() : end;
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    const std::size_t length = std::strlen(prefix);
    return text.size() >= length && strncasecmp(text.c_str(), prefix, length) == 0;
}

// "host:port" of @p url, the default port filled in, credentials left out.
std::string HostOfUrl(const std::string& url) {
    std::size_t begin = 0;
    const std::size_t end = AuthorityEnd(url, begin);
    std::string host = url.substr(begin, end - begin);
    const std::size_t at = host.rfind('@');
    if (at != std::string::npos) {
        host.erase(0, at + 1);
    }
    bool hasPort = false;
    if (!host.empty() && host[0] == '[') {
        const std::size_t close = host.find(']');
        hasPort = close != std::string::npos && close + 1 < host.size() && host[close + 1] == ':';
    } else {
        hasPort = host.find(':') != std::string::npos;
    }
    if (!hasPort) {
        host += StartsWithNoCase(url, "https://") ? ":443" : ":80";
    }
    return host;
}

// A redirect target fit for a log line: no credentials, no query, no fragment.
std::string CleanLocation(const std::string& location) {
    std::string clean = location.substr(0, location.find_first_of("?#"));
    std::size_t begin = 0;
    const std::size_t end = AuthorityEnd(clean, begin);
    const std::size_t at = end == 0 ? std::string::npos : clean.rfind('@', end - 1);
    if (at != std::string::npos && at >= begin) {
        clean.erase(begin, at + 1 - begin);
    }
    return clean;
}

// curl's messages name the host, not the URL; should one ever quote it, the path and query
// (which may hold a password) are cut out.
void RemoveUrlText(std::string& text, const std::string& url, const std::string& host) {
    if (url.empty()) {
        return;
    }
    std::size_t at = 0;
    while ((at = text.find(url, at)) != std::string::npos) {
        text.replace(at, url.size(), host);
        at += host.size();
    }
    std::size_t begin = 0;
    const std::string rest = url.substr(AuthorityEnd(url, begin));
    if (rest.size() > 1) {
        while ((at = text.find(rest)) != std::string::npos) {
            text.erase(at, rest.size());
        }
    }
}

std::string CurlErrorText(CURLcode code, const char* detail) {
    std::string text = curl_easy_strerror(code);
    std::string more(detail);
    while (!more.empty() && (more.back() == '\n' || more.back() == '\r')) {
        more.pop_back();
    }
    if (!more.empty()) {
        text += " (" + more + ")";
    }
    return text;
}

namespace {

// What a TLS alert from the server, quoted by OpenSSL in curl's detail, says about the client's
// certificate. Under TLS 1.3 the server checks it after the client's handshake has ended, so the
// alert arrives with the first read of the answer; empty for any other text.
std::string ClientCertificateAlert(const char* detail) {
    if (std::strstr(detail, " alert ") == nullptr) return std::string();
    if (std::strstr(detail, "alert certificate required") != nullptr)
        return "the server demands a client certificate and none was given";
    for (const char* refusal :
         {"alert unknown ca", "alert bad certificate", "alert certificate unknown", "alert unsupported certificate",
          "alert certificate revoked", "alert certificate expired", "alert access denied"}) {
        if (std::strstr(detail, refusal) != nullptr) return "the server refused the client certificate";
    }
    if (std::strstr(detail, "alert handshake failure") != nullptr)
        return "the server ended the handshake (it may demand a client certificate)";
    return std::string();
}

}  // namespace

// Every CURLcode is turned into a failure kind here and nowhere else.
// @p readingHeaders: the request went out and the answer's header block has not ended.
void Classify(CURLcode code, const Transfer& transfer, bool readingHeaders, const char* detail,
              const TeskLibCurlLimits& limits, TeskLibCurlResult& result) {
    if (transfer.failure != TeskLibCurlFailure::None) {
        // Our own verdict (a limit, a bound) explains the curl error that followed it.
        result.eFailure = transfer.failure;
        result.strError = transfer.failureText;
        return;
    }
    if (code == CURLE_OK) {
        result.eFailure = TeskLibCurlFailure::None;
        return;
    }
    result.strError = CurlErrorText(code, detail);
    switch (code) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            result.eFailure = TeskLibCurlFailure::ResolveHost;
            break;
        case CURLE_OPERATION_TIMEDOUT:
            // The only time-out left to curl is the connect time-out, which includes resolving.
            result.eFailure = std::strstr(detail, "Resolving") != nullptr ? TeskLibCurlFailure::ResolveHost
                                                                          : TeskLibCurlFailure::Connect;
            result.strError =
                StrUtil::Format("not connected within the connect time-out of %ld ms", limits.lConnectTimeoutMs) +
                result.strError.substr(std::strlen(curl_easy_strerror(code)));
            break;
        case CURLE_COULDNT_CONNECT:
            result.eFailure = TeskLibCurlFailure::Connect;
            break;
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_CRL_BADFILE:
            result.eFailure = TeskLibCurlFailure::TlsCertificate;
            break;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_RECV_ERROR:
        case CURLE_SEND_ERROR: {
            const std::string alert = ClientCertificateAlert(detail);
            if (!alert.empty()) {
                result.eFailure = TeskLibCurlFailure::Tls;
                result.strError = alert + ": " + result.strError;
            } else {
                result.eFailure =
                    code == CURLE_SSL_CONNECT_ERROR ? TeskLibCurlFailure::Tls : TeskLibCurlFailure::Transport;
            }
            break;
        }
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_USE_SSL_FAILED:
            result.eFailure = TeskLibCurlFailure::Tls;
            break;
        case CURLE_FILESIZE_EXCEEDED:
            result.eFailure = TeskLibCurlFailure::TooLarge;
            result.strError =
                StrUtil::Format("answer body larger than the limit of %llu bytes", limits.ullMaxBodyBytes);
            break;
        case CURLE_OUT_OF_MEMORY:
            // curl refuses a header line over its own limit with this code, mostly without a
            // word in the error buffer; a real lack of memory in the header phase is unlikely.
            if (readingHeaders || std::strstr(detail, "header") != nullptr) {
                result.eFailure = TeskLibCurlFailure::TooLarge;
                result.strError =
                    StrUtil::Format("header line larger than curl's limit of %d bytes", CURL_MAX_HTTP_HEADER);
            } else {
                result.eFailure = TeskLibCurlFailure::Transport;
            }
            break;
        default:
            result.eFailure = TeskLibCurlFailure::Transport;
            break;
    }
}

}  // namespace teskcurl

const char* TeskLibCurlFailureName(TeskLibCurlFailure failure) {
    switch (failure) {
        case TeskLibCurlFailure::None:
            return "None";
        case TeskLibCurlFailure::ResolveHost:
            return "ResolveHost";
        case TeskLibCurlFailure::Connect:
            return "Connect";
        case TeskLibCurlFailure::Tls:
            return "Tls";
        case TeskLibCurlFailure::TlsCertificate:
            return "TlsCertificate";
        case TeskLibCurlFailure::Timeout:
            return "Timeout";
        case TeskLibCurlFailure::TooLarge:
            return "TooLarge";
        case TeskLibCurlFailure::Transport:
            return "Transport";
        case TeskLibCurlFailure::Proxy:
            return "Proxy";
    }
    return "Unknown";
}
