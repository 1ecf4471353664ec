#pragma once

/// @file
/// The one header a host program includes: the wrapper class and every record it fills.

#include <memory>
#include <string>
#include <vector>

#include "CloudStackErrorHandler.h"
#include "CloudStackRecords.h"
#include "TeskExport.h"
#include "TraceLog.h"

namespace CloudStackSDKWrapper {

class CCloudStackConnection;
class CCloudStackParser;
class CCloudStackQueries;
class CCloudStackOperations;

/// @brief Client of one management server's HTTP API (http://<server>:8080/client/api).
///
/// Every call is synchronous and returns true on success, filling the vector or record
/// that the caller passed; lists append after what the vector already holds.
///
/// Threads: the library starts none and takes no locks. Use one wrapper from one thread
/// at a time; two wrappers share nothing and may be used from two threads at once.
class CLOUDSTACK_EXPORT CCloudStackWrapper {
public:
    CCloudStackWrapper();
    ~CCloudStackWrapper();
    CCloudStackWrapper(const CCloudStackWrapper&) = delete;
    CCloudStackWrapper& operator=(const CCloudStackWrapper&) = delete;

    /// @brief Logs in to the management server.
    /// @param server host name or address, without scheme or port
    /// @param user user name
    /// @param password password, sent as given
    /// @return true when the server accepted the login
    bool Connect(const std::string& server, const std::string& user, const std::string& password);

    /// @brief Switches on trace lines for the connection (request summaries, URLs with secrets masked).
    void EnableDebug();

    /// @brief Does nothing; kept for hosts that call it.
    void Test();

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

private:
    TraceLog m_Log;
    CCloudStackErrorState m_ErrorState;
    std::unique_ptr<CCloudStackConnection> m_pConnection;
    std::unique_ptr<CCloudStackParser> m_pParser;
    std::unique_ptr<CCloudStackQueries> m_pQueries;
    std::unique_ptr<CCloudStackOperations> m_pOperations;
};

}  // namespace CloudStackSDKWrapper
