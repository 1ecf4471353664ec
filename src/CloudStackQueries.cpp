#include "CloudStackQueries.h"

namespace CloudStackSDKWrapper {

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
    // Built before the answer is converted: jobId may be job.strJobId itself.
    const std::vector<std::string> args{StrUtil::Format("jobid=%s", StrUtil::PercentEncode(jobId).c_str())};
    std::string response;
    if (!m_pConnection->GET("queryAsyncJobResult", args, response)) return false;
    return m_pParser->ParseNestedObject<SJobInfoLib>(response, "queryasyncjobresultresponse", job);
}

}  // namespace CloudStackSDKWrapper
