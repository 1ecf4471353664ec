#include "CloudStackWrapper.h"

#include <new>

#include "CloudStackConnection.h"
#include "CloudStackErrorHandler.h"
#include "CloudStackOperations.h"
#include "CloudStackOutcome.h"
#include "CloudStackParser.h"
#include "CloudStackQueries.h"
#include "TeskGuard.h"

namespace CloudStackSDKWrapper {

namespace {

// The error state after an exception was caught: out of memory, or anything else. Never throws.
void RecordEscape(CCloudStackErrorState& state, TeskEscape escape, const char* what) noexcept {
    state.lErrorCode = escape == TeskEscape::OutOfMemory ? CS_ERROR_OUT_OF_MEMORY : CS_ERROR_INTERNAL;
    try {
        CCloudStackErrorHandler(&state).SetErrorMessage(escape == TeskEscape::OutOfMemory
                                                            ? std::string("out of memory")
                                                            : std::string("internal failure: ") + what);
    } catch (...) {
        state.strErrorMessage.clear();
    }
}

// One exported operation: the last error cleared, the call's outcome turned into its result and
// the last error, and no exception let through to the host. @p ready is false when the wrapper's
// components could not be built.
template <typename Call>
bool Run(const char* function, CCloudStackErrorState& state, bool ready, Call&& call) noexcept {
    return TeskGuard(
        function,
        [&]() -> bool {
            CCloudStackErrorHandler errors(&state);
            errors.ClearLastError();
            if (!ready) {
                errors.SetLastError(CS_ERROR_OUT_OF_MEMORY, "the wrapper could not be built: out of memory");
                return false;
            }
            return errors.Report(call());
        },
        [&state](TeskEscape escape, const char* what) {
            RecordEscape(state, escape, what);
            return false;
        });
}

// A setting: nothing to report unless it throws.
template <typename Call>
void Apply(const char* function, CCloudStackErrorState& state, bool ready, Call&& call) noexcept {
    TeskGuard(
        function,
        [&]() {
            if (ready) call();
        },
        [&state](TeskEscape escape, const char* what) { RecordEscape(state, escape, what); });
}

}  // namespace

// Members are built in declaration order; the borrowers (queries, operations) go before what they
// borrow. Should memory run out, the constructor throws nothing: every call then fails with
// CS_ERROR_OUT_OF_MEMORY.
CCloudStackWrapper::CCloudStackWrapper() : m_Log(nullptr) {
    try {
        m_pConnection = std::make_unique<CCloudStackConnection>();
        m_pParser = std::make_unique<CCloudStackParser>();
        m_pQueries = std::make_unique<CCloudStackQueries>(m_pConnection.get(), m_pParser.get(), &m_ErrorState);
        m_pOperations = std::make_unique<CCloudStackOperations>(m_pQueries.get(), &m_ErrorState);
    } catch (const std::bad_alloc&) {
        m_pOperations.reset();
        m_pQueries.reset();
        m_pParser.reset();
        m_pConnection.reset();
        RecordEscape(m_ErrorState, TeskEscape::OutOfMemory, "out of memory");
    }
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
    return Run(__PRETTY_FUNCTION__, m_ErrorState, m_pOperations != nullptr,
               [&] { return m_pConnection->OpenSession(server, user, password, domain); });
}

bool CCloudStackWrapper::ConnectWithApiKey(const std::string& server, const std::string& apiKey,
                                           const std::string& secretKey) {
    return Run(__PRETTY_FUNCTION__, m_ErrorState, m_pOperations != nullptr, [&] {
        SCloudStackOutcome outcome = m_pConnection->UseKeyPair(server, apiKey, secretKey);
        if (!outcome) return outcome;
        // One cheap signed call proves the keys; keys the server refuses are not kept.
        outcome = m_pQueries->CallForObject("listCapabilities", CloudStackParams());
        if (!outcome) m_pConnection->ForgetCredentials();
        return outcome;
    });
}

bool CCloudStackWrapper::Disconnect() {
    return Run(__PRETTY_FUNCTION__, m_ErrorState, m_pOperations != nullptr, [&] {
        m_pConnection->disconnect();
        return SCloudStackOutcome::Success();
    });
}

void CCloudStackWrapper::SetCaFile(const std::string& path) {
    Apply(__PRETTY_FUNCTION__, m_ErrorState, m_pOperations != nullptr, [&] {
        // curl would read the path only up to the NUL: another file than the host named.
        if (path.find('\0') != std::string::npos) {
            CCloudStackErrorHandler(&m_ErrorState)
                .SetLastError(CS_ERROR_INVALID_ARGUMENT, "the CA file's path holds a NUL character; not used");
            return;
        }
        m_pConnection->SetCaFile(path);
    });
}

void CCloudStackWrapper::SetVerifyPeer(bool verify) {
    Apply(__PRETTY_FUNCTION__, m_ErrorState, m_pOperations != nullptr, [&] { m_pConnection->SetVerifyPeer(verify); });
}

bool CCloudStackWrapper::SetProxy(const std::string& url) {
    return Run(__PRETTY_FUNCTION__, m_ErrorState, m_pOperations != nullptr,
               [&] { return m_pConnection->UseProxy(url); });
}

bool CCloudStackWrapper::SetClientCertificate(const std::string& certFile, const std::string& keyFile) {
    return Run(__PRETTY_FUNCTION__, m_ErrorState, m_pOperations != nullptr,
               [&] { return m_pConnection->UseClientCertificate(certFile, keyFile); });
}

const CCloudStackErrorState& CCloudStackWrapper::GetLastError() const {
    return m_ErrorState;
}

void CCloudStackWrapper::SetListAll(bool listAll) {
    Apply(__PRETTY_FUNCTION__, m_ErrorState, m_pOperations != nullptr, [&] { m_pQueries->SetListAll(listAll); });
}

void CCloudStackWrapper::SetJobPollInterval(std::chrono::milliseconds interval) {
    Apply(__PRETTY_FUNCTION__, m_ErrorState, m_pOperations != nullptr,
          [&] { m_pOperations->SetJobPollInterval(interval); });
}

void CCloudStackWrapper::SetJobTimeout(std::chrono::seconds timeout) {
    Apply(__PRETTY_FUNCTION__, m_ErrorState, m_pOperations != nullptr, [&] { m_pOperations->SetJobTimeout(timeout); });
}

void CCloudStackWrapper::SetJobProgress(CloudStackJobProgress progress) {
    Apply(__PRETTY_FUNCTION__, m_ErrorState, m_pOperations != nullptr,
          [&] { m_pOperations->SetJobProgress(std::move(progress)); });
}

void CCloudStackWrapper::EnableDebug() {
    Apply(__PRETTY_FUNCTION__, m_ErrorState, m_pOperations != nullptr, [&] { m_pConnection->EnableDebug(); });
}

void CCloudStackWrapper::Test() {}

bool CCloudStackWrapper::GetProjectInfoList(std::vector<SProjectInfoLib>& projects, unsigned long long reserved) {
    return Run(__PRETTY_FUNCTION__, m_ErrorState, m_pOperations != nullptr,
               [&] { return m_pQueries->GetProjectInfoList(projects, reserved); });
}

bool CCloudStackWrapper::GetZoneInfoList(std::vector<SZoneInfoLib>& zones, unsigned long long reserved) {
    return Run(__PRETTY_FUNCTION__, m_ErrorState, m_pOperations != nullptr,
               [&] { return m_pQueries->GetZoneInfoList(zones, reserved); });
}

bool CCloudStackWrapper::GetPodInfoList(std::vector<SPodInfoLib>& pods, unsigned long long reserved) {
    return Run(__PRETTY_FUNCTION__, m_ErrorState, m_pOperations != nullptr,
               [&] { return m_pQueries->GetPodInfoList(pods, reserved); });
}

bool CCloudStackWrapper::GetClusterInfoList(std::vector<SClusterInfoLib>& clusters, unsigned long long reserved) {
    return Run(__PRETTY_FUNCTION__, m_ErrorState, m_pOperations != nullptr,
               [&] { return m_pQueries->GetClusterInfoList(clusters, reserved); });
}

bool CCloudStackWrapper::GetClusterInfo(const std::string& name, const std::string& id, SClusterInfoLib& cluster,
                                        unsigned long long reserved) {
    return Run(__PRETTY_FUNCTION__, m_ErrorState, m_pOperations != nullptr,
               [&] { return m_pQueries->GetClusterInfo(name, id, cluster, reserved); });
}

bool CCloudStackWrapper::GetHostInfoList(std::vector<SHostInfoLib>& hosts, unsigned long long reserved) {
    return Run(__PRETTY_FUNCTION__, m_ErrorState, m_pOperations != nullptr,
               [&] { return m_pQueries->GetHostInfoList(hosts, reserved); });
}

bool CCloudStackWrapper::GetHostInfo(const std::string& name, const std::string& id, SHostInfoLib& host,
                                     unsigned long long reserved) {
    return Run(__PRETTY_FUNCTION__, m_ErrorState, m_pOperations != nullptr,
               [&] { return m_pQueries->GetHostInfo(name, id, host, reserved); });
}

bool CCloudStackWrapper::GetVMInfoList(std::vector<SVMInfoLib>& vms, unsigned long long reserved) {
    return Run(__PRETTY_FUNCTION__, m_ErrorState, m_pOperations != nullptr,
               [&] { return m_pQueries->GetVMInfoList(vms, reserved); });
}

bool CCloudStackWrapper::GetVMInfo(const std::string& name, const std::string& id, SVMInfoLib& vm,
                                   unsigned long long reserved) {
    return Run(__PRETTY_FUNCTION__, m_ErrorState, m_pOperations != nullptr,
               [&] { return m_pQueries->GetVMInfo(name, id, vm, reserved); });
}

namespace {

// A power call given only a name looks the machine up first; a failure when no machine bears it.
SCloudStackOutcome ResolveVMId(CCloudStackQueries& queries, const std::string& name, const std::string& id,
                               std::string& resolved) {
    resolved = id;
    if (!resolved.empty()) return SCloudStackOutcome::Success();
    SVMInfoLib vm;
    SCloudStackOutcome outcome = queries.GetVMInfo(name, id, vm, 0);
    resolved = vm.strId;
    return outcome;
}

}  // namespace

bool CCloudStackWrapper::StartVM(const std::string& name, const std::string& id) {
    return Run(__PRETTY_FUNCTION__, m_ErrorState, m_pOperations != nullptr, [&] {
        std::string vmId;
        SCloudStackOutcome found = ResolveVMId(*m_pQueries, name, id, vmId);
        return found ? m_pOperations->StartVM(name, vmId) : std::move(found);
    });
}

bool CCloudStackWrapper::StopVM(const std::string& name, const std::string& id) {
    return Run(__PRETTY_FUNCTION__, m_ErrorState, m_pOperations != nullptr, [&] {
        std::string vmId;
        SCloudStackOutcome found = ResolveVMId(*m_pQueries, name, id, vmId);
        return found ? m_pOperations->StopVM(name, vmId) : std::move(found);
    });
}

void CCloudStackWrapper::SetConcurrency(unsigned concurrency) {
    Apply(__PRETTY_FUNCTION__, m_ErrorState, m_pOperations != nullptr,
          [&] { m_pOperations->SetConcurrency(concurrency); });
}

namespace {

// What the last error says after a bulk call: the first failure's code, and how many failed.
SCloudStackOutcome BatchSummary(const std::vector<SBatchItem>& items) {
    std::size_t failed = 0;
    std::size_t first = 0;
    for (std::size_t i = 0; i < items.size(); ++i) {
        if (!items[i].outcome && failed++ == 0) first = i;
    }
    if (failed == 0) return SCloudStackOutcome::Success();
    const SCloudStackOutcome& outcome = items[first].outcome;
    return SCloudStackOutcome::Failure(outcome.eFailure, outcome.lCode,
                                       std::to_string(failed) + " of " + std::to_string(items.size()) +
                                           " failed; the first, item " + std::to_string(first) + " (" +
                                           items[first].request.strCommand + "): " + outcome.strMessage,
                                       outcome.lHttpStatus);
}

CCloudStackErrorState ErrorOf(const SCloudStackOutcome& outcome) {
    CCloudStackErrorState error;
    if (!outcome) {
        error.lErrorCode = outcome.lCode;
        error.strErrorMessage = CCloudStackErrorHandler::Capped(outcome.strMessage);
    }
    return error;
}

// What a result says until its command has ended: all along for a call that ended early as a whole.
CCloudStackErrorState Unfinished() {
    CCloudStackErrorState error;
    error.lErrorCode = CS_ERROR_UNFINISHED;
    error.strErrorMessage = "not ended yet";
    return error;
}

// One power command per machine, run as one batch.
SCloudStackOutcome PowerMany(CCloudStackQueries& queries, CCloudStackOperations& operations, const char* command,
                             const std::vector<std::string>& ids, std::vector<CCloudStackErrorState>& results) {
    results.assign(ids.size(), Unfinished());
    std::vector<SBatchItem> items(ids.size());
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (ids[i].empty()) {
            items[i].outcome = SCloudStackOutcome::Refusal(CS_ERROR_INVALID_ARGUMENT, "a machine's id is needed");
            items[i].request.strCommand = command;
            continue;
        }
        items[i].outcome = queries.CommandRequest(command, {{"id", ids[i]}}, false, items[i].request);
    }
    // Each result as soon as its machine is done: a progress callback may count them.
    operations.RunBatch(items, true, [&](std::size_t i) { results[i] = ErrorOf(items[i].outcome); });
    return BatchSummary(items);
}

}  // namespace

