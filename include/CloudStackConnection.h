#pragma once

/// @file
/// The one path to a management server: endpoint, login or key pair, session, command requests.

#include <cstddef>
#include <list>
#include <string>
#include <vector>

#include "CloudStackErrorState.h"
#include "TeskExport.h"
#include "TeskRestApiConnection.h"

struct TeskApiRequest;

namespace CloudStackSDKWrapper {

struct SCloudStackOutcome;

/// @brief The one path to the management server: endpoint, login, session cookies and
/// command requests, on top of the REST connection base.
///
/// A host may hold one of its own for the digest utility (MD5Hash); the wrapper owns another.
/// Threads: one connection is for one thread at a time; two connections share nothing.
///
/// The class is exported, for its type information (which a host built with
/// -fsanitize=undefined refers to); its private members are not.
class CLOUDSTACK_EXPORT CCloudStackConnection : private TeskRestApiConnection {
public:
    /// @brief Most cookies kept from one login answer; further ones are dropped.
    static constexpr std::size_t kMaxCookies = 50;

    /// @brief A connection with no server, no session and no credentials. Sends nothing.
    CCloudStackConnection();
    /// @brief Sends nothing; wipes from memory the credentials, the secret key, the session key and
    /// cookies, and the copies the REST base holds (the last URL, the request header lines). What
    /// libcurl copies into its own handle (the last URL) is freed by libcurl, not wiped.
    ~CCloudStackConnection() override;

    /// @brief Logs in: a POST of "login" whose user name, password (and domain) travel in an
    /// application/x-www-form-urlencoded body. The session cookies and key of the answer are
    /// kept for every later request.
    /// @param server a bare host (http://SERVER:8080/client/api), host:port, or an http(s) URL
    /// @param user the user name
    /// @param password the password, sent in the body, never in the URL
    /// @param domain the user's domain path ("/", "ROOT/customers/acme"); empty for ROOT
    /// @return true when the server answered with a login answer that carries a session key
    bool connect(const std::string& server, const std::string& user, const std::string& password,
                 const std::string& domain = std::string());

    /// @brief Uses an API key pair: no login; every later request is signed. Sends nothing.
    /// @param server as for connect
    /// @param apiKey the user's API key
    /// @param secretKey the user's secret key, which signs every request and is never sent
    /// @return false when @p server is not accepted or a key is empty
    bool connectWithApiKey(const std::string& server, const std::string& apiKey, const std::string& secretKey);

    /// @brief Ends a password session with "logout" and forgets the server, the session, the
    /// credentials and any key pair: until the next connect, every request fails with
    /// CS_ERROR_NOT_CONNECTED and nothing is sent.
    /// @return true, also when there was no session
    bool disconnect();

    /// @brief Switches on the trace lines of the connection.
    void EnableDebug();

    /// @brief Trusts the certificates of a PEM file besides the system's CA store.
    /// @param path the PEM file; empty for none
    void SetCaFile(const std::string& path);
    /// @brief Verification of the server's certificate and host name (on by default).
    /// @param verify false switches both checks off
    void SetVerifyPeer(bool verify);

    /// @brief The command query string: "?command=<command>&<arg>...&response=json".
    /// @param command the API command
    /// @param args arguments such as "id=..." inserted as given
    /// @return the query string
    std::string BuildCommandUrl(const std::string& command, const std::vector<std::string>& args);

