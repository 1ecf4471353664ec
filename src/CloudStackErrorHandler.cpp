#include "CloudStackErrorHandler.h"

namespace CloudStackSDKWrapper {

CCloudStackErrorHandler::CCloudStackErrorHandler(CCloudStackParser* pParser, CCloudStackErrorState* pErrorState)
    : m_Log(nullptr), m_pResponseParser(pParser), m_pErrorState(pErrorState) {}

CCloudStackErrorHandler::~CCloudStackErrorHandler() {
    m_pResponseParser = nullptr;
}

std::string CCloudStackErrorHandler::GetErrorMessage() {
    return m_pErrorState ? m_pErrorState->strErrorMessage : std::string();
}

long CCloudStackErrorHandler::GetErrorCode() {
    return m_pErrorState ? m_pErrorState->lErrorCode : 0;
}

void CCloudStackErrorHandler::SetErrorMessage(const std::string& message) {
    if (m_pErrorState) m_pErrorState->strErrorMessage = message;
}

void CCloudStackErrorHandler::SetErrorCode(long code) {
    if (m_pErrorState) m_pErrorState->lErrorCode = code;
}

// Records nothing on purpose: every operation reports failure through its bool result,
// and hosts do not read the error state.
void CCloudStackErrorHandler::SetLastErrorFromResponse(const std::string& /*response*/) {}

}  // namespace CloudStackSDKWrapper
