#pragma once

/// @file
/// The one-pass list reader's records: which field a member name fills (from the record type's
/// table in CloudStackRecordFields.h), the value chosen for each field while an element is read, and
/// the conversion of those values into a record with the tree walk's getters' rules.
/// Internal to the list reader (CloudStackListReader.cpp).

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "CloudStackListReaderText.h"
#include "CloudStackRecordFields.h"
#include "StrUtil.h"
#include "TeskJson.h"
#include "TeskJsonDecimal.h"

namespace CloudStackSDKWrapper::ListReading {

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

/// Reads the elements of a list answer's item array into records of type @p T, appended to the
/// caller's vector as they are read, and counts what they cost.
template <typename T>
class RecordReader {
public:
    /// @param budget the bytes that the records may take
    RecordReader(std::vector<T>& out, std::size_t budget) : m_out(out), m_table(TableFor<T>()), m_limit(budget) {}

    /// Room for @p count records, which the server sends before the array. It counts every match,
    /// not just this page, so a paged listing reserves once for all its pages. A hostile count
    /// cannot reserve more than a body of @p bodySize bytes could hold or than the budget allows.
    void Reserve(long long count, std::size_t bodySize) {
        if (count <= 0) return;
        const std::size_t remaining = m_limit > m_cost ? (m_limit - m_cost) / sizeof(T) : 0;
        const std::size_t wanted = std::min({static_cast<std::size_t>(count), bodySize / 2, remaining});
        const std::size_t needed = m_out.size() + wanted;
        if (needed > m_out.capacity()) {
            m_out.reserve(std::max(needed, 2 * m_out.capacity()));
        }
    }

    /// Reads one element. After a value that cannot be converted, HasConversionError() is true and
    /// no further record is read: the walk goes on only to validate the rest of the body.
    Outcome Read(od::object& object) {
        for (std::size_t i = 0; i < m_table.Size(); ++i) {
            m_candidates[i].kind = Kind::Missing;
            m_candidates[i].rank = 2;
        }
        m_scratch.clear();
        for (auto member : object) {
            od::field field;
            if (const auto error = std::move(member).get(field)) return Failed(error);
            std::string_view name;
            if (!ReadName(field.key(), m_name, name)) return Outcome::Invalid;
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

    bool HasConversionError() const { return m_failed; }
    const std::string& Message() const { return m_message; }

private:
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

    std::vector<T>& m_out;
    const FieldTable<T>& m_table;
    const std::size_t m_limit;
    std::size_t m_cost{0};
    bool m_failed{false};
    std::string m_message;

    std::array<Candidate, kMaxFields> m_candidates;
    std::string m_scratch;  // decoded strings of the element being read
    std::string m_name;     // the decoded name of the member being read
};

}  // namespace CloudStackSDKWrapper::ListReading
