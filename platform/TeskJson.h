#pragma once

/// @file
/// The JSON value model of the library and the helpers that read the server's answers.

#include <cstddef>
#include <cstdint>
#include <exception>
#include <nlohmann/json.hpp>
#include <string>

using JsonValue = nlohmann::json;
using JsonObject = JsonValue::object_t;
using JsonArray = JsonValue::array_t;

/// @brief Parsing of answer bodies and typed reads of object members. All static.
///
/// The getters find a member by its exact name first and otherwise by its name ignoring ASCII
/// letter case, because the server writes every key in lower case ("domainid") where callers
/// may ask for "domainId".
class TeskJson {
public:
    TeskJson() = delete;

    /// @brief The deepest nesting of objects and arrays that an answer may have. A hostile or broken
    /// server can send megabytes of '[': every level costs a tree node, and code that walks a tree
    /// recursively runs out of stack long before the memory runs out.
    static constexpr std::size_t kMaxDepth = 256;

    /// @brief The cost limit in force until SetCostLimit changes it: 1 GiB, as much as the largest
    /// body the transport accepts.
    static constexpr std::size_t kDefaultCostLimit = std::size_t{1} << 30;

    /// @brief Sets, for the whole process, the most memory that the values built from one answer may
    /// take (a document tree, or the records of a list). Thread-safe.
    /// @return the limit that was in force before
    static std::size_t SetCostLimit(std::size_t bytes);
    /// @brief The cost limit in force.
    static std::size_t CostLimit();

    /// @brief Scans @p body once, building nothing, and refuses it when its objects and arrays nest
    /// deeper than kMaxDepth or when the tree that Unserialize would build is estimated to need more
    /// than CostLimit() bytes. The scan does not validate: a body that is not JSON may pass.
    /// @throw std::runtime_error that says why the body is refused
    static void CheckTreeLimits(const std::string& body);

    /// @brief Parses @p body and moves its top-level object into @p out.
    /// @return false, without throwing or logging, when @p body is not JSON or its top level is
    /// not an object; @p out is then left as it was.
    /// @throw std::runtime_error from CheckTreeLimits, before anything is built
    static bool Unserialize(const std::string& body, JsonObject& out);

    /// @brief Unserialize for a caller that only asks whether @p body is the answer it expects: a
    /// body that CheckTreeLimits refuses, or whose tree does not fit in memory, is false like one
    /// that is not JSON. Never throws.
    static bool TryUnserialize(const std::string& body, JsonObject& out) noexcept {
        try {
            return Unserialize(body, out);
        } catch (const std::exception&) {
            return false;
        }
    }

    /// @brief Empties @p value (and everything it holds) without allocating. nlohmann::json's own
    /// destructor allocates a stack for every non-empty array or object it destroys, so a tree
    /// dropped while the heap is exhausted would end the process in std::terminate.
    static void Release(JsonValue& value) noexcept;
    /// @brief Release for every member of @p object, which is left empty.
    static void Release(JsonObject& object) noexcept;

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
