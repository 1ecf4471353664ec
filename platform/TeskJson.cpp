#include "TeskJson.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <limits>
#include <stdexcept>
#include <utility>

#include "StrUtil.h"
#include "TeskJsonDecimal.h"

namespace {

bool EqualsIgnoringCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (StrUtil::LowerAscii(a[i]) != StrUtil::LowerAscii(b[i])) {
            return false;
        }
    }
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
        case JsonValue::value_t::string: {
            const std::string& text = *value.get_ptr<const std::string*>();
            return TeskJsonDecimal::Parse(text.data(), text.data() + text.size(), out);
        }
        default:
            // Floating-point numbers (even 2.0), bools, objects and arrays are never numbers here.
            return false;
    }
}

// What the tree of one answer costs, in heap bytes of a 64-bit libstdc++ with glibc's malloc
// (a request of n bytes takes n + 8 rounded up to 16, at least 32). CheckTreeLimits charges these
// so that its estimate stays within a small factor of what nlohmann::json really allocates.
constexpr std::size_t Chunk(std::size_t bytes) {
    return bytes + 8 <= 32 ? 32 : (bytes + 8 + 15) & ~std::size_t{15};
}
constexpr std::size_t StringHeap(std::size_t length) {
    return length > 15 ? Chunk(length + 1) : 0;  // short strings live inside the string object
}
constexpr std::size_t kObjectCost = Chunk(sizeof(JsonObject));
constexpr std::size_t kArrayCost = Chunk(sizeof(JsonArray));
constexpr std::size_t kStringCost = Chunk(sizeof(std::string));
// A map node: red-black links and colour, then the key and the value.
constexpr std::size_t kMemberCost = Chunk(32 + sizeof(std::string) + sizeof(JsonValue));
// Arrays grow by doubling, so an element costs up to twice its slot.
constexpr std::size_t kElementCost = 2 * sizeof(JsonValue);

std::atomic<std::size_t>& CostLimitValue() {
    static std::atomic<std::size_t> limit{TeskJson::kDefaultCostLimit};
    return limit;
}

bool IsDelimiter(char c) {
    switch (c) {
        case ' ':
        case '\t':
        case '\n':
        case '\r':
        case ',':
        case ':':
        case '[':
        case ']':
        case '{':
        case '}':
        case '"':
            return true;
        default:
            return false;
    }
}

// The closing quote of the string whose content starts at p, or end when it has none.
const char* StringEnd(const char* p, const char* end) {
    while (p < end) {
        const void* found = std::memchr(p, '"', static_cast<std::size_t>(end - p));
        if (found == nullptr) {
            return end;
        }
        const char* quote = static_cast<const char*>(found);
        std::size_t backslashes = 0;
        for (const char* q = quote; q > p && q[-1] == '\\'; --q) {
            ++backslashes;
        }
        if (backslashes % 2 == 0) {
            return quote;
        }
        p = quote + 1;
    }
    return end;
}

}  // namespace

std::size_t TeskJson::SetCostLimit(std::size_t bytes) {
    return CostLimitValue().exchange(bytes);
}

std::size_t TeskJson::CostLimit() {
    return CostLimitValue().load();
}