    /// @brief Sends a command by GET. After a password login, an answer 401 (the session
    /// expired) leads to one new login and one repeat.
    /// @param command the API command
    /// @param args "name=value" texts whose values are percent-encoded as in a URL, such as
    /// "id=..."; each is decoded once and sent encoded again, in the order given
    /// @param response the answer body, on success
    /// @return true for an answer with HTTP status 2xx
    bool GET(const std::string& command, const std::vector<std::string>& args, std::string& response);
    /// @brief GET without arguments.
    /// @param command the API command
    /// @param response the answer body, on success
    /// @return true for an answer with HTTP status 2xx
    bool GET(const std::string& command, std::string& response);
    /// @brief Sends a command by POST with an empty body, its arguments in the URL, otherwise as
    /// GET. (The library's own POSTs carry their parameters in a form body.)
    /// @param command the API command
    /// @param args "name=value" texts as for GET
    /// @param response the answer body, on success
    /// @return true for an answer with HTTP status 2xx
    bool POST(const std::string& command, const std::vector<std::string>& args, std::string& response);
    /// @brief POST without arguments.
    /// @param command the API command
    /// @param response the answer body, on success
    /// @return true for an answer with HTTP status 2xx
    bool POST(const std::string& command, std::string& response);

    /// @brief MD5 digest of @p text.
    /// @param text any bytes
    /// @return upper-case hexadecimal (32 characters); empty on failure
    std::string MD5Hash(const std::string& text);

    /// @brief Transfer limits of the underlying connection (time-outs, body size).
    /// @return the limits of the following requests
    using TeskRestApiConnection::Limits;
    /// @brief The result of the last request (status, transport failure).
    /// @return what the last request's transfer produced
    using TeskRestApiConnection::LastResult;

    /// @brief Why the last connect or request failed by the connection's own rules.
    /// @return the failure (a server string it does not accept, a login answer without a session,
    /// no server yet); code 0 otherwise, and then LastResult and the answer say why
    const CCloudStackErrorState& OwnFailure() const { return m_OwnFailure; }

    /// @brief The endpoint requests go to.
    /// @return such as "http://host:8080/client/api"; empty before connect
    const std::string& Endpoint() const { return m_strServer; }

    /// @brief connect, with the outcome of the login.
    /// @param server as for connect
    /// @param user the user name
    /// @param password the password
    /// @param domain the user's domain path; empty for ROOT
    /// @return the outcome: a failure says why the login failed
    CLOUDSTACK_HIDDEN SCloudStackOutcome OpenSession(const std::string& server, const std::string& user,
                                                     const std::string& password, const std::string& domain);
    /// @brief connectWithApiKey, with the outcome of its checks.
    /// @param server as for connect
    /// @param apiKey the user's API key
    /// @param secretKey the user's secret key
    /// @return the outcome: a failure says which argument was refused
    CLOUDSTACK_HIDDEN SCloudStackOutcome UseKeyPair(const std::string& server, const std::string& apiKey,
                                                    const std::string& secretKey);
    /// @brief The proxy of every later request (the wrapper's SetProxy); empty for none.
    /// @param url the proxy's URL
    /// @return a refusal (CS_ERROR_INVALID_ARGUMENT) for a URL that is not accepted; until a URL is,
    /// connect and every request fail the same way before anything is sent
    CLOUDSTACK_HIDDEN SCloudStackOutcome UseProxy(const std::string& url);
    /// @brief The client certificate of every later https request (the wrapper's
    /// SetClientCertificate), read at once and again at each connect.
    /// @param certFile the PEM certificate; empty for none
    /// @param keyFile its PEM private key; empty when it follows the certificate in @p certFile
    /// @return a refusal (CS_ERROR_INVALID_ARGUMENT) naming a file that is missing, unreadable or
    /// holds no usable certificate or key
    CLOUDSTACK_HIDDEN SCloudStackOutcome UseClientCertificate(const std::string& certFile, const std::string& keyFile);
    /// @brief Forgets the session, the credentials and any key pair, but not the server: later
    /// requests still go out, without a session (as after a failed connect).
    CLOUDSTACK_HIDDEN void ForgetCredentials();
    /// @brief Sends @p request with the session key, or signed with the key pair, and makes the
    /// outcome where the answer arrives. After a password login, an answer 401 (the session expired)
    /// leads to one new login and one repeat. A request whose command or parameters hold a NUL
    /// character is refused (CS_ERROR_INVALID_ARGUMENT), and so is every request while no server is
    /// named (CS_ERROR_NOT_CONNECTED); neither is sent. A signed request refused with 401 while the
    /// server's Date differs from this host's clock by more than five minutes says so.
    /// @param request the request; its auth fields are set here
    /// @param response the answer body of a complete answer
    /// @return success for an answer with HTTP status 2xx, whose body is then in @p response
    CLOUDSTACK_HIDDEN SCloudStackOutcome Send(TeskApiRequest& request, std::string& response);
    /// @brief Send, for requests that run at once over this connection's handles: the same checks,
    /// session key or signature, but the request is only started; End gives its outcome. Any number may
    /// be under way; the caller bounds them.
    /// @param request the request; its auth fields are set here, and it must stay alive and unchanged
    /// until End or Cancel
    /// @param lane receives the number End and Cancel take
    /// @return success when the request is on its way; otherwise the refusal Send would give, and
    /// nothing was sent
    CLOUDSTACK_HIDDEN SCloudStackOutcome Begin(TeskApiRequest& request, std::size_t& lane);
    /// @brief Drives the requests under way until at least one that was not named yet has ended.
    /// @param ended receives the lanes of those that ended; stays empty when none is under way
    CLOUDSTACK_HIDDEN void AwaitAny(std::vector<std::size_t>& ended);
    /// @brief Send's outcome for a request that Begin started, once it has ended (it is waited for
    /// when it has not). After a password login, an answer 401 leads to a new login, unless the session
    /// was renewed since the request was sent, and to one repeat: however many requests under way the
    /// server refused, one login renews the session.
    /// @param lane what Begin gave
    /// @param request the request given to Begin
    /// @param response the answer body of a complete answer
    /// @return as for Send
    CLOUDSTACK_HIDDEN SCloudStackOutcome End(std::size_t lane, TeskApiRequest& request, std::string& response);
    /// @brief Abandons a request that Begin started; when it is still under way its connection is
    /// closed, so that no answer to it is ever read.
    /// @param lane what Begin gave
    CLOUDSTACK_HIDDEN void Cancel(std::size_t lane);

private:
    enum class Auth { None, Session, ApiKey };

