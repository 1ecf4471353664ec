// The one-pass reader of list answers: simdjson On-Demand walks the bytes once and fills the records
// directly, with no document tree. It must decide every answer exactly as the tree walk
// (CCloudStackParser::ParseListTree) does, so it validates everything it skips, reads the mapped
// members with the getters' rules, and hands the body to the tree walk wherever it could differ.

// simdjson's checks of API use, on in unoptimised builds, add buffers that it asks for without
// exceptions and never tests for null: an exhausted heap would crash a debug build only.
// Off here, every build reads answers the way the release build does.
#ifndef SIMDJSON_DEVELOPMENT_CHECKS
#define SIMDJSON_DEVELOPMENT_CHECKS 0
#endif
#include <simdjson.h>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <type_traits>
#include <vector>

#include "CloudStackParser.h"
#include "CloudStackRecordFields.h"
#include "StrUtil.h"
#include "TeskJson.h"
#include "TeskJsonDecimal.h"

namespace CloudStackSDKWrapper {
namespace {

namespace od = simdjson::ondemand;

static_assert(CCloudStackParser::kBodyPadding == simdjson::SIMDJSON_PADDING, "the transport pads for simdjson");

// ---------------------------------------------------------------------------------------------
// How a walk ends.
enum class Outcome {
    Done,     // the body is JSON that the tree walk accepts; the reader's result stands
    Invalid,  // the body is certainly not JSON that nlohmann accepts: false, nothing appended
    Unsure,   // the tree walk must decide (a number simdjson cannot settle, nesting too deep, ...)
    Refused,  // the records would cost more than TeskJson::CostLimit()
};

// Errors that nlohmann::json rejects as well. Anything else (capacity, an unexpected code) goes to
// the tree walk.
Outcome Failed(simdjson::error_code error) {
    switch (error) {
        case simdjson::MEMALLOC:
            throw std::bad_alloc();
        case simdjson::TAPE_ERROR:
        case simdjson::INCOMPLETE_ARRAY_OR_OBJECT:
        case simdjson::UNCLOSED_STRING:
        case simdjson::UTF8_ERROR:
        case simdjson::UNESCAPED_CHARS:
        case simdjson::STRING_ERROR:
        case simdjson::T_ATOM_ERROR:
        case simdjson::F_ATOM_ERROR:
        case simdjson::N_ATOM_ERROR:
        case simdjson::NUMBER_ERROR:
        case simdjson::EMPTY:
        case simdjson::TRAILING_CONTENT:
        case simdjson::INCORRECT_TYPE:
            return Outcome::Invalid;
        default:
            return Outcome::Unsure;
    }
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

std::string_view TrimRight(std::string_view token) {
    while (!token.empty() && IsBlank(token.back())) {
        token.remove_suffix(1);
    }
    return token;
}

// ---------------------------------------------------------------------------------------------
// Strings, with nlohmann's rules for escapes: the eight short ones and \uXXXX, where a high
// surrogate must be followed by an escaped low one and a low one must not stand alone.
// simdjson's stage 1 has already rejected invalid UTF-8 and unescaped control characters.

bool Hex4(const char* p, const char* end, uint32_t& value) {
    if (end - p < 4) {
        return false;
    }
    value = 0;
    for (int i = 0; i < 4; ++i) {
        const int digit = StrUtil::HexDigit(p[i]);
        if (digit < 0) {
            return false;
        }
        value = value * 16 + static_cast<uint32_t>(digit);
    }
    return true;
}

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// Decodes the text between a string's quotes into *out (when out is not null).
// @return false for an escape that nlohmann rejects
bool Unescape(const char* p, const char* end, std::string* out) {
    while (p < end) {
        const char* backslash = static_cast<const char*>(std::memchr(p, '\\', static_cast<std::size_t>(end - p)));
        if (backslash == nullptr) {
            if (out != nullptr) out->append(p, end);
            return true;
        }
        if (out != nullptr) out->append(p, backslash);
        p = backslash + 1;
        if (p >= end) {
            return false;
        }
        char c = *p++;
        switch (c) {
            case '"':
            case '\\':
            case '/':
                break;
            case 'b':
                c = '\b';
                break;
            case 'f':
                c = '\f';
                break;
            case 'n':
                c = '\n';
                break;
            case 'r':
                c = '\r';
                break;
            case 't':
                c = '\t';
                break;
            case 'u': {
                uint32_t cp = 0;
                if (!Hex4(p, end, cp)) return false;
                p += 4;
                if (cp >= 0xD800 && cp <= 0xDBFF) {
                    uint32_t low = 0;
                    if (end - p < 6 || p[0] != '\\' || p[1] != 'u' || !Hex4(p + 2, end, low) || low < 0xDC00 ||
                        low > 0xDFFF) {
                        return false;
                    }
                    p += 6;
                    cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
                } else if (cp >= 0xDC00 && cp <= 0xDFFF) {
                    return false;
                }
                if (out != nullptr) AppendUtf8(*out, cp);
                continue;
            }
            default:
                return false;
        }
        if (out != nullptr) *out += c;
    }
    return true;
}

// The first '"' or '\\' at or after p. Reading up to 15 bytes past it is safe: the body is
// followed by simdjson's padding.
#if defined(__SSE2__)
const char* QuoteOrBackslash(const char* p) {
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    for (;; p += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const int found =
            _mm_movemask_epi8(_mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, backslash)));
        if (found != 0) {
            return p + __builtin_ctz(static_cast<unsigned>(found));
        }
    }
}
#else
const char* QuoteOrBackslash(const char* p) {
    while (*p != '"' && *p != '\\') ++p;
    return p;
}
#endif

// The text of a string whose content starts at p (just after its opening quote), up to its
// closing quote; stage 1 has paired the quotes, so the scan ends.
std::string_view StringText(const char* p, bool& escaped) {
    const char* const start = p;
    escaped = false;
    for (;;) {
        p = QuoteOrBackslash(p);
        if (*p == '"') {
            return std::string_view(start, static_cast<std::size_t>(p - start));
        }
        escaped = true;
        p += 2;
    }
}

// ---------------------------------------------------------------------------------------------
// Numbers, with nlohmann's rules: an integer that fits int64 (negative) or uint64 is an integer,
// any other valid number a double that must be finite.

enum class NumberKind { Unsigned, Negative, Float };

// Checks JSON's number grammar; integral when the token has neither fraction nor exponent.
bool NumberGrammar(std::string_view token, bool& integral) {
    const char* p = token.data();
    const char* const end = p + token.size();
    if (p < end && *p == '-') ++p;
    if (p == end || *p < '0' || *p > '9') return false;
    if (*p == '0') {
        ++p;
    } else {
        while (p < end && *p >= '0' && *p <= '9') ++p;
    }
    integral = true;
    if (p < end && *p == '.') {
        integral = false;
        ++p;
        const char* digits = p;
        while (p < end && *p >= '0' && *p <= '9') ++p;
        if (p == digits) return false;
    }
    if (p < end && (*p == 'e' || *p == 'E')) {
        integral = false;
        ++p;
        if (p < end && (*p == '+' || *p == '-')) ++p;
        const char* digits = p;
        while (p < end && *p >= '0' && *p <= '9') ++p;
        if (p == digits) return false;
    }
    return p == end;
}

// Whether nlohmann's strtod gives a finite double. An out-of-range answer is an overflow, which
// nlohmann rejects, or an underflow, which it takes as 0: only the tree walk can tell.
Outcome FiniteDouble(std::string_view token) {
    double value = 0;
    return std::from_chars(token.data(), token.data() + token.size(), value).ec == std::errc() ? Outcome::Done
                                                                                               : Outcome::Unsure;
}

// A number that is not read: valid when nlohmann would parse it.
Outcome ValidateNumber(std::string_view token) {
    bool integral = false;
    if (!NumberGrammar(token, integral)) return Outcome::Invalid;
    // An integer of up to 300 digits is an int64, a uint64 or a finite double.
    return integral && token.size() <= 300 ? Outcome::Done : FiniteDouble(token);
}

// A number that is read: its kind as nlohmann stores it.
Outcome ClassifyNumber(std::string_view token, NumberKind& kind) {
    bool integral = false;
    if (!NumberGrammar(token, integral)) return Outcome::Invalid;
    if (integral) {
        if (token[0] == '-') {
            int64_t value = 0;
            if (std::from_chars(token.data(), token.data() + token.size(), value).ec == std::errc()) {
                kind = NumberKind::Negative;
                return Outcome::Done;
            }
        } else {
            uint64_t value = 0;
            if (std::from_chars(token.data(), token.data() + token.size(), value).ec == std::errc()) {
                kind = NumberKind::Unsigned;
                return Outcome::Done;
            }
        }
    }
    kind = NumberKind::Float;
    return FiniteDouble(token);
}

// ---------------------------------------------------------------------------------------------
// The fields of a record type, from its table in CloudStackRecordFields.h.

constexpr std::size_t kMaxFields = 32;

/// Finds the field of a member name the way TeskJson::FindMember finds a lower-case key (every key
/// of the record tables is one): the exact name first, then any name that differs only in ASCII
/// letter case. Fields are chained by name length and first letter, so that most members that map
/// to nothing are turned away after a byte or two.
template <typename T>
class FieldTable {
public:
    FieldTable() {
        static_assert(kFields.size() <= kMaxFields, "too many fields for the candidates");
        for (auto& row : m_first) row.fill(-1);
        m_next.fill(-1);
        for (std::size_t i = kFields.size(); i-- > 0;) {
            const std::string_view key(kFields[i].key);
            if (key.size() >= kLengths) throw std::logic_error("mapped key too long");
            int& head = m_first[key.size()][Bucket(key[0])];
            m_next[i] = head;
            head = static_cast<int>(i);
            m_keys[i] = key;
        }
    }

