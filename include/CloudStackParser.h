#pragma once

/// @file
/// Turns the management server's JSON answers into the library's records.

#include <algorithm>
#include <cstddef>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "CloudStackRecords.h"
#include "TeskJson.h"
#include "TeskJsonParser.h"

namespace CloudStackSDKWrapper {

/// @brief What one list answer says about paging.
struct SListPageInfo {
    long long nCount{-1};   ///< the answer's "count" (all matches, not just this page); -1 when absent or unusable
    std::size_t nItems{0};  ///< elements in this answer's item array; 0 when there is none
};

/// @brief Why a parse refused an answer, as far as the answer says: the API error it holds.
struct SAnswerRefusal {
    long lApiCode{0};        ///< the "errorcode" of an API error envelope in the answer; 0 when it holds none
    std::string strApiText;  ///< its "errortext"
    std::string strWhy;      ///< without an API error: a sentence for the last error when the caller has one
};

/// @brief Parser of the server's answers: a list under "<command>response" / "<item>", or one
/// object under "<command>response".
///
/// A value that cannot be converted (a number out of range, text where a number belongs) fails
/// the whole parse with one error line in the log; records already appended stay in the vector.
class CCloudStackParser : public TeskJsonParser {
public:
    CCloudStackParser() = default;
    ~CCloudStackParser() override;

    /// @brief Appends the records of the list answer @p body to @p out.
    /// @param responseKey the answer's top-level key, e.g. "listzonesresponse"
    /// @param itemKey the array's key inside it, e.g. "zone"
    /// @return true for a list answer, an empty one included; false for a body that is not JSON,
    /// lacks @p responseKey, carries an error envelope, holds a value that cannot be converted, or
    /// is refused (nested deeper than TeskJson::kMaxDepth, or costing more than TeskJson::CostLimit()).
    /// Every false comes with exactly one error line that says why and shows the body's start.
    ///
    /// The records are read straight from the bytes in one pass; a body whose string has at least
    /// kBodyPadding bytes of spare capacity is read in place, any other is copied once.
    template <typename T>
    bool ParseNestedList(const std::string& body, const std::string& responseKey, const std::string& itemKey,
                         std::vector<T>& out) {
        return ParseListLogged(__PRETTY_FUNCTION__, body, responseKey, itemKey, out, nullptr, false);
    }

    /// @brief ParseNestedList that also reports, through @p pPage when it is not null, the answer's
    /// "count" and the number of items on this page. @p pPage is filled once the response object
    /// is found, and left alone otherwise.
    template <typename T>
    bool ParseNestedList(const std::string& body, const std::string& responseKey, const std::string& itemKey,
                         std::vector<T>& out, SListPageInfo* pPage) {
        return ParseListLogged(__PRETTY_FUNCTION__, body, responseKey, itemKey, out, pPage, false);
    }

    /// @brief ParseNestedList that also says, through @p pRefusal when it is not null, which API
    /// error a refused answer holds; the answer is not parsed again for it on the success path.
    template <typename T>
    bool ParseNestedList(const std::string& body, const std::string& responseKey, const std::string& itemKey,
                         std::vector<T>& out, SListPageInfo* pPage, SAnswerRefusal* pRefusal) {
        return ParseListLogged(__PRETTY_FUNCTION__, body, responseKey, itemKey, out, pPage, false, pRefusal);
    }

    /// @brief ParseNestedList through a whole nlohmann::json document tree, the way lists were read
    /// before the one-pass reader: it decides every answer the same way, at several times the cost.
    /// Kept as the reference that the one-pass reader is tested against, and as its fallback.
    template <typename T>
    bool ParseNestedListReference(const std::string& body, const std::string& responseKey, const std::string& itemKey,
                                  std::vector<T>& out, SListPageInfo* pPage = nullptr) {
        return ParseListLogged(__PRETTY_FUNCTION__, body, responseKey, itemKey, out, pPage, true);
    }

