#include "CloudStackParser.h"

#include <algorithm>
#include <exception>
#include <new>
#include <stdexcept>

#include "CloudStackRecordFields.h"
#include "StrUtil.h"
#include "TeskSecrets.h"

namespace CloudStackSDKWrapper {
namespace {

// The body as an error line shows it.
std::string BodyForLog(const std::string& body, std::size_t limit) {
    return TeskSecrets::JsonForLog(body, limit);
}

// Larger bodies that are not the answer are not parsed a second time just to say why.
constexpr std::size_t kMaxExaminedBody = std::size_t{1} << 20;
constexpr std::size_t kMaxLoggedErrorText = 200;

// Why a parsed document is not the answer under `responseKey` (with an array under `itemKey`,
// when given); empty when it is. An API error it holds goes to `refusal` as well.
std::string WhyNotTheAnswer(const JsonObject& document, const std::string& responseKey, const std::string* itemKey,
                            SAnswerRefusal* refusal) {
    const JsonObject* response = TeskJson::FindObject(document, responseKey);
    long code = 0;
    std::string text;
    if (response == nullptr) {
        if (refusal != nullptr && CCloudStackParser::FindApiError(document, code, text)) {
            refusal->lApiCode = code;
            refusal->strApiText = text;
        }
        return "no \"" + responseKey + "\" object";
    }
    if (response->find("errorcode") != response->end()) {
        long long value = 0;
        if (!TeskJson::TryGetCount(*response, "errorcode", value)) {
            return "an API error";
        }
        text = TeskJson::GetStringValue(*response, "errortext");
        if (refusal != nullptr && value != 0) {
            refusal->lApiCode = static_cast<long>(value);
            refusal->strApiText = text;
        }
        if (text.size() > kMaxLoggedErrorText) {
            text.resize(kMaxLoggedErrorText);
            text += "...";
        }
        return StrUtil::Format("API error %lld: %s", value, TeskSecrets::MaskText(text).c_str());
    }
    if (itemKey != nullptr && response->find(*itemKey) != response->end() &&
        TeskJson::FindArray(*response, *itemKey) == nullptr) {
        return "\"" + *itemKey + "\" holds no array";
    }
    return std::string();
}

// An answer's member is named "<command>response", after the command or an older name of it.
const char* const kResponseSuffix = "response";

bool EndsWithResponse(const std::string& name) {
    const std::size_t length = std::char_traits<char>::length(kResponseSuffix);
    return name.size() >= length && name.compare(name.size() - length, length, kResponseSuffix) == 0;
}

// Why a body that did not parse into a JSON object is not the answer.
std::string WhyNotJson(const std::string& body) {
    return body.empty() ? "the body is empty" : "not a JSON object";
}

// The same for a body that the caller has already found wanting, without its document: the list
// route reads lists in one pass and keeps no tree.
std::string WhyNotTheAnswer(const std::string& body, const std::string& responseKey, const std::string* itemKey,
                            SAnswerRefusal* refusal) {
    if (body.empty()) {
        return WhyNotJson(body);
    }
    if (body.size() > kMaxExaminedBody) {
        return StrUtil::Format("a body of %zu bytes that is not the answer", body.size());
    }
    JsonObject document;
    std::string why;
    try {
        why = TeskJson::Unserialize(body, document) ? WhyNotTheAnswer(document, responseKey, itemKey, refusal)
                                                    : WhyNotJson(body);
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
                                       const std::string* itemKey, SAnswerRefusal* refusal) noexcept {
    try {
        LogWrongAnswerWhy(function, kind, key, body, WhyNotTheAnswer(body, responseKey, itemKey, refusal));
    } catch (const std::exception&) {
        // Out of memory for the line itself: the caller's false still says it all.
    }
}

void CCloudStackParser::LogWrongAnswerWhy(const char* function, const char* kind, const std::string& key,
                                          const std::string& body, const std::string& why) noexcept {
    try {
        m_Log.Error(function, "Unexpected json %s [%s] - %s; body: %s", kind, key.c_str(), why.c_str(),
                    BodyForLog(body, kLoggedBodyBytes).c_str());
    } catch (const std::exception&) {
        // As above.
    }
}

const JsonObject* CCloudStackParser::CheckedAnswer(const std::string& body, const std::string& responseKey,
                                                   const JsonObject& document, SAnswerRefusal* refusal) {
    const std::string why = WhyNotTheAnswer(document, responseKey, nullptr, refusal);
    if (why.empty()) {
        return TeskJson::FindObject(document, responseKey);
    }
    LogWrongAnswerWhy(__PRETTY_FUNCTION__, "obj", responseKey, body, why);
    return nullptr;
}

const JsonObject* CCloudStackParser::ParseResponseObject(const std::string& body, const std::string& responseKey,
                                                         JsonObject& document, SAnswerRefusal* refusal) {
    try {
        if (!TeskJson::Unserialize(body, document)) {
            LogWrongAnswerWhy(__PRETTY_FUNCTION__, "obj", responseKey, body, WhyNotJson(body));
            return nullptr;
        }
        return CheckedAnswer(body, responseKey, document, refusal);
    } catch (const std::runtime_error& e) {
        LogParseFailure(__PRETTY_FUNCTION__, "obj", responseKey, e.what(), body);
    } catch (const std::bad_alloc& e) {
        LogParseFailure(__PRETTY_FUNCTION__, "obj", responseKey, e.what(), body);
    }
    return nullptr;
}

std::string CCloudStackParser::AnswerKey(const JsonObject& document, const std::string& command) {
    std::string named = command;
    StrUtil::ToLower(named);
    named += kResponseSuffix;
    if (document.find(named) != document.end()) return named;
    const auto none = document.end();
    auto only = none;
    for (auto member = document.begin(); member != document.end(); ++member) {
        if (!EndsWithResponse(member->first)) continue;
        if (only != none) return std::string();  // two candidates: neither is known to answer the command
        only = member;
    }
    return only == none ? std::string() : only->first;
}

const JsonObject* CCloudStackParser::ParseCommandAnswer(const std::string& body, const std::string& command,
                                                        JsonObject& document, std::string& key,
                                                        SAnswerRefusal* refusal) {
    key.clear();
    // The line names the member the command usually answers under until the answer names its own.
    std::string expected = command;
    StrUtil::ToLower(expected);
    expected += kResponseSuffix;
    try {
        if (!TeskJson::Unserialize(body, document)) {
            LogWrongAnswerWhy(__PRETTY_FUNCTION__, "obj", expected, body, WhyNotJson(body));
            return nullptr;
        }
        key = AnswerKey(document, command);
        if (!key.empty()) return CheckedAnswer(body, key, document, refusal);
        long code = 0;
        std::string text;
        if (refusal != nullptr && FindApiError(document, code, text)) {
            refusal->lApiCode = code;
            refusal->strApiText = text;
        }
        const auto candidates = std::count_if(document.begin(), document.end(),
                                              [](const auto& member) { return EndsWithResponse(member.first); });
        LogWrongAnswerWhy(__PRETTY_FUNCTION__, "obj", expected, body,
                          candidates == 0
                              ? "no member whose name ends in \"response\""
                              : std::to_string(candidates) +
                                    R"( members whose names end in "response", none of them ")" + expected + "\"");
    } catch (const std::runtime_error& e) {
        LogParseFailure(__PRETTY_FUNCTION__, "obj", expected, e.what(), body);
    } catch (const std::bad_alloc& e) {
        LogParseFailure(__PRETTY_FUNCTION__, "obj", expected, e.what(), body);
    }
    return nullptr;
}

bool CCloudStackParser::FindApiError(const JsonObject& document, long& code, std::string& text) {
    // {"<command>response":{...}}, or {"errorresponse":{...}} for an unknown command.
    for (const auto& member : document) {
        const JsonObject* inner = member.second.get_ptr<const JsonObject*>();
        if (inner == nullptr) continue;
        long long value = 0;
        // A code of 0 would read as "no error" in the error state of a call that failed.
        if (!TeskJson::TryGetCount(*inner, "errorcode", value) || value == 0) continue;
        code = static_cast<long>(value);
        text = TeskJson::GetStringValue(*inner, "errortext");
        return true;
    }
    return false;
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
