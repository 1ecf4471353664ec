// The library's list parse on a generated listVirtualMachines answer of realistic shape.
//
//   parser_bench time N RUNS        median time of the one-pass ParseNestedList and of the tree
//                                   walk it replaced (ParseNestedListReference), over RUNS runs each
//   parser_bench time-lib N RUNS    only the one-pass ParseNestedList
//   parser_bench rss lib|tree N     builds the body, parses it once, prints the peak RSS
//   parser_bench write N FILE       writes the body to FILE (for the Python and floor programs)
//
// Output lines are "name value" pairs, for scripts/bench.sh to put into tables.

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "CloudStackParser.h"
#include "Measure.h"
#include "VmAnswer.h"

using CloudStackSDKWrapper::CCloudStackParser;
using CloudStackSDKWrapper::SListPageInfo;
using CloudStackSDKWrapper::SVMInfoLib;

namespace {

const char kResponseKey[] = "listvirtualmachinesresponse";
const char kItemKey[] = "virtualmachine";

// Prints the medians of RUNS parses under <name> (csbench::RunTimes).
template <typename Parse>
void Time(const char* name, int runs, unsigned count, Parse parse) {
    csbench::RunTimes times;
    for (int run = 0; run < runs; ++run) {
        std::vector<SVMInfoLib> vms;
        bool ok = false;
        times.Time([&] { ok = parse(vms); });
        if (!ok || vms.size() != count) {
            std::fprintf(stderr, "parse failed (ok=%d, %zu records)\n", ok ? 1 : 0, vms.size());
            std::exit(1);
        }
    }
    times.PrintMedians(name);
}

int Usage(const char* program) {
    std::fprintf(stderr,
                 "usage: %s time N RUNS | time-lib N RUNS | rss lib|tree N | write N FILE\n"
                 "  N machines in one listVirtualMachines answer\n",
                 program);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return Usage(argv[0]);
    const std::string mode = argv[1];
    CCloudStackParser parser;

    if ((mode == "time" || mode == "time-lib") && argc == 4) {
        const unsigned count = csbench::MachineCount(argv[2]);
        const int runs = std::max(1, std::atoi(argv[3]));
        const std::string body = csbench::MakeVmListAnswer(count);
        std::printf("body_bytes %zu\n", body.size());
        Time("library", runs, count, [&](std::vector<SVMInfoLib>& vms) {
            SListPageInfo page;
            return parser.ParseNestedList(body, kResponseKey, kItemKey, vms, &page);
        });
        if (mode == "time") {
            Time("tree", runs, count, [&](std::vector<SVMInfoLib>& vms) {
                SListPageInfo page;
                return parser.ParseNestedListReference(body, kResponseKey, kItemKey, vms, &page);
            });
        }
        return 0;
    }

    if (mode == "rss" && argc == 4) {
        const std::string route = argv[2];
        if (route != "lib" && route != "tree") return Usage(argv[0]);
        const unsigned count = csbench::MachineCount(argv[3]);
        const std::string body = csbench::MakeVmListAnswer(count);
        const long before = csbench::PeakRssKiB();
        std::vector<SVMInfoLib> vms;
        const bool ok = route == "lib" ? parser.ParseNestedList(body, kResponseKey, kItemKey, vms)
                                       : parser.ParseNestedListReference(body, kResponseKey, kItemKey, vms);
        if (!ok || vms.size() != count) {
            std::fprintf(stderr, "parse failed\n");
            return 1;
        }
        csbench::PrintRss(body.size(), before);
        return 0;
    }

    if (mode == "write" && argc == 4) {
        const std::string body = csbench::MakeVmListAnswer(csbench::MachineCount(argv[2]));
        FILE* file = std::fopen(argv[3], "wb");
        if (file == nullptr || std::fwrite(body.data(), 1, body.size(), file) != body.size() ||
            std::fclose(file) != 0) {
            std::fprintf(stderr, "cannot write %s: %s\n", argv[3], std::strerror(errno));
            return 1;
        }
        std::printf("body_bytes %zu\n", body.size());
        return 0;
    }
    return Usage(argv[0]);
}
