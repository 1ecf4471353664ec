#pragma once

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "CloudStackConnection.h"
#include "CloudStackErrorHandler.h"
#include "CloudStackOutcome.h"
#include "CloudStackParser.h"
#include "CloudStackRecords.h"
#include "StrUtil.h"
#include "TeskApiRequest.h"

namespace CloudStackSDKWrapper {

/// @brief Parameters of a generic command: name and value pairs, in the order they are sent.
using CloudStackParams = std::vector<std::pair<std::string, std::string>>;

/// @brief The read-only commands: the six lists, the lookups by id or name, the job status query
/// and generic commands. Lists append to the caller's vector; lookups write the caller's record
/// only on success. Each call gives its outcome, which says why when it failed; the wrapper turns
/// it into bool and the last error.
class CCloudStackQueries : public CCloudStackErrorHandler {
public:
    /// @brief Most records one list may hold; a server that counts more is not paged through.
    static constexpr unsigned long long kMaxListRecords = 1000000;

    CCloudStackQueries(CCloudStackConnection* pConnection, CCloudStackParser* pParser,
                       CCloudStackErrorState* pErrorState);
    ~CCloudStackQueries() = default;

    SCloudStackOutcome GetProjectInfoList(std::vector<SProjectInfoLib>& projects, unsigned long long reserved);
    SCloudStackOutcome GetZoneInfoList(std::vector<SZoneInfoLib>& zones, unsigned long long reserved);
    SCloudStackOutcome GetPodInfoList(std::vector<SPodInfoLib>& pods, unsigned long long reserved);
    SCloudStackOutcome GetClusterInfoList(std::vector<SClusterInfoLib>& clusters, unsigned long long reserved);
    SCloudStackOutcome GetHostInfoList(std::vector<SHostInfoLib>& hosts, unsigned long long reserved);
    SCloudStackOutcome GetVMInfoList(std::vector<SVMInfoLib>& vms, unsigned long long reserved);

    SCloudStackOutcome GetClusterInfo(const std::string& name, const std::string& id, SClusterInfoLib& cluster,
                                      unsigned long long reserved);
    SCloudStackOutcome GetHostInfo(const std::string& name, const std::string& id, SHostInfoLib& host,
                                   unsigned long long reserved);
    SCloudStackOutcome GetVMInfo(const std::string& name, const std::string& id, SVMInfoLib& vm,
                                 unsigned long long reserved);

    /// @brief One poll of an async job: fills @p job from "queryAsyncJobResult", whose answer is parsed
    /// once. An answer that is an API error or holds no numeric "jobstatus" is a failure.
    /// @return on success, the status object as the outcome's answer ("jobresult" in it)
    SCloudStackOutcome GetJobInfo(const std::string& jobId, SJobInfoLib& job);
    /// @brief The request of one poll of job @p jobId.
    static TeskApiRequest JobRequest(const std::string& jobId);
    /// @brief GetJobInfo's reading of the answer to JobRequest(@p jobId), which @p outcome says arrived.
    SCloudStackOutcome ReadJobAnswer(const std::string& jobId, const TeskApiRequest& request,
                                     const std::string& response, SCloudStackOutcome outcome, SJobInfoLib& job);

    /// @brief The connection every request goes through.
    CCloudStackConnection& Connection() { return *m_pConnection; }

    /// @brief When on, listVirtualMachines and listProjects (lists and lookups) carry "listall=true".
    void SetListAll(bool listAll) { m_bListAll = listAll; }
    /// @brief Whether a paged list asks for the next page before it reads the one that arrived (on). Off, as
    /// lists paged before, only for the benchmark that compares the two; no host reaches it.
    void SetPageAhead(bool ahead) { m_bPageAhead = ahead; }

