#pragma once

#include <cstddef>
#include <string>

#include "Inventory.h"
#include "SimMessages.h"

// The shapes of the server's answers: JSON envelopes, error envelopes, plain-text refusals.
namespace cssim {

constexpr const char* kJsonContentType = "application/json;charset=UTF-8";
constexpr int kParameterError = 431;
constexpr int kUnknownCommand = 432;
constexpr int kServerErrorCode = 9999;  // cserrorcode of most refusals
constexpr int kPageSizeErrorCode = 4350;

/// @brief Compact JSON text; invalid UTF-8 (values echo client input) becomes U+FFFD.
std::string Dump(const Json& document);

/// @brief {"<responseKey>":<content>} with status @p status.
SimResponse JsonReply(int status, const std::string& responseKey, const Json& content);

/// @brief The server's error envelope; its HTTP status always equals @p code. @p serverCode 0 leaves cserrorcode out.
SimResponse ErrorReply(const std::string& responseKey, int code, int serverCode, const std::string& text);

/// @brief 431 for a required parameter that is missing; @p command is the lower-cased command name.
SimResponse MissingParameter(const std::string& command, const std::string& parameter);

/// @brief 431 for a value the server cannot map to an entity.
SimResponse InvalidValue(const std::string& command, const std::string& parameter, const std::string& value);

/// @brief 401 as the server answers a call it cannot tie to a user (no session, bad signature).
SimResponse NotAuthenticated(const std::string& responseKey);

/// Puts a list answer together from records already written as JSON text:
/// {"<responseKey>":{"count":<total>,"<itemKey>":[...]}}, {"<responseKey>":{"count":<total>}} for a page past the
/// end, and {"<responseKey>":{}} when nothing matched (the server never sends "count":0).
class ListBodyWriter {
public:
    /// @param sizeHint bytes the records will take, to allocate once
    ListBodyWriter(const std::string& responseKey, const std::string& itemKey, std::size_t total,
                   std::size_t sizeHint = 0);
    void Add(const std::string& recordText);
    std::string Finish();

private:
    std::string body_;
    std::string itemKey_;
    std::size_t total_;
    bool any_{false};
};

/// @brief A plain-text answer, like the container's own refusals (405, 400).
SimResponse PlainReply(int status, const std::string& body);

}  // namespace cssim
