#pragma once

/// @file
/// Turns the management server's JSON answers into the library's records.

#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "CloudStackRecords.h"
#include "TeskExport.h"
#include "TeskJson.h"
#include "TeskJsonParser.h"

namespace CloudStackSDKWrapper {

/// @brief What one list answer says about paging.
struct SListPageInfo {
    long long nCount{-1};   ///< the answer's "count" (all matches, not just this page); -1 when absent or unusable
    std::size_t nItems{0};  ///< elements in this answer's item array; 0 when there is none
};

/// @brief Parser of the server's answers: a list under "<command>response" / "<item>", or one
/// object under "<command>response".
///
/// A value that cannot be converted (a number out of range, text where a number belongs) fails
/// the whole parse with one error line in the log; records already appended stay in the vector.
class CLOUDSTACK_EXPORT CCloudStackParser : public TeskJsonParser {
public:
    CCloudStackParser() = default;
    ~CCloudStackParser() override;

    /// @brief Appends the records of the list answer @p body to @p out.
    /// @param responseKey the answer's top-level key, e.g. "listzonesresponse"
    /// @param itemKey the array's key inside it, e.g. "zone"
    /// @return true for a list answer, an empty one included; false for a body that is not JSON,
    /// lacks @p responseKey, carries an error envelope, or holds a value that cannot be converted
    template <typename T>
    bool ParseNestedList(const std::string& body, const std::string& responseKey, const std::string& itemKey,
                         std::vector<T>& out) {
        try {
            return ParseListAnswer(body, responseKey, itemKey, out, nullptr);
        } catch (const std::runtime_error& e) {
            m_Log.Error(__PRETTY_FUNCTION__, "Exception parsing json list [%s] - %s\n%s", itemKey.c_str(), e.what(),
                        body.c_str());
            return false;
        }
    }

    /// @brief ParseNestedList that also reports, through @p pPage when it is not null, the answer's
    /// "count" and the number of items on this page. @p pPage is filled once the response object
    /// is found, and left alone otherwise.
    template <typename T>
    bool ParseNestedList(const std::string& body, const std::string& responseKey, const std::string& itemKey,
                         std::vector<T>& out, SListPageInfo* pPage) {
        try {
            return ParseListAnswer(body, responseKey, itemKey, out, pPage);
        } catch (const std::runtime_error& e) {
            m_Log.Error(__PRETTY_FUNCTION__, "Exception parsing json list [%s] - %s\n%s", itemKey.c_str(), e.what(),
                        body.c_str());
            return false;
        }
    }

    /// @brief Fills @p out from the object under @p responseKey of @p body. @p out is not reset
    /// first, but every mapped field is assigned (missing keys give empty text or 0).
    /// @return false for a body that is not JSON, lacks @p responseKey, or holds a value that
    /// cannot be converted
    template <typename T>
    bool ParseNestedObject(const std::string& body, const std::string& responseKey, T& out) {
        JsonObject document;
        try {
            if (!TeskJson::Unserialize(body, document)) {
                return false;
            }
            return ConvertNestedObject(document, responseKey, out);
        } catch (const std::runtime_error& e) {
            m_Log.Error(__PRETTY_FUNCTION__, "Exception parsing json obj [%s] - %s\n%s", responseKey.c_str(), e.what(),
                        body.c_str());
            return false;
        }
    }

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
        const std::size_t objects = static_cast<std::size_t>(
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

    /// @brief Record converters: the base part first, then each field from its key. Always true.
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
    /// The walk of a list answer, shared by both ParseNestedList forms, which catch and log.
    template <typename T>
    bool ParseListAnswer(const std::string& body, const std::string& responseKey, const std::string& itemKey,
                         std::vector<T>& out, SListPageInfo* pPage) {
        JsonObject document;
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
        return ConvertNestedList(*response, itemKey, out);
    }
};

}  // namespace CloudStackSDKWrapper