    // Hooks of the REST base, called by the base alone.
    CLOUDSTACK_HIDDEN bool computeUrl(const std::string& server, const std::string& path,
                                      const TeskRestApiRequestOptions* options, std::string& url) override;
    CLOUDSTACK_HIDDEN bool addCommonCurlHeaders() override;
    CLOUDSTACK_HIDDEN bool saveLoginCurlHeaders() override;
    // The base's error line, except for a 401 that is answered by a new login and a repeat: the
    // repeat's outcome is what the host needs to hear of.
    CLOUDSTACK_HIDDEN void LogError(const TeskRestApiRequestInfo& request, const TeskLibCurlResult& result) override;

    CLOUDSTACK_HIDDEN SCloudStackOutcome Login();
    // The checks before a request goes out: a NUL, no server, a refused proxy.
    CLOUDSTACK_HIDDEN SCloudStackOutcome CheckBeforeSending(const TeskApiRequest& request);
    // After an answer to @p request: a 401 of an ended session renews it (once for every request
    // that carried the same key) and repeats the request; a 401 to a signed request names a clock skew.
    CLOUDSTACK_HIDDEN void AfterAnswer(TeskApiRequest& request, std::string& response, SCloudStackOutcome& outcome);
    CLOUDSTACK_HIDDEN SCloudStackOutcome Exchange(TeskApiRequest& request, std::string& response);
    CLOUDSTACK_HIDDEN bool Authorize(TeskApiRequest& request);
    CLOUDSTACK_HIDDEN SCloudStackOutcome UseEndpoint(const std::string& server);
    // The refusal of a proxy URL that SetProxy did not accept: nothing may be sent meanwhile.
    CLOUDSTACK_HIDDEN SCloudStackOutcome RefuseWithoutProxy();
    CLOUDSTACK_HIDDEN void Forget();
    CLOUDSTACK_HIDDEN SCloudStackOutcome FailOwn(long code, const std::string& message);

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
