#pragma once

#include <list>
#include <string>
#include <vector>

#include "TeskExport.h"
#include "TeskRestApiConnection.h"

namespace CloudStackSDKWrapper {

/// @brief The one path to the management server: endpoint, login, session cookies and
/// command requests, on top of the REST connection base.
class CLOUDSTACK_EXPORT CCloudStackConnection : private TeskRestApiConnection {
public:
    CCloudStackConnection();
    ~CCloudStackConnection() override;

    /// @brief Logs in: POST of "login" with the user name and password in the query string.
    /// The session cookies of the answer are kept for every later request.
    /// @return true when the server answered the login with success
    bool connect(const std::string& server, const std::string& user, const std::string& password);

    /// @brief Switches on the trace lines of the connection.
    void EnableDebug() { enableDebug(); }

    /// @brief The command query string: "?command=<command>&<arg>...&response=json".
    /// Arguments are inserted as given.
    std::string BuildCommandUrl(const std::string& command, const std::vector<std::string>& args);

    /// @brief Sends a command by GET; true with the answer body in @p response.
    bool GET(const std::string& command, const std::vector<std::string>& args, std::string& response);
    bool GET(const std::string& command, std::string& response);
    /// @brief Sends a command by POST with an empty body; true with the answer body in @p response.
    bool POST(const std::string& command, const std::vector<std::string>& args, std::string& response);
    bool POST(const std::string& command, std::string& response);

    /// @brief Upper-case hexadecimal MD5 digest of @p text (32 characters); empty on failure.
    std::string MD5Hash(const std::string& text);

    /// @brief Transfer limits of the underlying connection (time-outs, body size).
    using TeskRestApiConnection::Limits;

    // Hooks of the REST base.
    bool computeUrl(const std::string& server, const std::string& path, const TeskRestApiRequestOptions* options,
                    std::string& url) override;
    bool addCommonCurlHeaders() override;
    bool saveLoginCurlHeaders() override;

private:
    /// Value of the saved "sessionkey" cookie, or empty when there is none to send.
    std::string SessionKeyToSend() const;

    std::list<std::string> m_Cookies;
};

}  // namespace CloudStackSDKWrapper