    /// @brief Sends any command (GET for list*, get* and query*, POST with a form body otherwise);
    /// @p json receives the answer's inner object (CCloudStackParser::AnswerKey) as the server wrote it.
    SCloudStackOutcome Call(const std::string& command, const CloudStackParams& params, std::string& json);
    /// @brief Call for a caller that reads the answer's members itself.
    /// @param answerText when not null, receives the inner object's text as the server wrote it
    /// @return on success, the answer's inner object as the outcome's answer
    SCloudStackOutcome CallForObject(const std::string& command, const CloudStackParams& params,
                                     std::string* answerText = nullptr);
    /// @brief CallForObject's reading of the answer to @p request, which @p outcome says arrived.
    SCloudStackOutcome ReadObjectAnswer(const TeskApiRequest& request, const std::string& response,
                                        SCloudStackOutcome outcome, std::string* answerText);
    /// @brief The request of a generic command from its parameters (GET for list*, get* and query*,
    /// POST with a form body otherwise); a refusal for a command or parameter name the library cannot
    /// send.
    SCloudStackOutcome CommandRequest(const std::string& command, const CloudStackParams& params, bool paged,
                                      TeskApiRequest& request) const;
    /// @brief Call for a list command, every page; @p json receives one JSON array of every item. An
    /// answer that holds members but no array is no list: a failure, CS_ERROR_BAD_ANSWER.
    SCloudStackOutcome CallList(const std::string& command, const CloudStackParams& params, std::string& json);

    /// @brief Lists every item of a list command. The server caps one answer at its page size
    /// while "count" gives the total; the rest is fetched page by page and appended in order.
    template <typename T>
    SCloudStackOutcome GetList(const std::string& command, const std::string& responseKey, const std::string& itemKey,
                               std::vector<T>& out) {
        return GetList<T>(TeskApiRequest::Get(command), responseKey, itemKey, out);
    }

    template <typename T>
    SCloudStackOutcome GetList(TeskApiRequest request, const std::string& responseKey, const std::string& itemKey,
                               std::vector<T>& out) {
        RecordPages<T> pages{m_pParser, responseKey, itemKey, out};
        return GetPages(Scoped(std::move(request)), pages);
    }

    /// @brief The one record that the server returns for an id; a failure for none or several.
    template <typename T>
    SCloudStackOutcome GetObjectById(const std::string& command, const std::string& id, const std::string& responseKey,
                                     const std::string& itemKey, T& out) {
        std::vector<T> found;
        SCloudStackOutcome outcome =
            GetList<T>(TeskApiRequest::Get(command).Add("id", id), responseKey, itemKey, found);
        if (!outcome) return outcome;
        if (found.size() != 1) {
            return SCloudStackOutcome::Refusal(
                found.empty() ? CS_ERROR_NOT_FOUND : CS_ERROR_AMBIGUOUS,
                found.empty()
                    ? "no " + Noun(itemKey, 1) + " with id \"" + id + "\""
                    : "id \"" + id + "\" matches " + std::to_string(found.size()) + " " + Noun(itemKey, found.size()));
        }
        out = found.front();
        return outcome;
    }

    /// @brief The record whose name equals @p name exactly or, when none does, the one record whose
    /// name equals it apart from letter case. The server's name filter matches substrings, so the
    /// answer is checked here; several matches apart from case and none exactly is a failure.
    template <typename T>
    SCloudStackOutcome GetObjectByName(const std::string& command, const std::string& name,
                                       const std::string& responseKey, const std::string& itemKey, T& out) {
        std::vector<T> found;
        SCloudStackOutcome outcome =
            GetList<T>(TeskApiRequest::Get(command).Add("name", name), responseKey, itemKey, found);
        if (!outcome) return outcome;
        const T* match = nullptr;
        std::size_t caseless = 0;
        for (const T& record : found) {
            if (record.strName == name) {
                out = record;
                return outcome;
            }
            if (StrUtil::CompareNoCase(record.strName, name) == 0 && caseless++ == 0) match = &record;
        }
        if (caseless == 1) {
            out = *match;
            return outcome;
        }
        if (caseless == 0) {
            return SCloudStackOutcome::Refusal(CS_ERROR_NOT_FOUND,
                                               "no " + Noun(itemKey, 1) + " named \"" + name + "\"");
        }
        return SCloudStackOutcome::Refusal(CS_ERROR_AMBIGUOUS,
                                           "name \"" + name + "\" matches " + std::to_string(caseless) + " " +
                                               Noun(itemKey, caseless) + " apart from letter case, none exactly");
    }

private:
    // The pages of a list command as records of one type.
    template <typename T>
    struct RecordPages {
        CCloudStackParser* parser;
        const std::string& responseKey;
        const std::string& itemKey;
        std::vector<T>& out;

