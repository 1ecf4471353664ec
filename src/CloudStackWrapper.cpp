#include "CloudStackWrapper.h"

#include "CloudStackConnection.h"
#include "CloudStackOperations.h"
#include "CloudStackParser.h"
#include "CloudStackQueries.h"

namespace CloudStackSDKWrapper {

// Members are built in declaration order and, should one step throw, the ones already built
// are destroyed in reverse; the borrowers (queries, operations) go before what they borrow.
CCloudStackWrapper::CCloudStackWrapper() : m_Log(nullptr) {
    m_pConnection.reset(new CCloudStackConnection());
    m_pParser.reset(new CCloudStackParser());
    m_pQueries.reset(new CCloudStackQueries(m_pConnection.get(), m_pParser.get(), &m_ErrorState));
    m_pOperations.reset(
        new CCloudStackOperations(m_pConnection.get(), m_pParser.get(), m_pQueries.get(), &m_ErrorState));
}

CCloudStackWrapper::~CCloudStackWrapper() {
    m_pOperations.reset();
    m_pQueries.reset();
    m_pParser.reset();
    m_pConnection.reset();
}

bool CCloudStackWrapper::Connect(const std::string& server, const std::string& user, const std::string& password) {
    return m_pConnection->connect(server, user, password);
}

void CCloudStackWrapper::EnableDebug() {
    if (m_pConnection) m_pConnection->EnableDebug();
}

void CCloudStackWrapper::Test() {}

bool CCloudStackWrapper::GetProjectInfoList(std::vector<SProjectInfoLib>& projects, unsigned long long reserved) {
    return m_pQueries->GetProjectInfoList(projects, reserved);
}

bool CCloudStackWrapper::GetZoneInfoList(std::vector<SZoneInfoLib>& zones, unsigned long long reserved) {
    return m_pQueries->GetZoneInfoList(zones, reserved);
}

bool CCloudStackWrapper::GetPodInfoList(std::vector<SPodInfoLib>& pods, unsigned long long reserved) {
    return m_pQueries->GetPodInfoList(pods, reserved);
}

bool CCloudStackWrapper::GetClusterInfoList(std::vector<SClusterInfoLib>& clusters, unsigned long long reserved) {
    return m_pQueries->GetClusterInfoList(clusters, reserved);
}

bool CCloudStackWrapper::GetClusterInfo(const std::string& name, const std::string& id, SClusterInfoLib& cluster,
                                        unsigned long long reserved) {
    return m_pQueries->GetClusterInfo(name, id, cluster, reserved);
}

bool CCloudStackWrapper::GetHostInfoList(std::vector<SHostInfoLib>& hosts, unsigned long long reserved) {
    return m_pQueries->GetHostInfoList(hosts, reserved);
}

bool CCloudStackWrapper::GetHostInfo(const std::string& name, const std::string& id, SHostInfoLib& host,
                                     unsigned long long reserved) {
    return m_pQueries->GetHostInfo(name, id, host, reserved);
}

bool CCloudStackWrapper::GetVMInfoList(std::vector<SVMInfoLib>& vms, unsigned long long reserved) {
    return m_pQueries->GetVMInfoList(vms, reserved);
}

bool CCloudStackWrapper::GetVMInfo(const std::string& name, const std::string& id, SVMInfoLib& vm,
                                   unsigned long long reserved) {
    return m_pQueries->GetVMInfo(name, id, vm, reserved);
}

namespace {

// A power call given only a name looks the machine up first; false when no machine bears it.
bool ResolveVMId(CCloudStackWrapper& wrapper, const std::string& name, const std::string& id, std::string& resolved) {
    resolved = id;
    if (!resolved.empty()) return true;
    SVMInfoLib vm;
    if (!wrapper.GetVMInfo(name, id, vm, 0)) return false;
    resolved = vm.strId;
    return true;
}

}  // namespace

bool CCloudStackWrapper::StartVM(const std::string& name, const std::string& id) {
    std::string vmId;
    if (!ResolveVMId(*this, name, id, vmId)) return false;
    return m_pOperations->StartVM(name, vmId);
}

bool CCloudStackWrapper::StopVM(const std::string& name, const std::string& id) {
    std::string vmId;
    if (!ResolveVMId(*this, name, id, vmId)) return false;
    return m_pOperations->StopVM(name, vmId);
}

}  // namespace CloudStackSDKWrapper

// --- calls being built; each reports CS_ERROR_INVALID_ARGUMENT until it is in place -------------
namespace CloudStackSDKWrapper {

namespace {
bool NotYet(CCloudStackErrorState& state) {
    state.lErrorCode = CS_ERROR_INVALID_ARGUMENT;
    state.strErrorMessage = "not available in this build";
    return false;
}
}  // namespace

bool CCloudStackWrapper::Connect(const std::string& server, const std::string& user, const std::string& password,
                                 const std::string& domain) {
    if (!domain.empty()) return NotYet(m_ErrorState);
    return Connect(server, user, password);
}
bool CCloudStackWrapper::ConnectWithApiKey(const std::string&, const std::string&, const std::string&) {
    return NotYet(m_ErrorState);
}
bool CCloudStackWrapper::Disconnect() {
    return true;
}
void CCloudStackWrapper::SetCaFile(const std::string&) {}
void CCloudStackWrapper::SetVerifyPeer(bool) {}
const CCloudStackErrorState& CCloudStackWrapper::GetLastError() const {
    return m_ErrorState;
}
void CCloudStackWrapper::SetListAll(bool) {}
void CCloudStackWrapper::SetJobPollInterval(std::chrono::milliseconds) {}
void CCloudStackWrapper::SetJobTimeout(std::chrono::seconds) {}
bool CCloudStackWrapper::Call(const std::string&, const CloudStackParams&, std::string&) {
    return NotYet(m_ErrorState);
}
bool CCloudStackWrapper::CallAndWait(const std::string&, const CloudStackParams&, std::string&) {
    return NotYet(m_ErrorState);
}
bool CCloudStackWrapper::CallList(const std::string&, const CloudStackParams&, std::string&) {
    return NotYet(m_ErrorState);
}

}  // namespace CloudStackSDKWrapper
