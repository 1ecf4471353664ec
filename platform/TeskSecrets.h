#pragma once

/// @file
/// Which values never reach a log line or an error message, decided by the name they stand under.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "TeskApiRequest.h"

/// @brief The one masking rule of the library, for request parameters, answer members and free text.
///
/// A value is secret when its name holds, letter case aside, "password", "secret", "key", "token",
/// "signature" or "credential"; and the "value" of an indexed entry ("details[0].value",
/// "tags[2].value") is secret when its sibling "key" or "name" holds such a name. All static; none
/// of them logs or throws of its own.
class TeskSecrets {
public:
    TeskSecrets() = delete;

    /// @brief What stands for a masked value in a query string or a message.
    static constexpr const char* kMask = "*****";

    /// @brief Whether a value under this name is secret.
    /// @param name a parameter or member name, in any letter case
    /// @return true when it holds one of the words above
    static bool IsSecretName(std::string_view name);

    /// @brief Which values of @p params are secret: by their own name, or as the "value" of an
    /// indexed entry whose sibling "key" or "name" holds a secret name.
    /// @param params the parameters in order
    /// @return one flag per parameter
    static std::vector<bool> SecretValues(const std::vector<TeskQueryParam>& params);

    /// @brief A JSON text as an error line shows it: at most @p limit bytes, never cut inside a UTF-8
    /// sequence, with the value of every secret member replaced by "***" (and the "value" member of
    /// an object whose "key" or "name" member holds a secret name), and a note of the bytes left out.
    /// @param body the JSON text (need not be valid)
    /// @param limit most bytes of @p body shown
    /// @return the text for the log line
    static std::string JsonForLog(const std::string& body, std::size_t limit);

    /// @brief @p text with the value of every "name=value" whose name is secret masked, up to the next
    /// '&', blank, quote or ',' ';' ')' '>' ']'.
    /// @param text a free text, such as an error message
    /// @return the masked text (the same text when nothing is secret)
    static std::string MaskText(const std::string& text);
};
