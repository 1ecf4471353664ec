#pragma once

#include <cstddef>
#include <string>

#include "CloudStackErrorState.h"
#include "TraceLog.h"

namespace CloudStackSDKWrapper {

class CCloudStackParser;
class CCloudStackConnection;

/// @brief Base of the queries and operations components: a debug log, the borrowed parser
/// and access to the wrapper's shared error state (which may be null).
class CCloudStackErrorHandler {
public:
    /// @brief Longest message kept in the error state, in bytes.
    static constexpr std::size_t kMaxErrorMessage = 300;

    CCloudStackErrorHandler(CCloudStackParser* pParser, CCloudStackErrorState* pErrorState);
    ~CCloudStackErrorHandler();
    CCloudStackErrorHandler(const CCloudStackErrorHandler&) = delete;
    CCloudStackErrorHandler& operator=(const CCloudStackErrorHandler&) = delete;

    std::string GetErrorMessage();
    long GetErrorCode();
    void SetErrorMessage(const std::string& message);
    void SetErrorCode(long code);

    /// @brief Records the server's API error held by @p response ({"<command>response":
    /// {"errorcode":N,"errortext":"..."}}); changes nothing when the body holds none.
    void SetLastErrorFromResponse(const std::string& response);

    /// @brief Records @p code and @p message, its control characters shown as escapes and the
    /// whole cut to kMaxErrorMessage bytes.
    void SetLastError(long code, const std::string& message);
    /// @brief Empties the error state.
    void ClearLastError();

    /// @brief Records why a request for @p command through @p connection failed: the
    /// connection's own rule, no answer (a negative code and the transport's text), a redirect,
    /// the server's API error in @p response, or the HTTP status of an answer that is none.
    void SetLastErrorFromRequest(const CCloudStackConnection& connection, const std::string& command,
                                 const std::string& response);

    /// @brief Records why a successful answer to @p command could not be read: the API error it
    /// holds, or CS_ERROR_BAD_ANSWER.
    void SetLastErrorFromAnswer(const std::string& command, const std::string& response);

    /// @brief The code and text of the API error envelope in @p body, if it holds one: an object
    /// member with a positive integer "errorcode".
    static bool ReadApiError(const std::string& body, long& code, std::string& text);

protected:
    TraceLog m_Log;
    CCloudStackParser* m_pResponseParser;
    CCloudStackErrorState* m_pErrorState;
};

}  // namespace CloudStackSDKWrapper
