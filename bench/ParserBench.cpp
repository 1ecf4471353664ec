// The library's list parse on a generated listVirtualMachines answer of realistic shape.
//
//   parser_bench time N RUNS        median time of the one-pass ParseNestedList and of the tree
//                                   walk it replaced (ParseNestedListReference), over RUNS runs each
//   parser_bench time-lib N RUNS    only the one-pass ParseNestedList
//   parser_bench rss lib|tree N     builds the body, parses it once, prints the peak RSS
//   parser_bench write N FILE       writes the body to FILE (for the Python and floor programs)
//
// Output lines are "name value" pairs, for scripts/bench.sh to put into tables.

#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "CloudStackParser.h"
#include "VmAnswer.h"

using CloudStackSDKWrapper::CCloudStackParser;
using CloudStackSDKWrapper::SListPageInfo;
using CloudStackSDKWrapper::SVMInfoLib;

namespace {

const char kResponseKey[] = "listvirtualmachinesresponse";
const char kItemKey[] = "virtualmachine";

long PeakRssKiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss;
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

double ThreadCpuMs() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) * 1e3 + static_cast<double>(now.tv_nsec) / 1e6;
}

// Prints "<name>_ms" (wall clock) and "<name>_cpu_ms" (this thread's CPU time), medians of RUNS.
// On a busy machine the CPU time is the steadier of the two.
template <typename Parse>
void Time(const char* name, int runs, unsigned count, Parse parse) {
    std::vector<double> wall;
    std::vector<double> cpu;
    for (int run = 0; run < runs; ++run) {
        std::vector<SVMInfoLib> vms;
        const double cpuStart = ThreadCpuMs();
        const auto start = std::chrono::steady_clock::now();
        const bool ok = parse(vms);
        const auto stop = std::chrono::steady_clock::now();
        const double cpuStop = ThreadCpuMs();
        if (!ok || vms.size() != count) {
            std::fprintf(stderr, "parse failed (ok=%d, %zu records)\n", ok ? 1 : 0, vms.size());
            std::exit(1);
        }
        wall.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
        cpu.push_back(cpuStop - cpuStart);
    }
    std::printf("%s_ms %.2f\n%s_cpu_ms %.2f\n", name, Median(wall), name, Median(cpu));
}

unsigned Count(const char* text) {
    const long value = std::strtol(text, nullptr, 10);
    if (value <= 0 || value > 10000000) {
        std::fprintf(stderr, "bad number of machines: %s\n", text);
        std::exit(2);
    }
    return static_cast<unsigned>(value);
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
        const unsigned count = Count(argv[2]);
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
        const unsigned count = Count(argv[3]);
        const std::string body = csbench::MakeVmListAnswer(count);
        const long before = PeakRssKiB();
        std::vector<SVMInfoLib> vms;
        const bool ok = route == "lib" ? parser.ParseNestedList(body, kResponseKey, kItemKey, vms)
                                       : parser.ParseNestedListReference(body, kResponseKey, kItemKey, vms);
        if (!ok || vms.size() != count) {
            std::fprintf(stderr, "parse failed\n");
            return 1;
        }
        std::printf("body_bytes %zu\n", body.size());
        std::printf("rss_before_kib %ld\n", before);
        std::printf("peak_rss_kib %ld\n", PeakRssKiB());
        return 0;
    }

    if (mode == "write" && argc == 4) {
        const std::string body = csbench::MakeVmListAnswer(Count(argv[2]));
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