    static constexpr std::size_t Size() { return kFields.size(); }
    const RecordFields::Field<T>& operator[](std::size_t i) const { return kFields[i]; }

    /// @return the field's index, or -1; rank 0 for the key itself, 1 for another spelling of it
    int Find(std::string_view name, int& rank) const {
        if (name.empty() || name.size() >= kLengths) {
            return -1;
        }
        for (int index = m_first[name.size()][Bucket(name[0])]; index >= 0;
             index = m_next[static_cast<std::size_t>(index)]) {
            const std::string_view key = m_keys[static_cast<std::size_t>(index)];
            bool exact = true;
            std::size_t i = 0;
            for (; i < name.size(); ++i) {
                if (name[i] != key[i]) {
                    if (StrUtil::LowerAscii(name[i]) != key[i]) break;
                    exact = false;
                }
            }
            if (i != name.size()) continue;
            rank = exact ? 0 : 1;
            return index;
        }
        return -1;
    }

private:
    static constexpr const auto& kFields = RecordFields::Table<T>::kFields;
    static constexpr std::size_t kLengths = 32;
    static std::size_t Bucket(char c) { return static_cast<unsigned char>(StrUtil::LowerAscii(c)) & 31u; }

    std::array<std::string_view, kMaxFields> m_keys{};
    std::array<std::array<int, 32>, kLengths> m_first{};
    std::array<int, kMaxFields> m_next{};
};

/// The one lookup table of record type @p T, built on first use.
template <typename T>
const FieldTable<T>& TableFor() {
    static const FieldTable<T> table;
    return table;
}

// ---------------------------------------------------------------------------------------------
// The value chosen so far for one mapped field of the element being read.

enum class Kind : uint8_t { Missing, String, Number, True, False, Null, Object, Array };

struct Candidate {
    Kind kind{Kind::Missing};
    int rank{2};  // 2 while no member has been seen
    NumberKind number{NumberKind::Unsigned};
    bool decoded{false};        // text lives in the element's scratch, at offset
    const char* text{nullptr};  // a string's content or a number's token, inside the body
    std::size_t offset{0};
    std::size_t length{0};
    std::string otherCaseName;  // the member's name when rank is 1, to keep the smallest one
};

// Reads one list answer. Records are appended to the caller's vector as they are read; the
// caller takes them back out unless the walk ends Done.
template <typename T>
class ListReader {
public:
    // budget: the bytes that the records may take
    ListReader(const std::string& body, const std::string& responseKey, const std::string& itemKey, std::vector<T>& out,
               std::size_t budget)
        : m_body(body),
          m_responseKey(responseKey),
          m_itemKey(itemKey),
          m_out(out),
          m_table(TableFor<T>()),
          m_limit(budget) {}

