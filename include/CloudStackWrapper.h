#pragma once

/// @file
/// The one header a host program includes: the wrapper class and every record it fills.

#include <chrono>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "CloudStackErrorState.h"
#include "CloudStackRecords.h"
#include "TeskExport.h"
#include "TraceLog.h"

namespace CloudStackSDKWrapper {

class CCloudStackConnection;
class CCloudStackParser;
class CCloudStackQueries;
class CCloudStackOperations;

/// @brief Parameters of a generic API call: name and value pairs, sent in this order.
using CloudStackParams = std::vector<std::pair<std::string, std::string>>;

/// @brief Client of one management server's HTTP API.
///
/// Every call is synchronous and returns true on success, filling the vector or record
/// that the caller passed; lists append after what the vector already holds. Every public
/// call clears the last error when it starts, and a call that returns false leaves in it why
/// (GetLastError).
///
/// Threads: the library starts none and takes no locks. One wrapper is for one thread at a
/// time: calls on one wrapper from two threads at once are undefined behaviour. Two wrappers
/// share nothing and may be used from two threads at once.
class CLOUDSTACK_EXPORT CCloudStackWrapper {
public:
    CCloudStackWrapper();
    /// @brief Sends nothing; forgets the session, the credentials and any key pair.
    ~CCloudStackWrapper();
    CCloudStackWrapper(const CCloudStackWrapper&) = delete;
    CCloudStackWrapper& operator=(const CCloudStackWrapper&) = delete;

    /// @brief Logs in to the management server with a user of the ROOT domain.
    /// @param server a bare host name or address (meaning http://<server>:8080/client/api),
    /// host:port (http://host:port/client/api), or an http:// or https:// URL with an optional
    /// port and path (default path /client/api)
    /// @param user user name
    /// @param password password, sent in the body of the login POST, never in the URL
    /// @return true when the server accepted the login and a session key arrived
    bool Connect(const std::string& server, const std::string& user, const std::string& password);

    /// @brief Logs in like Connect, with a user of the given domain.
    /// @param domain the domain's path, such as "/" or "ROOT/customers/acme"; empty means ROOT
    bool Connect(const std::string& server, const std::string& user, const std::string& password,
                 const std::string& domain);

    /// @brief Uses an API key pair instead of a login: every later request is signed.
    /// Checks the keys with one cheap signed call (listCapabilities).
    /// @param server as for Connect
    /// @return true when the server accepted the signed call
    bool ConnectWithApiKey(const std::string& server, const std::string& apiKey, const std::string& secretKey);

    /// @brief Logs out of a password session (one "logout" request) and forgets the session,
    /// the credentials and any key pair.
    /// @return true, also when there was no session
    bool Disconnect();

    /// @brief Trusts the certificates of this PEM file besides the system's CA store (https only).
    void SetCaFile(const std::string& path);

    /// @brief Verification of the server's certificate and host name (on by default). Off is for
    /// test clouds only, and every Connect then writes a warning line.
    void SetVerifyPeer(bool verify);

    /// @brief Switches on trace lines for the connection (request summaries, URLs with secrets masked).
    void EnableDebug();

    /// @brief Does nothing; kept for hosts that call it.
    void Test();

    /// @brief The last error: cleared by every public call when it starts; after a call that
    /// returned false it says why (see ECloudStackErrorCode).
    const CCloudStackErrorState& GetLastError() const;

    /// @brief When on, the lists of virtual machines and projects, and the lookups made through
    /// them, ask for every account's records ("listall=true"), as an administrator may. Off by default.
    void SetListAll(bool listAll);

    /// @brief Pause between two polls of an async job that is still pending (default 10 s).
    /// The first poll is always sent at once.
    void SetJobPollInterval(std::chrono::milliseconds interval);

    /// @brief Longest wait for an async job (default 0: no limit). A job still pending when it
    /// has passed makes the call false with CS_ERROR_JOB_TIMEOUT and the job id in the message;
    /// the job goes on on the server.
    void SetJobTimeout(std::chrono::seconds timeout);

    /// @brief Lists the projects of the caller's account. The last argument is not used.
    bool GetProjectInfoList(std::vector<SProjectInfoLib>& projects, unsigned long long reserved = 0);
    /// @brief Lists every zone.
    bool GetZoneInfoList(std::vector<SZoneInfoLib>& zones, unsigned long long reserved = 0);
    /// @brief Lists every pod.
    bool GetPodInfoList(std::vector<SPodInfoLib>& pods, unsigned long long reserved = 0);
    /// @brief Lists every cluster.
    bool GetClusterInfoList(std::vector<SClusterInfoLib>& clusters, unsigned long long reserved = 0);
    /// @brief Fetches one cluster by id or, when @p id is empty, by exact name (letter case aside).
    /// @p cluster is written only on success.
    bool GetClusterInfo(const std::string& name, const std::string& id, SClusterInfoLib& cluster,
                        unsigned long long reserved = 0);
    /// @brief Lists every host.
    bool GetHostInfoList(std::vector<SHostInfoLib>& hosts, unsigned long long reserved = 0);
    /// @brief Fetches one host by id or, when @p id is empty, by exact name (letter case aside).
    bool GetHostInfo(const std::string& name, const std::string& id, SHostInfoLib& host,
                     unsigned long long reserved = 0);
    /// @brief Lists the virtual machines of the caller's account.
    bool GetVMInfoList(std::vector<SVMInfoLib>& vms, unsigned long long reserved = 0);
    /// @brief Fetches one virtual machine by id or, when @p id is empty, by exact name (letter case aside).
    bool GetVMInfo(const std::string& name, const std::string& id, SVMInfoLib& vm, unsigned long long reserved = 0);

    /// @brief Starts a virtual machine given its id, or its name when @p id is empty, and waits
    /// for the server's job to end (polling every ten seconds). true when the job succeeded.
    bool StartVM(const std::string& name, const std::string& id);
    /// @brief Stops a virtual machine, like StartVM.
    bool StopVM(const std::string& name, const std::string& id);

    /// @brief Sends any API command with "response=json" and the given parameters (values
    /// percent-encoded, in the order given): GET for commands whose name starts with "list",
    /// "get" or "query", POST otherwise.
    /// @param json on success, the answer's inner object (what stands under
    /// "<command lower-cased>response") as JSON text
    bool Call(const std::string& command, const CloudStackParams& params, std::string& json);

    /// @brief Call, then, when the answer holds a "jobid", waits for that job with the job poll
    /// interval and timeout.
    /// @param json on success, the job's "jobresult" as JSON text (the inner object when there
    /// was no job); a failed job is false with its error in the last error
    bool CallAndWait(const std::string& command, const CloudStackParams& params, std::string& json);

    /// @brief Call for a list command, fetching every page as the built-in lists do.
    /// @param json on success, one JSON array of every item under the answer's item key
    bool CallList(const std::string& command, const CloudStackParams& params, std::string& json);

private:
    TraceLog m_Log;
    CCloudStackErrorState m_ErrorState;
    std::unique_ptr<CCloudStackConnection> m_pConnection;
    std::unique_ptr<CCloudStackParser> m_pParser;
    std::unique_ptr<CCloudStackQueries> m_pQueries;
    std::unique_ptr<CCloudStackOperations> m_pOperations;
};

}  // namespace CloudStackSDKWrapper
