#pragma once

#include <string>
#include <vector>

#include "CloudStackConnection.h"
#include "CloudStackErrorHandler.h"
#include "CloudStackParser.h"
#include "CloudStackRecords.h"
#include "StrUtil.h"
#include "TeskExport.h"

namespace CloudStackSDKWrapper {

/// @brief The read-only commands: the six lists, the lookups by id or name, and the job status query.
/// Lists append to the caller's vector; lookups write the caller's record only on success.
class CLOUDSTACK_EXPORT CCloudStackQueries : public CCloudStackErrorHandler {
public:
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

    /// @brief One poll of an async job: fills @p job from "queryAsyncJobResult".
    bool GetJobInfo(const std::string& jobId, SJobInfoLib& job);

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
        std::string response;
        if (!m_pConnection->GET(command, args, response)) return false;
        const std::size_t before = out.size();
        SListPageInfo first;
        if (!m_pParser->ParseNestedList<T>(response, responseKey, itemKey, out, &first)) return false;
        if (first.nCount < 0 || first.nItems == 0 || static_cast<unsigned long long>(first.nCount) <= first.nItems) {
            return true;
        }

        // Page with the size that the server itself used for the first answer. A later page
        // that fails takes back everything this call appended: a partial inventory is no answer.
        const unsigned long long total = static_cast<unsigned long long>(first.nCount);
        const unsigned long long pageSize = first.nItems;
        const unsigned long long pages = (total + pageSize - 1) / pageSize;
        unsigned long long received = first.nItems;
        std::string previousFirstId = out.size() > before ? out[before].strId : std::string();
        for (unsigned long long page = 2; page <= pages && received < total; ++page) {
            std::vector<std::string> pagedArgs = args;
            pagedArgs.push_back(StrUtil::Format("page=%llu", page));
            pagedArgs.push_back(StrUtil::Format("pagesize=%llu", pageSize));
            response.clear();
            const std::size_t pageStart = out.size();
            SListPageInfo next;
            if (!m_pConnection->GET(command, pagedArgs, response) ||
                !m_pParser->ParseNestedList<T>(response, responseKey, itemKey, out, &next) ||
                (out.size() > pageStart && out[pageStart].strId == previousFirstId)) {
                // The last test catches a server or proxy that ignores paging and repeats itself.
                out.erase(out.begin() + static_cast<std::ptrdiff_t>(before), out.end());
                return false;
            }
            if (next.nItems == 0) break;  // the inventory shrank since the first answer
            if (out.size() > pageStart) previousFirstId = out[pageStart].strId;
            received += next.nItems;
        }
        return true;
    }

    /// @brief The one record that the server returns for an id; false for none or several.
    template <typename T>
    bool GetObjectById(const std::string& command, const std::string& id, const std::string& responseKey,
                       const std::string& itemKey, T& out) {
        std::vector<T> found;
        const std::vector<std::string> args{StrUtil::Format("id=%s", StrUtil::PercentEncode(id).c_str())};
        if (!GetList<T>(command, args, responseKey, itemKey, found)) return false;
        if (found.size() != 1) return false;
        out = found.front();
        return true;
    }

    /// @brief The first record whose name equals @p name apart from letter case. The server's
    /// name filter matches substrings, so the answer is checked here.
    template <typename T>
    bool GetObjectByName(const std::string& command, const std::string& name, const std::string& responseKey,
                         const std::string& itemKey, T& out) {
        std::vector<T> found;
        const std::vector<std::string> args{StrUtil::Format("name=%s", StrUtil::PercentEncode(name).c_str())};
        if (!GetList<T>(command, args, responseKey, itemKey, found)) return false;
        for (const T& record : found) {
            if (StrUtil::CompareNoCase(record.strName, name) == 0) {
                out = record;
                return true;
            }
        }
        return false;
    }

private:
    template <typename T>
    bool GetObjectInfo(const std::string& command, const std::string& responseKey, const std::string& itemKey,
                       const std::string& name, const std::string& id, T& out) {
        if (!id.empty()) return GetObjectById<T>(command, id, responseKey, itemKey, out);
        if (!name.empty()) return GetObjectByName<T>(command, name, responseKey, itemKey, out);
        return false;
    }

    CCloudStackConnection* m_pConnection;
    CCloudStackParser* m_pParser;
};

}  // namespace CloudStackSDKWrapper
