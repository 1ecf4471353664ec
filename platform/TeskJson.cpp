#include "TeskJson.h"

#include <charconv>
#include <limits>
#include <stdexcept>
#include <system_error>
#include <utility>

namespace {

char LowerAscii(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (LowerAscii(a[i]) != LowerAscii(b[i])) {
            return false;
        }
    }
    return true;
}

// The whole text must be the number: no blanks, no '+', nothing after the digits.
// from_chars accepts '-' only for signed types, so "-1" fails for uint64_t.
template <typename T>
bool ParseDecimal(const std::string& text, T& out) {
    if (text.empty()) {
        return false;
    }
    const char* const end = text.data() + text.size();
    T value{};
    const auto result = std::from_chars(text.data(), end, value);
    if (result.ec != std::errc() || result.ptr != end) {
        return false;
    }
    out = value;
    return true;
}

// The value for an error message. Objects and arrays are named, not dumped: dump() recurses
// once per nesting level, and a hostile answer can nest far deeper than the stack allows.
std::string Describe(const JsonValue& value) {
    if (value.is_object()) return "an object";
    if (value.is_array()) return "an array";
    constexpr std::size_t kMaxLength = 128;
    std::string text = value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
    if (text.size() > kMaxLength) {
        text.resize(kMaxLength);
        text += "...";
    }
    return text;
}

[[noreturn]] void ThrowNotANumber(const std::string& key, const JsonValue& value, const char* type) {
    throw std::runtime_error("JSON member \"" + key + "\" does not hold " + type + ": " + Describe(value));
}

template <typename T>
bool IntegerFromJson(const JsonValue& value, T& out) {
    using Limits = std::numeric_limits<T>;
    switch (value.type()) {
        case JsonValue::value_t::number_unsigned: {
            const auto n = value.get<JsonValue::number_unsigned_t>();
            if (n > static_cast<JsonValue::number_unsigned_t>(Limits::max())) {
                return false;
            }
            out = static_cast<T>(n);
            return true;
        }
        case JsonValue::value_t::number_integer: {
            const auto n = value.get<JsonValue::number_integer_t>();
            if (n < 0) {
                if (!Limits::is_signed || n < static_cast<JsonValue::number_integer_t>(Limits::min())) {
                    return false;
                }
            } else if (static_cast<JsonValue::number_unsigned_t>(n) >
                       static_cast<JsonValue::number_unsigned_t>(Limits::max())) {
                return false;
            }
            out = static_cast<T>(n);
            return true;
        }
        case JsonValue::value_t::string:
            return ParseDecimal(*value.get_ptr<const std::string*>(), out);
        default:
            // Floating-point numbers (even 2.0), bools, objects and arrays are never numbers here.
            return false;
    }
}

}  // namespace

bool TeskJson::Unserialize(const std::string& body, JsonObject& out) {
    JsonValue document = JsonValue::parse(body, nullptr, false);
    if (document.is_discarded() || !document.is_object()) {
        return false;
    }
    out = std::move(*document.get_ptr<JsonObject*>());
    return true;
}

const JsonObject* TeskJson::FindObject(const JsonObject& object, const std::string& key) {
    const auto it = object.find(key);
    return it != object.end() ? it->second.get_ptr<const JsonObject*>() : nullptr;
}

const JsonArray* TeskJson::FindArray(const JsonObject& object, const std::string& key) {
    const auto it = object.find(key);
    return it != object.end() ? it->second.get_ptr<const JsonArray*>() : nullptr;
}

bool TeskJson::FindObjectValue(const JsonObject& object, const std::string& key, JsonObject& out) {
    const JsonObject* found = FindObject(object, key);
    if (found == nullptr) {
        return false;
    }
    out = *found;
    return true;
}

bool TeskJson::FindArrayValue(const JsonObject& object, const std::string& key, JsonArray& out) {
    const JsonArray* found = FindArray(object, key);
    if (found == nullptr) {
        return false;
    }
    out = *found;
    return true;
}

const JsonValue* TeskJson::FindMember(const JsonObject& object, const std::string& key) {
    auto it = object.find(key);
    if (it != object.end()) {
        return &it->second;
    }
    // The server writes keys in lower case, so that lookup nearly always settles it.
    std::string lower(key);
    for (char& c : lower) {
        c = LowerAscii(c);
    }
    if (lower != key) {
        it = object.find(lower);
        if (it != object.end()) {
            return &it->second;
        }
    }
    for (const auto& member : object) {
        if (EqualsIgnoringCase(member.first, key)) {
            return &member.second;
        }
    }
    return nullptr;
}

std::string TeskJson::GetStringValue(const JsonObject& object, const std::string& key) {
    const JsonValue* value = FindMember(object, key);
    if (value == nullptr) {
        return std::string();
    }
    switch (value->type()) {
        case JsonValue::value_t::string:
            return *value->get_ptr<const std::string*>();
        case JsonValue::value_t::number_integer:
        case JsonValue::value_t::number_unsigned:
        case JsonValue::value_t::number_float:
        case JsonValue::value_t::boolean:
            return value->dump();
        default:
            return std::string();
    }
}

int TeskJson::GetIntValue(const JsonObject& object, const std::string& key) {
    const JsonValue* value = FindMember(object, key);
    if (value == nullptr || value->is_null()) {
        return 0;
    }
    int32_t result = 0;
    if (!IntegerFromJson(*value, result)) {
        ThrowNotANumber(key, *value, "a 32-bit integer");
    }
    return result;
}

uint64_t TeskJson::GetUInt64Value(const JsonObject& object, const std::string& key) {
    const JsonValue* value = FindMember(object, key);
    if (value == nullptr || value->is_null()) {
        return 0;
    }
    uint64_t result = 0;
    if (!IntegerFromJson(*value, result)) {
        ThrowNotANumber(key, *value, "an unsigned 64-bit integer");
    }
    return result;
}

bool TeskJson::TryGetCount(const JsonObject& object, const std::string& key, long long& out) {
    const auto it = object.find(key);
    if (it == object.end()) {
        return false;
    }
    long long value = 0;
    if (!IntegerFromJson(it->second, value) || value < 0) {
        return false;
    }
    out = value;
    return true;
}
