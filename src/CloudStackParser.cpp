#include "CloudStackParser.h"

namespace CloudStackSDKWrapper {

CCloudStackParser::~CCloudStackParser() = default;

void CCloudStackParser::FillPageInfo(const JsonObject& responseObj, const std::string& itemKey, SListPageInfo& page) {
    long long count = -1;
    page.nCount = TeskJson::TryGetCount(responseObj, "count", count) ? count : -1;
    const JsonArray* items = TeskJson::FindArray(responseObj, itemKey);
    page.nItems = items != nullptr ? items->size() : 0;
}

bool CCloudStackParser::Convert(const JsonObject& object, SBaseInfoLib& record) {
    record.strId = TeskJson::GetStringValue(object, "id");
    record.strName = TeskJson::GetStringValue(object, "name");
    return true;
}

bool CCloudStackParser::Convert(const JsonObject& object, SProjectInfoLib& record) {
    Convert(object, static_cast<SBaseInfoLib&>(record));
    record.strDisplayText = TeskJson::GetStringValue(object, "displaytext");
    record.strState = TeskJson::GetStringValue(object, "state");
    record.strDomainId = TeskJson::GetStringValue(object, "domainId");
    record.strDomain = TeskJson::GetStringValue(object, "domain");
    record.strAccount = TeskJson::GetStringValue(object, "account");
    record.strProjectAccountName = TeskJson::GetStringValue(object, "projectaccountname");
    return true;
}

bool CCloudStackParser::Convert(const JsonObject& object, SZoneInfoLib& record) {
    Convert(object, static_cast<SBaseInfoLib&>(record));
    record.strAllocationState = TeskJson::GetStringValue(object, "allocationstate");
    return true;
}

bool CCloudStackParser::Convert(const JsonObject& object, SPodInfoLib& record) {
    Convert(object, static_cast<SBaseInfoLib&>(record));
    record.strAllocationState = TeskJson::GetStringValue(object, "allocationstate");
    record.strZoneId = TeskJson::GetStringValue(object, "zoneid");
    record.strZoneName = TeskJson::GetStringValue(object, "zonename");
    record.strGateway = TeskJson::GetStringValue(object, "gateway");
    record.strNetmask = TeskJson::GetStringValue(object, "netmask");
    return true;
}

bool CCloudStackParser::Convert(const JsonObject& object, SClusterInfoLib& record) {
    Convert(object, static_cast<SBaseInfoLib&>(record));
    record.strPodId = TeskJson::GetStringValue(object, "podid");
    record.strPodName = TeskJson::GetStringValue(object, "podname");
    record.strZoneId = TeskJson::GetStringValue(object, "zoneid");
    record.strZoneName = TeskJson::GetStringValue(object, "zonename");
    record.strHypervisorType = TeskJson::GetStringValue(object, "hypervisortype");
    record.strClusterType = TeskJson::GetStringValue(object, "clustertype");
    record.strAllocationState = TeskJson::GetStringValue(object, "allocationstate");
    record.strManagedState = TeskJson::GetStringValue(object, "managedstate");
    return true;
}

bool CCloudStackParser::Convert(const JsonObject& object, SHostInfoLib& record) {
    Convert(object, static_cast<SBaseInfoLib&>(record));
    record.strState = TeskJson::GetStringValue(object, "state");
    record.strType = TeskJson::GetStringValue(object, "type");
    record.strIpAddress = TeskJson::GetStringValue(object, "ipaddress");
    record.strZoneId = TeskJson::GetStringValue(object, "zoneid");
    record.strZoneName = TeskJson::GetStringValue(object, "zonename");
    record.strPodId = TeskJson::GetStringValue(object, "podid");
    record.strPodName = TeskJson::GetStringValue(object, "podname");
    record.strClusterId = TeskJson::GetStringValue(object, "clusterid");
    record.strClusterName = TeskJson::GetStringValue(object, "clustername");
    record.strClusterType = TeskJson::GetStringValue(object, "clustertype");
    record.strVersion = TeskJson::GetStringValue(object, "version");
    record.strHypervisor = TeskJson::GetStringValue(object, "hypervisor");
    record.nCpuNumber = TeskJson::GetIntValue(object, "cpunumber");
    record.nCpuSpeed = TeskJson::GetIntValue(object, "cpuspeed");
    record.strCpuAllocated = TeskJson::GetStringValue(object, "cpuallocated");
    record.strCpuUsed = TeskJson::GetStringValue(object, "cpuused");
    record.ullMemoryTotal = TeskJson::GetUInt64Value(object, "memorytotal");
    record.ullMemoryAllocated = TeskJson::GetUInt64Value(object, "memoryallocated");
    record.ullMemoryUsed = TeskJson::GetUInt64Value(object, "memoryused");
    return true;
}

bool CCloudStackParser::Convert(const JsonObject& object, SVMInfoLib& record) {
    Convert(object, static_cast<SBaseInfoLib&>(record));
    record.strDisplayName = TeskJson::GetStringValue(object, "displayname");
    record.strState = TeskJson::GetStringValue(object, "state");
    record.strHypervisor = TeskJson::GetStringValue(object, "hypervisor");
    record.strInstanceName = TeskJson::GetStringValue(object, "instancename");
    record.strAccount = TeskJson::GetStringValue(object, "account");
    record.strUserId = TeskJson::GetStringValue(object, "userid");
    record.strUserName = TeskJson::GetStringValue(object, "username");
    record.strDomainId = TeskJson::GetStringValue(object, "domainId");
    record.strDomain = TeskJson::GetStringValue(object, "domain");
    record.strZoneId = TeskJson::GetStringValue(object, "zoneid");
    record.strZoneName = TeskJson::GetStringValue(object, "zoneName");
    record.strHostId = TeskJson::GetStringValue(object, "hostid");
    record.strHostName = TeskJson::GetStringValue(object, "hostname");
    record.strTemplateId = TeskJson::GetStringValue(object, "templateid");
    record.strTemplateName = TeskJson::GetStringValue(object, "templatename");
    record.strTemplateDisplayText = TeskJson::GetStringValue(object, "templatedisplaytext");
    record.nCpuNumber = TeskJson::GetIntValue(object, "cpunumber");
    record.nCpuSpeed = TeskJson::GetIntValue(object, "cpuspeed");
    record.ullMemory = TeskJson::GetUInt64Value(object, "memory");
    record.strGuestOsId = TeskJson::GetStringValue(object, "guestosid");
    record.strOsTypeId = TeskJson::GetStringValue(object, "ostypeid");
    return true;
}

bool CCloudStackParser::Convert(const JsonObject& object, SJobInfoLib& record) {
    record.strJobId = TeskJson::GetStringValue(object, "jobid");
    record.strJobInstanceId = TeskJson::GetStringValue(object, "jobinstanceid");
    record.strJobInstanceType = TeskJson::GetStringValue(object, "jobinstancetype");
    record.strCreated = TeskJson::GetStringValue(object, "created");
    record.strCompleted = TeskJson::GetStringValue(object, "completed");
    record.strCmd = TeskJson::GetStringValue(object, "cmd");
    record.strAccountId = TeskJson::GetStringValue(object, "accountid");
    record.strUserId = TeskJson::GetStringValue(object, "userid");
    record.nJobStatus = TeskJson::GetIntValue(object, "jobstatus");
    record.nJobProcStatus = TeskJson::GetIntValue(object, "jobprocstatus");
    record.nJobResultCode = TeskJson::GetIntValue(object, "jobresultcode");
    record.strJobResultType = TeskJson::GetStringValue(object, "jobresulttype");
    return true;
}

}  // namespace CloudStackSDKWrapper
