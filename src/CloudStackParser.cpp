#include "CloudStackParser.h"

#include <cstdint>
#include <exception>
#include <new>
#include <stdexcept>
#include <string_view>

#include "CloudStackRecordFields.h"
#include "StrUtil.h"
#include "TeskRequestSigner.h"

namespace CloudStackSDKWrapper {
namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r';
}

// Index just past the string whose opening quote is at `at` (or the text's end).
std::size_t StringEnd(std::string_view text, std::size_t at) {
    for (std::size_t i = at + 1; i < text.size(); ++i) {
        if (text[i] == '\\') {
            ++i;
        } else if (text[i] == '"') {
            return i + 1;
        }
    }
    return text.size();
}

// Index just past the value that starts at `at`: a string, an object or array with all it holds,
// or a bare token.
std::size_t ValueEnd(std::string_view text, std::size_t at) {
    const char first = text[at];
    if (first == '"') {
        return StringEnd(text, at);
    }
    if (first == '{' || first == '[') {
        std::size_t depth = 0;
        for (std::size_t i = at; i < text.size();) {
            const char c = text[i];
            if (c == '"') {
                i = StringEnd(text, i);
                continue;
            }
            if (c == '{' || c == '[') {
                ++depth;
            } else if ((c == '}' || c == ']') && --depth == 0) {
                return i + 1;
            }
            ++i;
        }
        return text.size();
    }
    std::size_t i = at;
    while (i < text.size() && !IsBlank(text[i]) && text[i] != ',' && text[i] != '}' && text[i] != ']') {
        ++i;
    }
    return i;
}

// Whether the raw key text (between its quotes) names a member whose value must not reach a log:
// a password that a job generated, or a credential of the session or the account.
bool IsSecretKey(std::string_view raw) {
    std::string name;
    for (std::size_t i = 0; i < raw.size() && name.size() <= 16; ++i) {
        char c = raw[i];
        if (c == '\\' && i + 5 < raw.size() && raw[i + 1] == 'u') {
            int code = 0;
            for (std::size_t k = 2; k < 6; ++k) {
                const int digit = StrUtil::HexDigit(raw[i + k]);
                if (digit < 0) return false;
                code = code * 16 + digit;
            }
            if (code >= 0x80) return false;
            c = static_cast<char>(code);
            i += 5;
        } else if (c == '\\') {
            return false;
        }
        name += StrUtil::LowerAscii(c);
    }
    return TeskRequestSigner::IsCredentialName(name);
}

// The body as a parse-failure line shows it: at most the first `limit` bytes, never ending inside
// a UTF-8 sequence, with the value of every secret member in that part replaced by "***".
std::string BodyForLog(const std::string& body, std::size_t limit) {
    std::size_t shown = body.size() < limit ? body.size() : limit;
    while (shown > 0 && shown < body.size() && (static_cast<unsigned char>(body[shown]) & 0xC0) == 0x80) {
        --shown;
    }
    const std::string_view text(body.data(), shown);
    std::string out;
    out.reserve(shown + 64);
    std::size_t i = 0;
    while (i < text.size()) {
        if (text[i] != '"') {
            out += text[i++];
            continue;
        }
        const std::size_t start = i;
        const std::size_t end = StringEnd(text, start);
        out.append(text, start, end - start);
        i = end;
        std::size_t next = end;
        while (next < text.size() && IsBlank(text[next])) ++next;
        const bool isKey = next < text.size() && text[next] == ':' && end - start >= 2 && text[end - 1] == '"';
        if (!isKey || !IsSecretKey(text.substr(start + 1, end - start - 2))) {
            continue;
        }
        ++next;
        while (next < text.size() && IsBlank(text[next])) ++next;
        out.append(text, i, next - i);
        if (next < text.size()) {
            out += "\"***\"";
            next = ValueEnd(text, next);
        }
        i = next;
    }
    if (shown < body.size()) {
        out += StrUtil::Format(" ... [%zu bytes left out]", body.size() - shown);
    }
    return out;
}

// Larger bodies that are not the answer are not parsed a second time just to say why.
constexpr std::size_t kMaxExaminedBody = std::size_t{1} << 20;
constexpr std::size_t kMaxLoggedErrorText = 200;

// Why a parsed document is not the answer under `responseKey` (with an array under `itemKey`,
// when given); empty when it is.
std::string WhyNotTheAnswer(const JsonObject& document, const std::string& responseKey, const std::string* itemKey) {
    const JsonObject* response = TeskJson::FindObject(document, responseKey);
    if (response == nullptr) {
        return "no \"" + responseKey + "\" object";
    }
    if (response->find("errorcode") != response->end()) {
        long long code = 0;
        if (!TeskJson::TryGetCount(*response, "errorcode", code)) {
            return "an API error";
        }
        std::string text = TeskJson::GetStringValue(*response, "errortext");
        if (text.size() > kMaxLoggedErrorText) {
            text.resize(kMaxLoggedErrorText);
            text += "...";
        }
        return StrUtil::Format("API error %lld: %s", code, text.c_str());
    }
    if (itemKey != nullptr && response->find(*itemKey) != response->end() &&
        TeskJson::FindArray(*response, *itemKey) == nullptr) {
        return "\"" + *itemKey + "\" holds no array";
    }
    return std::string();
}

