// Paged lists against a running cloudstack-sim, through the library's components (the static archive), for
// scripts/bench.sh:
//
//   paged_bench list ADDR USER PASSWORD ahead|one-by-one   log in, then every page of listVirtualMachines
//                                                           (listall) into records: with the next page asked
//                                                           for while one is parsed, or only after it (before)
//   paged_bench parse ADDR USER PASSWORD                    every page fetched first; then the parse alone of
//                                                           those pages into records
//
// Output lines are "name value" pairs.

#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "CloudStackConnection.h"
#include "CloudStackParser.h"
#include "CloudStackQueries.h"
#include "Measure.h"

using namespace CloudStackSDKWrapper;

namespace {

double MsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
}

struct Components {
    CCloudStackConnection connection;
    CCloudStackParser parser;
    CCloudStackErrorState errors;
    CCloudStackQueries queries{&connection, &parser, &errors};
};

int List(const std::string& address, const std::string& user, const std::string& password, bool ahead) {
    const auto start = std::chrono::steady_clock::now();
    Components parts;
    if (!parts.connection.connect(address, user, password)) {
        std::fprintf(stderr, "login failed\n");
        return 1;
    }
    parts.queries.SetListAll(true);
    parts.queries.SetPageAhead(ahead);
    std::vector<SVMInfoLib> vms;
    const SCloudStackOutcome outcome = parts.queries.GetVMInfoList(vms, 0);
    if (!outcome) {
        std::fprintf(stderr, "GetVMInfoList failed: %s\n", outcome.strMessage.c_str());
        return 1;
    }
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    const auto ms = [](const timeval& t) {
        return static_cast<double>(t.tv_sec) * 1e3 + static_cast<double>(t.tv_usec) / 1e3;
    };
    // The whole process's CPU time: close to the wall time when the client's core never waits.
    std::printf("machines %zu\nwall_ms %.1f\ncpu_ms %.1f\n", vms.size(), MsSince(start),
                ms(usage.ru_utime) + ms(usage.ru_stime));
    return 0;
}

int Parse(const std::string& address, const std::string& user, const std::string& password) {
    Components parts;
    if (!parts.connection.connect(address, user, password)) {
        std::fprintf(stderr, "login failed\n");
        return 1;
    }
    std::vector<std::string> bodies;
    long long count = 0;
    const int pageSize = 500;
    for (int page = 1; page == 1 || static_cast<long long>(page - 1) * pageSize < count; ++page) {
        std::string body;
        if (!parts.connection.GET(
                "listVirtualMachines",
                {"listall=true", "page=" + std::to_string(page), "pagesize=" + std::to_string(pageSize)}, body)) {
            std::fprintf(stderr, "page %d failed\n", page);
            return 1;
        }
        if (page == 1) {
            std::vector<SVMInfoLib> first;
            SListPageInfo info;
            parts.parser.ParseNestedList(body, "listvirtualmachinesresponse", "virtualmachine", first, &info);
            count = info.nCount;
        }
        bodies.push_back(std::move(body));
    }
    // As GetPages reads them: into one vector, reserved for the count.
    std::vector<SVMInfoLib> vms;
    vms.reserve(static_cast<std::size_t>(count));
    const auto start = std::chrono::steady_clock::now();
    const double cpu = csbench::ThreadCpuMs();
    for (const std::string& body : bodies) {
        SListPageInfo info;
        if (!parts.parser.ParseNestedList(body, "listvirtualmachinesresponse", "virtualmachine", vms, &info)) {
            std::fprintf(stderr, "a page did not parse\n");
            return 1;
        }
    }
    std::printf("machines %zu\npages %zu\nparse_ms %.1f\nparse_cpu_ms %.1f\n", vms.size(), bodies.size(),
                MsSince(start), csbench::ThreadCpuMs() - cpu);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "list" && argc == 6) return List(argv[2], argv[3], argv[4], std::string(argv[5]) == "ahead");
    if (mode == "parse" && argc == 5) return Parse(argv[2], argv[3], argv[4]);
    std::fprintf(stderr, "usage: %s list ADDR USER PASSWORD ahead|one-by-one | parse ADDR USER PASSWORD\n", argv[0]);
    return 2;
}
