#pragma once

#include <cstddef>
#include <string>

#include "CloudStackErrorState.h"
#include "TraceLog.h"

namespace CloudStackSDKWrapper {

struct SCloudStackOutcome;

/// @brief Base of the queries and operations components: a debug log and access to the wrapper's
/// shared error state (which may be null). Every message of the error state passes through
/// SetErrorMessage.
class CCloudStackErrorHandler {
public:
    /// @brief Longest message kept in the error state, in bytes.
    static constexpr std::size_t kMaxErrorMessage = 300;

    explicit CCloudStackErrorHandler(CCloudStackErrorState* pErrorState);
    ~CCloudStackErrorHandler() = default;
    CCloudStackErrorHandler(const CCloudStackErrorHandler&) = delete;
    CCloudStackErrorHandler& operator=(const CCloudStackErrorHandler&) = delete;

    std::string GetErrorMessage();
    long GetErrorCode();
    /// @brief The one way into the error state's message: Capped(@p message).
    void SetErrorMessage(const std::string& message);
    /// @brief A message as the error state keeps it: the values of secrets masked (TeskSecrets),
    /// cut to kMaxErrorMessage bytes without splitting a UTF-8 sequence.
    static std::string Capped(const std::string& message);
    void SetErrorCode(long code);

    /// @brief Records @p code and @p message, secrets masked, control characters shown as escapes
    /// and the whole cut to kMaxErrorMessage bytes.
    void SetLastError(long code, const std::string& message);
    /// @brief Empties the error state.
    void ClearLastError();

    /// @brief Turns the outcome of a call into its result and the last error: a failure records its
    /// code and message; a success leaves the error state as the call's start cleared it.
    /// @return whether @p outcome is a success
    bool Report(const SCloudStackOutcome& outcome);

    /// @brief The code and text of the API error envelope in @p body, if it holds one: an object
    /// member with a positive integer "errorcode". Bodies over a megabyte are no error envelope.
    static bool ReadApiError(const std::string& body, long& code, std::string& text);

protected:
    TraceLog m_Log;
    CCloudStackErrorState* m_pErrorState;
};

}  // namespace CloudStackSDKWrapper