// The same for a body that the caller has already found wanting.
std::string WhyNotTheAnswer(const std::string& body, const std::string& responseKey, const std::string* itemKey) {
    if (body.empty()) {
        return "the body is empty";
    }
    if (body.size() > kMaxExaminedBody) {
        return StrUtil::Format("a body of %zu bytes that is not the answer", body.size());
    }
    JsonObject document;
    std::string why;
    try {
        why = TeskJson::Unserialize(body, document) ? WhyNotTheAnswer(document, responseKey, itemKey)
                                                    : "not a JSON object";
    } catch (const std::exception& e) {
        why = e.what();
    }
    TeskJson::Release(document);
    return why.empty() ? "not the answer" : why;
}

}  // namespace

CCloudStackParser::~CCloudStackParser() = default;

void CCloudStackParser::LogParseFailure(const char* function, const char* kind, const std::string& key,
                                        const char* what, const std::string& body) {
    m_Log.Error(function, "Exception parsing json %s [%s] - %s; body: %s", kind, key.c_str(), what,
                BodyForLog(body, kLoggedBodyBytes).c_str());
}

void CCloudStackParser::LogWrongAnswer(const char* function, const char* kind, const std::string& key,
                                       const std::string& body, const std::string& responseKey,
                                       const std::string* itemKey) noexcept {
    try {
        m_Log.Error(function, "Unexpected json %s [%s] - %s; body: %s", kind, key.c_str(),
                    WhyNotTheAnswer(body, responseKey, itemKey).c_str(), BodyForLog(body, kLoggedBodyBytes).c_str());
    } catch (const std::exception&) {
        // Out of memory for the line itself: the caller's false still says it all.
    }
}

const JsonObject* CCloudStackParser::ParseResponseObject(const std::string& body, const std::string& responseKey,
                                                         JsonObject& document) {
    try {
        if (!TeskJson::Unserialize(body, document)) {
            LogWrongAnswer(__PRETTY_FUNCTION__, "obj", responseKey, body, responseKey, nullptr);
            return nullptr;
        }
        const std::string why = WhyNotTheAnswer(document, responseKey, nullptr);
        if (why.empty()) {
            return TeskJson::FindObject(document, responseKey);
        }
        m_Log.Error(__PRETTY_FUNCTION__, "Unexpected json obj [%s] - %s; body: %s", responseKey.c_str(), why.c_str(),
                    BodyForLog(body, kLoggedBodyBytes).c_str());
    } catch (const std::runtime_error& e) {
        LogParseFailure(__PRETTY_FUNCTION__, "obj", responseKey, e.what(), body);
    } catch (const std::bad_alloc& e) {
        LogParseFailure(__PRETTY_FUNCTION__, "obj", responseKey, e.what(), body);
    }
    return nullptr;
}

void CCloudStackParser::FillPageInfo(const JsonObject& responseObj, const std::string& itemKey, SListPageInfo& page) {
    long long count = -1;
    page.nCount = TeskJson::TryGetCount(responseObj, "count", count) ? count : -1;
    const JsonArray* items = TeskJson::FindArray(responseObj, itemKey);
    page.nItems = items != nullptr ? items->size() : 0;
}

namespace {

// Each field from its key, in the order of the record type's table.
template <typename R>
bool ConvertFields(const JsonObject& object, R& record) {
    for (const RecordFields::Field<R>& field : RecordFields::Table<R>::kFields) {
        switch (field.type) {
            case RecordFields::FieldType::Text:
                record.*field.text = TeskJson::GetStringValue(object, field.key);
                break;
            case RecordFields::FieldType::Int32:
                record.*field.int32 = TeskJson::GetIntValue(object, field.key);
                break;
            case RecordFields::FieldType::UInt64:
                record.*field.uint64 = TeskJson::GetUInt64Value(object, field.key);
                break;
        }
    }
    return true;
}

}  // namespace

bool CCloudStackParser::Convert(const JsonObject& object, SBaseInfoLib& record) {
    return ConvertFields(object, record);
}

bool CCloudStackParser::Convert(const JsonObject& object, SProjectInfoLib& record) {
    return ConvertFields(object, record);
}

bool CCloudStackParser::Convert(const JsonObject& object, SZoneInfoLib& record) {
    return ConvertFields(object, record);
}

bool CCloudStackParser::Convert(const JsonObject& object, SPodInfoLib& record) {
    return ConvertFields(object, record);
}

bool CCloudStackParser::Convert(const JsonObject& object, SClusterInfoLib& record) {
    return ConvertFields(object, record);
}

bool CCloudStackParser::Convert(const JsonObject& object, SHostInfoLib& record) {
    return ConvertFields(object, record);
}

bool CCloudStackParser::Convert(const JsonObject& object, SVMInfoLib& record) {
    return ConvertFields(object, record);
}

bool CCloudStackParser::Convert(const JsonObject& object, SJobInfoLib& record) {
    return ConvertFields(object, record);
}

}  // namespace CloudStackSDKWrapper
