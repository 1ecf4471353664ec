#include "TeskException.h"

#include <utility>

TeskException::TeskException(std::string message) : m_strMessage(std::move(message)) {}

// Out of line so that the vtable and type information live in one object file,
// which keeps catching by type reliable across the shared object boundary.
TeskException::~TeskException() = default;

std::string TeskException::formatError() const {
    return m_strMessage;
}

const char* TeskException::what() const noexcept {
    return m_strMessage.c_str();
}