    Outcome Run(od::document& document) {
        od::object root;
        if (const auto error = document.get_object().get(root)) return Failed(error);
        for (auto member : root) {
            od::field field;
            if (const auto error = std::move(member).get(field)) return Failed(error);
            std::string_view name;
            if (!ReadName(field.key(), name)) return Outcome::Invalid;
            od::value& value = field.value();
            if (name != m_responseKey) {
                if (const Outcome outcome = Skip(value, 2); outcome != Outcome::Done) return outcome;
                continue;
            }
            if (m_responseSeen) return Outcome::Unsure;  // the tree keeps the last one
            m_responseSeen = true;
            od::json_type type;
            if (const auto error = value.type().get(type)) return Failed(error);
            if (type != od::json_type::object) {
                if (const Outcome outcome = Skip(value, 2); outcome != Outcome::Done) return outcome;
                continue;
            }
            od::object response;
            if (const auto error = value.get_object().get(response)) return Failed(error);
            m_responseIsObject = true;
            if (const Outcome outcome = ReadResponse(response); outcome != Outcome::Done) return outcome;
        }
        const char* trailing = nullptr;
        const auto error = document.current_location().get(trailing);
        if (error != simdjson::OUT_OF_BOUNDS) return Failed(error ? error : simdjson::TRAILING_CONTENT);
        return Outcome::Done;
    }

