#include "CloudStackWrapper.h"

#include "CloudStackConnection.h"
#include "CloudStackOperations.h"
#include "CloudStackParser.h"
#include "CloudStackQueries.h"

namespace CloudStackSDKWrapper {

// Members are built in declaration order and, should one step throw, the ones already built
// are destroyed in reverse; the borrowers (queries, operations) go before what they borrow.
CCloudStackWrapper::CCloudStackWrapper() : m_Log(nullptr) {
    m_pConnection = std::make_unique<CCloudStackConnection>();
    m_pParser = std::make_unique<CCloudStackParser>();
    m_pQueries = std::make_unique<CCloudStackQueries>(m_pConnection.get(), m_pParser.get(), &m_ErrorState);
    m_pOperations =
        std::make_unique<CCloudStackOperations>(m_pConnection.get(), m_pParser.get(), m_pQueries.get(), &m_ErrorState);
}

CCloudStackWrapper::~CCloudStackWrapper() {
    m_pOperations.reset();
    m_pQueries.reset();
    m_pParser.reset();
    m_pConnection.reset();
}

bool CCloudStackWrapper::Connect(const std::string& server, const std::string& user, const std::string& password) {
    return Connect(server, user, password, std::string());
}

bool CCloudStackWrapper::Connect(const std::string& server, const std::string& user, const std::string& password,
                                 const std::string& domain) {
    m_pQueries->ClearLastError();
    if (m_pConnection->connect(server, user, password, domain)) return true;
    m_pQueries->SetLastErrorFromRequest(*m_pConnection, "login", std::string());
    return false;
}

bool CCloudStackWrapper::ConnectWithApiKey(const std::string& server, const std::string& apiKey,
                                           const std::string& secretKey) {
    m_pQueries->ClearLastError();
    if (!m_pConnection->connectWithApiKey(server, apiKey, secretKey)) {
        m_pQueries->SetLastErrorFromRequest(*m_pConnection, "listCapabilities", std::string());
        return false;
    }
    // One cheap signed call proves the keys; keys the server refuses are not kept.
    JsonObject capabilities;
    const JsonObject* inner = nullptr;
    if (m_pQueries->CallForObject("listCapabilities", CloudStackParams(), capabilities, inner)) return true;
    const CCloudStackErrorState failure = m_ErrorState;
    m_pConnection->disconnect();
    m_ErrorState = failure;
    return false;
}

bool CCloudStackWrapper::Disconnect() {
    m_pQueries->ClearLastError();
    return m_pConnection->disconnect();
}

void CCloudStackWrapper::SetCaFile(const std::string& path) {
    m_pConnection->SetCaFile(path);
}

void CCloudStackWrapper::SetVerifyPeer(bool verify) {
    m_pConnection->SetVerifyPeer(verify);
}

const CCloudStackErrorState& CCloudStackWrapper::GetLastError() const {
    return m_ErrorState;
}

void CCloudStackWrapper::SetListAll(bool listAll) {
    m_pQueries->SetListAll(listAll);
}

void CCloudStackWrapper::SetJobPollInterval(std::chrono::milliseconds interval) {
    m_pOperations->SetJobPollInterval(interval);
}

void CCloudStackWrapper::SetJobTimeout(std::chrono::seconds timeout) {
    m_pOperations->SetJobTimeout(timeout);
}

void CCloudStackWrapper::EnableDebug() {
    if (m_pConnection) m_pConnection->EnableDebug();
}

void CCloudStackWrapper::Test() {}

bool CCloudStackWrapper::GetProjectInfoList(std::vector<SProjectInfoLib>& projects, unsigned long long reserved) {
    m_pQueries->ClearLastError();
    return m_pQueries->GetProjectInfoList(projects, reserved);
}

bool CCloudStackWrapper::GetZoneInfoList(std::vector<SZoneInfoLib>& zones, unsigned long long reserved) {
    m_pQueries->ClearLastError();
    return m_pQueries->GetZoneInfoList(zones, reserved);
}

bool CCloudStackWrapper::GetPodInfoList(std::vector<SPodInfoLib>& pods, unsigned long long reserved) {
    m_pQueries->ClearLastError();
    return m_pQueries->GetPodInfoList(pods, reserved);
}

bool CCloudStackWrapper::GetClusterInfoList(std::vector<SClusterInfoLib>& clusters, unsigned long long reserved) {
    m_pQueries->ClearLastError();
    return m_pQueries->GetClusterInfoList(clusters, reserved);
}

bool CCloudStackWrapper::GetClusterInfo(const std::string& name, const std::string& id, SClusterInfoLib& cluster,
                                        unsigned long long reserved) {
    m_pQueries->ClearLastError();
    return m_pQueries->GetClusterInfo(name, id, cluster, reserved);
}

bool CCloudStackWrapper::GetHostInfoList(std::vector<SHostInfoLib>& hosts, unsigned long long reserved) {
    m_pQueries->ClearLastError();
    return m_pQueries->GetHostInfoList(hosts, reserved);
}

bool CCloudStackWrapper::GetHostInfo(const std::string& name, const std::string& id, SHostInfoLib& host,
                                     unsigned long long reserved) {
    m_pQueries->ClearLastError();
    return m_pQueries->GetHostInfo(name, id, host, reserved);
}

bool CCloudStackWrapper::GetVMInfoList(std::vector<SVMInfoLib>& vms, unsigned long long reserved) {
    m_pQueries->ClearLastError();
    return m_pQueries->GetVMInfoList(vms, reserved);
}

bool CCloudStackWrapper::GetVMInfo(const std::string& name, const std::string& id, SVMInfoLib& vm,
                                   unsigned long long reserved) {
    m_pQueries->ClearLastError();
    return m_pQueries->GetVMInfo(name, id, vm, reserved);
}

namespace {

// A power call given only a name looks the machine up first; false when no machine bears it.
bool ResolveVMId(CCloudStackQueries& queries, const std::string& name, const std::string& id, std::string& resolved) {
    resolved = id;
    if (!resolved.empty()) return true;
    SVMInfoLib vm;
    if (!queries.GetVMInfo(name, id, vm, 0)) return false;
    resolved = vm.strId;
    return true;
}

}  // namespace

bool CCloudStackWrapper::StartVM(const std::string& name, const std::string& id) {
    m_pQueries->ClearLastError();
    std::string vmId;
    if (!ResolveVMId(*m_pQueries, name, id, vmId)) return false;
    return m_pOperations->StartVM(name, vmId);
}

bool CCloudStackWrapper::StopVM(const std::string& name, const std::string& id) {
    m_pQueries->ClearLastError();
    std::string vmId;
    if (!ResolveVMId(*m_pQueries, name, id, vmId)) return false;
    return m_pOperations->StopVM(name, vmId);
}

bool CCloudStackWrapper::Call(const std::string& command, const CloudStackParams& params, std::string& json) {
    m_pQueries->ClearLastError();
    return m_pQueries->Call(command, params, json);
}

bool CCloudStackWrapper::CallAndWait(const std::string& command, const CloudStackParams& params, std::string& json) {
    m_pQueries->ClearLastError();
    return m_pOperations->CallAndWait(command, params, json);
}

bool CCloudStackWrapper::CallList(const std::string& command, const CloudStackParams& params, std::string& json) {
    m_pQueries->ClearLastError();
    return m_pQueries->CallList(command, params, json);
}

}  // namespace CloudStackSDKWrapper
