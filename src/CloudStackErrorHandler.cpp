#include "CloudStackErrorHandler.h"

#include "CloudStackOutcome.h"
#include "CloudStackParser.h"
#include "TeskJson.h"
#include "TeskSecrets.h"
#include "TextEscape.h"

namespace CloudStackSDKWrapper {

namespace {

// Error answers are small; a large body is no error envelope worth parsing.
constexpr std::size_t kMaxErrorBody = 1 << 20;

}  // namespace

CCloudStackErrorHandler::CCloudStackErrorHandler(CCloudStackErrorState* pErrorState)
    : m_Log(nullptr), m_pErrorState(pErrorState) {}

std::string CCloudStackErrorHandler::GetErrorMessage() {
    return m_pErrorState ? m_pErrorState->strErrorMessage : std::string();
}

long CCloudStackErrorHandler::GetErrorCode() {
    return m_pErrorState ? m_pErrorState->lErrorCode : 0;
}

void CCloudStackErrorHandler::SetErrorMessage(const std::string& message) {
    if (m_pErrorState) m_pErrorState->strErrorMessage = Capped(message);
}

// Server text (an errortext, a Location) shows its controls as escapes before the cut, and the cut
// falls between two characters or escapes, never inside one.
std::string CCloudStackErrorHandler::Capped(const std::string& message) {
    return TextEscape::Printable(TeskSecrets::MaskText(message), kMaxErrorMessage);
}

void CCloudStackErrorHandler::SetErrorCode(long code) {
    if (m_pErrorState) m_pErrorState->lErrorCode = code;
}

void CCloudStackErrorHandler::SetLastError(long code, const std::string& message) {
    SetErrorCode(code);
    SetErrorMessage(message);
}

void CCloudStackErrorHandler::ClearLastError() {
    SetLastError(0, std::string());
}

bool CCloudStackErrorHandler::Report(const SCloudStackOutcome& outcome) {
    if (outcome) return true;
    SetLastError(outcome.lCode, outcome.strMessage);
    return false;
}

bool CCloudStackErrorHandler::ReadApiError(const std::string& body, long& code, std::string& text) {
    if (body.empty() || body.size() > kMaxErrorBody) return false;
    JsonObject document;
    const bool found =
        TeskJson::TryUnserialize(body, document) && CCloudStackParser::FindApiError(document, code, text);
    TeskJson::Release(document);
    return found;
}

}  // namespace CloudStackSDKWrapper