    bool ResponseFound() const { return m_responseIsObject; }
    bool ItemIsArray() const { return m_itemIsArray; }
    bool ItemPresent() const { return m_itemSeen; }
    bool ErrorCodePresent() const { return m_errorCode; }
    long long Count() const { return m_count; }
    std::size_t Items() const { return m_items; }
    bool HasConversionError() const { return m_failed; }
    const std::string& Message() const { return m_message; }

private:
    Outcome ReadResponse(od::object& response) {
        for (auto member : response) {
            od::field field;
            if (const auto error = std::move(member).get(field)) return Failed(error);
            std::string_view name;
            if (!ReadName(field.key(), name)) return Outcome::Invalid;
            od::value& value = field.value();
            const bool isItem = name == m_itemKey;
            const bool isCount = name == "count";
            if (name == "errorcode") m_errorCode = true;
            Outcome outcome;
            if (isItem) {
                if (m_itemSeen || isCount) return Outcome::Unsure;
                m_itemSeen = true;
                outcome = ReadItem(value);
            } else if (isCount) {
                outcome = ReadCount(value);
            } else {
                outcome = Skip(value, 3);
            }
            if (outcome != Outcome::Done) return outcome;
        }
        return Outcome::Done;
    }

    Outcome ReadItem(od::value& value) {
        od::json_type type;
        if (const auto error = value.type().get(type)) return Failed(error);
        if (type != od::json_type::array) return Skip(value, 3);
        m_itemIsArray = true;
        od::array items;
        if (const auto error = value.get_array().get(items)) return Failed(error);
        Reserve();
        for (auto item : items) {
            od::value element;
            // simdjson's get() takes its result as an rvalue. NOLINTNEXTLINE(performance-move-const-arg)
            if (const auto error = std::move(item).get(element)) return Failed(error);
            ++m_items;
            if (const auto error = element.type().get(type)) return Failed(error);
            Outcome outcome;
            if (type == od::json_type::object && !m_failed) {
                od::object object;
                if (const auto error = element.get_object().get(object)) return Failed(error);
                outcome = ReadRecord(object);
            } else {
                outcome = Skip(element, 4);
            }
            if (outcome != Outcome::Done) return outcome;
        }
        return Outcome::Done;
    }

    // "count" as TeskJson::TryGetCount reads it: a non-negative integer or decimal text, else -1.
    Outcome ReadCount(od::value& value) {
        od::json_type type;
        if (const auto error = value.type().get(type)) return Failed(error);
        m_count = -1;
        if (type == od::json_type::number) {
            const std::string_view token = TrimRight(value.raw_json_token());
            NumberKind kind;
            if (const Outcome outcome = ClassifyNumber(token, kind); outcome != Outcome::Done) return outcome;
            long long count = 0;
            if (kind != NumberKind::Float && TeskJsonDecimal::Parse(token.data(), token.data() + token.size(), count) &&
                count >= 0) {
                m_count = count;
            }
            return Outcome::Done;
        }
        if (type == od::json_type::string) {
            bool escaped = false;
            std::string_view content;
            if (!ReadString(value, content, escaped)) return Outcome::Invalid;
            m_scratch.clear();
            if (!Unescape(content.data(), content.data() + content.size(), &m_scratch)) return Outcome::Invalid;
            long long count = 0;
            if (TeskJsonDecimal::Parse(m_scratch.data(), m_scratch.data() + m_scratch.size(), count) && count >= 0) {
                m_count = count;
            }
            return Outcome::Done;
        }
        return Skip(value, 3);
    }

    // Room for the records from "count", which the server sends before the array. It counts every
    // match, not just this page, so a paged listing reserves once for all its pages. A hostile
    // count cannot reserve more than the body could hold or than the cost limit allows.
    void Reserve() {
        if (m_count <= 0) return;
        const std::size_t remaining = m_limit > m_cost ? (m_limit - m_cost) / sizeof(T) : 0;
        const std::size_t wanted = std::min({static_cast<std::size_t>(m_count), m_body.size() / 2, remaining});
        const std::size_t needed = m_out.size() + wanted;
        if (needed > m_out.capacity()) {
            m_out.reserve(std::max(needed, 2 * m_out.capacity()));
        }
    }

    Outcome ReadRecord(od::object& object) {
        for (std::size_t i = 0; i < m_table.Size(); ++i) {
            m_candidates[i].kind = Kind::Missing;
            m_candidates[i].rank = 2;
        }
        m_scratch.clear();
        for (auto member : object) {
            od::field field;
            if (const auto error = std::move(member).get(field)) return Failed(error);
            std::string_view name;
            if (!ReadName(field.key(), name)) return Outcome::Invalid;
            od::value& value = field.value();
            int rank = 2;
            const int index = m_table.Find(name, rank);
            if (index < 0 || !Replaces(m_candidates[static_cast<std::size_t>(index)], rank, name)) {
                if (const Outcome outcome = Skip(value, 5); outcome != Outcome::Done) return outcome;
                continue;
            }
            Candidate& candidate = m_candidates[static_cast<std::size_t>(index)];
            candidate.rank = rank;
            if (rank == 1) candidate.otherCaseName.assign(name.data(), name.size());
            if (const Outcome outcome = Capture(value, candidate); outcome != Outcome::Done) return outcome;
        }
        return Convert();
    }