    /// @brief Fills @p out from the object under @p responseKey of @p body. @p out is not reset
    /// first, but every mapped field is assigned (missing keys give empty text or 0).
    /// @return false for a body that is not JSON, lacks @p responseKey, holds a value that
    /// cannot be converted, or is refused by TeskJson::CheckTreeLimits; with one error line
    template <typename T>
    bool ParseNestedObject(const std::string& body, const std::string& responseKey, T& out,
                           SAnswerRefusal* pRefusal = nullptr) {
        try {
            JsonObject document;
            const TreeRelease release(document);
            if (!TeskJson::Unserialize(body, document)) {
                LogWrongAnswerWhy(__PRETTY_FUNCTION__, "obj", responseKey, body,
                                  body.empty() ? "the body is empty" : "not a JSON object");
                return false;
            }
            if (ConvertNestedObject(document, responseKey, out)) {
                return true;
            }
            // The document at hand says why; the body is not parsed again for it.
            long code = 0;
            std::string text;
            if (pRefusal != nullptr && FindApiError(document, code, text)) {
                pRefusal->lApiCode = code;
                pRefusal->strApiText = text;
            }
            LogWrongAnswerWhy(__PRETTY_FUNCTION__, "obj", responseKey, body, "no \"" + responseKey + "\" object");
        } catch (const std::runtime_error& e) {
            LogParseFailure(__PRETTY_FUNCTION__, "obj", responseKey, e.what(), body);
        } catch (const std::bad_alloc& e) {
            LogParseFailure(__PRETTY_FUNCTION__, "obj", responseKey, e.what(), body);
        }
        return false;
    }

    /// @brief Parses @p body into @p document and finds the object under @p responseKey, for
    /// callers that read the answer's members themselves. Never throws.
    /// @param pRefusal when not null, receives the API error of a refused answer
    /// @return the response object, in place in @p document; nullptr, with one error line, for a
    /// body that is refused, is not a JSON object, lacks the object, or holds an API error
    /// ("errorcode") in it
    const JsonObject* ParseResponseObject(const std::string& body, const std::string& responseKey, JsonObject& document,
                                          SAnswerRefusal* pRefusal = nullptr);

    /// @brief The member of an answer that holds the answer of @p command: "<command lower-cased>response"
    /// when there is one; else the one member whose name ends in "response", when exactly one does (the
    /// server names some answers after an older command: restoreVirtualMachine answers under
    /// "restorevmresponse"); else none. Other members (a "cloudstack-version" beside it) do not count.
    /// @return the member's name; empty when the answer names none
    static std::string AnswerKey(const JsonObject& document, const std::string& command);

    /// @brief ParseResponseObject for the answer of @p command, whose member AnswerKey finds.
    /// @param key receives the member's name; empty when there is none
    /// @return the object answer, in place in @p document; nullptr as for ParseResponseObject, and when
    /// no member is the answer (with the API error of an envelope in @p pRefusal)
    const JsonObject* ParseCommandAnswer(const std::string& body, const std::string& command, JsonObject& document,
                                         std::string& key, SAnswerRefusal* pRefusal = nullptr);

    /// @brief The value of the top-level member @p key of @p body exactly as the server wrote it: its
    /// bytes, with the server's member order, blanks and escapes (the last such member, as the parse
    /// keeps it). For a body that a parse accepted already. Never throws.
    /// @param text receives the value's text
    /// @return false when it cannot be read, and then the caller writes the parsed value itself
    static bool MemberText(const std::string& body, const std::string& key, std::string& text) noexcept;

    /// @brief Convert for an object that ParseResponseObject found in @p body: a value that cannot
    /// be converted gives false with one error line, as in ParseNestedObject. Never throws.
    template <typename T>
    bool ConvertResponseObject(const JsonObject& object, const std::string& responseKey, const std::string& body,
                               T& out) {
        try {
            return Convert(object, out);
        } catch (const std::runtime_error& e) {
            LogParseFailure(__PRETTY_FUNCTION__, "obj", responseKey, e.what(), body);
        } catch (const std::bad_alloc& e) {
            LogParseFailure(__PRETTY_FUNCTION__, "obj", responseKey, e.what(), body);
        }
        return false;
    }

    /// @brief The code and text of an API error envelope in @p document: an object member with a
    /// positive integer "errorcode" ("<command>response", or "errorresponse" for an unknown command).
    /// @return false, leaving @p code and @p text alone, when it holds none
    static bool FindApiError(const JsonObject& document, long& code, std::string& text);

    /// @brief Spare capacity that lets the list reader read a body in place (simdjson's padding).
    static constexpr std::size_t kBodyPadding = 64;

    /// @brief At most this many bytes of the body are written into a parse-failure line.
    static constexpr std::size_t kLoggedBodyBytes = 4096;

