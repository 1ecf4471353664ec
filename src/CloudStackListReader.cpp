// The one-pass reader of list answers: simdjson On-Demand walks the bytes once and fills the records
// directly, with no document tree. It must decide every answer exactly as the tree walk
// (CCloudStackParser::ParseListTree) does, so it validates everything it skips, reads the mapped
// members with the getters' rules, and hands the body to the tree walk wherever it could differ.
// This file walks the answer's envelope and decides the outcome; the checks of strings, numbers and
// skipped values are in CloudStackListReaderText, the records in CloudStackListReaderRecord.h and
// the cost of the index in CloudStackListReaderSize.

#include <cstddef>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "CloudStackListReaderRecord.h"
#include "CloudStackListReaderSize.h"
#include "CloudStackListReaderText.h"
#include "CloudStackParser.h"
#include "TeskJson.h"
#include "TeskJsonDecimal.h"

namespace CloudStackSDKWrapper {

using namespace ListReading;

namespace {

static_assert(CCloudStackParser::kBodyPadding == simdjson::SIMDJSON_PADDING, "the transport pads for simdjson");

// Reads one list answer. Records are appended to the caller's vector as they are read; the
// caller takes them back out unless the walk ends Done.
template <typename T>
class ListReader {
public:
    // budget: the bytes that the records may take
    ListReader(const std::string& body, const std::string& responseKey, const std::string& itemKey, std::vector<T>& out,
               std::size_t budget)
        : m_body(body), m_responseKey(responseKey), m_itemKey(itemKey), m_records(out, budget) {}

    Outcome Run(od::document& document) {
        od::object root;
        if (const auto error = document.get_object().get(root)) return Failed(error);
        for (auto member : root) {
            od::field field;
            if (const auto error = std::move(member).get(field)) return Failed(error);
            std::string_view name;
            if (!ReadName(field.key(), m_scratch, name)) return Outcome::Invalid;
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
    bool HasConversionError() const { return m_records.HasConversionError(); }
    const std::string& Message() const { return m_records.Message(); }

private:
    Outcome ReadResponse(od::object& response) {
        for (auto member : response) {
            od::field field;
            if (const auto error = std::move(member).get(field)) return Failed(error);
            std::string_view name;
            if (!ReadName(field.key(), m_scratch, name)) return Outcome::Invalid;
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
        m_records.Reserve(m_count, m_body.size());
        for (auto item : items) {
            od::value element;
            // simdjson's get() takes its result as an rvalue. NOLINTNEXTLINE(performance-move-const-arg)
            if (const auto error = std::move(item).get(element)) return Failed(error);
            ++m_items;
            if (const auto error = element.type().get(type)) return Failed(error);
            Outcome outcome;
            if (type == od::json_type::object && !m_records.HasConversionError()) {
                od::object object;
                if (const auto error = element.get_object().get(object)) return Failed(error);
                outcome = m_records.Read(object);
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

    const std::string& m_body;
    const std::string& m_responseKey;
    const std::string& m_itemKey;
    RecordReader<T> m_records;

    bool m_responseSeen{false};
    bool m_responseIsObject{false};
    bool m_itemSeen{false};
    bool m_itemIsArray{false};
    bool m_errorCode{false};
    long long m_count{-1};
    std::size_t m_items{0};
    std::string m_scratch;  // a decoded member name, or the text of "count"
};

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

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