    // nlohmann keeps the last of duplicate members, and FindMember takes the exact name, then the
    // smallest of the other spellings in the map's byte order.
    static bool Replaces(const Candidate& current, int rank, std::string_view name) {
        if (rank != current.rank) return rank < current.rank;
        return rank != 1 || name <= std::string_view(current.otherCaseName);
    }

    Outcome Capture(od::value& value, Candidate& candidate) {
        od::json_type type;
        if (const auto error = value.type().get(type)) return Failed(error);
        switch (type) {
            case od::json_type::object:
                candidate.kind = Kind::Object;
                return Skip(value, 5);
            case od::json_type::array:
                candidate.kind = Kind::Array;
                return Skip(value, 5);
            case od::json_type::string: {
                bool escaped = false;
                std::string_view content;
                if (!ReadString(value, content, escaped)) return Outcome::Invalid;
                candidate.kind = Kind::String;
                if (!escaped) {
                    candidate.decoded = false;
                    candidate.text = content.data();
                    candidate.length = content.size();
                    return Outcome::Done;
                }
                candidate.decoded = true;
                candidate.offset = m_scratch.size();
                if (!Unescape(content.data(), content.data() + content.size(), &m_scratch)) return Outcome::Invalid;
                candidate.length = m_scratch.size() - candidate.offset;
                return Outcome::Done;
            }
            case od::json_type::number: {
                const std::string_view token = TrimRight(value.raw_json_token());
                if (const Outcome outcome = ClassifyNumber(token, candidate.number); outcome != Outcome::Done) {
                    return outcome;
                }
                candidate.kind = Kind::Number;
                candidate.decoded = false;
                candidate.text = token.data();
                candidate.length = token.size();
                return Outcome::Done;
            }
            case od::json_type::boolean: {
                const std::string_view token = TrimRight(value.raw_json_token());
                if (token == "true") {
                    candidate.kind = Kind::True;
                } else if (token == "false") {
                    candidate.kind = Kind::False;
                } else {
                    return Outcome::Invalid;
                }
                return Outcome::Done;
            }
            case od::json_type::null:
                if (TrimRight(value.raw_json_token()) != "null") return Outcome::Invalid;
                candidate.kind = Kind::Null;
                return Outcome::Done;
        }
        return Outcome::Invalid;
    }

    // Fills a new record from the candidates, field by field in the table's order. The first value
    // that cannot be converted ends the conversions: the record is dropped and the walk goes on
    // only to validate the rest of the body.
    Outcome Convert() {
        T& record = m_out.emplace_back();
        std::size_t cost = sizeof(T);
        for (std::size_t i = 0; i < m_table.Size(); ++i) {
            const RecordFields::Field<T>& field = m_table[i];
            const Candidate& candidate = m_candidates[i];
            bool converted = true;
            switch (field.type) {
                case RecordFields::FieldType::Text: {
                    std::string& text = record.*field.text;
                    converted = ConvertText(field.key, candidate, text);
                    if (text.size() > 15) cost += text.size() + 17;
                    break;
                }
                case RecordFields::FieldType::Int32:
                    converted = ConvertInteger(field.key, candidate, record.*field.int32);
                    break;
                case RecordFields::FieldType::UInt64:
                    converted = ConvertInteger(field.key, candidate, record.*field.uint64);
                    break;
            }
            if (!converted) {
                m_out.pop_back();
                m_failed = true;
                return Outcome::Done;
            }
        }
        m_cost += cost;
        return m_cost > m_limit ? Outcome::Refused : Outcome::Done;
    }

    std::string_view TextOf(const Candidate& candidate) const {
        return candidate.decoded ? std::string_view(m_scratch).substr(candidate.offset, candidate.length)
                                 : std::string_view(candidate.text, candidate.length);
    }

    bool ConvertText(const char* key, const Candidate& candidate, std::string& out) {
        switch (candidate.kind) {
            case Kind::String: {
                const std::string_view text = TextOf(candidate);
                out.assign(text.data(), text.size());
                return true;
            }
            case Kind::Number:
                if (candidate.number != NumberKind::Float) {
                    // An integer's JSON text is its token, except that "-0" is the integer 0.
                    const std::string_view token = TextOf(candidate);
                    if (token == "-0") {
                        out.assign("0");
                    } else {
                        out.assign(token.data(), token.size());
                    }
                    return true;
                }
                return ThroughTree(key, candidate,
                                   [&](const JsonObject& object) { out = TeskJson::GetStringValue(object, key); });
            case Kind::True:
                out.assign("true");
                return true;
            case Kind::False:
                out.assign("false");
                return true;
            case Kind::Missing:
            case Kind::Null:
            case Kind::Object:
            case Kind::Array:
                out.clear();
                return true;
        }
        return true;
    }

