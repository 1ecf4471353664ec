#include "TeskRestApiConnection.h"

#include <cstdarg>
#include <cstring>

#include "StrUtil.h"
#include "TeskApiRequest.h"
#include "TeskRequestSigner.h"

namespace {

// Value of the "command" parameter in a query string or form body; empty when absent.
std::string FindCommand(const std::string& text) {
    static constexpr char kKey[] = "command=";
    constexpr std::size_t kKeySize = sizeof kKey - 1;
    std::size_t at = 0;
    while ((at = text.find(kKey, at, kKeySize)) != std::string::npos) {
        // Only a whole parameter name counts, not "xcommand=".
        if (at == 0 || text[at - 1] == '?' || text[at - 1] == '&') {
            const std::size_t begin = at + kKeySize;
            const std::size_t end = text.find_first_of("&#", begin);
            return text.substr(begin, end == std::string::npos ? std::string::npos : end - begin);
        }
        at += kKeySize;
    }
    return std::string();
}

bool IsSuccessStatus(long status) {
    return status >= 200 && status <= 299;
}

// The options of a request whose parameters travel in a form body.
TeskRestApiRequestOptions FormOptions() {
    TeskRestApiRequestOptions form;
    form.strContentType = "application/x-www-form-urlencoded";
    return form;
}

// Names the request under way in the curl wrapper for as long as it lives.
class RequestScope {
public:
    RequestScope(TeskLibCurl& curl, const TeskApiRequest& request) : m_curl(curl) {
        m_curl.SetRequestUnderWay(&request);
    }
    ~RequestScope() { m_curl.SetRequestUnderWay(nullptr); }
    RequestScope(const RequestScope&) = delete;
    RequestScope& operator=(const RequestScope&) = delete;

private:
    TeskLibCurl& m_curl;
};

}  // namespace

std::string TeskRestApiRequestInfo::Command() const {
    std::string command = FindCommand(strPath);
    if (command.empty()) {
        command = FindCommand(strBody);
    }
    if (command.empty()) {
        command = "(none)";
    }
    return command;
}

const char* TeskRestApiRequestInfo::MethodName() const {
    return eMethod == HTTP_REQ_POST ? "POST" : "GET";
}

TeskRestApiConnection::TeskRestApiConnection() : m_pOwnedCurl(new TeskLibCurl) {
    m_pCurl = m_pOwnedCurl.get();
}

TeskRestApiConnection::~TeskRestApiConnection() {
    WipeRequestCopies();
}

void TeskRestApiConnection::WipeRequestCopies() {
    TeskRequestSigner::Wipe(m_strUrl);
    m_pCurl->TeskLibCurlFreeHttpHeaderList();
    m_bHeadersStale = true;
}

// The request log reads the command from the request value when there is one.
std::string TeskRestApiConnection::CommandOf(const TeskRestApiRequestInfo& request) const {
    const TeskApiRequest* value = RequestUnderWay();
    return value != nullptr ? value->strCommand : request.Command();
}

bool TeskRestApiConnection::computeUrl(const std::string& server, const std::string& path,
                                       const TeskRestApiRequestOptions* /*options*/, std::string& url) {
    url = server;
    url += path;
    return true;
}

bool TeskRestApiConnection::recvResp(std::string& /*response*/) {
    return IsSuccessStatus(m_LastResult.lHttpStatus);
}

bool TeskRestApiConnection::addCurlHeaders(const TeskRestApiRequestOptions* /*options*/) {
    return true;
}

bool TeskRestApiConnection::addCommonCurlHeaders() {
    // Start from an empty list so that repeated requests do not pile up copies of the same lines.
    m_pCurl->TeskLibCurlFreeHttpHeaderList();
    if (m_pOptions != nullptr && !m_pOptions->strContentType.empty()) {
        const std::string line = "Content-Type: " + m_pOptions->strContentType;
        return m_pCurl->TeskLibCurlAppendHeader(HTTP_HDR_REQUEST, line.c_str());
    }
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
    m_pCurl->SetTls(m_Tls);
    return m_pCurl->Perform(method, url, body, response, m_Limits, m_LastResult);
}

// One summary line per request, after enableDebug. The URL stays out of the log: a login
// carries the credentials in it.
void TeskRestApiConnection::LogResponse(const TeskRestApiRequestInfo& request, const TeskLibCurlResult& result) {
    if (!m_Log.IsDebugEnabled()) {
        return;
    }
    const std::string command = CommandOf(request);
    if (result.bTransportOk) {
        m_Log.DebugLvl(__PRETTY_FUNCTION__, 2, "%s %s -> HTTP %ld, %zu bytes, %ld ms", request.MethodName(),
                       command.c_str(), result.lHttpStatus, result.nBytes, result.lElapsedMs);
    } else {
        m_Log.DebugLvl(__PRETTY_FUNCTION__, 2, "%s %s -> no answer (%s), %zu bytes, %ld ms", request.MethodName(),
                       command.c_str(), result.strError.c_str(), result.nBytes, result.lElapsedMs);
    }
}

void TeskRestApiConnection::LogRequest(const TeskRestApiRequestInfo& /*request*/) {}

