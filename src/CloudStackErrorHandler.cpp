#include "CloudStackErrorHandler.h"

#include <exception>

#include "CloudStackConnection.h"
#include "TeskJson.h"
#include "TextEscape.h"

namespace CloudStackSDKWrapper {

namespace {

// Error answers are small; a large body is no error envelope worth parsing.
constexpr std::size_t kMaxErrorBody = 1 << 20;

// A transfer that brought no complete answer: the code of its kind and a sentence naming the
// server (never the URL's path or query, which the transport keeps out of its text).
void DescribeTransportFailure(const TeskLibCurlResult& result, long& code, std::string& message) {
    const std::string& host = result.strHost;
    switch (result.eFailure) {
        case TeskLibCurlFailure::ResolveHost:
            code = CS_ERROR_RESOLVE_HOST;
            message = "cannot resolve the host name of " + host;
            break;
        case TeskLibCurlFailure::Connect:
            code = CS_ERROR_CONNECT;
            message = "cannot connect to " + host;
            break;
        case TeskLibCurlFailure::Tls:
            code = CS_ERROR_TLS;
            message = "TLS handshake with " + host + " failed";
            break;
        case TeskLibCurlFailure::TlsCertificate:
            code = CS_ERROR_TLS_CERTIFICATE;
            message = "TLS certificate of " + host + " not trusted";
            break;
        case TeskLibCurlFailure::Timeout:
            code = CS_ERROR_TIMEOUT;
            message = "timed out waiting for " + host;
            break;
        case TeskLibCurlFailure::TooLarge:
            code = CS_ERROR_TOO_LARGE;
            message = "answer from " + host + " too large";
            break;
        default:
            code = CS_ERROR_TRANSPORT;
            message = "no complete answer from " + host;
            break;
    }
    if (!result.strError.empty()) message += ": " + result.strError;
}

}  // namespace

CCloudStackErrorHandler::CCloudStackErrorHandler(CCloudStackParser* pParser, CCloudStackErrorState* pErrorState)
    : m_Log(nullptr), m_pResponseParser(pParser), m_pErrorState(pErrorState) {}

CCloudStackErrorHandler::~CCloudStackErrorHandler() {
    m_pResponseParser = nullptr;
}

std::string CCloudStackErrorHandler::GetErrorMessage() {
    return m_pErrorState ? m_pErrorState->strErrorMessage : std::string();
}

long CCloudStackErrorHandler::GetErrorCode() {
    return m_pErrorState ? m_pErrorState->lErrorCode : 0;
}

void CCloudStackErrorHandler::SetErrorMessage(const std::string& message) {
    // Server text (an errortext, a Location) shows its controls as escapes before the cut, and the
    // cut falls between two characters or escapes, never inside one.
    if (m_pErrorState) m_pErrorState->strErrorMessage = TextEscape::Printable(message, kMaxErrorMessage);
}

void CCloudStackErrorHandler::SetErrorCode(long code) {
    if (m_pErrorState) m_pErrorState->lErrorCode = code;
}

void CCloudStackErrorHandler::SetLastError(long code, const std::string& message) {
    SetErrorCode(code);
    SetErrorMessage(message);
}

void CCloudStackErrorHandler::ClearLastError() {
    SetLastError(0, std::string());
}

bool CCloudStackErrorHandler::ReadApiError(const std::string& body, long& code, std::string& text) {
    if (body.empty() || body.size() > kMaxErrorBody) return false;
    JsonObject document;
    if (!TeskJson::TryUnserialize(body, document)) return false;
    // {"<command>response":{...}}, or {"errorresponse":{...}} for an unknown command.
    for (const auto& member : document) {
        const JsonObject* inner = member.second.get_ptr<const JsonObject*>();
        if (inner == nullptr) continue;
        long long value = 0;
        // A code of 0 would read as "no error" in the error state of a call that failed.
        if (!TeskJson::TryGetCount(*inner, "errorcode", value) || value == 0) continue;
        code = static_cast<long>(value);
        text = TeskJson::GetStringValue(*inner, "errortext");
        return true;
    }
    return false;
}

void CCloudStackErrorHandler::SetLastErrorFromResponse(const std::string& response) {
    long code = 0;
    std::string text;
    if (ReadApiError(response, code, text)) SetLastError(code, text);
}

void CCloudStackErrorHandler::SetLastErrorFromRequest(const CCloudStackConnection& connection,
                                                      const std::string& command, const std::string& response) {
    if (connection.OwnFailure().lErrorCode != 0) {
        SetLastError(connection.OwnFailure().lErrorCode, connection.OwnFailure().strErrorMessage);
        return;
    }
    const TeskLibCurlResult& result = connection.LastResult();
    if (!result.bTransportOk) {
        long code = 0;
        std::string message;
        DescribeTransportFailure(result, code, message);
        SetLastError(code, message);
        return;
    }
    if (result.lHttpStatus >= 300 && result.lHttpStatus < 400) {
        // Redirects are not followed: a proxy sending http to https says where the API lives.
        SetLastError(CS_ERROR_REDIRECT, result.strHost + " redirects (HTTP " + std::to_string(result.lHttpStatus) +
                                            ")" +
                                            (result.strLocation.empty() ? std::string() : " to " + result.strLocation) +
                                            "; give that URL as the server");
        return;
    }
    long code = 0;
    std::string text;
    if (ReadApiError(response, code, text)) {
        SetLastError(code, text);
        return;
    }
    SetLastError(result.lHttpStatus, "HTTP " + std::to_string(result.lHttpStatus) + " answer to " + command +
                                         " is not the server's API answer (" + std::to_string(result.nBytes) +
                                         " bytes)");
}

void CCloudStackErrorHandler::SetLastErrorFromAnswer(const std::string& command, const std::string& response) {
    long code = 0;
    std::string text;
    if (ReadApiError(response, code, text)) {
        SetLastError(code, text);
        return;
    }
    SetLastError(CS_ERROR_BAD_ANSWER, "the answer to " + command + " is not what it should be (" +
                                          std::to_string(response.size()) + " bytes)");
}

}  // namespace CloudStackSDKWrapper