    template <typename N>
    bool ConvertInteger(const char* key, const Candidate& candidate, N& out) {
        if (candidate.kind == Kind::Missing || candidate.kind == Kind::Null) {
            out = 0;
            return true;
        }
        if ((candidate.kind == Kind::String ||
             (candidate.kind == Kind::Number && candidate.number != NumberKind::Float))) {
            const std::string_view text = TextOf(candidate);
            N value{};
            if (TeskJsonDecimal::Parse(text.data(), text.data() + text.size(), value)) {
                out = value;
                return true;
            }
        }
        // Out of range, a fraction, a bool, a container or text that is no number: the getter
        // throws, and its message is the one the tree walk would log.
        return ThroughTree(key, candidate, [&](const JsonObject& object) {
            if constexpr (std::is_same_v<N, int32_t>) {
                out = TeskJson::GetIntValue(object, key);
            } else {
                out = TeskJson::GetUInt64Value(object, key);
            }
        });
    }

    // Runs the getter on a one-member object holding the candidate's value as nlohmann would have
    // built it, for the rare values whose text or error message only nlohmann can give exactly.
    template <typename Getter>
    bool ThroughTree(const char* key, const Candidate& candidate, Getter getter) {
        JsonValue value;
        switch (candidate.kind) {
            case Kind::String: {
                const std::string_view text = TextOf(candidate);
                value = std::string(text.data(), text.size());
                break;
            }
            case Kind::Number: {
                const std::string_view token = TextOf(candidate);
                value = JsonValue::parse(token.begin(), token.end());
                break;
            }
            case Kind::True:
                value = true;
                break;
            case Kind::False:
                value = false;
                break;
            case Kind::Object:
                value = JsonValue::object();
                break;
            case Kind::Array:
                value = JsonValue::array();
                break;
            case Kind::Missing:
            case Kind::Null:
                break;
        }
        JsonObject object;
        object.emplace(key, std::move(value));
        try {
            getter(object);
        } catch (const std::runtime_error& e) {
            m_message = e.what();
            return false;
        }
        return true;
    }

    // The text between a string value's quotes. The value is consumed: On-Demand would take a
    // string that is skipped over and followed by ':' for a key, and so accept "a":"b":1.
    static bool ReadString(od::value& value, std::string_view& content, bool& escaped) {
        od::raw_json_string raw;
        if (value.get_raw_json_string().get(raw)) return false;
        content = StringText(raw.raw(), escaped);
        return true;
    }

    // A member's name, decoded when it holds escapes.
    bool ReadName(od::raw_json_string key, std::string_view& name) {
        bool escaped = false;
        name = StringText(key.raw(), escaped);
        if (!escaped) return true;
        m_name.clear();
        if (!Unescape(name.data(), name.data() + name.size(), &m_name)) return false;
        name = m_name;
        return true;
    }

    // Validates a value that is not read, as strictly as nlohmann parses it. depth is the value's
    // nesting level (the document's object is 1).
    Outcome Skip(od::value& value, std::size_t depth) {
        od::json_type type;
        if (const auto error = value.type().get(type)) return Failed(error);
        switch (type) {
            case od::json_type::object: {
                if (depth > TeskJson::kMaxDepth) return Outcome::Unsure;  // the tree walk refuses it
                od::object object;
                if (const auto error = value.get_object().get(object)) return Failed(error);
                for (auto member : object) {
                    od::field field;
                    if (const auto error = std::move(member).get(field)) return Failed(error);
                    bool escaped = false;
                    const std::string_view name = StringText(field.key().raw(), escaped);
                    if (escaped && !Unescape(name.data(), name.data() + name.size(), nullptr)) {
                        return Outcome::Invalid;
                    }
                    if (const Outcome outcome = Skip(field.value(), depth + 1); outcome != Outcome::Done) {
                        return outcome;
                    }
                }
                return Outcome::Done;
            }
            case od::json_type::array: {
                if (depth > TeskJson::kMaxDepth) return Outcome::Unsure;
                od::array array;
                if (const auto error = value.get_array().get(array)) return Failed(error);
                for (auto item : array) {
                    od::value element;
                    // simdjson's get() takes its result as an rvalue. NOLINTNEXTLINE(performance-move-const-arg)
                    if (const auto error = std::move(item).get(element)) return Failed(error);
                    if (const Outcome outcome = Skip(element, depth + 1); outcome != Outcome::Done) return outcome;
                }
                return Outcome::Done;
            }
            case od::json_type::string: {
                bool escaped = false;
                std::string_view content;
                if (!ReadString(value, content, escaped)) return Outcome::Invalid;
                return !escaped || Unescape(content.data(), content.data() + content.size(), nullptr)
                           ? Outcome::Done
                           : Outcome::Invalid;
            }
            case od::json_type::number:
                return ValidateNumber(TrimRight(value.raw_json_token()));
            case od::json_type::boolean: {
                const std::string_view token = TrimRight(value.raw_json_token());
                return token == "true" || token == "false" ? Outcome::Done : Outcome::Invalid;
            }
            case od::json_type::null:
                return TrimRight(value.raw_json_token()) == "null" ? Outcome::Done : Outcome::Invalid;
        }
        return Outcome::Invalid;
    }