    /// @brief Appends the records of the array @p itemKey of a list answer's response object.
    /// An answer without the array and without "errorcode" is an empty list (the server sends
    /// {"listzonesresponse":{}} for no matches and only "count" for a page past the end).
    /// @throw std::runtime_error from a value that cannot be converted
    template <typename T>
    bool ConvertNestedList(const JsonObject& responseObj, const std::string& itemKey, std::vector<T>& out) {
        const JsonArray* items = TeskJson::FindArray(responseObj, itemKey);
        if (items == nullptr) {
            return responseObj.find(itemKey) == responseObj.end() && responseObj.find("errorcode") == responseObj.end();
        }
        return ConvertList(*items, out);
    }

    /// @brief Fills @p out from the object under @p responseKey of @p document.
    /// @return false, leaving @p out untouched, when there is no such object
    /// @throw std::runtime_error from a value that cannot be converted
    template <typename T>
    bool ConvertNestedObject(const JsonObject& document, const std::string& responseKey, T& out) {
        const JsonObject* object = TeskJson::FindObject(document, responseKey);
        if (object == nullptr) {
            return false;
        }
        return Convert(*object, out);
    }

    /// @brief Appends one record per object element of @p items, in order; other elements are skipped.
    /// A record is appended only once it is completely converted.
    /// @throw std::runtime_error from a value that cannot be converted
    template <typename T>
    bool ConvertList(const JsonArray& items, std::vector<T>& out) {
        // Room for the objects only: skipped elements must not cost a record each.
        const auto objects = static_cast<std::size_t>(
            std::count_if(items.begin(), items.end(), [](const JsonValue& item) { return item.is_object(); }));
        const std::size_t needed = out.size() + objects;
        if (needed > out.capacity()) {
            // Geometric growth: paged listings call this once per page.
            out.reserve(std::max(needed, 2 * out.capacity()));
        }
        for (const JsonValue& item : items) {
            const JsonObject* object = item.get_ptr<const JsonObject*>();
            if (object == nullptr) {
                continue;
            }
            T record{};
            Convert(*object, record);
            out.push_back(std::move(record));
        }
        return true;
    }

    /// @brief Record converters: each field from its key, in the order of the record type's table
    /// (src/CloudStackRecordFields.h), which the one-pass list reader reads as well. Always true.
    /// @throw std::runtime_error from a number that cannot be converted
    bool Convert(const JsonObject& object, SBaseInfoLib& record);
    bool Convert(const JsonObject& object, SProjectInfoLib& record);
    bool Convert(const JsonObject& object, SZoneInfoLib& record);
    bool Convert(const JsonObject& object, SPodInfoLib& record);
    bool Convert(const JsonObject& object, SClusterInfoLib& record);
    bool Convert(const JsonObject& object, SHostInfoLib& record);
    bool Convert(const JsonObject& object, SVMInfoLib& record);
    bool Convert(const JsonObject& object, SJobInfoLib& record);

    /// @brief Reads the page figures of a list answer's response object. Never throws.
    static void FillPageInfo(const JsonObject& responseObj, const std::string& itemKey, SListPageInfo& page);

private:
    /// Empties a document tree without allocating when it goes out of scope (TeskJson::Release).
    class TreeRelease {
    public:
        explicit TreeRelease(JsonObject& document) : m_document(document) {}
        ~TreeRelease() { TeskJson::Release(m_document); }
        TreeRelease(const TreeRelease&) = delete;
        TreeRelease& operator=(const TreeRelease&) = delete;

    private:
        JsonObject& m_document;
    };

    /// The answer under @p responseKey of a parsed @p document, or nullptr with one error line.
    const JsonObject* CheckedAnswer(const std::string& body, const std::string& responseKey, const JsonObject& document,
                                    SAnswerRefusal* refusal);

    /// The ParseNestedList forms and the reference: @p function is the caller's entry point, for the
    /// error line; @p tree reads through the document tree rather than the one-pass reader.
    template <typename T>
    bool ParseListLogged(const char* function, const std::string& body, const std::string& responseKey,
                         const std::string& itemKey, std::vector<T>& out, SListPageInfo* pPage, bool tree,
                         SAnswerRefusal* pRefusal = nullptr) {
        try {
            if (tree ? ParseListTree(body, responseKey, itemKey, out, pPage)
                     : ReadList(body, responseKey, itemKey, out, pPage)) {
                return true;
            }
        } catch (const std::runtime_error& e) {
            LogParseFailure(function, "list", itemKey, e.what(), body);
            return false;
        } catch (const std::bad_alloc& e) {
            // The host must not die of one answer that needs more memory than there is.
            LogParseFailure(function, "list", itemKey, e.what(), body);
            return false;
        }
        LogWrongAnswer(function, "list", itemKey, body, responseKey, &itemKey, pRefusal);
        return false;
    }

