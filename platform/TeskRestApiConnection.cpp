#include "TeskRestApiConnection.h"

#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "StrUtil.h"

namespace {

// Value of the "command" parameter in a query string or form body; empty when absent.
std::string FindCommand(const std::string& text) {
    static const std::string kKey = "command=";
    std::size_t at = 0;
    while ((at = text.find(kKey, at)) != std::string::npos) {
        // Only a whole parameter name counts, not "xcommand=".
        if (at == 0 || text[at - 1] == '?' || text[at - 1] == '&') {
            const std::size_t begin = at + kKey.size();
            const std::size_t end = text.find_first_of("&#", begin);
            return text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        }
        at += kKey.size();
    }
    return std::string();
}

const char* MethodName(_http_req_type_ method) {
    return method == HTTP_REQ_POST ? "POST" : "GET";
}

bool IsSuccessStatus(long status) {
    return status >= 200 && status <= 299;
}

}  // namespace

TeskRestApiConnection::TeskRestApiConnection() : m_pCurl(nullptr), m_pOwnedCurl(new TeskLibCurl) {
    m_pCurl = m_pOwnedCurl.get();
}

TeskRestApiConnection::~TeskRestApiConnection() = default;

bool TeskRestApiConnection::computeUrl(const std::string& server, const std::string& path,
                                       const TeskRestApiRequestOptions* /*options*/, std::string& url) {
    url = server + path;
    return true;
}

bool TeskRestApiConnection::recvResp(std::string& /*response*/) {
    return true;
}

bool TeskRestApiConnection::addCurlHeaders(const TeskRestApiRequestOptions* /*options*/) {
    return true;
}

bool TeskRestApiConnection::addCommonCurlHeaders() {
    // Start from an empty list so that repeated requests do not pile up copies of the same lines.
    m_pCurl->TeskLibCurlFreeHttpHeaderList();
    if (!m_strContentType.empty() && !m_pCurl->TeskLibCurlAppendHeader(HTTP_HDR_REQUEST, m_strContentType.c_str())) {
        return false;
    }
    return true;
}

bool TeskRestApiConnection::addLoginCurlHeaders() {
    return true;
}

bool TeskRestApiConnection::saveLoginCurlHeaders() {
    return true;
}

bool TeskRestApiConnection::sendReq(_http_req_type_ method, const std::string& url, const std::string& body,
                                    std::string& response) {
    TeskLibCurlResult result;
    return m_pCurl->Perform(method, url, body, response, m_Limits, result);
}

// One summary line per request, after enableDebug. The URL stays out of the log: a login
// carries the credentials in it.
void TeskRestApiConnection::LogResponse(_http_req_type_ method, const std::string& command,
                                        const TeskLibCurlResult& result, long elapsedMs) {
    if (result.bTransportOk) {
        m_Log.DebugLvl(__PRETTY_FUNCTION__, 2, "%s %s -> HTTP %ld, %zu bytes, %ld ms", MethodName(method),
                       command.c_str(), result.lHttpStatus, result.nBytes, elapsedMs);
    } else {
        m_Log.DebugLvl(__PRETTY_FUNCTION__, 2, "%s %s -> no answer (%s), %zu bytes, %ld ms", MethodName(method),
                       command.c_str(), result.strError.c_str(), result.nBytes, elapsedMs);
    }
}

// The summary line after the answer says everything; no separate line before the request.
void TeskRestApiConnection::LogRequest(_http_req_type_ /*method*/, const std::string& /*command*/) {}

void TeskRestApiConnection::LogError(const std::string& command, const TeskLibCurlResult& result) {
    if (!result.bTransportOk) {
        // No (complete) answer: the connection, a time-out or a limit stopped the transfer.
        if (result.lHttpStatus != 0) {
            m_Log.Error(__PRETTY_FUNCTION__, "command %s: no complete answer from the server after HTTP status %ld: %s",
                        command.c_str(), result.lHttpStatus, result.strError.c_str());
        } else {
            m_Log.Error(__PRETTY_FUNCTION__, "command %s: no answer from the server: %s", command.c_str(),
                        result.strError.c_str());
        }
    } else {
        m_Log.Error(__PRETTY_FUNCTION__, "command %s: the server refused it with HTTP status %ld", command.c_str(),
                    result.lHttpStatus);
    }
}

bool TeskRestApiConnection::connect(const std::string& server, bool /*secure*/, const std::string& /*certificate*/) {
    if (server.empty()) {
        m_Log.Error(__PRETTY_FUNCTION__, "no server given");
        return false;
    }
    m_strServer = server;
    return true;
}

void TeskRestApiConnection::appendQueryStringArgument(std::string& query, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string argument = StrUtil::FormatV(format, args);
    va_end(args);

    // Only the value is encoded: the server splits on the raw '&' and '=' and decodes '+' as a blank.
    const std::size_t equals = argument.find('=');
    if (equals != std::string::npos) {
        argument = argument.substr(0, equals + 1) + StrUtil::PercentEncode(argument.substr(equals + 1));
    }
    if (!query.empty() && query.back() != '?' && query.back() != '&') {
        query += '&';
    }
    query += argument;
}

bool TeskRestApiConnection::get(const std::string& path, std::string& response,
                                const TeskRestApiRequestOptions* options) {
    return request(HTTP_REQ_GET, path, std::string(), response, options);
}

bool TeskRestApiConnection::post(const std::string& path, const std::string& body, std::string& response,
                                 const TeskRestApiRequestOptions* options) {
    return request(HTTP_REQ_POST, path, body, response, options);
}

bool TeskRestApiConnection::enableDebug() {
    m_Log.EnableDebug(true);
    return true;
}

bool TeskRestApiConnection::request(_http_req_type_ method, const std::string& path, const std::string& body,
                                    std::string& response, const TeskRestApiRequestOptions* options) {
    response.clear();
    m_LastResult = TeskLibCurlResult();
    std::string command = FindCommand(path);
    if (command.empty()) {
        command = FindCommand(body);
    }
    if (command.empty()) {
        command = "(none)";
    }

    std::string url;
    if (!computeUrl(m_strServer, path, options, url)) {
        m_Log.Error(__PRETTY_FUNCTION__, "command %s: could not build the request address", command.c_str());
        return false;
    }
    if (!addCommonCurlHeaders()) {
        m_Log.Error(__PRETTY_FUNCTION__, "command %s: could not set the request header lines", command.c_str());
        return false;
    }

    const auto started = std::chrono::steady_clock::now();
    TeskLibCurlResult& result = m_LastResult;
    m_pCurl->Perform(method, url, body, response, m_Limits, result);
    const long elapsedMs = static_cast<long>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - started).count());

    if (result.bTransportOk && m_bLoginInProgress) {
        // The session cookies are in this answer's header lines, which the next request replaces.
        // Whether the login worked is decided by the status and body, not here.
        saveLoginCurlHeaders();
    }

    LogResponse(method, command, result, elapsedMs);

    if (!result.bTransportOk || !IsSuccessStatus(result.lHttpStatus)) {
        LogError(command, result);
        return false;
    }
    return true;
}