    const std::string& m_body;
    const std::string& m_responseKey;
    const std::string& m_itemKey;
    std::vector<T>& m_out;
    const FieldTable<T>& m_table;
    const std::size_t m_limit;
    std::size_t m_cost{0};

    bool m_responseSeen{false};
    bool m_responseIsObject{false};
    bool m_itemSeen{false};
    bool m_itemIsArray{false};
    bool m_errorCode{false};
    long long m_count{-1};
    std::size_t m_items{0};
    bool m_failed{false};
    std::string m_message;

    std::array<Candidate, kMaxFields> m_candidates;
    std::string m_scratch;  // decoded strings of the element being read
    std::string m_name;     // the decoded name of the member being read
};

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

bool IsOperator(char c) {
    return c == '{' || c == '}' || c == '[' || c == ']' || c == ':' || c == ',' || c == '"';
}

// The bare tokens, operators and strings of [p, end): each starts with an operator or a quote, or
// follows one or a blank. afterBreak says whether the byte before p was one.
std::size_t CountTokens(const char* p, const char* end, bool& afterBreak) {
    std::size_t tokens = 0;
#if defined(__SSE2__)
    const auto equal = [](__m128i bytes, char c) { return _mm_cmpeq_epi8(bytes, _mm_set1_epi8(c)); };
    for (; end - p >= 16; p += 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
        const __m128i ops =
            _mm_or_si128(_mm_or_si128(_mm_or_si128(equal(bytes, '{'), equal(bytes, '}')),
                                      _mm_or_si128(equal(bytes, '['), equal(bytes, ']'))),
                         _mm_or_si128(_mm_or_si128(equal(bytes, ':'), equal(bytes, ',')), equal(bytes, '"')));
        const __m128i blanks = _mm_or_si128(_mm_or_si128(equal(bytes, ' '), equal(bytes, '\t')),
                                            _mm_or_si128(equal(bytes, '\n'), equal(bytes, '\r')));
        const auto op = static_cast<unsigned>(_mm_movemask_epi8(ops));
        const auto blank = static_cast<unsigned>(_mm_movemask_epi8(blanks));
        const unsigned breaks = op | blank;
        const unsigned previous = ((breaks << 1) | (afterBreak ? 1u : 0u)) & 0xFFFFu;
        tokens += static_cast<std::size_t>(__builtin_popcount(op | (previous & ~blank & 0xFFFFu)));
        afterBreak = (breaks & 0x8000u) != 0;
    }
#endif
    for (; p < end; ++p) {
        const bool op = IsOperator(*p);
        tokens += op || (afterBreak && !IsBlank(*p)) ? 1 : 0;
        afterBreak = op || IsBlank(*p);
    }
    return tokens;
}

// Stage 1 writes a 4-byte index entry for every operator, string and bare token of the body, before
// anything is validated: at most 4 bytes per byte of input. When that could break the cost limit,
// the tokens are counted first.
std::size_t IndexBytes(const std::string& body, std::size_t limit) {
    if (body.size() <= limit / 4) {
        return 4 * body.size();
    }
    bool afterBreak = true;
    return 4 * CountTokens(body.data(), body.data() + body.size(), afterBreak);
}

[[noreturn]] void Refuse(const std::string& body, std::size_t limit, const char* what) {
    throw std::runtime_error(
        StrUtil::Format("JSON answer of %zu bytes would need more than %zu bytes of memory for %s (the limit)",
                        body.size(), limit, what));
}

}  // namespace