void TeskJson::CheckTreeLimits(const std::string& body) {
    const std::size_t limit = CostLimit();
    bool isArray[kMaxDepth] = {};  // the kind of each open container
    std::size_t depth = 0;
    std::size_t cost = sizeof(JsonValue);
    bool expectKey = false;
    const char* p = body.data();
    const char* const end = p + body.size();
    const auto charge = [&](std::size_t bytes) {
        cost += bytes;
        if (cost > limit) {
            throw std::runtime_error(StrUtil::Format(
                "JSON answer of %zu bytes would need more than %zu bytes of memory to parse (the limit)", body.size(),
                limit));
        }
    };
    const auto startValue = [&]() {
        if (depth > 0 && isArray[depth - 1]) {
            charge(kElementCost);
        }
    };
    const auto open = [&](bool array) {
        startValue();
        if (depth == kMaxDepth) {
            throw std::runtime_error(
                StrUtil::Format("JSON answer nests objects and arrays deeper than %zu levels", kMaxDepth));
        }
        isArray[depth++] = array;
        charge(array ? kArrayCost : kObjectCost);
        expectKey = !array;
    };
    while (p < end) {
        const char c = *p++;
        switch (c) {
            case ' ':
            case '\t':
            case '\n':
            case '\r':
            case ':':
                break;
            case ',':
                expectKey = depth > 0 && !isArray[depth - 1];
                break;
            case '{':
                open(false);
                break;
            case '[':
                open(true);
                break;
            case '}':
            case ']':
                depth -= depth > 0 ? 1 : 0;
                expectKey = false;
                break;
            case '"': {
                const char* close = StringEnd(p, end);
                const auto length = static_cast<std::size_t>(close - p);
                p = close < end ? close + 1 : end;
                if (expectKey) {
                    charge(kMemberCost + StringHeap(length));
                    expectKey = false;
                } else {
                    startValue();
                    charge(kStringCost + StringHeap(length));
                }
                break;
            }
            default:
                // A number, true, false, null or garbage: lives in its slot.
                startValue();
                while (p < end && !IsDelimiter(*p)) {
                    ++p;
                }
                break;
        }
    }
}

bool TeskJson::Unserialize(const std::string& body, JsonObject& out) {
    CheckTreeLimits(body);
    // nlohmann's own tree builder, but into a tree of ours: should memory run out half-way, the part
    // built so far is released here without allocating. JsonValue::parse would destroy it during the
    // unwinding, whose destructor allocates, and the process would end in std::terminate.
    JsonValue document;
    bool parsed = false;
    try {
        nlohmann::detail::json_sax_dom_parser<JsonValue> builder(document, false);
        parsed =
            JsonValue::sax_parse(body, &builder, JsonValue::input_format_t::json, true, false) && !builder.is_errored();
    } catch (...) {
        Release(document);
        throw;
    }
    if (!parsed || !document.is_object()) {
        Release(document);
        return false;
    }
    Release(out);
    out = std::move(*document.get_ptr<JsonObject*>());
    return true;
}

namespace {

// Destroying these allocates nothing: a scalar, or an empty array or object.
bool IsFlat(const JsonValue& value) {
    if (const JsonObject* object = value.get_ptr<const JsonObject*>()) return object->empty();
    if (const JsonArray* array = value.get_ptr<const JsonArray*>()) return array->empty();
    return true;
}

}  // namespace

void TeskJson::Release(JsonValue& value) noexcept {
    // Always empties the last child of the container at the end of the path, descending into it
    // first when it holds children itself. An emptied container is flat, so its parent drops it.
    constexpr std::size_t kPathLength = kMaxDepth + 2;
    JsonValue* path[kPathLength];
    std::size_t depth = 0;
    bool cut = false;  // the path lost its first part to a tree deeper than it is long
    path[depth++] = &value;
    while (depth > 0) {
        JsonValue& node = *path[depth - 1];
        JsonValue* last = nullptr;
        if (JsonArray* array = node.get_ptr<JsonArray*>()) {
            if (!array->empty() && IsFlat(array->back())) {
                array->pop_back();
                continue;
            }
            last = array->empty() ? nullptr : &array->back();
        } else if (JsonObject* object = node.get_ptr<JsonObject*>()) {
            if (!object->empty() && IsFlat(std::prev(object->end())->second)) {
                object->erase(std::prev(object->end()));
                continue;
            }
            last = object->empty() ? nullptr : &std::prev(object->end())->second;
        }
        if (last == nullptr) {
            if (--depth == 0 && cut) {
                path[depth++] = &value;  // start again from the top for what is left above
                cut = false;
            }
            continue;
        }
        if (depth == kPathLength) {
            std::copy(path + kPathLength / 2, path + kPathLength, path);
            depth -= kPathLength / 2;
            cut = true;
        }
        path[depth++] = last;
    }
}

void TeskJson::Release(JsonObject& object) noexcept {
    while (!object.empty()) {
        const auto last = std::prev(object.end());
        Release(last->second);
        object.erase(last);
    }
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
    StrUtil::ToLower(lower);
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