    /// The one-pass readers of the six inventory lists (CloudStackListReader.cpp). They fall back to
    /// ParseListTree for any body on which they might decide differently.
    bool ReadList(const std::string& body, const std::string& responseKey, const std::string& itemKey,
                  std::vector<SProjectInfoLib>& out, SListPageInfo* pPage);
    bool ReadList(const std::string& body, const std::string& responseKey, const std::string& itemKey,
                  std::vector<SZoneInfoLib>& out, SListPageInfo* pPage);
    bool ReadList(const std::string& body, const std::string& responseKey, const std::string& itemKey,
                  std::vector<SPodInfoLib>& out, SListPageInfo* pPage);
    bool ReadList(const std::string& body, const std::string& responseKey, const std::string& itemKey,
                  std::vector<SClusterInfoLib>& out, SListPageInfo* pPage);
    bool ReadList(const std::string& body, const std::string& responseKey, const std::string& itemKey,
                  std::vector<SHostInfoLib>& out, SListPageInfo* pPage);
    bool ReadList(const std::string& body, const std::string& responseKey, const std::string& itemKey,
                  std::vector<SVMInfoLib>& out, SListPageInfo* pPage);

    /// The one pass itself, for the six types above (CloudStackListReader.cpp).
    template <typename T>
    bool ReadListInOnePass(const std::string& body, const std::string& responseKey, const std::string& itemKey,
                           std::vector<T>& out, SListPageInfo* pPage);

    /// Any other record type goes through the tree.
    template <typename T>
    bool ReadList(const std::string& body, const std::string& responseKey, const std::string& itemKey,
                  std::vector<T>& out, SListPageInfo* pPage) {
        return ParseListTree(body, responseKey, itemKey, out, pPage);
    }

    /// The walk of a list answer through a document tree.
    /// @throw std::runtime_error from a value that cannot be converted or a refused body
    template <typename T>
    bool ParseListTree(const std::string& body, const std::string& responseKey, const std::string& itemKey,
                       std::vector<T>& out, SListPageInfo* pPage) {
        JsonObject document;
        const TreeRelease release(document);
        if (!TeskJson::Unserialize(body, document)) {
            return false;
        }
        // In place: the response object can be tens of megabytes.
        const JsonObject* response = TeskJson::FindObject(document, responseKey);
        if (response == nullptr) {
            return false;
        }
        if (pPage != nullptr) {
            FillPageInfo(*response, itemKey, *pPage);
        }
        const std::size_t before = out.size();
        try {
            return ConvertNestedList(*response, itemKey, out);
        } catch (const std::bad_alloc&) {
            // An answer that ran out of memory adds nothing, as in the one-pass reader.
            out.erase(out.begin() + static_cast<std::ptrdiff_t>(before), out.end());
            throw;
        }
    }

    /// Writes the one error line of a failed parse: "Exception parsing json <kind> [<key>] - <what>",
    /// "; body: " and the body, cut to kLoggedBodyBytes and with the values of secret members masked.
    void LogParseFailure(const char* function, const char* kind, const std::string& key, const char* what,
                         const std::string& body);

    /// Writes the one error line of an answer that parsed but is not the one asked for (not a JSON
    /// object, no response object, an API error, no item array): "Unexpected json <kind> [<key>] -
    /// <why>", "; body: " and the body as LogParseFailure shows it; the API error it holds goes to
    /// @p refusal. The body is parsed once more for this, within a bound: the one-pass list reader
    /// keeps no document. Never throws.
    void LogWrongAnswer(const char* function, const char* kind, const std::string& key, const std::string& body,
                        const std::string& responseKey, const std::string* itemKey, SAnswerRefusal* refusal) noexcept;
    /// LogWrongAnswer for a caller that knows why already.
    void LogWrongAnswerWhy(const char* function, const char* kind, const std::string& key, const std::string& body,
                           const std::string& why) noexcept;
};

}  // namespace CloudStackSDKWrapper
