#pragma once

#include <string>

#include "CloudStackErrorState.h"
#include "TeskExport.h"
#include "TraceLog.h"

namespace CloudStackSDKWrapper {

class CCloudStackParser;

/// @brief Base of the queries and operations components: a debug log, the borrowed parser
/// and get/set access to the wrapper's shared error state (which may be null).
class CLOUDSTACK_EXPORT CCloudStackErrorHandler {
public:
    CCloudStackErrorHandler(CCloudStackParser* pParser, CCloudStackErrorState* pErrorState);
    ~CCloudStackErrorHandler();
    CCloudStackErrorHandler(const CCloudStackErrorHandler&) = delete;
    CCloudStackErrorHandler& operator=(const CCloudStackErrorHandler&) = delete;

    std::string GetErrorMessage();
    long GetErrorCode();
    void SetErrorMessage(const std::string& message);
    void SetErrorCode(long code);
    /// @brief Takes a raw answer body; records nothing.
    void SetLastErrorFromResponse(const std::string& response);

protected:
    TraceLog m_Log;
    CCloudStackParser* m_pResponseParser;
    CCloudStackErrorState* m_pErrorState;
};

}  // namespace CloudStackSDKWrapper