        bool Parse(const std::string& body, SListPageInfo& page, SAnswerRefusal& refusal) {
            return parser->ParseNestedList<T>(body, responseKey, itemKey, out, &page, &refusal);
        }
        std::size_t Size() const { return out.size(); }
        const std::string& Id(std::size_t index) const { return out[index].strId; }
        void Reserve(std::size_t count) { out.reserve(count); }
        void Truncate(std::size_t size) { out.erase(out.begin() + static_cast<std::ptrdiff_t>(size), out.end()); }
    };

    // The ids of the records a list received, for the check that a page repeats none: each id's hash and its
    // record's position in an open-addressing table; ids are compared in place, and only when their hashes are
    // equal. Nothing is copied or allocated per record, as a set of strings would for every id of a large
    // inventory, and a probe seldom leaves the table.
    template <typename Pages>
    class SeenIds {
    public:
        explicit SeenIds(const Pages& pages) : m_pages(pages), m_slots(1024) {}

        // Adds the id of record @p index; false when a record with an equal id is in already.
        bool Insert(std::size_t index) {
            if (2 * (m_nSize + 1) > m_slots.size()) Grow();
            const std::string& id = m_pages.Id(index);
            const std::size_t hash = std::hash<std::string>()(id);
            for (std::size_t at = hash & (m_slots.size() - 1);; at = (at + 1) & (m_slots.size() - 1)) {
                Slot& slot = m_slots[at];
                if (slot.index == kEmpty) {
                    slot = Slot{hash, index};
                    ++m_nSize;
                    return true;
                }
                if (slot.hash == hash && m_pages.Id(slot.index) == id) return false;
            }
        }

    private:
        static constexpr std::size_t kEmpty = static_cast<std::size_t>(-1);
        struct Slot {
            std::size_t hash{0};
            std::size_t index{kEmpty};
        };

        void Grow() {
            std::vector<Slot> old(m_slots.size() * 2);
            old.swap(m_slots);
            for (const Slot& slot : old) {
                if (slot.index == kEmpty) continue;
                std::size_t at = slot.hash & (m_slots.size() - 1);
                while (m_slots[at].index != kEmpty) at = (at + 1) & (m_slots.size() - 1);
                m_slots[at] = slot;
            }
        }

        const Pages& m_pages;
        std::vector<Slot> m_slots;
        std::size_t m_nSize{0};
    };

    // The one page on its way while the page before it is read: at most one ahead, so that memory
    // holds no more than it did. A page left unread (the list failed or ended early) is abandoned and
    // its connection closed.
    class PageAhead {
    public:
        explicit PageAhead(CCloudStackConnection& connection) : m_connection(connection) {}
        ~PageAhead() { Drop(); }
        PageAhead(const PageAhead&) = delete;
        PageAhead& operator=(const PageAhead&) = delete;

        // Sends @p first for page @p page of @p size records; a refusal comes with Take.
        void Ask(const TeskApiRequest& first, unsigned long long page, unsigned long long size);
        // Waits for the page asked for last.
        SCloudStackOutcome Take(std::string& response);
        const TeskApiRequest& Request() const { return m_request; }
        void Drop();

    private:
        CCloudStackConnection& m_connection;
        TeskApiRequest m_request;
        SCloudStackOutcome m_refusal;
        std::size_t m_nLane{0};
        bool m_bUnderWay{false};
    };

