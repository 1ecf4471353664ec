// Job answers (the object under "<command>response") through CCloudStackParser::ParseNestedObject:
// no crash, no exception out of the parser, and every mapped field assigned on success, so that a
// record full of old values comes out the same as a fresh one.

#include <cstddef>
#include <cstdint>
#include <string>

#include "CloudStackParser.h"
#include "FuzzSupport.h"

using namespace CloudStackSDKWrapper;

namespace {

std::string Dump(const SJobInfoLib& job) {
    return job.strJobId + "|" + job.strJobInstanceId + "|" + job.strJobInstanceType + "|" + job.strCreated + "|" +
           job.strCompleted + "|" + job.strCmd + "|" + job.strAccountId + "|" + job.strUserId + "|" +
           std::to_string(job.nJobStatus) + "|" + std::to_string(job.nJobProcStatus) + "|" +
           std::to_string(job.nJobResultCode) + "|" + job.strJobResultType;
}

SJobInfoLib Stale() {
    SJobInfoLib job;
    job.strJobId = job.strJobInstanceId = job.strJobInstanceType = job.strCreated = job.strCompleted = job.strCmd =
        job.strAccountId = job.strUserId = job.strJobResultType = "stale";
    job.nJobStatus = job.nJobProcStatus = job.nJobResultCode = -77;
    return job;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    cloudstack_fuzz::LogSink log;
    const std::string body(reinterpret_cast<const char*>(data), size);
    CCloudStackParser parser;
    for (const char* key :
         {"queryasyncjobresultresponse", "stopvirtualmachineresponse", "startvirtualmachineresponse"}) {
        SJobInfoLib fresh;
        SJobInfoLib stale = Stale();
        const bool freshParsed = parser.ParseNestedObject<SJobInfoLib>(body, key, fresh);
        const bool staleParsed = parser.ParseNestedObject<SJobInfoLib>(body, key, stale);
        cloudstack_fuzz::Require(freshParsed == staleParsed, "the same answer parsed once and failed once", body);
        if (freshParsed) {
            cloudstack_fuzz::Require(Dump(fresh) == Dump(stale), "a field kept its old value after a successful parse",
                                     Dump(fresh) + "\n" + Dump(stale));
        }
    }
    return 0;
}
