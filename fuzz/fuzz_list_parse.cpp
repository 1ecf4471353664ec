// List answers of the six inventory types through the one-pass reader and through the tree walk:
// both must decide every body the same way, down to each field, the page figures and the error
// line. The first byte picks the record type (its value modulo 6) and, with its high bit, whether
// the body string has the spare capacity that lets the reader work in place.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "CloudStackParser.h"
#include "FuzzSupport.h"

using namespace CloudStackSDKWrapper;

namespace {

std::string Text(const std::string& value) {
    return value + "|";
}
std::string Text(uint64_t value) {
    return std::to_string(value) + "|";
}
std::string Text(int32_t value) {
    return std::to_string(value) + "|";
}

std::string Dump(const SBaseInfoLib& r) {
    return Text(r.strName) + Text(r.strId);
}
std::string Dump(const SProjectInfoLib& r) {
    return Dump(static_cast<const SBaseInfoLib&>(r)) + Text(r.strDisplayText) + Text(r.strState) + Text(r.strDomainId) +
           Text(r.strDomain) + Text(r.strAccount) + Text(r.strProjectAccountName);
}
std::string Dump(const SZoneInfoLib& r) {
    return Dump(static_cast<const SBaseInfoLib&>(r)) + Text(r.strAllocationState);
}
std::string Dump(const SPodInfoLib& r) {
    return Dump(static_cast<const SBaseInfoLib&>(r)) + Text(r.strAllocationState) + Text(r.strZoneId) +
           Text(r.strZoneName) + Text(r.strGateway) + Text(r.strNetmask);
}
std::string Dump(const SClusterInfoLib& r) {
    return Dump(static_cast<const SBaseInfoLib&>(r)) + Text(r.strPodId) + Text(r.strPodName) + Text(r.strZoneId) +
           Text(r.strZoneName) + Text(r.strHypervisorType) + Text(r.strClusterType) + Text(r.strAllocationState) +
           Text(r.strManagedState);
}
std::string Dump(const SHostInfoLib& r) {
    return Dump(static_cast<const SBaseInfoLib&>(r)) + Text(r.strState) + Text(r.strType) + Text(r.strIpAddress) +
           Text(r.strZoneId) + Text(r.strZoneName) + Text(r.strPodId) + Text(r.strPodName) + Text(r.strClusterId) +
           Text(r.strClusterName) + Text(r.strClusterType) + Text(r.strVersion) + Text(r.strHypervisor) +
           Text(r.nCpuNumber) + Text(r.nCpuSpeed) + Text(r.strCpuAllocated) + Text(r.strCpuUsed) +
           Text(r.ullMemoryTotal) + Text(r.ullMemoryAllocated) + Text(r.ullMemoryUsed);
}
std::string Dump(const SVMInfoLib& r) {
    return Dump(static_cast<const SBaseInfoLib&>(r)) + Text(r.strDisplayName) + Text(r.strState) +
           Text(r.strHypervisor) + Text(r.strInstanceName) + Text(r.strAccount) + Text(r.strUserId) +
           Text(r.strUserName) + Text(r.strDomainId) + Text(r.strDomain) + Text(r.strZoneId) + Text(r.strZoneName) +
           Text(r.strHostId) + Text(r.strHostName) + Text(r.strTemplateId) + Text(r.strTemplateName) +
           Text(r.strTemplateDisplayText) + Text(r.nCpuNumber) + Text(r.nCpuSpeed) + Text(r.ullMemory) +
           Text(r.strGuestOsId) + Text(r.strOsTypeId);
}

// Everything a caller can see of one parse, as one text.
template <typename T>
std::string Observe(bool result, const std::vector<T>& records, const SListPageInfo& page,
                    const std::vector<std::string>& messages) {
    std::string text = std::string(result ? "true" : "false") + " count=" + std::to_string(page.nCount) +
                       " items=" + std::to_string(page.nItems) + "\n";
    for (const T& record : records) text += "record " + Dump(record) + "\n";
    for (const std::string& message : messages) text += "line " + message + "\n";
    return text;
}

template <typename T>
void Compare(const std::string& body, bool padded, const char* responseKey, const char* itemKey) {
    cloudstack_fuzz::LogSink log(true);
    CCloudStackParser parser;

    // A record already in the vector must stay first, whatever the answer.
    std::vector<T> onePassRecords(1);
    onePassRecords[0].strName = "kept";
    std::vector<T> referenceRecords = onePassRecords;
    SListPageInfo onePassPage{777, 777};
    SListPageInfo referencePage{777, 777};

    std::string input;
    if (padded) input.reserve(body.size() + CCloudStackParser::kBodyPadding);
    input.assign(body);
    if (!padded) input.shrink_to_fit();
    const bool onePass = parser.ParseNestedList<T>(input, responseKey, itemKey, onePassRecords, &onePassPage);
    const std::string seen = Observe(onePass, onePassRecords, onePassPage, log.Take());

    const bool reference =
        parser.ParseNestedListReference<T>(body, responseKey, itemKey, referenceRecords, &referencePage);
    const std::string expected = Observe(reference, referenceRecords, referencePage, log.Take());

    cloudstack_fuzz::Require(seen == expected, "the one-pass list reader and the tree walk disagree",
                             "one pass:\n" + seen + "tree walk:\n" + expected);
    cloudstack_fuzz::Require(onePassRecords[0].strName == "kept", "a record before the answer's was touched");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const bool padded = (data[0] & 0x80) != 0;
    const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch ((data[0] & 0x7F) % 6) {
        case 0:
            Compare<SProjectInfoLib>(body, padded, "listprojectsresponse", "project");
            break;
        case 1:
            Compare<SZoneInfoLib>(body, padded, "listzonesresponse", "zone");
            break;
        case 2:
            Compare<SPodInfoLib>(body, padded, "listpodsresponse", "pod");
            break;
        case 3:
            Compare<SClusterInfoLib>(body, padded, "listclustersresponse", "cluster");
            break;
        case 4:
            Compare<SHostInfoLib>(body, padded, "listhostsresponse", "host");
            break;
        default:
            Compare<SVMInfoLib>(body, padded, "listvirtualmachinesresponse", "virtualmachine");
            break;
    }
    return 0;
}
