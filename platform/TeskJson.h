#pragma once

/// @file
/// The JSON value model of the library and the helpers that read the server's answers.

#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>

#include "TeskExport.h"

using JsonValue = nlohmann::json;
using JsonObject = JsonValue::object_t;
using JsonArray = JsonValue::array_t;

/// @brief Parsing of answer bodies and typed reads of object members. All static.
///
/// The getters find a member by its exact name first and otherwise by its name ignoring ASCII
/// letter case, because the server writes every key in lower case ("domainid") where callers
/// may ask for "domainId".
class CLOUDSTACK_EXPORT TeskJson {
public:
    TeskJson() = delete;

    /// @brief Parses @p body and moves its top-level object into @p out.
    /// @return false, without throwing or logging, when @p body is not JSON or its top level is
    /// not an object; @p out is then left as it was.
    static bool Unserialize(const std::string& body, JsonObject& out);

    /// @brief Copies the object held by member @p key (exact name) into @p out.
    /// @return false when the member is absent or holds another kind of value.
    static bool FindObjectValue(const JsonObject& object, const std::string& key, JsonObject& out);
    /// @brief Copies the array held by member @p key (exact name) into @p out.
    /// @return false when the member is absent or holds another kind of value.
    static bool FindArrayValue(const JsonObject& object, const std::string& key, JsonArray& out);

    /// @brief The object held by member @p key (exact name), in place; nullptr when absent or not an object.
    static const JsonObject* FindObject(const JsonObject& object, const std::string& key);
    /// @brief The array held by member @p key (exact name), in place; nullptr when absent or not an array.
    static const JsonArray* FindArray(const JsonObject& object, const std::string& key);

    /// @brief The member @p key as text: a string as it is, a number or a bool as its JSON text.
    /// Empty for a missing or null member, an object or an array.
    static std::string GetStringValue(const JsonObject& object, const std::string& key);

    /// @brief The member @p key as a 32-bit integer: a JSON integer or a string of only decimal
    /// digits with an optional leading '-'. 0 for a missing or null member.
    /// @throw std::runtime_error naming the key and the value for anything else, out of range included.
    static int GetIntValue(const JsonObject& object, const std::string& key);

    /// @brief The member @p key as an unsigned 64-bit integer: a JSON integer or a string of only
    /// decimal digits. 0 for a missing or null member.
    /// @throw std::runtime_error naming the key and the value for anything else, negatives included.
    static uint64_t GetUInt64Value(const JsonObject& object, const std::string& key);

    /// @brief The member @p key (exact name) as a non-negative integer, from a JSON integer or a
    /// decimal string. Never throws.
    /// @return false, leaving @p out as it was, when the member is absent or holds anything else.
    static bool TryGetCount(const JsonObject& object, const std::string& key, long long& out);

    /// @brief The member named @p key: exact name first, then ASCII letter case ignored.
    /// @return nullptr when no member matches.
    static const JsonValue* FindMember(const JsonObject& object, const std::string& key);
};