// One definition for the six record types.
template <typename T>
bool CCloudStackParser::ReadListInOnePass(const std::string& body, const std::string& responseKey,
                                          const std::string& itemKey, std::vector<T>& out, SListPageInfo* pPage) {
    // The tree walk decides every body that is not JSON, so that a refusal (too deep, too costly)
    // is logged for them as it would have been. nlohmann takes a NUL byte for the end of the input.
    const auto notJson = [&]() {
        if (body.find('\0') != std::string::npos) {
            return ParseListTree(body, responseKey, itemKey, out, pPage);
        }
        TeskJson::CheckTreeLimits(body);
        return false;
    };

    // nlohmann skips a byte-order mark; simdjson does not.
    if (body.compare(0, 3, kByteOrderMark) == 0) {
        return ParseListTree(body, responseKey, itemKey, out, pPage);
    }
    // A list answer is an object; anything else needs no index (a megabyte of '[' would cost four).
    const std::size_t first = body.find_first_not_of(" \t\r\n");
    if (first == std::string::npos || body[first] != '{') {
        return notJson();
    }

    // The transport leaves room after the body; anything else is copied once into a padded buffer.
    const std::size_t limit = TeskJson::CostLimit();
    const bool inPlace = body.capacity() >= body.size() + simdjson::SIMDJSON_PADDING;
    const std::size_t scratch = IndexBytes(body, limit) + (inPlace ? 0 : body.size());
    if (scratch > limit) {
        Refuse(body, limit, "its index");
    }
    simdjson::padded_string copy;
    simdjson::padded_string_view bytes;
    if (inPlace) {
        bytes = simdjson::padded_string_view(body.data(), body.size(), body.capacity());
    } else {
        copy = simdjson::padded_string(body.data(), body.size());
        if (copy.data() == nullptr && !body.empty()) throw std::bad_alloc();
        bytes = copy;
    }

    const std::size_t before = out.size();
    const auto takeBack = [&]() { out.erase(out.begin() + static_cast<std::ptrdiff_t>(before), out.end()); };
    ListReader<T> reader(body, responseKey, itemKey, out, limit - scratch);
    Outcome outcome;
    try {
        od::parser parser;
        od::document document;
        const auto error = parser.iterate(bytes).get(document);
        outcome = error ? Failed(error) : reader.Run(document);
    } catch (...) {
        // std::bad_alloc: the body is not validated yet, so none of it counts.
        takeBack();
        throw;
    }
    switch (outcome) {
        case Outcome::Done:
            break;
        case Outcome::Invalid:
            takeBack();
            return notJson();
        case Outcome::Unsure:
            takeBack();
            return ParseListTree(body, responseKey, itemKey, out, pPage);
        case Outcome::Refused:
            takeBack();
            Refuse(body, limit, "its records");
    }

    if (!reader.ResponseFound()) {
        return false;
    }
    if (pPage != nullptr) {
        pPage->nCount = reader.Count();
        pPage->nItems = reader.ItemIsArray() ? reader.Items() : 0;
    }
    if (reader.ItemIsArray()) {
        if (reader.HasConversionError()) {
            throw std::runtime_error(reader.Message());
        }
        return true;
    }
    return !reader.ItemPresent() && !reader.ErrorCodePresent();
}

bool CCloudStackParser::ReadList(const std::string& body, const std::string& responseKey, const std::string& itemKey,
                                 std::vector<SProjectInfoLib>& out, SListPageInfo* pPage) {
    return ReadListInOnePass(body, responseKey, itemKey, out, pPage);
}

bool CCloudStackParser::ReadList(const std::string& body, const std::string& responseKey, const std::string& itemKey,
                                 std::vector<SZoneInfoLib>& out, SListPageInfo* pPage) {
    return ReadListInOnePass(body, responseKey, itemKey, out, pPage);
}

bool CCloudStackParser::ReadList(const std::string& body, const std::string& responseKey, const std::string& itemKey,
                                 std::vector<SPodInfoLib>& out, SListPageInfo* pPage) {
    return ReadListInOnePass(body, responseKey, itemKey, out, pPage);
}

bool CCloudStackParser::ReadList(const std::string& body, const std::string& responseKey, const std::string& itemKey,
                                 std::vector<SClusterInfoLib>& out, SListPageInfo* pPage) {
    return ReadListInOnePass(body, responseKey, itemKey, out, pPage);
}

bool CCloudStackParser::ReadList(const std::string& body, const std::string& responseKey, const std::string& itemKey,
                                 std::vector<SHostInfoLib>& out, SListPageInfo* pPage) {
    return ReadListInOnePass(body, responseKey, itemKey, out, pPage);
}

bool CCloudStackParser::ReadList(const std::string& body, const std::string& responseKey, const std::string& itemKey,
                                 std::vector<SVMInfoLib>& out, SListPageInfo* pPage) {
    return ReadListInOnePass(body, responseKey, itemKey, out, pPage);
}

}  // namespace CloudStackSDKWrapper