bool CCloudStackWrapper::StartVMs(const std::vector<std::string>& ids, std::vector<CCloudStackErrorState>& results) {
    return Run(__PRETTY_FUNCTION__, m_ErrorState, m_pOperations != nullptr,
               [&] { return PowerMany(*m_pQueries, *m_pOperations, "startVirtualMachine", ids, results); });
}

bool CCloudStackWrapper::StopVMs(const std::vector<std::string>& ids, std::vector<CCloudStackErrorState>& results) {
    return Run(__PRETTY_FUNCTION__, m_ErrorState, m_pOperations != nullptr,
               [&] { return PowerMany(*m_pQueries, *m_pOperations, "stopVirtualMachine", ids, results); });
}

bool CCloudStackWrapper::CallAndWaitMany(const std::vector<CloudStackRequest>& requests,
                                         std::vector<CloudStackResult>& results) {
    return Run(__PRETTY_FUNCTION__, m_ErrorState, m_pOperations != nullptr, [&] {
        results.assign(requests.size(), CloudStackResult{false, std::string(), Unfinished()});
        std::vector<SBatchItem> items(requests.size());
        for (std::size_t i = 0; i < requests.size(); ++i) {
            items[i].outcome =
                m_pQueries->CommandRequest(requests[i].command, requests[i].params, false, items[i].request);
            if (!items[i].outcome) items[i].request.strCommand = requests[i].command;
        }
        m_pOperations->RunBatch(items, false, [&](std::size_t i) {
            CloudStackResult& result = results[i];
            result.bOk = static_cast<bool>(items[i].outcome);
            result.strJson = result.bOk ? std::move(items[i].strJson) : std::string();
            result.error = ErrorOf(items[i].outcome);
        });
        return BatchSummary(items);
    });
}

bool CCloudStackWrapper::Call(const std::string& command, const CloudStackParams& params, std::string& json) {
    return Run(__PRETTY_FUNCTION__, m_ErrorState, m_pOperations != nullptr,
               [&] { return m_pQueries->Call(command, params, json); });
}

bool CCloudStackWrapper::CallAndWait(const std::string& command, const CloudStackParams& params, std::string& json) {
    return Run(__PRETTY_FUNCTION__, m_ErrorState, m_pOperations != nullptr,
               [&] { return m_pOperations->CallAndWait(command, params, json); });
}

bool CCloudStackWrapper::CallList(const std::string& command, const CloudStackParams& params, std::string& json) {
    return Run(__PRETTY_FUNCTION__, m_ErrorState, m_pOperations != nullptr,
               [&] { return m_pQueries->CallList(command, params, json); });
}

bool CCloudStackWrapper::WaitForJob(const std::string& jobId, std::string& json) {
    return Run(__PRETTY_FUNCTION__, m_ErrorState, m_pOperations != nullptr,
               [&] { return m_pOperations->WaitForJob(jobId, json); });
}

}  // namespace CloudStackSDKWrapper
