#include "CloudStackQueries.h"

#include "TeskJson.h"

namespace CloudStackSDKWrapper {

namespace {

bool StartsWith(const std::string& text, const char* prefix) {
    return text.rfind(prefix, 0) == 0;
}

std::string Lower(std::string text) {
    StrUtil::ToLower(text);
    return text;
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
// array the answer holds (the response object has one, beside "count").
struct JsonPages {
    CCloudStackParser* parser;
    const std::string& responseKey;
    std::vector<std::string>& items;
    std::vector<std::string> ids;

    bool Parse(const std::string& body, SListPageInfo& page) {
        JsonObject document;
        const JsonObject* response = parser->ParseResponseObject(body, responseKey, document);
        if (response == nullptr) return false;
        long long count = -1;
        page.nCount = TeskJson::TryGetCount(*response, "count", count) ? count : -1;
        page.nItems = 0;
        for (const auto& member : *response) {
            const JsonArray* array = member.second.get_ptr<const JsonArray*>();
            if (array == nullptr) continue;
            page.nItems = array->size();
            for (const JsonValue& item : *array) {
                items.push_back(item.dump());
                const JsonObject* object = item.get_ptr<const JsonObject*>();
                ids.push_back(object != nullptr ? TeskJson::GetStringValue(*object, "id") : std::string());
            }
            break;
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
    : CCloudStackErrorHandler(pParser, pErrorState), m_pConnection(pConnection), m_pParser(pParser) {}

CCloudStackQueries::~CCloudStackQueries() = default;

bool CCloudStackQueries::GetProjectInfoList(std::vector<SProjectInfoLib>& projects, unsigned long long /*reserved*/) {
    return GetList<SProjectInfoLib>("listProjects", "listprojectsresponse", "project", projects);
}

bool CCloudStackQueries::GetZoneInfoList(std::vector<SZoneInfoLib>& zones, unsigned long long /*reserved*/) {
    return GetList<SZoneInfoLib>("listZones", "listzonesresponse", "zone", zones);
}

bool CCloudStackQueries::GetPodInfoList(std::vector<SPodInfoLib>& pods, unsigned long long /*reserved*/) {
    return GetList<SPodInfoLib>("listPods", "listpodsresponse", "pod", pods);
}

bool CCloudStackQueries::GetClusterInfoList(std::vector<SClusterInfoLib>& clusters, unsigned long long /*reserved*/) {
    return GetList<SClusterInfoLib>("listClusters", "listclustersresponse", "cluster", clusters);
}

bool CCloudStackQueries::GetHostInfoList(std::vector<SHostInfoLib>& hosts, unsigned long long /*reserved*/) {
    return GetList<SHostInfoLib>("listHosts", "listhostsresponse", "host", hosts);
}

bool CCloudStackQueries::GetVMInfoList(std::vector<SVMInfoLib>& vms, unsigned long long /*reserved*/) {
    return GetList<SVMInfoLib>("listVirtualMachines", "listvirtualmachinesresponse", "virtualmachine", vms);
}

bool CCloudStackQueries::GetClusterInfo(const std::string& name, const std::string& id, SClusterInfoLib& cluster,
                                        unsigned long long /*reserved*/) {
    return GetObjectInfo<SClusterInfoLib>("listClusters", "listclustersresponse", "cluster", name, id, cluster);
}

bool CCloudStackQueries::GetHostInfo(const std::string& name, const std::string& id, SHostInfoLib& host,
                                     unsigned long long /*reserved*/) {
    return GetObjectInfo<SHostInfoLib>("listHosts", "listhostsresponse", "host", name, id, host);
}

bool CCloudStackQueries::GetVMInfo(const std::string& name, const std::string& id, SVMInfoLib& vm,
                                   unsigned long long /*reserved*/) {
    return GetObjectInfo<SVMInfoLib>("listVirtualMachines", "listvirtualmachinesresponse", "virtualmachine", name, id,
                                     vm);
}

bool CCloudStackQueries::GetJobInfo(const std::string& jobId, SJobInfoLib& job) {
    std::string jobResult;
    return GetJobInfo(jobId, job, jobResult);
}

bool CCloudStackQueries::GetJobInfo(const std::string& jobId, SJobInfoLib& job, std::string& jobResult) {
    static const char* const kCommand = "queryAsyncJobResult";
    static const std::string kResponseKey = "queryasyncjobresultresponse";
    // Built before the answer is converted: jobId may be job.strJobId itself.
    const std::vector<std::string> args{StrUtil::Format("jobid=%s", StrUtil::PercentEncode(jobId).c_str())};
    std::string response;
    if (!m_pConnection->GET(kCommand, args, response)) {
        SetLastErrorFromRequest(*m_pConnection, kCommand, response);
        return false;
    }
    // A status answer that is an error envelope, or holds no numeric status, would read as
    // "pending" and keep a wait polling for ever.
    JsonObject document;
    const JsonObject* answer = m_pParser->ParseResponseObject(response, kResponseKey, document);
    if (answer == nullptr) {
        SetLastErrorFromAnswer(kCommand, response);
        return false;
    }
    long long digits = 0;
    const auto status = answer->find("jobstatus");
    if (status == answer->end() ||
        !(status->second.is_number_integer() || TeskJson::TryGetCount(*answer, "jobstatus", digits))) {
        m_Log.Error(__PRETTY_FUNCTION__, "job %s: the answer holds no job status (%zu bytes)", jobId.c_str(),
                    response.size());
        SetLastError(CS_ERROR_BAD_ANSWER,
                     "the answer to queryAsyncJobResult for job " + jobId + " holds no job status");
        return false;
    }
    const auto result = answer->find("jobresult");
    jobResult = result != answer->end() ? result->second.dump() : std::string();
    if (!m_pParser->ParseNestedObject<SJobInfoLib>(response, kResponseKey, job)) {
        SetLastErrorFromAnswer(kCommand, response);
        return false;
    }
    return true;
}

std::vector<std::string> CCloudStackQueries::ScopedArgs(const std::string& command,
                                                        const std::vector<std::string>& args) const {
    if (!m_bListAll || (command != "listVirtualMachines" && command != "listProjects")) return args;
    std::vector<std::string> scoped = args;
    scoped.insert(scoped.begin(), "listall=true");
    return scoped;
}

bool CCloudStackQueries::FailList(const std::string& command, const std::string& why) {
    m_Log.Error(__PRETTY_FUNCTION__, "command %s: %s", command.c_str(), why.c_str());
    SetLastError(CS_ERROR_LIST_TOO_LONG, command + ": " + why);
    return false;
}

void CCloudStackQueries::FailLookup(long code, const std::string& message) {
    SetLastError(code, message);
}

std::string CCloudStackQueries::Noun(const std::string& itemKey, std::size_t count) {
    std::string noun = itemKey == "virtualmachine" ? "machine" : itemKey;
    return count == 1 ? noun : noun + "s";
}

bool CCloudStackQueries::CommandArgs(const std::string& command, const CloudStackParams& params, bool paged,
                                     std::vector<std::string>& args) {
    if (!IsCommandName(command)) {
        SetLastError(CS_ERROR_INVALID_ARGUMENT, "a command name is letters and digits only");
        return false;
    }
    args.reserve(params.size());
    for (const auto& param : params) {
        // Paged lists set page and pagesize themselves.
        if (param.first.empty() || IsReservedParameter(param.first) ||
            (paged && (param.first == "page" || param.first == "pagesize"))) {
            SetLastError(CS_ERROR_INVALID_ARGUMENT, "parameter \"" + param.first + "\" cannot be given here");
            return false;
        }
        args.push_back(StrUtil::PercentEncode(param.first) + "=" + StrUtil::PercentEncode(param.second));
    }
    return true;
}

bool CCloudStackQueries::CallForObject(const std::string& command, const CloudStackParams& params, JsonObject& document,
                                       const JsonObject*& inner) {
    std::vector<std::string> args;
    if (!CommandArgs(command, params, false, args)) return false;
    const bool read = StartsWith(command, "list") || StartsWith(command, "get") || StartsWith(command, "query");
    std::string response;
    if (!(read ? m_pConnection->GET(command, args, response) : m_pConnection->POST(command, args, response))) {
        SetLastErrorFromRequest(*m_pConnection, command, response);
        return false;
    }
    inner = m_pParser->ParseResponseObject(response, Lower(command) + "response", document);
    if (inner == nullptr) {
        SetLastErrorFromAnswer(command, response);
        return false;
    }
    return true;
}

bool CCloudStackQueries::Call(const std::string& command, const CloudStackParams& params, std::string& json) {
    JsonObject document;
    const JsonObject* inner = nullptr;
    if (!CallForObject(command, params, document, inner)) return false;
    json = JsonValue(*inner).dump();
    return true;
}

bool CCloudStackQueries::CallList(const std::string& command, const CloudStackParams& params, std::string& json) {
    std::vector<std::string> args;
    if (!CommandArgs(command, params, true, args)) return false;
    std::vector<std::string> items;
    const std::string responseKey = Lower(command) + "response";
    JsonPages pages{m_pParser, responseKey, items, {}};
    if (!GetPages(command, args, pages)) return false;
    json = "[";
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (i > 0) json += ',';
        json += items[i];
    }
    json += ']';
    return true;
}

}  // namespace CloudStackSDKWrapper
