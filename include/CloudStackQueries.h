#pragma once

#include <string>
#include <unordered_set>
#include <utility>
#include <vector>

#include "CloudStackConnection.h"
#include "CloudStackErrorHandler.h"
#include "CloudStackParser.h"
#include "CloudStackRecords.h"
#include "StrUtil.h"

namespace CloudStackSDKWrapper {

/// @brief Parameters of a generic command: name and value pairs, in the order they are sent.
using CloudStackParams = std::vector<std::pair<std::string, std::string>>;

/// @brief The read-only commands: the six lists, the lookups by id or name, the job status query
/// and generic commands. Lists append to the caller's vector; lookups write the caller's record
/// only on success. Every failure leaves its reason in the wrapper's error state.
class CCloudStackQueries : public CCloudStackErrorHandler {
public:
    /// @brief Most records one list may hold; a server that counts more is not paged through.
    static constexpr unsigned long long kMaxListRecords = 1000000;

    CCloudStackQueries(CCloudStackConnection* pConnection, CCloudStackParser* pParser,
                       CCloudStackErrorState* pErrorState);
    ~CCloudStackQueries();

    bool GetProjectInfoList(std::vector<SProjectInfoLib>& projects, unsigned long long reserved);
    bool GetZoneInfoList(std::vector<SZoneInfoLib>& zones, unsigned long long reserved);
    bool GetPodInfoList(std::vector<SPodInfoLib>& pods, unsigned long long reserved);
    bool GetClusterInfoList(std::vector<SClusterInfoLib>& clusters, unsigned long long reserved);
    bool GetHostInfoList(std::vector<SHostInfoLib>& hosts, unsigned long long reserved);
    bool GetVMInfoList(std::vector<SVMInfoLib>& vms, unsigned long long reserved);

    bool GetClusterInfo(const std::string& name, const std::string& id, SClusterInfoLib& cluster,
                        unsigned long long reserved);
    bool GetHostInfo(const std::string& name, const std::string& id, SHostInfoLib& host, unsigned long long reserved);
    bool GetVMInfo(const std::string& name, const std::string& id, SVMInfoLib& vm, unsigned long long reserved);

    /// @brief One poll of an async job: fills @p job from "queryAsyncJobResult". An answer that
    /// is an API error or holds no numeric "jobstatus" is a failure.
    bool GetJobInfo(const std::string& jobId, SJobInfoLib& job);
    /// @brief GetJobInfo that also gives the answer's "jobresult" as JSON text (empty when absent).
    bool GetJobInfo(const std::string& jobId, SJobInfoLib& job, std::string& jobResult);

    /// @brief When on, listVirtualMachines and listProjects (lists and lookups) carry "listall=true".
    void SetListAll(bool listAll) { m_bListAll = listAll; }

    /// @brief Sends any command (GET for list*, get* and query*, POST otherwise) with percent-encoded
    /// parameter values; @p json receives the answer's inner object as JSON text.
    bool Call(const std::string& command, const CloudStackParams& params, std::string& json);
    /// @brief Call for a caller that reads the answer's members itself.
    /// @param document receives the parsed answer
    /// @param inner on success, the answer's inner object, in place in @p document
    bool CallForObject(const std::string& command, const CloudStackParams& params, JsonObject& document,
                       const JsonObject*& inner);
    /// @brief Call for a list command, every page; @p json receives one JSON array of every item.
    bool CallList(const std::string& command, const CloudStackParams& params, std::string& json);

    /// @brief Lists every item of a list command. The server caps one answer at its page size
    /// while "count" gives the total; the rest is fetched page by page and appended in order.
    template <typename T>
    bool GetList(const std::string& command, const std::string& responseKey, const std::string& itemKey,
                 std::vector<T>& out) {
        return GetList<T>(command, std::vector<std::string>(), responseKey, itemKey, out);
    }

    template <typename T>
    bool GetList(const std::string& command, const std::vector<std::string>& args, const std::string& responseKey,
                 const std::string& itemKey, std::vector<T>& out) {
        RecordPages<T> pages{m_pParser, responseKey, itemKey, out};
        return GetPages(command, ScopedArgs(command, args), pages);
    }

    /// @brief The one record that the server returns for an id; false for none or several.
    template <typename T>
    bool GetObjectById(const std::string& command, const std::string& id, const std::string& responseKey,
                       const std::string& itemKey, T& out) {
        std::vector<T> found;
        const std::vector<std::string> args{StrUtil::Format("id=%s", StrUtil::PercentEncode(id).c_str())};
        if (!GetList<T>(command, args, responseKey, itemKey, found)) return false;
        if (found.size() != 1) {
            FailLookup(found.empty() ? CS_ERROR_NOT_FOUND : CS_ERROR_AMBIGUOUS,
                       found.empty() ? "no " + Noun(itemKey, 1) + " with id \"" + id + "\""
                                     : "id \"" + id + "\" matches " + std::to_string(found.size()) + " " +
                                           Noun(itemKey, found.size()));
            return false;
        }
        out = found.front();
        return true;
    }

