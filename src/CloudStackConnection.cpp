#include "CloudStackConnection.h"

#include <chrono>
#include <climits>
#include <ctime>
#include <iomanip>
#include <sstream>

#include "CloudStackOutcome.h"
#include "StrUtil.h"
#include "TeskApiRequest.h"
#include "TeskException.h"
#include "TeskGuard.h"
#include "TeskHttpResponseHeaders.h"
#include "TeskMD5.h"
#include "TeskRequestSigner.h"
#include "TraceLog.h"

// The connection's requests: the request value on its way out (session key or signature), the
// outcome made where the answer arrives, the renewal of an ended session, and the digest. The
// session itself (endpoint, login, cookies) is in CloudStackSession.cpp.

namespace CloudStackSDKWrapper {

namespace {

// Signed requests stay valid this long; servers that enforce timestamps accept up to 15 minutes.
constexpr std::chrono::minutes kSignatureLifetime{10};

// Clocks further apart than this make signed requests fail on a server that checks "expires".
constexpr long long kClockSkewSeconds = 5LL * 60;

// A signed request refused with 401 while the server's clock (its Date header) and this host's
// disagree: the signature's "expires" is read by the server's clock, so the operator needs to hear
// about the clocks, not about the keys.
void ExplainClockSkew(TeskLibCurl& curl, SCloudStackOutcome& outcome) {
    std::list<std::string> lines;
    std::time_t server = 0;
    if (!curl.GetHttpResponseHeaders("Date", lines) ||
        !TeskHttpResponseHeaders::DateOf(TeskHttpResponseHeaders::ValueOf(lines.back()), server)) {
        return;
    }
    const long long skew =
        static_cast<long long>(server) -
        static_cast<long long>(std::chrono::system_clock::to_time_t(std::chrono::system_clock::now()));
    if (skew <= kClockSkewSeconds && skew >= -kClockSkewSeconds) return;
    outcome.strMessage = "the server's clock and this host's differ by " + std::to_string(skew < 0 ? -skew : skew) +
                         " s (the server's is " + (skew > 0 ? "ahead" : "behind") + "); signed requests expire after " +
                         std::to_string(std::chrono::seconds(kSignatureLifetime).count()) + " s";
}

}  // namespace

CCloudStackConnection::CCloudStackConnection() = default;

CCloudStackConnection::~CCloudStackConnection() {
    Forget();
}

SCloudStackOutcome CCloudStackConnection::FailOwn(long code, const std::string& message) {
    m_OwnFailure.lErrorCode = code;
    m_OwnFailure.strErrorMessage = message;
    return SCloudStackOutcome::Refusal(code, message);
}

void CCloudStackConnection::Forget() {
    for (std::string& cookie : m_Cookies) TeskRequestSigner::Wipe(cookie);
    m_Cookies.clear();
    TeskRequestSigner::Wipe(m_strSessionKey);
    TeskRequestSigner::Wipe(m_strUser);
    TeskRequestSigner::Wipe(m_strPassword);
    TeskRequestSigner::Wipe(m_strDomain);
    TeskRequestSigner::Wipe(m_strApiKey);
    TeskRequestSigner::Wipe(m_strSecretKey);
    m_eAuth = Auth::None;
    m_bLoginInProgress = false;
    WipeRequestCopies();
}

void CCloudStackConnection::EnableDebug() {
    enableDebug();
}

void CCloudStackConnection::SetCaFile(const std::string& path) {
    Tls().strCaFile = path;
}

void CCloudStackConnection::SetVerifyPeer(bool verify) {
    Tls().bVerifyPeer = verify;
}

SCloudStackOutcome CCloudStackConnection::UseProxy(const std::string& url) {
    std::string why;
    if (m_pCurl->SetProxy(url, why)) return SCloudStackOutcome::Success();
    m_Log.Error(__PRETTY_FUNCTION__, "proxy refused: %s", why.c_str());
    return SCloudStackOutcome::Refusal(CS_ERROR_INVALID_ARGUMENT, "proxy refused: " + why);
}

SCloudStackOutcome CCloudStackConnection::UseClientCertificate(const std::string& certFile,
                                                               const std::string& keyFile) {
    if (certFile.empty() && !keyFile.empty()) {
        m_pCurl->SetClientCertificate(std::string(), std::string());
        m_Log.Error(__PRETTY_FUNCTION__, "a client key needs its certificate");
        return SCloudStackOutcome::Refusal(CS_ERROR_INVALID_ARGUMENT, "a client key needs its certificate");
    }
    m_pCurl->SetClientCertificate(certFile, keyFile);
    std::string why;
    if (m_pCurl->LoadClientCertificate(why)) return SCloudStackOutcome::Success();
    m_Log.Error(__PRETTY_FUNCTION__, "%s", why.c_str());
    return SCloudStackOutcome::Refusal(CS_ERROR_INVALID_ARGUMENT, why);
}

SCloudStackOutcome CCloudStackConnection::RefuseWithoutProxy() {
    const std::string& refusal = m_pCurl->ProxyRefusal();
    if (refusal.empty()) return SCloudStackOutcome::Success();
    m_Log.Error(__PRETTY_FUNCTION__, "%s; nothing is sent until SetProxy accepts a URL", refusal.c_str());
    return FailOwn(CS_ERROR_INVALID_ARGUMENT, refusal + "; nothing is sent until SetProxy accepts a URL");
}

std::string CCloudStackConnection::BuildCommandUrl(const std::string& command, const std::vector<std::string>& args) {
    std::string query = "?command=" + command;
    for (const std::string& arg : args) {
        query += '&';
        query += arg;
    }
    query += "&response=json";
    return query;
}

bool CCloudStackConnection::GET(const std::string& command, const std::vector<std::string>& args,
                                std::string& response) {
    TeskApiRequest request = TeskApiRequest::FromTexts(HTTP_REQ_GET, command, args);
    return static_cast<bool>(Send(request, response));
}

bool CCloudStackConnection::GET(const std::string& command, std::string& response) {
    return GET(command, std::vector<std::string>(), response);
}

bool CCloudStackConnection::POST(const std::string& command, const std::vector<std::string>& args,
                                 std::string& response) {
    TeskApiRequest request = TeskApiRequest::FromTexts(HTTP_REQ_POST, command, args);
    return static_cast<bool>(Send(request, response));
}

bool CCloudStackConnection::POST(const std::string& command, std::string& response) {
    return POST(command, std::vector<std::string>(), response);
}

void CCloudStackConnection::ForgetCredentials() {
    Forget();
}

SCloudStackOutcome CCloudStackConnection::CheckBeforeSending(const TeskApiRequest& request) {
    m_OwnFailure = CCloudStackErrorState();
    std::string where;
    if (request.FindNul(where)) {
        m_Log.Error(__PRETTY_FUNCTION__, "command %s: %s holds a NUL character; not sent", request.strCommand.c_str(),
                    where.c_str());
        return FailOwn(CS_ERROR_INVALID_ARGUMENT, where + " holds a NUL character; nothing was sent");
    }
    if (m_strServer.empty()) {
        m_Log.Error(__PRETTY_FUNCTION__, "command %s: no server to send it to; Connect first",
                    request.strCommand.c_str());
        return FailOwn(CS_ERROR_NOT_CONNECTED, "no server to send the command to; Connect first");
    }
    return RefuseWithoutProxy();
}

SCloudStackOutcome CCloudStackConnection::Send(TeskApiRequest& request, std::string& response) {
    SCloudStackOutcome refused = CheckBeforeSending(request);
    if (!refused) return refused;
    m_bSessionMayBeRenewed = m_eAuth == Auth::Session;
    SCloudStackOutcome outcome = Exchange(request, response);
    m_bSessionMayBeRenewed = false;
    AfterAnswer(request, response, outcome);
    return outcome;
}

SCloudStackOutcome CCloudStackConnection::Begin(TeskApiRequest& request, std::size_t& lane) {
    SCloudStackOutcome refused = CheckBeforeSending(request);
    if (!refused) return refused;
    if (!Authorize(request)) return FailOwn(CS_ERROR_INVALID_ARGUMENT, "the request cannot be signed");
    if (!beginSend(request, lane)) {
        return SCloudStackOutcome::Failure(SCloudStackOutcome::EFailure::Transport, CS_ERROR_TRANSPORT,
                                           "the request to " + request.strCommand + " could not be set up");
    }
    return SCloudStackOutcome::Success();
}

void CCloudStackConnection::AwaitAny(std::vector<std::size_t>& ended) {
    m_pCurl->AwaitConcurrent(ended);
}

SCloudStackOutcome CCloudStackConnection::End(std::size_t lane, TeskApiRequest& request, std::string& response) {
    m_bSessionMayBeRenewed = m_eAuth == Auth::Session;
    endSend(request, lane, response);
    SCloudStackOutcome outcome = SCloudStackOutcome::FromTransfer(LastResult(), response, request);
    m_bSessionMayBeRenewed = false;
    AfterAnswer(request, response, outcome);
    return outcome;
}

void CCloudStackConnection::Cancel(std::size_t lane) {
    m_pCurl->CancelConcurrent(lane);
}

void CCloudStackConnection::AfterAnswer(TeskApiRequest& request, std::string& response, SCloudStackOutcome& outcome) {
    if (!outcome && m_eAuth == Auth::Session && LastResult().bTransportOk && LastResult().lHttpStatus == 401) {
        // Idle sessions end on the server (30 minutes by default): log in again, once. That is
        // routine; a failure of the new login or of the repeat writes the call's one error line.
        // Requests that were under way together all meet the ended session: the first one renews it,
        // and the others, which carried the old key, are only repeated.
        std::string carried;
        for (const TeskQueryParam& param : request.auth) {
            if (param.first == "sessionkey") carried = param.second;
        }
        const bool renewed = carried != m_strSessionKey;
        if (renewed && m_strSessionKey.empty()) return;  // the renewal failed: no repeat without a session
        m_Log.DebugLvl(__PRETTY_FUNCTION__, 1, "command %s: the session has ended (HTTP 401); %s",
                       request.strCommand.c_str(),
                       renewed ? "repeating it in the renewed session" : "logging in again");
        TeskRequestSigner::Wipe(carried);
        if (!renewed) {
            SCloudStackOutcome login = Login();
            if (!login) {
                outcome = std::move(login);
                return;
            }
        }
        m_bSessionMayBeRenewed = false;
        outcome = Exchange(request, response);
    }
    if (!outcome && m_eAuth == Auth::ApiKey && LastResult().bTransportOk && LastResult().lHttpStatus == 401) {
        ExplainClockSkew(*m_pCurl, outcome);
    }
}

SCloudStackOutcome CCloudStackConnection::Exchange(TeskApiRequest& request, std::string& response) {
    if (!Authorize(request)) {
        response.clear();
        return FailOwn(CS_ERROR_INVALID_ARGUMENT, "the request cannot be signed");
    }
    send(request, response);
    return SCloudStackOutcome::FromTransfer(LastResult(), response, request);
}

bool CCloudStackConnection::Authorize(TeskApiRequest& request) {
    request.auth.clear();
    if (m_eAuth == Auth::Session && !m_bLoginInProgress && !m_strSessionKey.empty()) {
        // Current servers accept a session only when its key arrives as a parameter as well as
        // the cookie; a cookie alone gets 401 and the server drops the session.
        request.auth.emplace_back("sessionkey", m_strSessionKey);
    } else if (m_eAuth == Auth::ApiKey) {
        // The signature covers every parameter the server receives, in the URL and in the body.
        request.auth.emplace_back("apikey", m_strApiKey);
        request.auth.emplace_back("signatureversion", "3");
        request.auth.emplace_back(
            "expires", TeskRequestSigner::ExpiresText(std::chrono::system_clock::now() + kSignatureLifetime));
        std::string signature =
            TeskRequestSigner::Signature(TeskRequestSigner::CanonicalText(request.AllParams()), m_strSecretKey);
        if (signature.empty()) {
            m_Log.Error(__PRETTY_FUNCTION__, "command %s: the request cannot be signed", request.strCommand.c_str());
            request.auth.clear();
            return false;
        }
        request.auth.emplace_back("signature", std::move(signature));
    }
    return true;
}

void CCloudStackConnection::LogError(const TeskRestApiRequestInfo& request, const TeskLibCurlResult& result) {
    if (m_bSessionMayBeRenewed && result.bTransportOk && result.lHttpStatus == 401) return;
    TeskRestApiConnection::LogError(request, result);
}

bool CCloudStackConnection::computeUrl(const std::string& server, const std::string& path,
                                       const TeskRestApiRequestOptions* /*options*/, std::string& url) {
    url = server;
    url += path;
    if (m_Log.IsDebugEnabled()) {
        // Shown from the pairs, with the values of secrets masked.
        const TeskApiRequest* request = RequestUnderWay();
        if (request == nullptr) {
            m_Log.DebugLvl(__PRETTY_FUNCTION__, 2, "Computed URL [%s?...]", server.c_str());
        } else if (request->bFormBody) {
            m_Log.DebugLvl(__PRETTY_FUNCTION__, 2, "Computed URL [%s%s] with form body [%s]", server.c_str(),
                           request->MaskedQuery().c_str(), request->MaskedBody().c_str());
        } else {
            m_Log.DebugLvl(__PRETTY_FUNCTION__, 2, "Computed URL [%s%s]", server.c_str(),
                           request->MaskedQuery().c_str());
        }
    }
    return true;
}

std::string CCloudStackConnection::MD5Hash(const std::string& text) {
    const char* const function = __PRETTY_FUNCTION__;
    return TeskGuard(
        function,
        [&text, function]() -> std::string {
            try {
                TeskMD5 digest;
                digest.reset();
                // The digest takes an int length; feed very large texts in pieces.
                const char* data = text.data();
                std::string::size_type left = text.size();
                do {
                    const int piece =
                        left > static_cast<std::string::size_type>(INT_MAX) ? INT_MAX : static_cast<int>(left);
                    digest.addData(data, piece);
                    data += piece;
                    left -= static_cast<std::string::size_type>(piece);
                } while (left > 0);

                unsigned char buffer[32] = {};
                digest.finish(buffer, sizeof(buffer));

                std::ostringstream hex;
                hex << std::hex << std::setfill('0');
                for (int i = 0; i < 16; ++i) hex << std::setw(2) << static_cast<unsigned>(buffer[i]);
                std::string result = hex.str();
                StrUtil::ToUpper(result);
                return result;
            } catch (const TeskException& e) {
                TraceLog log(nullptr);
                log.Error(function, "Failed to hash - %s", e.formatError().c_str());
                return std::string();
            }
        },
        [](TeskEscape, const char*) { return std::string(); });
}

}  // namespace CloudStackSDKWrapper
