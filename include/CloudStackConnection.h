#pragma once

/// @file
/// The one path to a management server: endpoint, login or key pair, session, command requests.

#include <list>
#include <string>
#include <vector>

#include "CloudStackErrorState.h"
#include "TeskExport.h"
#include "TeskRestApiConnection.h"

namespace CloudStackSDKWrapper {

/// @brief The one path to the management server: endpoint, login, session cookies and
/// command requests, on top of the REST connection base.
///
/// One connection is for one thread at a time.
class CLOUDSTACK_EXPORT CCloudStackConnection : private TeskRestApiConnection {
public:
    /// @brief Most cookies kept from one login answer; further ones are dropped.
    static constexpr std::size_t kMaxCookies = 50;

    CCloudStackConnection();
    /// @brief Sends nothing; wipes the credentials and the secret key from memory.
    ~CCloudStackConnection() override;

    /// @brief Logs in: a POST of "login" whose user name, password (and domain) travel in an
    /// application/x-www-form-urlencoded body. The session cookies and key of the answer are
    /// kept for every later request.
    /// @param server a bare host (http://<server>:8080/client/api), host:port, or an http(s) URL
    /// @param domain the user's domain path ("/", "ROOT/customers/acme"); empty for ROOT
    /// @return true when the server answered with a login answer that carries a session key
    bool connect(const std::string& server, const std::string& user, const std::string& password,
                 const std::string& domain = std::string());

    /// @brief Uses an API key pair: no login; every later request is signed. Sends nothing.
    /// @return false when @p server is not accepted or a key is empty
    bool connectWithApiKey(const std::string& server, const std::string& apiKey, const std::string& secretKey);

    /// @brief Ends a password session with "logout" and forgets the session, the credentials
    /// and any key pair. true, also when there was no session.
    bool disconnect();

    /// @brief Switches on the trace lines of the connection.
    void EnableDebug();

    /// @brief Trusts the certificates of a PEM file besides the system's CA store.
    void SetCaFile(const std::string& path);
    /// @brief Verification of the server's certificate and host name (on by default).
    void SetVerifyPeer(bool verify);

    /// @brief The command query string: "?command=<command>&<arg>...&response=json".
    /// Arguments are inserted as given.
    std::string BuildCommandUrl(const std::string& command, const std::vector<std::string>& args);

    /// @brief Sends a command by GET; true with the answer body in @p response. After a password
    /// login, an answer 401 (the session expired) leads to one new login and one repeat.
    bool GET(const std::string& command, const std::vector<std::string>& args, std::string& response);
    bool GET(const std::string& command, std::string& response);
    /// @brief Sends a command by POST with an empty body; true with the answer body in @p response.
    bool POST(const std::string& command, const std::vector<std::string>& args, std::string& response);
    bool POST(const std::string& command, std::string& response);

    /// @brief Upper-case hexadecimal MD5 digest of @p text (32 characters); empty on failure.
    std::string MD5Hash(const std::string& text);

    /// @brief Transfer limits of the underlying connection (time-outs, body size).
    using TeskRestApiConnection::Limits;
    /// @brief The result of the last request (status, transport failure).
    using TeskRestApiConnection::LastResult;

    /// @brief Why the last connect or request failed, when it failed by the connection's own
    /// rules (a server string it does not accept, a login answer without a session, no server
    /// yet); code 0 otherwise, and then LastResult and the answer say why.
    const CCloudStackErrorState& OwnFailure() const { return m_OwnFailure; }

    /// @brief The endpoint requests go to ("http://host:8080/client/api"); empty before connect.
    const std::string& Endpoint() const { return m_strServer; }

    // Hooks of the REST base.
    bool computeUrl(const std::string& server, const std::string& path, const TeskRestApiRequestOptions* options,
                    std::string& url) override;
    bool addCommonCurlHeaders() override;
    bool saveLoginCurlHeaders() override;
    /// @brief The base's error line, except for a 401 that is answered by a new login and a repeat:
    /// the repeat's outcome is what the host needs to hear of.
    void LogError(const TeskRestApiRequestInfo& request, const TeskLibCurlResult& result) override;

private:
    enum class Auth { None, Session, ApiKey };

    bool Login();
    bool Send(bool post, const std::string& command, const std::vector<std::string>& args, std::string& response);
    bool UseEndpoint(const std::string& server);
    void Forget();
    void FailOwn(long code, const std::string& message);

    std::list<std::string> m_Cookies;
    std::string m_strSessionKey;  // sent as the "sessionkey" parameter of every request
    Auth m_eAuth{Auth::None};
    std::string m_strUser;  // kept, with password and domain, only for a new login after a 401
    std::string m_strPassword;
    std::string m_strDomain;
    std::string m_strApiKey;
    std::string m_strSecretKey;
    CCloudStackErrorState m_OwnFailure;
    bool m_bSessionMayBeRenewed{false};  // a 401 to the request under way leads to a new login
};

}  // namespace CloudStackSDKWrapper
