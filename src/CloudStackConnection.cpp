#include "CloudStackConnection.h"

#include <climits>
#include <iomanip>
#include <sstream>

#include "StrUtil.h"
#include "TeskException.h"
#include "TeskMD5.h"
#include "TraceLog.h"

namespace CloudStackSDKWrapper {

namespace {

const char* const kEndpointScheme = "http://";
const char* const kEndpointPort = ":8080";
const char* const kEndpointPath = "/client/api";
const char* const kSecretMask = "*****";

// Query parameters whose values never reach a log line.
bool IsSecretParameter(const std::string& name) {
    return name == "password" || name == "sessionkey";
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

}  // namespace

CCloudStackConnection::CCloudStackConnection() = default;

CCloudStackConnection::~CCloudStackConnection() = default;

bool CCloudStackConnection::connect(const std::string& server, const std::string& user, const std::string& password) {
    SetContentType("Content-Type: application/json; charset=UTF-8");
    if (!TeskRestApiConnection::connect(server, true, "")) return false;

    m_bLoginInProgress = true;
    std::string query = "?command=login";
    appendQueryStringArgument(query, "username=%s", user.c_str());
    appendQueryStringArgument(query, "password=%s", password.c_str());
    appendQueryStringArgument(query, "response=json");

    // The session lives in the cookies that saveLoginCurlHeaders keeps; the body is not needed.
    std::string response;
    if (!post(query, "", response, nullptr)) return false;
    m_bLoginInProgress = false;
    return true;
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
    return get(BuildCommandUrl(command, args), response, nullptr);
}

bool CCloudStackConnection::GET(const std::string& command, std::string& response) {
    return GET(command, std::vector<std::string>(), response);
}

bool CCloudStackConnection::POST(const std::string& command, const std::vector<std::string>& args,
                                 std::string& response) {
    return post(BuildCommandUrl(command, args), "", response, nullptr);
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
    url = kEndpointScheme + server + kEndpointPort;
    url += kEndpointPath;
    url += path;
    // Current servers accept a session only when its key arrives as a parameter as well as
    // the cookie; a cookie alone gets 401 and the server drops the session.
    const std::string key = SessionKeyToSend();
    if (!key.empty()) {
        url += (path.find('?') == std::string::npos) ? '?' : '&';
        url += "sessionkey=" + StrUtil::PercentEncode(key);
    }
    m_Log.DebugLvl(__PRETTY_FUNCTION__, 2, "Computed URL [%s]", MaskQuery(url).c_str());
    return true;
}

bool CCloudStackConnection::addCommonCurlHeaders() {
    m_pCurl->TeskLibCurlFreeHttpHeaderList();
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
    for (const std::string& line : lines) {
        // Cut after the header name, its colon and any blanks: a server that writes no blank
        // after the colon must not lose the first character of its cookie.
        std::string cookie;
        const std::string::size_type colon = line.find(':');
        if (colon != std::string::npos) {
            const std::string::size_type value = line.find_first_not_of(" \t", colon + 1);
            if (value != std::string::npos) cookie = line.substr(value);
        }
        StrUtil::TrimRight(cookie, "\r\n");
        m_Log.DebugLvl(__PRETTY_FUNCTION__, 2, "Parsed from response : Cookie = %s", MaskCookie(cookie).c_str());
        m_Cookies.push_back(cookie);
    }
    return true;
}

std::string CCloudStackConnection::SessionKeyToSend() const {
    if (m_bLoginInProgress) return std::string();
    static const std::string prefix = "sessionkey=";
    for (const std::string& cookie : m_Cookies) {
        if (cookie.compare(0, prefix.size(), prefix) != 0) continue;
        const std::string::size_type end = cookie.find(';', prefix.size());
        return cookie.substr(prefix.size(), end == std::string::npos ? std::string::npos : end - prefix.size());
    }
    return std::string();
}

}  // namespace CloudStackSDKWrapper
