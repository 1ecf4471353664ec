#include "CloudStackOutcome.h"

#include <utility>

#include "CloudStackErrorHandler.h"
#include "TeskSecrets.h"

namespace CloudStackSDKWrapper {

namespace {

// Shorter values are left alone: masking "1" would mask every digit of the text.
constexpr std::size_t kMinMaskedValue = 4;

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
        case TeskLibCurlFailure::Proxy:
            // The transport's text names the proxy and what it did.
            code = CS_ERROR_PROXY;
            message = "cannot reach " + host;
            break;
        default:
            code = CS_ERROR_TRANSPORT;
            message = "no complete answer from " + host;
            break;
    }
    if (!result.strError.empty()) message += ": " + result.strError;
}

}  // namespace

SCloudStackOutcome::SCloudStackOutcome() = default;

SCloudStackOutcome::~SCloudStackOutcome() {
    TeskJson::Release(answer);
}

const JsonObject& SCloudStackOutcome::Answer() const {
    static const JsonObject kNone;
    const JsonObject* object = answer.get_ptr<const JsonObject*>();
    return object != nullptr ? *object : kNone;
}

SCloudStackOutcome SCloudStackOutcome::Success(long httpStatus) {
    SCloudStackOutcome outcome;
    outcome.lHttpStatus = httpStatus;
    return outcome;
}

SCloudStackOutcome SCloudStackOutcome::Failure(EFailure kind, long code, std::string message, long httpStatus) {
    SCloudStackOutcome outcome;
    outcome.eFailure = kind;
    outcome.lCode = code;
    outcome.strMessage = std::move(message);
    outcome.lHttpStatus = httpStatus;
    return outcome;
}

SCloudStackOutcome SCloudStackOutcome::FromTransfer(const TeskLibCurlResult& result, const std::string& body,
                                                    const TeskApiRequest& request) {
    const long status = result.lHttpStatus;
    if (!result.bTransportOk) {
        long code = 0;
        std::string message;
        DescribeTransportFailure(result, code, message);
        return Failure(EFailure::Transport, code, std::move(message), status);
    }
    if (status >= 300 && status < 400) {
        // Redirects are not followed: a proxy sending http to https says where the API lives.
        return Failure(EFailure::HttpStatus, CS_ERROR_REDIRECT,
                       result.strHost + " redirects (HTTP " + std::to_string(status) + ")" +
                           (result.strLocation.empty() ? std::string() : " to " + result.strLocation) +
                           "; give that URL as the server",
                       status);
    }
    if (status >= 200 && status < 300) return Success(status);
    long code = 0;
    std::string text;
    if (CCloudStackErrorHandler::ReadApiError(body, code, text)) {
        SCloudStackOutcome outcome = Failure(EFailure::ApiError, code, std::move(text), status);
        outcome.MaskValuesOf(request);
        return outcome;
    }
    return Failure(EFailure::HttpStatus, status,
                   "HTTP " + std::to_string(status) + " answer to " + request.strCommand +
                       " is not the server's API answer (" + std::to_string(result.nBytes) + " bytes)",
                   status);
}

void SCloudStackOutcome::MaskValuesOf(const TeskApiRequest& request) {
    if (strMessage.empty()) return;
    const std::vector<bool> secret = TeskSecrets::SecretValues(request.params);
    for (std::size_t i = 0; i < request.params.size(); ++i) {
        const std::string& value = request.params[i].second;
        if (!secret[i] || value.size() < kMinMaskedValue) continue;
        for (std::size_t at = strMessage.find(value); at != std::string::npos; at = strMessage.find(value, at)) {
            strMessage.replace(at, value.size(), TeskSecrets::kMask);
            at += std::char_traits<char>::length(TeskSecrets::kMask);
        }
    }
}

}  // namespace CloudStackSDKWrapper