    /// @brief The record whose name equals @p name exactly or, when none does, the one record whose
    /// name equals it apart from letter case. The server's name filter matches substrings, so the
    /// answer is checked here; several matches apart from case and none exactly is a failure.
    template <typename T>
    bool GetObjectByName(const std::string& command, const std::string& name, const std::string& responseKey,
                         const std::string& itemKey, T& out) {
        std::vector<T> found;
        const std::vector<std::string> args{StrUtil::Format("name=%s", StrUtil::PercentEncode(name).c_str())};
        if (!GetList<T>(command, args, responseKey, itemKey, found)) return false;
        const T* match = nullptr;
        std::size_t caseless = 0;
        for (const T& record : found) {
            if (record.strName == name) {
                out = record;
                return true;
            }
            if (StrUtil::CompareNoCase(record.strName, name) == 0 && caseless++ == 0) match = &record;
        }
        if (caseless == 1) {
            out = *match;
            return true;
        }
        if (caseless == 0) {
            FailLookup(CS_ERROR_NOT_FOUND, "no " + Noun(itemKey, 1) + " named \"" + name + "\"");
        } else {
            FailLookup(CS_ERROR_AMBIGUOUS, "name \"" + name + "\" matches " + std::to_string(caseless) + " " +
                                               Noun(itemKey, caseless) + " apart from letter case, none exactly");
        }
        return false;
    }

private:
    // The pages of a list command as records of one type.
    template <typename T>
    struct RecordPages {
        CCloudStackParser* parser;
        const std::string& responseKey;
        const std::string& itemKey;
        std::vector<T>& out;

        bool Parse(const std::string& body, SListPageInfo& page) {
            return parser->ParseNestedList<T>(body, responseKey, itemKey, out, &page);
        }
        std::size_t Size() const { return out.size(); }
        const std::string& Id(std::size_t index) const { return out[index].strId; }
        void Reserve(std::size_t count) { out.reserve(count); }
        void Truncate(std::size_t size) { out.erase(out.begin() + static_cast<std::ptrdiff_t>(size), out.end()); }
    };

    // Every page of a list command through @p pages (Parse, Size, Id, Reserve, Truncate). A later
    // page that fails, or repeats a record already received, takes back everything this call
    // appended: a partial inventory is no answer.
    template <typename Pages>
    bool GetPages(const std::string& command, const std::vector<std::string>& args, Pages& pages) {
        std::string response;
        if (!m_pConnection->GET(command, args, response)) {
            SetLastErrorFromRequest(*m_pConnection, command, response);
            return false;
        }
        const std::size_t before = pages.Size();
        SListPageInfo first;
        if (!pages.Parse(response, first)) {
            SetLastErrorFromAnswer(command, response);
            return false;
        }
        if (first.nCount < 0 || first.nItems == 0 || static_cast<unsigned long long>(first.nCount) <= first.nItems) {
            return true;
        }
        const auto total = static_cast<unsigned long long>(first.nCount);
        if (total > kMaxListRecords) {
            pages.Truncate(before);
            return FailList(command, "the server counts " + std::to_string(total) + " records; at most " +
                                         std::to_string(kMaxListRecords) + " are listed");
        }
        std::unordered_set<std::string> seen;
        for (std::size_t i = before; i < pages.Size(); ++i) seen.insert(pages.Id(i));
        // Room for the whole list up front, as far as a count from the server may be trusted.
        constexpr unsigned long long kMaxReserve = 100000;
        if (total <= kMaxReserve) pages.Reserve(before + static_cast<std::size_t>(total));

        // Page with the size that the server itself used for the first answer.
        const unsigned long long pageSize = first.nItems;
        const unsigned long long pageCount = (total + pageSize - 1) / pageSize;
        unsigned long long received = first.nItems;
        for (unsigned long long page = 2; page <= pageCount && received < total; ++page) {
            std::vector<std::string> pagedArgs = args;
            pagedArgs.push_back(StrUtil::Format("page=%llu", page));
            pagedArgs.push_back(StrUtil::Format("pagesize=%llu", pageSize));
            const std::size_t pageStart = pages.Size();
            SListPageInfo next;
            if (!m_pConnection->GET(command, pagedArgs, response)) {
                SetLastErrorFromRequest(*m_pConnection, command, response);
                pages.Truncate(before);
                return false;
            }
            if (!pages.Parse(response, next)) {
                SetLastErrorFromAnswer(command, response);
                pages.Truncate(before);
                return false;
            }
            if (next.nItems == 0) break;  // the inventory shrank since the first answer
            for (std::size_t i = pageStart; i < pages.Size(); ++i) {
                // A server or proxy that ignores paging repeats itself; with a huge count that would
                // be an endless series of requests.
                if (!pages.Id(i).empty() && !seen.insert(pages.Id(i)).second) {
                    pages.Truncate(before);
                    return FailList(command, "page " + std::to_string(page) +
                                                 " repeats a record of an earlier page; the server does not page");
                }
            }
            received += next.nItems;
        }
        return true;
    }

    template <typename T>
    bool GetObjectInfo(const std::string& command, const std::string& responseKey, const std::string& itemKey,
                       const std::string& name, const std::string& id, T& out) {
        if (!id.empty()) return GetObjectById<T>(command, id, responseKey, itemKey, out);
        if (!name.empty()) return GetObjectByName<T>(command, name, responseKey, itemKey, out);
        SetLastError(CS_ERROR_INVALID_ARGUMENT, "a name or an id is needed");
        return false;
    }

    // The arguments of a generic command from its parameters; false (with the reason recorded)
    // for a command or parameter name the library cannot send.
    bool CommandArgs(const std::string& command, const CloudStackParams& params, bool paged,
                     std::vector<std::string>& args);
    // The arguments of a list request, with "listall=true" where the account scope applies.
    std::vector<std::string> ScopedArgs(const std::string& command, const std::vector<std::string>& args) const;
    bool FailList(const std::string& command, const std::string& why);
    void FailLookup(long code, const std::string& message);
    static std::string Noun(const std::string& itemKey, std::size_t count);

    CCloudStackConnection* m_pConnection;
    CCloudStackParser* m_pParser;
    bool m_bListAll{false};
};

}  // namespace CloudStackSDKWrapper
