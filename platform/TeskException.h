#pragma once

#include <exception>
#include <string>

/// @brief The library's own failure, thrown by platform services such as the digests.
/// Deliberately not a std::runtime_error: the parsing layer catches that type, and a
/// platform failure must not be mistaken for a value it could not convert.
class TeskException : public std::exception {
public:
    explicit TeskException(std::string message);
    ~TeskException() override;
    TeskException(const TeskException&) = default;
    TeskException& operator=(const TeskException&) = default;

    /// @brief The text that says what failed.
    std::string formatError() const;
    /// @brief The same text as formatError().
    const char* what() const noexcept override;

private:
    std::string m_strMessage;
};