void TeskRestApiConnection::LogError(const TeskRestApiRequestInfo& request, const TeskLibCurlResult& result) {
    const std::string command = CommandOf(request);
    if (!result.bTransportOk) {
        // No (complete) answer: the connection, a time-out or a limit stopped the transfer. A proxy's
        // own answer is no answer from the server.
        if (result.lHttpStatus != 0 && result.eFailure != TeskLibCurlFailure::Proxy) {
            m_Log.Error(__PRETTY_FUNCTION__,
                        "command %s: no complete answer from the server at %s after HTTP status %ld: %s",
                        command.c_str(), result.strHost.c_str(), result.lHttpStatus, result.strError.c_str());
        } else {
            m_Log.Error(__PRETTY_FUNCTION__, "command %s: no answer from the server at %s: %s", command.c_str(),
                        result.strHost.c_str(), result.strError.c_str());
        }
    } else if (result.lHttpStatus >= 300 && result.lHttpStatus <= 399 && !result.strLocation.empty()) {
        // Typically a proxy sending plain HTTP on to HTTPS, or the API living under another path.
        m_Log.Error(__PRETTY_FUNCTION__, "command %s: the server redirected it (HTTP %ld) to %s; use that URL",
                    command.c_str(), result.lHttpStatus, result.strLocation.c_str());
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
    static const std::string kNoBody;
    return request(HTTP_REQ_GET, path, kNoBody, response, options);
}

bool TeskRestApiConnection::post(const std::string& path, const std::string& body, std::string& response,
                                 const TeskRestApiRequestOptions* options) {
    return request(HTTP_REQ_POST, path, body, response, options);
}

bool TeskRestApiConnection::send(const TeskApiRequest& request, std::string& response) {
    // Rendered once, from the pairs; the hooks read the pairs through RequestUnderWay().
    std::string path = request.Query();
    std::string body = request.Body();
    const TeskRestApiRequestOptions form = FormOptions();
    bool success = false;
    {
        const RequestScope scope(*m_pCurl, request);
        success = this->request(request.eMethod, path, body, response, request.bFormBody ? &form : nullptr);
    }
    TeskRequestSigner::Wipe(path);
    TeskRequestSigner::Wipe(body);
    return success;
}

bool TeskRestApiConnection::enableDebug() {
    m_Log.EnableDebug(true);
    return true;
}

bool TeskRestApiConnection::request(_http_req_type_ method, const std::string& path, const std::string& body,
                                    std::string& response, const TeskRestApiRequestOptions* options) {
    const TeskRestApiRequestInfo info{method, path, body};
    // Cleared, not released: its buffer receives a later answer.
    response.clear();
    m_LastResult = TeskLibCurlResult();
    if (!prepare(info, options)) return false;
    const bool answered = sendReq(method, m_strUrl, body, response);
    return complete(info, answered, response);
}

bool TeskRestApiConnection::prepare(const TeskRestApiRequestInfo& info, const TeskRestApiRequestOptions* options) {
    m_strUrl.clear();
    if (!computeUrl(m_strServer, info.strPath, options, m_strUrl)) {
        m_Log.Error(__PRETTY_FUNCTION__, "command %s: could not build the request address", CommandOf(info).c_str());
        return false;
    }

    // A request with options may change the list in ways the next request must undo.
    m_bRebuildHeaders = m_bHeadersStale || options != nullptr || m_bLoginInProgress != m_bHeadersBuiltForLogin;
    m_pOptions = options;
    const bool headersSet =
        addCommonCurlHeaders() && addCurlHeaders(options) && (!m_bLoginInProgress || addLoginCurlHeaders());
    m_pOptions = nullptr;
    if (!headersSet) {
        m_bHeadersStale = true;
        m_Log.Error(__PRETTY_FUNCTION__, "command %s: could not set the request header lines", CommandOf(info).c_str());
        return false;
    }
    m_bHeadersStale = options != nullptr;
    m_bHeadersBuiltForLogin = m_bLoginInProgress;

    LogRequest(info);
    return true;
}

bool TeskRestApiConnection::complete(const TeskRestApiRequestInfo& info, bool answered, std::string& response) {
    bool success = answered;
    if (success) {
        success = recvResp(response);
        if (m_bLoginInProgress) {
            // The session cookies are in this answer's header lines, which the next request
            // replaces. Whether the login worked is decided by the status and body, not here.
            saveLoginCurlHeaders();
            // What the derived class sends from now on may have changed with the login.
            m_bHeadersStale = true;
        }
    }
    LogResponse(info, m_LastResult);
    if (!success) {
        LogError(info, m_LastResult);
    }
    return success;
}

bool TeskRestApiConnection::beginSend(const TeskApiRequest& request, std::size_t& lane) {
    std::string path = request.Query();
    std::string body = request.Body();
    const TeskRestApiRequestOptions form = FormOptions();
    bool started = false;
    {
        const RequestScope scope(*m_pCurl, request);
        const TeskRestApiRequestInfo info{request.eMethod, path, body};
        if (prepare(info, request.bFormBody ? &form : nullptr)) {
            m_pCurl->SetTls(m_Tls);
            lane = m_pCurl->StartConcurrent(request.eMethod, m_strUrl, std::move(body), m_Limits);
            started = true;
        }
    }
    TeskRequestSigner::Wipe(path);
    TeskRequestSigner::Wipe(body);
    return started;
}

bool TeskRestApiConnection::endSend(const TeskApiRequest& request, std::size_t lane, std::string& response) {
    static const std::string kNone;
    const RequestScope scope(*m_pCurl, request);
    // The hooks name the command from the request value; the rendered texts went with the transfer.
    const TeskRestApiRequestInfo info{request.eMethod, kNone, kNone};
    response.clear();
    m_pCurl->WaitConcurrent(lane);
    const bool answered = m_pCurl->TakeConcurrent(lane, response, m_LastResult);
    return complete(info, answered, response);
}
