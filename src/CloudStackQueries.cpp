#include "CloudStackQueries.h"

#include "TeskJson.h"

namespace CloudStackSDKWrapper {

namespace {

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

// Parameters the library sets itself: a caller's value would break the session or the signature.
bool IsReservedParameter(const std::string& name) {
    return name == "command" || name == "response" || name == "sessionkey" || name == "apikey" || name == "signature" ||
           name == "signatureversion" || name == "expires";
}

bool IsCommandName(const std::string& command) {
    if (command.empty()) return false;
    for (const char c : command) {
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
    }
    return true;
}

// The pages of a generic list command as JSON texts of its items. The item key is whatever
// array the answer holds (the response object has one, beside "count"). An answer with members
// but no array is no list ("listCapabilities"): refused, rather than read as an empty one.
struct JsonPages {
    CCloudStackParser* parser;
    const std::string& command;
    std::vector<std::string>& items;
    std::vector<std::string> ids;

    bool Parse(const std::string& body, SListPageInfo& page, SAnswerRefusal& refusal) {
        JsonObject document;
        std::string key;
        const JsonObject* response = parser->ParseCommandAnswer(body, command, document, key, &refusal);
        if (response == nullptr) {
            TeskJson::Release(document);
            return false;
        }
        long long count = -1;
        page.nCount = TeskJson::TryGetCount(*response, "count", count) ? count : -1;
        page.nItems = 0;
        bool list = true;  // {} (nothing listed) and {"count":N} (a page past the end) hold no array either
        for (const auto& member : *response) {
            const JsonArray* array = member.second.get_ptr<const JsonArray*>();
            if (array == nullptr) {
                list = list && member.first == "count";
                continue;
            }
            list = true;
            page.nItems = array->size();
            for (const JsonValue& item : *array) {
                items.push_back(item.dump());
                const JsonObject* object = item.get_ptr<const JsonObject*>();
                ids.push_back(object != nullptr ? TeskJson::GetStringValue(*object, "id") : std::string());
            }
            break;
        }
        TeskJson::Release(document);
        if (!list) {
            refusal.strWhy = "the answer to " + command + " holds no list; use Call for it";
            return false;
        }
        return true;
    }
    std::size_t Size() const { return items.size(); }
    const std::string& Id(std::size_t index) const { return ids[index]; }
    void Reserve(std::size_t count) {
        items.reserve(count);
        ids.reserve(count);
    }
    void Truncate(std::size_t size) {
        items.resize(size);
        ids.resize(size);
    }
};

}  // namespace

CCloudStackQueries::CCloudStackQueries(CCloudStackConnection* pConnection, CCloudStackParser* pParser,
                                       CCloudStackErrorState* pErrorState)
    : CCloudStackErrorHandler(pErrorState), m_pConnection(pConnection), m_pParser(pParser) {}

SCloudStackOutcome CCloudStackQueries::GetProjectInfoList(std::vector<SProjectInfoLib>& projects,
                                                          unsigned long long /*reserved*/) {
    return GetList<SProjectInfoLib>("listProjects", "listprojectsresponse", "project", projects);
}

SCloudStackOutcome CCloudStackQueries::GetZoneInfoList(std::vector<SZoneInfoLib>& zones,
                                                       unsigned long long /*reserved*/) {
    return GetList<SZoneInfoLib>("listZones", "listzonesresponse", "zone", zones);
}

SCloudStackOutcome CCloudStackQueries::GetPodInfoList(std::vector<SPodInfoLib>& pods, unsigned long long /*reserved*/) {
    return GetList<SPodInfoLib>("listPods", "listpodsresponse", "pod", pods);
}

SCloudStackOutcome CCloudStackQueries::GetClusterInfoList(std::vector<SClusterInfoLib>& clusters,
                                                          unsigned long long /*reserved*/) {
    return GetList<SClusterInfoLib>("listClusters", "listclustersresponse", "cluster", clusters);
}

SCloudStackOutcome CCloudStackQueries::GetHostInfoList(std::vector<SHostInfoLib>& hosts,
                                                       unsigned long long /*reserved*/) {
    return GetList<SHostInfoLib>("listHosts", "listhostsresponse", "host", hosts);
}

SCloudStackOutcome CCloudStackQueries::GetVMInfoList(std::vector<SVMInfoLib>& vms, unsigned long long /*reserved*/) {
    return GetList<SVMInfoLib>("listVirtualMachines", "listvirtualmachinesresponse", "virtualmachine", vms);
}

SCloudStackOutcome CCloudStackQueries::GetClusterInfo(const std::string& name, const std::string& id,
                                                      SClusterInfoLib& cluster, unsigned long long /*reserved*/) {
    return GetObjectInfo<SClusterInfoLib>("listClusters", "listclustersresponse", "cluster", name, id, cluster);
}

SCloudStackOutcome CCloudStackQueries::GetHostInfo(const std::string& name, const std::string& id, SHostInfoLib& host,
                                                   unsigned long long /*reserved*/) {
    return GetObjectInfo<SHostInfoLib>("listHosts", "listhostsresponse", "host", name, id, host);
}

SCloudStackOutcome CCloudStackQueries::GetVMInfo(const std::string& name, const std::string& id, SVMInfoLib& vm,
                                                 unsigned long long /*reserved*/) {
    return GetObjectInfo<SVMInfoLib>("listVirtualMachines", "listvirtualmachinesresponse", "virtualmachine", name, id,
                                     vm);
}

TeskApiRequest CCloudStackQueries::JobRequest(const std::string& jobId) {
    return TeskApiRequest::Get("queryAsyncJobResult").Add("jobid", jobId);
}

SCloudStackOutcome CCloudStackQueries::GetJobInfo(const std::string& jobId, SJobInfoLib& job) {
    // Built before the answer is converted: jobId may be job.strJobId itself.
    TeskApiRequest request = JobRequest(jobId);
    std::string response;
    SCloudStackOutcome outcome = m_pConnection->Send(request, response);
    if (!outcome) return outcome;
    return ReadJobAnswer(request.params.front().second, request, response, std::move(outcome), job);
}

SCloudStackOutcome CCloudStackQueries::ReadJobAnswer(const std::string& jobId, const TeskApiRequest& request,
                                                     const std::string& response, SCloudStackOutcome outcome,
                                                     SJobInfoLib& job) {
    static const std::string kResponseKey = "queryasyncjobresultresponse";
    // A status answer that is an error envelope, or holds no numeric status, would read as
    // "pending" and keep a wait polling for ever. The answer is parsed once, here.
    JsonObject document;
    SAnswerRefusal refusal;
    const JsonObject* answer = m_pParser->ParseResponseObject(response, kResponseKey, document, &refusal);
    if (answer == nullptr) {
        TeskJson::Release(document);
        return WrongAnswer(request, refusal, response);
    }
    long long digits = 0;
    const auto status = answer->find("jobstatus");
    if (status == answer->end() ||
        !(status->second.is_number_integer() || TeskJson::TryGetCount(*answer, "jobstatus", digits))) {
        TeskJson::Release(document);
        m_Log.Error(__PRETTY_FUNCTION__, "job %s: the answer holds no job status (%zu bytes)", jobId.c_str(),
                    response.size());
        return SCloudStackOutcome::Failure(
            SCloudStackOutcome::EFailure::NotTheAnswer, CS_ERROR_BAD_ANSWER,
            "the answer to queryAsyncJobResult for job " + jobId + " holds no job status", outcome.lHttpStatus);
    }
    if (!m_pParser->ConvertResponseObject(*answer, kResponseKey, response, job)) {
        TeskJson::Release(document);
        return WrongAnswer(request, SAnswerRefusal(), response);
    }
    outcome.answer = std::move(document[kResponseKey]);
    TeskJson::Release(document);
    return outcome;
}

void CCloudStackQueries::PageAhead::Ask(const TeskApiRequest& first, unsigned long long page, unsigned long long size) {
    Drop();
    m_request = first;
    m_request.Add("page", std::to_string(page)).Add("pagesize", std::to_string(size));
    m_refusal = m_connection.Begin(m_request, m_nLane);
    m_bUnderWay = static_cast<bool>(m_refusal);
}

SCloudStackOutcome CCloudStackQueries::PageAhead::Take(std::string& response) {
    if (!m_bUnderWay) return std::move(m_refusal);
    m_bUnderWay = false;
    return m_connection.End(m_nLane, m_request, response);
}

void CCloudStackQueries::PageAhead::Drop() {
    if (m_bUnderWay) m_connection.Cancel(m_nLane);
    m_bUnderWay = false;
}

TeskApiRequest CCloudStackQueries::Scoped(TeskApiRequest request) const {
    const std::string& command = request.strCommand;
    if (m_bListAll && (command == "listVirtualMachines" || command == "listProjects")) {
        request.params.insert(request.params.begin(), TeskQueryParam("listall", "true"));
    }
    return request;
}

SCloudStackOutcome CCloudStackQueries::WrongAnswer(const TeskApiRequest& request, const SAnswerRefusal& refusal,
                                                   const std::string& body) {
    if (refusal.lApiCode != 0) {
        SCloudStackOutcome outcome =
            SCloudStackOutcome::Failure(SCloudStackOutcome::EFailure::ApiError, refusal.lApiCode, refusal.strApiText);
        outcome.MaskValuesOf(request);
        return outcome;
    }
    if (!refusal.strWhy.empty()) {
        // A refusal of the caller's own: the parse found the answer well formed and wrote no line.
        m_Log.Error(__PRETTY_FUNCTION__, "command %s: %s (%zu bytes)", request.strCommand.c_str(),
                    refusal.strWhy.c_str(), body.size());
        return SCloudStackOutcome::Failure(SCloudStackOutcome::EFailure::NotTheAnswer, CS_ERROR_BAD_ANSWER,
                                           refusal.strWhy);
    }
    return SCloudStackOutcome::Failure(SCloudStackOutcome::EFailure::NotTheAnswer, CS_ERROR_BAD_ANSWER,
                                       "the answer to " + request.strCommand + " is not what it should be (" +
                                           std::to_string(body.size()) + " bytes)");
}

SCloudStackOutcome CCloudStackQueries::FailList(const std::string& command, const std::string& why) {
    m_Log.Error(__PRETTY_FUNCTION__, "command %s: %s", command.c_str(), why.c_str());
    return SCloudStackOutcome::Refusal(CS_ERROR_LIST_TOO_LONG, command + ": " + why);
}

std::string CCloudStackQueries::Noun(const std::string& itemKey, std::size_t count) {
    std::string noun = itemKey == "virtualmachine" ? "machine" : itemKey;
    return count == 1 ? noun : noun + "s";
}

SCloudStackOutcome CCloudStackQueries::CommandRequest(const std::string& command, const CloudStackParams& params,
                                                      bool paged, TeskApiRequest& request) const {
    if (!IsCommandName(command)) {
        return SCloudStackOutcome::Refusal(CS_ERROR_INVALID_ARGUMENT, "a command name is letters and digits only");
    }
    const bool read = StartsWith(command, "list") || StartsWith(command, "get") || StartsWith(command, "query");
    request = read ? TeskApiRequest::Get(command) : TeskApiRequest::Post(command);
    request.params.reserve(params.size());
    for (const auto& param : params) {
        // Paged lists set page and pagesize themselves.
        if (param.first.empty() || IsReservedParameter(param.first) ||
            (paged && (param.first == "page" || param.first == "pagesize"))) {
            return SCloudStackOutcome::Refusal(CS_ERROR_INVALID_ARGUMENT,
                                               "parameter \"" + param.first + "\" cannot be given here");
        }
        request.params.push_back(param);
    }
    return SCloudStackOutcome::Success();
}

SCloudStackOutcome CCloudStackQueries::CallForObject(const std::string& command, const CloudStackParams& params,
                                                     std::string* answerText) {
    TeskApiRequest request;
    SCloudStackOutcome outcome = CommandRequest(command, params, false, request);
    if (!outcome) return outcome;
    std::string response;
    outcome = m_pConnection->Send(request, response);
    if (!outcome) return outcome;
    return ReadObjectAnswer(request, response, std::move(outcome), answerText);
}

SCloudStackOutcome CCloudStackQueries::ReadObjectAnswer(const TeskApiRequest& request, const std::string& response,
                                                        SCloudStackOutcome outcome, std::string* answerText) {
    JsonObject document;
    std::string key;
    SAnswerRefusal refusal;
    if (m_pParser->ParseCommandAnswer(response, request.strCommand, document, key, &refusal) == nullptr) {
        TeskJson::Release(document);
        return WrongAnswer(request, refusal, response);
    }
    outcome.answer = std::move(document[key]);
    TeskJson::Release(document);
    if (answerText != nullptr && !CCloudStackParser::MemberText(response, key, *answerText)) {
        *answerText = outcome.answer.dump();
    }
    return outcome;
}

SCloudStackOutcome CCloudStackQueries::Call(const std::string& command, const CloudStackParams& params,
                                            std::string& json) {
    std::string text;
    SCloudStackOutcome outcome = CallForObject(command, params, &text);
    if (outcome) json = std::move(text);
    return outcome;
}

SCloudStackOutcome CCloudStackQueries::CallList(const std::string& command, const CloudStackParams& params,
                                                std::string& json) {
    TeskApiRequest request;
    SCloudStackOutcome outcome = CommandRequest(command, params, true, request);
    if (!outcome) return outcome;
    // Pages are read, whatever the command's name.
    request.eMethod = HTTP_REQ_GET;
    request.bFormBody = false;
    std::vector<std::string> items;
    JsonPages pages{m_pParser, command, items, {}};
    outcome = GetPages(request, pages);
    if (!outcome) return outcome;
    json = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) json += ',';
        json += items[i];
    }
    json += ']';
    return outcome;
}

}  // namespace CloudStackSDKWrapper
