#pragma once

/// @file
/// The plain records in which the library hands the management server's objects to the host.
/// Every string starts empty and every number 0; records copy and move member-wise.

#include <cstdint>
#include <string>

namespace CloudStackSDKWrapper {

/// @brief Name and id, carried by every inventory object.
struct SBaseInfoLib {
    std::string strName{};  ///< "name"
    std::string strId{};    ///< "id"
};

/// @brief A project ("listProjects").
struct SProjectInfoLib : public SBaseInfoLib {
    std::string strDisplayText{};         ///< "displaytext"
    std::string strState{};               ///< "state"
    std::string strDomainId{};            ///< "domainid"
    std::string strDomain{};              ///< "domain"
    std::string strAccount{};             ///< "account"
    std::string strProjectAccountName{};  ///< "projectaccountname"
};

/// @brief A zone ("listZones").
struct SZoneInfoLib : public SBaseInfoLib {
    std::string strAllocationState{};  ///< "allocationstate"
};

/// @brief A pod ("listPods").
struct SPodInfoLib : public SBaseInfoLib {
    std::string strAllocationState{};  ///< "allocationstate"
    std::string strZoneId{};           ///< "zoneid"
    std::string strZoneName{};         ///< "zonename"
    std::string strGateway{};          ///< "gateway"
    std::string strNetmask{};          ///< "netmask"
};

/// @brief A cluster ("listClusters").
struct SClusterInfoLib : public SBaseInfoLib {
    std::string strPodId{};            ///< "podid"
    std::string strPodName{};          ///< "podname"
    std::string strZoneId{};           ///< "zoneid"
    std::string strZoneName{};         ///< "zonename"
    std::string strHypervisorType{};   ///< "hypervisortype"
    std::string strClusterType{};      ///< "clustertype"
    std::string strAllocationState{};  ///< "allocationstate"
    std::string strManagedState{};     ///< "managedstate"
};

/// @brief A host ("listHosts"). Memory figures are bytes, as the server reports them.
struct SHostInfoLib : public SBaseInfoLib {
    std::string strState{};          ///< "state"
    std::string strType{};           ///< "type"
    std::string strIpAddress{};      ///< "ipaddress"
    std::string strZoneId{};         ///< "zoneid"
    std::string strZoneName{};       ///< "zonename"
    std::string strPodId{};          ///< "podid"
    std::string strPodName{};        ///< "podname"
    std::string strClusterId{};      ///< "clusterid"
    std::string strClusterName{};    ///< "clustername"
    std::string strClusterType{};    ///< "clustertype"
    std::string strVersion{};        ///< "version"
    std::string strHypervisor{};     ///< "hypervisor"
    int32_t nCpuNumber{0};           ///< "cpunumber"
    int32_t nCpuSpeed{0};            ///< "cpuspeed" (MHz)
    std::string strCpuAllocated{};   ///< "cpuallocated", text such as "12.5%"
    std::string strCpuUsed{};        ///< "cpuused", text such as "3.2%"
    uint64_t ullMemoryTotal{0};      ///< "memorytotal"
    uint64_t ullMemoryAllocated{0};  ///< "memoryallocated"
    uint64_t ullMemoryUsed{0};       ///< "memoryused"
};

/// @brief A virtual machine ("listVirtualMachines"). Memory is MiB, as the server reports it.
struct SVMInfoLib : public SBaseInfoLib {
    std::string strDisplayName{};          ///< "displayname"
    std::string strState{};                ///< "state"
    std::string strHypervisor{};           ///< "hypervisor"
    std::string strInstanceName{};         ///< "instancename"
    std::string strAccount{};              ///< "account"
    std::string strUserId{};               ///< "userid"
    std::string strUserName{};             ///< "username"
    std::string strDomainId{};             ///< "domainid"
    std::string strDomain{};               ///< "domain"
    std::string strZoneId{};               ///< "zoneid"
    std::string strZoneName{};             ///< "zonename"
    std::string strHostId{};               ///< "hostid"
    std::string strHostName{};             ///< "hostname"
    std::string strTemplateId{};           ///< "templateid"
    std::string strTemplateName{};         ///< "templatename"
    std::string strTemplateDisplayText{};  ///< "templatedisplaytext"
    int32_t nCpuNumber{0};                 ///< "cpunumber"
    int32_t nCpuSpeed{0};                  ///< "cpuspeed" (MHz)
    uint64_t ullMemory{0};                 ///< "memory"
    std::string strGuestOsId{};            ///< "guestosid"
    std::string strOsTypeId{};             ///< "ostypeid"
};

/// @brief One asynchronous job, as "queryAsyncJobResult" reports it. Used inside the library only.
struct SJobInfoLib {
    std::string strJobId{};            ///< "jobid"
    std::string strJobInstanceId{};    ///< "jobinstanceid"
    std::string strJobInstanceType{};  ///< "jobinstancetype"
    std::string strCreated{};          ///< "created"
    std::string strCompleted{};        ///< "completed"
    std::string strCmd{};              ///< "cmd"
    std::string strAccountId{};        ///< "accountid"
    std::string strUserId{};           ///< "userid"
    int32_t nJobStatus{0};             ///< "jobstatus": 0 pending, 1 success, anything else failure
    int32_t nJobProcStatus{0};         ///< "jobprocstatus"
    int32_t nJobResultCode{0};         ///< "jobresultcode"
    std::string strJobResultType{};    ///< "jobresulttype"
};

}  // namespace CloudStackSDKWrapper
