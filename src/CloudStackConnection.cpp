#include "CloudStackConnection.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <exception>
#include <iomanip>
#include <sstream>

#include "CloudStackErrorHandler.h"
#include "StrUtil.h"
#include "TeskException.h"
#include "TeskHttpResponseHeaders.h"
#include "TeskJson.h"
#include "TeskMD5.h"
#include "TeskRequestSigner.h"
#include "TraceLog.h"

namespace CloudStackSDKWrapper {

namespace {

const char* const kJsonContentType = "Content-Type: application/json; charset=UTF-8";
const char* const kFormMediaType = "application/x-www-form-urlencoded";
const char* const kDefaultPort = "8080";
const char* const kDefaultPath = "/client/api";
const char* const kSecretMask = "*****";
// Signed requests stay valid this long; servers that enforce timestamps accept up to 15 minutes.
constexpr std::chrono::minutes kSignatureLifetime{10};

// Query parameters whose values never reach a log line: the credentials, and the signature, which
// serves for a replay of the request until it expires.
bool IsSecretParameter(const std::string& name) {
    return TeskRequestSigner::IsCredentialName(name) || name == "signature";
}

// Replaces the values of secret parameters in the query part of a URL or query string.
std::string MaskQuery(const std::string& text) {
    const std::string::size_type query = text.find('?');
    if (query == std::string::npos) return text;
    std::string masked = text.substr(0, query + 1);
    std::string::size_type start = query + 1;
    while (start <= text.size()) {
        std::string::size_type end = text.find('&', start);
        if (end == std::string::npos) end = text.size();
        const std::string argument = text.substr(start, end - start);
        const std::string::size_type equals = argument.find('=');
        if (equals != std::string::npos && IsSecretParameter(argument.substr(0, equals))) {
            masked += argument.substr(0, equals + 1) + kSecretMask;
        } else {
            masked += argument;
        }
        if (end == text.size()) break;
        masked += '&';
        start = end + 1;
    }
    return masked;
}

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

bool IsControl(char c) {
    return static_cast<unsigned char>(c) < 0x20 || c == 0x7F;
}

bool HasControl(const std::string& text) {
    for (const char c : text) {
        if (IsControl(c)) return true;
    }
    return false;
}

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

// The endpoint URL for a server string: a bare host means http://<host>:8080/client/api, a
// bare host:port http://<host>:<port>/client/api, and an http(s) URL may give port and path.
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

}  // namespace

CCloudStackConnection::CCloudStackConnection() = default;

CCloudStackConnection::~CCloudStackConnection() {
    Forget();
}

void CCloudStackConnection::FailOwn(long code, const std::string& message) {
    m_OwnFailure.lErrorCode = code;
    m_OwnFailure.strErrorMessage = message;
}

void CCloudStackConnection::Forget() {
    m_Cookies.clear();
    TeskRequestSigner::Wipe(m_strSessionKey);
    TeskRequestSigner::Wipe(m_strUser);
    TeskRequestSigner::Wipe(m_strPassword);
    TeskRequestSigner::Wipe(m_strDomain);
    TeskRequestSigner::Wipe(m_strApiKey);
    TeskRequestSigner::Wipe(m_strSecretKey);
    m_eAuth = Auth::None;
    m_bLoginInProgress = false;
    InvalidateHeaders();
}

bool CCloudStackConnection::UseEndpoint(const std::string& server) {
    std::string endpoint;
    std::string why;
    if (!EndpointFor(server, endpoint, why)) {
        // The text is not echoed when it may hold a password (user info) or terminal controls.
        if (server.find('@') == std::string::npos && !HasControl(server)) {
            m_Log.Error(__PRETTY_FUNCTION__, "server \"%s\" refused: %s", server.c_str(), why.c_str());
        } else {
            m_Log.Error(__PRETTY_FUNCTION__, "server refused: %s", why.c_str());
        }
        FailOwn(CS_ERROR_INVALID_SERVER, "server refused: " + why);
        return false;
    }
    if (!TeskRestApiConnection::connect(endpoint, endpoint.compare(0, 8, "https://") == 0, "")) {
        FailOwn(CS_ERROR_INVALID_SERVER, "server refused");
        return false;
    }
    if (!Tls().bVerifyPeer && endpoint.compare(0, 8, "https://") == 0) {
        m_Log.Error(__PRETTY_FUNCTION__,
                    "warning: TLS certificate verification is off; the server's identity is not checked");
    }
    return true;
}

bool CCloudStackConnection::connect(const std::string& server, const std::string& user, const std::string& password,
                                    const std::string& domain) {
    SetContentType(kJsonContentType);
    m_OwnFailure = CCloudStackErrorState();
    Forget();
    if (!UseEndpoint(server)) return false;
    m_strUser = user;
    m_strPassword = password;
    m_strDomain = domain;
    m_eAuth = Auth::Session;
    if (!Login()) {
        Forget();
        return false;
    }
    return true;
}

bool CCloudStackConnection::connectWithApiKey(const std::string& server, const std::string& apiKey,
                                              const std::string& secretKey) {
    SetContentType(kJsonContentType);
    m_OwnFailure = CCloudStackErrorState();
    Forget();
    if (!UseEndpoint(server)) return false;
    if (apiKey.empty() || secretKey.empty()) {
        m_Log.Error(__PRETTY_FUNCTION__, "an API key and a secret key are both needed");
        FailOwn(CS_ERROR_INVALID_ARGUMENT, "an API key and a secret key are both needed");
        return false;
    }
    m_strApiKey = apiKey;
    m_strSecretKey = secretKey;
    m_eAuth = Auth::ApiKey;
    return true;
}

bool CCloudStackConnection::Login() {
    // The credentials travel in the body: a query string ends up in the access logs of the
    // server and of every proxy on the way.
    std::string body;
    appendQueryStringArgument(body, "username=%s", m_strUser.c_str());
    appendQueryStringArgument(body, "password=%s", m_strPassword.c_str());
    if (!m_strDomain.empty()) appendQueryStringArgument(body, "domain=%s", m_strDomain.c_str());

    TeskRestApiRequestOptions form;
    form.strContentType = kFormMediaType;
    m_bLoginInProgress = true;
    m_strSessionKey.clear();
    std::string response;
    const bool sent = post("?command=login&response=json", body, response, &form);
    TeskRequestSigner::Wipe(body);
    m_bLoginInProgress = false;
    if (!sent) {
        long code = 0;
        std::string text;
        if (LastResult().bTransportOk && CCloudStackErrorHandler::ReadApiError(response, code, text)) {
            FailOwn(code, text);
        }
        m_Cookies.clear();
        return false;
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
    if (!failure.empty()) {
        m_Log.Error(__PRETTY_FUNCTION__, "login failed: %s (HTTP %ld, %zu bytes)", failure.c_str(),
                    LastResult().lHttpStatus, response.size());
        FailOwn(code, failure);
        m_Cookies.clear();
        TeskRequestSigner::Wipe(m_strSessionKey);
        return false;
    }
    return true;
}

bool CCloudStackConnection::disconnect() {
    m_OwnFailure = CCloudStackErrorState();
    if (m_eAuth == Auth::Session && !m_strServer.empty()) {
        std::string response;
        get(BuildCommandUrl("logout", std::vector<std::string>()), response, nullptr);  // ended either way
    }
    Forget();
    return true;
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

std::string CCloudStackConnection::BuildCommandUrl(const std::string& command, const std::vector<std::string>& args) {
    std::string query = "?command=" + command;
    for (const std::string& arg : args) {
        query += '&';
        query += arg;
    }
    query += "&response=json";
    return query;
}

bool CCloudStackConnection::Send(bool isPost, const std::string& command, const std::vector<std::string>& args,
                                 std::string& response) {
    m_OwnFailure = CCloudStackErrorState();
    if (m_strServer.empty()) {
        m_Log.Error(__PRETTY_FUNCTION__, "command %s: no server to send it to; Connect first", command.c_str());
        FailOwn(CS_ERROR_NOT_CONNECTED, "no server to send the command to; Connect first");
        return false;
    }
    const std::string query = BuildCommandUrl(command, args);
    m_bSessionMayBeRenewed = m_eAuth == Auth::Session;
    bool sent = isPost ? post(query, "", response, nullptr) : get(query, response, nullptr);
    m_bSessionMayBeRenewed = false;
    if (!sent && m_eAuth == Auth::Session && LastResult().bTransportOk && LastResult().lHttpStatus == 401) {
        // Idle sessions end on the server (30 minutes by default): log in again, once. That is
        // routine; a failure of the new login or of the repeat writes the call's one error line.
        m_Log.DebugLvl(__PRETTY_FUNCTION__, 1, "command %s: the session has ended (HTTP 401); logging in again",
                       command.c_str());
        if (!Login()) return false;
        sent = isPost ? post(query, "", response, nullptr) : get(query, response, nullptr);
    }
    return sent;
}

void CCloudStackConnection::LogError(const TeskRestApiRequestInfo& request, const TeskLibCurlResult& result) {
    if (m_bSessionMayBeRenewed && result.bTransportOk && result.lHttpStatus == 401) return;
    TeskRestApiConnection::LogError(request, result);
}

bool CCloudStackConnection::GET(const std::string& command, const std::vector<std::string>& args,
                                std::string& response) {
    return Send(false, command, args, response);
}

bool CCloudStackConnection::GET(const std::string& command, std::string& response) {
    return GET(command, std::vector<std::string>(), response);
}

bool CCloudStackConnection::POST(const std::string& command, const std::vector<std::string>& args,
                                 std::string& response) {
    return Send(true, command, args, response);
}

bool CCloudStackConnection::POST(const std::string& command, std::string& response) {
    return POST(command, std::vector<std::string>(), response);
}

std::string CCloudStackConnection::MD5Hash(const std::string& text) {
    try {
        TeskMD5 digest;
        digest.reset();
        // The digest takes an int length; feed very large texts in pieces.
        const char* data = text.data();
        std::string::size_type left = text.size();
        do {
            const int piece = left > static_cast<std::string::size_type>(INT_MAX) ? INT_MAX : static_cast<int>(left);
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
        log.Error(__PRETTY_FUNCTION__, "Failed to hash - %s", e.formatError().c_str());
        return std::string();
    }
}

bool CCloudStackConnection::computeUrl(const std::string& server, const std::string& path,
                                       const TeskRestApiRequestOptions* /*options*/, std::string& url) {
    url = server;
    url += path;
    const char* joiner = path.find('?') == std::string::npos ? "?" : "&";
    if (m_eAuth == Auth::Session && !m_bLoginInProgress && !m_strSessionKey.empty()) {
        // Current servers accept a session only when its key arrives as a parameter as well as
        // the cookie; a cookie alone gets 401 and the server drops the session.
        url += joiner;
        url += "sessionkey=" + StrUtil::PercentEncode(m_strSessionKey);
    } else if (m_eAuth == Auth::ApiKey) {
        // Everything signed goes out, with the same values: the server signs what it decodes.
        url += joiner;
        url += "apikey=" + StrUtil::PercentEncode(m_strApiKey);
        url += "&signatureversion=3&expires=" + StrUtil::PercentEncode(TeskRequestSigner::ExpiresText(
                                                    std::chrono::system_clock::now() + kSignatureLifetime));
        const std::string::size_type query = url.find('?');
        const std::string signature = TeskRequestSigner::Signature(
            TeskRequestSigner::CanonicalText(TeskRequestSigner::DecodeQuery(url.substr(query + 1))), m_strSecretKey);
        if (signature.empty()) {
            m_Log.Error(__PRETTY_FUNCTION__, "the request cannot be signed");
            return false;
        }
        url += "&signature=" + StrUtil::PercentEncode(signature);
    }
    if (m_Log.IsDebugEnabled()) m_Log.DebugLvl(__PRETTY_FUNCTION__, 2, "Computed URL [%s]", MaskQuery(url).c_str());
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
    m_strSessionKey.clear();
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