    // Every page of a list command through @p pages (Parse, Size, Id, Reserve, Truncate). A later
    // page that fails, or repeats a record already received, takes back everything this call
    // appended: a partial inventory is no answer. While a page is parsed the next one is already
    // asked for, so that the server prepares it meanwhile.
    template <typename Pages>
    SCloudStackOutcome GetPages(const TeskApiRequest& first, Pages& pages) {
        std::string response;
        TeskApiRequest request = first;
        SCloudStackOutcome outcome = m_pConnection->Send(request, response);
        if (!outcome) return outcome;
        const std::size_t before = pages.Size();
        SListPageInfo firstPage;
        SAnswerRefusal refusal;
        if (!pages.Parse(response, firstPage, refusal)) return WrongAnswer(request, refusal, response);
        if (firstPage.nCount < 0 || firstPage.nItems == 0 ||
            static_cast<unsigned long long>(firstPage.nCount) <= firstPage.nItems) {
            return outcome;
        }
        const auto total = static_cast<unsigned long long>(firstPage.nCount);
        if (total > kMaxListRecords) {
            pages.Truncate(before);
            return FailList(first.strCommand, "the server counts " + std::to_string(total) + " records; at most " +
                                                  std::to_string(kMaxListRecords) + " are listed");
        }
        SeenIds<Pages> seen(pages);
        for (std::size_t i = before; i < pages.Size(); ++i) seen.Insert(i);
        // Room for the whole list up front, as far as a count from the server may be trusted.
        constexpr unsigned long long kMaxReserve = 100000;
        if (total <= kMaxReserve) pages.Reserve(before + static_cast<std::size_t>(total));

        // Page with the size that the server itself used for the first answer.
        const unsigned long long pageSize = firstPage.nItems;
        const unsigned long long pageCount = (total + pageSize - 1) / pageSize;
        unsigned long long received = firstPage.nItems;
        PageAhead ahead(*m_pConnection);
        ahead.Ask(first, 2, pageSize);
        for (unsigned long long page = 2; page <= pageCount && received < total; ++page) {
            outcome = ahead.Take(response);
            if (!outcome) {
                pages.Truncate(before);
                return outcome;
            }
            request = ahead.Request();
            if (page < pageCount && m_bPageAhead) ahead.Ask(first, page + 1, pageSize);
            const std::size_t pageStart = pages.Size();
            SListPageInfo next;
            if (!pages.Parse(response, next, refusal)) {
                pages.Truncate(before);
                return WrongAnswer(request, refusal, response);
            }
            if (next.nItems == 0) break;  // the inventory shrank since the first answer
            for (std::size_t i = pageStart; i < pages.Size(); ++i) {
                // A server or proxy that ignores paging repeats itself; with a huge count that would
                // be an endless series of requests.
                if (!pages.Id(i).empty() && !seen.Insert(i)) {
                    pages.Truncate(before);
                    return FailList(first.strCommand,
                                    "page " + std::to_string(page) +
                                        " repeats a record of an earlier page; the server does not page");
                }
            }
            received += next.nItems;
            if (page < pageCount && !m_bPageAhead && received < total) ahead.Ask(first, page + 1, pageSize);
        }
        return outcome;
    }

    template <typename T>
    SCloudStackOutcome GetObjectInfo(const std::string& command, const std::string& responseKey,
                                     const std::string& itemKey, const std::string& name, const std::string& id,
                                     T& out) {
        if (!id.empty()) return GetObjectById<T>(command, id, responseKey, itemKey, out);
        if (!name.empty()) return GetObjectByName<T>(command, name, responseKey, itemKey, out);
        return SCloudStackOutcome::Refusal(CS_ERROR_INVALID_ARGUMENT, "a name or an id is needed");
    }

    // A list request, with "listall=true" first where the account scope applies.
    TeskApiRequest Scoped(TeskApiRequest request) const;
    // The outcome of a 2xx answer to @p request that is not the answer: the API error it holds, else
    // CS_ERROR_BAD_ANSWER (with the refusal's own sentence and a line for it, when it has one).
    SCloudStackOutcome WrongAnswer(const TeskApiRequest& request, const SAnswerRefusal& refusal,
                                   const std::string& body);
    SCloudStackOutcome FailList(const std::string& command, const std::string& why);
    static std::string Noun(const std::string& itemKey, std::size_t count);

    CCloudStackConnection* m_pConnection;
    CCloudStackParser* m_pParser;
    bool m_bListAll{false};
    bool m_bPageAhead{true};
};

}  // namespace CloudStackSDKWrapper
