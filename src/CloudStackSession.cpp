#include <exception>
#include <initializer_list>

#include "CloudStackConnection.h"
#include "CloudStackEndpoint.h"
#include "CloudStackOutcome.h"
#include "StrUtil.h"
#include "TeskApiRequest.h"
#include "TeskHttpResponseHeaders.h"
#include "TeskJson.h"
#include "TeskRequestSigner.h"
#include "TraceLog.h"

// The connection's session: the endpoint, the login (or the key pair), the cookies and the session
// key the login answer sets, and the logout.

namespace CloudStackSDKWrapper {

namespace {

const char* const kJsonContentType = "Content-Type: application/json; charset=UTF-8";
const char* const kSecretMask = "*****";

// "name=value; attr..." -> "name=*****; attr...": the session cookies are as good as a password.
// Only the first pair is the cookie; one without a name is all value.
std::string MaskCookie(const std::string& cookie) {
    const std::string::size_type end = cookie.find(';');
    const std::string pair = cookie.substr(0, end);
    if (pair.empty()) return cookie;
    const std::string::size_type equals = pair.find('=');
    const std::string name = equals == std::string::npos ? std::string() : pair.substr(0, equals + 1);
    return name + kSecretMask + (end == std::string::npos ? "" : cookie.substr(end));
}

// A NUL would cut the text the server reads (or the host name curl resolves) short of what the
// host gave.
bool AnyHoldsNul(std::initializer_list<const std::string*> texts) {
    for (const std::string* text : texts) {
        if (text->find('\0') != std::string::npos) return true;
    }
    return false;
}

}  // namespace

SCloudStackOutcome CCloudStackConnection::UseEndpoint(const std::string& server) {
    std::string endpoint;
    std::string why;
    if (!EndpointFor(server, endpoint, why)) {
        // The text is not echoed when it may hold a password (user info) or terminal controls.
        if (server.find('@') == std::string::npos && !HasControl(server)) {
            m_Log.Error(__PRETTY_FUNCTION__, "server \"%s\" refused: %s", server.c_str(), why.c_str());
        } else {
            m_Log.Error(__PRETTY_FUNCTION__, "server refused: %s", why.c_str());
        }
        return FailOwn(CS_ERROR_INVALID_SERVER, "server refused: " + why);
    }
    SCloudStackOutcome refused = RefuseWithoutProxy();
    if (!refused) return refused;
    // Read again at each connect, before anything is sent: a renewed certificate is picked up, and
    // a file gone missing shows here rather than as a failed handshake.
    if (!m_pCurl->LoadClientCertificate(why)) {
        m_Log.Error(__PRETTY_FUNCTION__, "%s", why.c_str());
        return FailOwn(CS_ERROR_INVALID_ARGUMENT, why);
    }
    if (!TeskRestApiConnection::connect(endpoint, endpoint.compare(0, 8, "https://") == 0, "")) {
        return FailOwn(CS_ERROR_INVALID_SERVER, "server refused");
    }
    if (!Tls().bVerifyPeer && endpoint.compare(0, 8, "https://") == 0) {
        m_Log.Error(__PRETTY_FUNCTION__,
                    "warning: TLS certificate verification is off; the server's identity is not checked");
    }
    return SCloudStackOutcome::Success();
}

bool CCloudStackConnection::connect(const std::string& server, const std::string& user, const std::string& password,
                                    const std::string& domain) {
    return static_cast<bool>(OpenSession(server, user, password, domain));
}

SCloudStackOutcome CCloudStackConnection::OpenSession(const std::string& server, const std::string& user,
                                                      const std::string& password, const std::string& domain) {
    SetContentType(kJsonContentType);
    m_OwnFailure = CCloudStackErrorState();
    Forget();
    if (AnyHoldsNul({&server, &user, &password, &domain})) {
        m_Log.Error(__PRETTY_FUNCTION__, "an argument holds a NUL character; nothing sent");
        return FailOwn(CS_ERROR_INVALID_ARGUMENT, "an argument holds a NUL character; nothing was sent");
    }
    SCloudStackOutcome outcome = UseEndpoint(server);
    if (!outcome) return outcome;
    m_strUser = user;
    m_strPassword = password;
    m_strDomain = domain;
    m_eAuth = Auth::Session;
    outcome = Login();
    if (!outcome) Forget();
    return outcome;
}

bool CCloudStackConnection::connectWithApiKey(const std::string& server, const std::string& apiKey,
                                              const std::string& secretKey) {
    return static_cast<bool>(UseKeyPair(server, apiKey, secretKey));
}

SCloudStackOutcome CCloudStackConnection::UseKeyPair(const std::string& server, const std::string& apiKey,
                                                     const std::string& secretKey) {
    SetContentType(kJsonContentType);
    m_OwnFailure = CCloudStackErrorState();
    Forget();
    if (AnyHoldsNul({&server, &apiKey, &secretKey})) {
        m_Log.Error(__PRETTY_FUNCTION__, "an argument holds a NUL character; nothing sent");
        return FailOwn(CS_ERROR_INVALID_ARGUMENT, "an argument holds a NUL character; nothing was sent");
    }
    SCloudStackOutcome outcome = UseEndpoint(server);
    if (!outcome) return outcome;
    if (apiKey.empty() || secretKey.empty()) {
        m_Log.Error(__PRETTY_FUNCTION__, "an API key and a secret key are both needed");
        return FailOwn(CS_ERROR_INVALID_ARGUMENT, "an API key and a secret key are both needed");
    }
    m_strApiKey = apiKey;
    m_strSecretKey = secretKey;
    m_eAuth = Auth::ApiKey;
    return outcome;
}

SCloudStackOutcome CCloudStackConnection::Login() {
    // The credentials travel in the body: a query string ends up in the access logs of the
    // server and of every proxy on the way.
    TeskApiRequest login = TeskApiRequest::Post("login");
    login.Add("username", m_strUser).Add("password", m_strPassword);
    if (!m_strDomain.empty()) login.Add("domain", m_strDomain);

    m_bLoginInProgress = true;
    TeskRequestSigner::Wipe(m_strSessionKey);
    std::string response;
    const bool sent = send(login, response);
    for (TeskQueryParam& param : login.params) TeskRequestSigner::Wipe(param.second);
    m_bLoginInProgress = false;
    if (!sent) {
        SCloudStackOutcome outcome = SCloudStackOutcome::FromTransfer(LastResult(), response, login);
        // The server's word on the login (531: bad credentials) is the connection's own failure.
        if (outcome.eFailure == SCloudStackOutcome::EFailure::ApiError) FailOwn(outcome.lCode, outcome.strMessage);
        m_Cookies.clear();
        return outcome;
    }

    // A 2xx answer is not yet a session: a proxy's HTML page or a login that needs a second
    // factor must not pass for one.
    JsonObject document;
    const JsonObject* answer = nullptr;
    std::string failure;
    long code = CS_ERROR_LOGIN_FAILED;
    try {
        if (TeskJson::Unserialize(response, document)) answer = TeskJson::FindObject(document, "loginresponse");
    } catch (const std::exception& e) {
        failure = std::string("the login answer is refused: ") + e.what();
    }
    if (answer == nullptr) {
        if (failure.empty()) failure = "the login answer is not the server's JSON login answer";
        code = LastResult().lHttpStatus;
    } else {
        if (m_strSessionKey.empty()) m_strSessionKey = TeskJson::GetStringValue(*answer, "sessionkey");
        if (m_strSessionKey.empty() || HasControl(m_strSessionKey)) {
            failure = "the login answer carries no session key";
        } else if (TeskJson::GetStringValue(*answer, "is2faenabled") == "true" &&
                   TeskJson::GetStringValue(*answer, "is2faverified") != "true") {
            failure = "the user logs in with a second factor, which this library cannot give; use an API key pair";
        }
    }
    TeskJson::Release(document);
    const std::size_t bytes = response.size();
    // The answer names the session key.
    TeskRequestSigner::Wipe(response);
    if (!failure.empty()) {
        m_Log.Error(__PRETTY_FUNCTION__, "login failed: %s (HTTP %ld, %zu bytes)", failure.c_str(),
                    LastResult().lHttpStatus, bytes);
        m_Cookies.clear();
        TeskRequestSigner::Wipe(m_strSessionKey);
        SCloudStackOutcome outcome = FailOwn(code, failure);
        outcome.eFailure = SCloudStackOutcome::EFailure::NotTheAnswer;
        return outcome;
    }
    return SCloudStackOutcome::Success(LastResult().lHttpStatus);
}

bool CCloudStackConnection::disconnect() {
    m_OwnFailure = CCloudStackErrorState();
    if (m_eAuth == Auth::Session && !m_strServer.empty()) {
        // A POST: the session key goes in the body, out of the access logs.
        TeskApiRequest logout = TeskApiRequest::Post("logout");
        std::string response;
        Exchange(logout, response);  // the session ends either way
    }
    Forget();
    // Until the next connect nothing goes out: a request without a session would only be refused.
    m_strServer.clear();
    return true;
}

bool CCloudStackConnection::addCommonCurlHeaders() {
    // The lines change only with the login; small calls reuse the list as it stands.
    if (!HeadersNeedRebuild()) return true;
    if (!TeskRestApiConnection::addCommonCurlHeaders()) return false;

    if (!m_pCurl->TeskLibCurlAppendHeader(HTTP_HDR_REQUEST, "Accept: application/json;charset=UTF-8")) {
        m_Log.Error(__PRETTY_FUNCTION__, "Failed to set CURL Accept header");
        return false;
    }
    if (!m_Cookies.empty() && !m_bLoginInProgress) {
        for (const std::string& cookie : m_Cookies) {
            const std::string line = StrUtil::Format("Cookie: %s", cookie.c_str());
            if (!m_pCurl->TeskLibCurlAppendHeader(HTTP_HDR_REQUEST, line.c_str())) {
                m_Log.Error(__PRETTY_FUNCTION__, "Failed to set CURL Cookie header %s",
                            ("Cookie: " + MaskCookie(cookie)).c_str());
            }
        }
    }
    return true;
}

bool CCloudStackConnection::saveLoginCurlHeaders() {
    std::list<std::string> lines;
    m_pCurl->GetHttpResponseHeaders("Set-Cookie", lines);
    m_Cookies.clear();
    TeskRequestSigner::Wipe(m_strSessionKey);
    std::size_t dropped = 0;
    std::size_t controls = 0;
    static const std::string kSessionKeyPrefix = "sessionkey=";
    for (const std::string& line : lines) {
        const std::string cookie = TeskHttpResponseHeaders::ValueOf(line);
        // Sent back as a header line later: a control character could end it and start another.
        if (HasControl(cookie)) {
            ++controls;
            continue;
        }
        if (m_Cookies.size() == kMaxCookies) {
            ++dropped;
            continue;
        }
        m_Log.DebugLvl(__PRETTY_FUNCTION__, 2, "Parsed from response : Cookie = %s", MaskCookie(cookie).c_str());
        if (m_strSessionKey.empty() && cookie.compare(0, kSessionKeyPrefix.size(), kSessionKeyPrefix) == 0) {
            const std::string::size_type end = cookie.find(';', kSessionKeyPrefix.size());
            m_strSessionKey =
                cookie.substr(kSessionKeyPrefix.size(),
                              end == std::string::npos ? std::string::npos : end - kSessionKeyPrefix.size());
        }
        m_Cookies.push_back(cookie);
    }
    // One line for the whole answer: a hostile server may send a hundred such header lines.
    if (controls > 0 || dropped > 0) {
        m_Log.Error(__PRETTY_FUNCTION__,
                    "Set-Cookie lines not saved: %zu with a control character, %zu beyond the %zu cookies kept",
                    controls, dropped, kMaxCookies);
    }
    return true;
}

}  // namespace CloudStackSDKWrapper
