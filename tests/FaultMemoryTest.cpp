// Fault cases whose point is the memory they may take: 64 MiB of '[' answering a list, as it
// arrives and as gzip brought it (about 65 KB on the wire), and a gzip bomb that decompresses
// past the body cap. The client runs in a child process whose address space is capped at what it
// uses at the start plus the room the case may take, so that any allocation beyond it fails there
// and then; the server runs in this process, started after the fork so that the child inherits no
// thread. Sanitizers reserve terabytes of address space, so under them the cap is left out and
// the client runs in this process, which still proves the result and the absence of leaks.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "CloudStackWrapper.h"
#include "Compression.h"
#include "FaultHarness.h"
#include "ProcessMemory.h"

namespace faults {
namespace {

constexpr std::size_t kMiB = std::size_t{1} << 20;

// What the client saw; plain bytes, so that a child can hand it over through a pipe.
struct Outcome {
    bool ran{false};
    bool result{true};
    bool capped{false};
    long code{0};
    int errorLines{0};
    std::size_t zonesAfter{0};
    long peakKiB{0};    // VmPeak of the client's process
    long startKiB{0};   // VmSize when the cap was set
    char line[1024]{};  // the first error line, cut
};

// Runs @p call once the process's address space is capped at its size now plus @p headroom bytes
// (no cap when @p headroom is zero), and reads what the call left: its result and code, the memory
// the process reached, and its error lines.
Outcome Capped(std::size_t headroom, const std::function<bool(long& code)>& call) {
    Outcome outcome;
    cstest::LogCapture log;
    std::optional<cstest::AddressSpaceCap> cap;
    if (headroom > 0) {
        cap.emplace(headroom);
        outcome.startKiB = cap->StartKiB();
        outcome.capped = cap->Ok();
    }
    outcome.result = call(outcome.code);
    outcome.ran = true;
    outcome.peakKiB = cstest::StatusKiB("VmPeak:");
    const auto lines = log.Errors();
    outcome.errorLines = static_cast<int>(lines.size());
    if (!lines.empty()) std::snprintf(outcome.line, sizeof outcome.line, "%s", lines[0].line.c_str());
    return outcome;
}

// One list of zones against @p base, with the body capped at @p maxBody, under a cap of @p headroom.
Outcome RunClient(const std::string& base, unsigned long long maxBody, std::size_t headroom) {
    cstest::Components client;
    if (!client.connection.connectWithApiKey(base, "key", "secret")) return Outcome();
    client.connection.Limits().ullMaxBodyBytes = maxBody;
    std::vector<SZoneInfoLib> zones(1);
    Outcome outcome = Capped(headroom, [&](long& code) {
        const bool result = client.queries.Report(client.queries.GetZoneInfoList(zones, 0));
        code = client.errors.lErrorCode;
        return result;
    });
    outcome.zonesAfter = zones.size();
    return outcome;
}

bool ReadAll(int fd, void* data, std::size_t size) {
    auto* bytes = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t got = read(fd, bytes, size);
        if (got <= 0) return false;
        bytes += got;
        size -= static_cast<std::size_t>(got);
    }
    return true;
}

bool WriteAll(int fd, const void* data, std::size_t size) {
    const auto* bytes = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t put = write(fd, bytes, size);
        if (put <= 0) return false;
        bytes += put;
        size -= static_cast<std::size_t>(put);
    }
    return true;
}

#ifdef CSTEST_SANITIZED
constexpr bool kAddressSpaceCapWorks = false;
#else
constexpr bool kAddressSpaceCapWorks = true;
#endif

cstest::ListenOptions OwnPort() {
    cstest::ListenOptions options;
    options.port = 0;
    return options;
}

class FaultMemoryTest : public ::testing::Test {
protected:
    // What runs in the client's process against the server at @p base, under a cap of @p headroom.
    using Client = std::function<Outcome(const std::string& base, std::size_t headroom)>;

    // Serves @p answer to every request (a small capabilities answer to a key pair's check) and runs
    // the client against it, by default one list of zones with the body capped at @p maxBody: in a
    // child capped at @p headroom bytes beyond its size, or here under a sanitizer.
    Outcome Serve(const std::function<std::string()>& makeAnswer, unsigned long long maxBody, std::size_t headroom,
                  Client client = nullptr) {
        if (!client) {
            client = [maxBody](const std::string& base, std::size_t room) { return RunClient(base, maxBody, room); };
        }
        const std::string address = cstest::ProcessLoopbackAddress();
        if (!kAddressSpaceCapWorks) {
            std::cout << "under a sanitizer: no address-space cap, the client runs in this process" << std::endl;
            const std::string answer = makeAnswer();
            cstest::RawListener listener(Answering(answer));
            if (!listener.Start(address, OwnPort())) return Outcome();
            return client("http://" + address + ":" + std::to_string(listener.Port()), 0);
        }
        int toChild[2];
        int fromChild[2];
        if (pipe(toChild) != 0 || pipe(fromChild) != 0) return Outcome();
        const pid_t child = fork();
        if (child < 0) {
            for (const int fd : {toChild[0], toChild[1], fromChild[0], fromChild[1]}) close(fd);
            return Outcome();
        }
        if (child == 0) {
            close(toChild[1]);
            close(fromChild[0]);
            int port = 0;
            Outcome outcome;
            if (ReadAll(toChild[0], &port, sizeof port)) {
                outcome = client("http://" + address + ":" + std::to_string(port), headroom);
            }
            WriteAll(fromChild[1], &outcome, sizeof outcome);
            _exit(0);  // no destructors or exit handlers of the parent's test run
        }
        close(toChild[0]);
        close(fromChild[1]);
        Outcome outcome;
        {
            const std::string answer = makeAnswer();
            cstest::RawListener listener(Answering(answer));
            const int port = listener.Start(address, OwnPort()) ? listener.Port() : 0;
            WriteAll(toChild[1], &port, sizeof port);
            if (!ReadAll(fromChild[0], &outcome, sizeof outcome)) outcome = Outcome();
        }
        close(toChild[1]);
        close(fromChild[0]);
        int status = 0;
        waitpid(child, &status, 0);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the client's process died: status " << status;
        EXPECT_TRUE(outcome.capped) << "the address space could not be capped";
        return outcome;
    }

    static cstest::RawListener::Handler Answering(const std::string& answer) {
        return [&answer](const cstest::RawRequest& request) {
            if (request.target.find("command=listCapabilities") != std::string::npos) {
                return cstest::Bytes(Http("200 OK", R"({"listcapabilitiesresponse":{"capability":{}}})"));
            }
            return cstest::Bytes(answer);
        };
    }

    static void Report(const char* name, const Outcome& outcome) {
        std::cout << name << ": client VmPeak " << outcome.peakKiB / 1024 << " MiB";
        if (outcome.capped) std::cout << ", " << (outcome.peakKiB - outcome.startKiB) / 1024 << " MiB above the start";
        std::cout << std::endl;
    }
};

std::string Answer(const std::string& body, const std::string& headers = "") {
    return Http("200 OK", body, headers);
}

// Refused by the parse bounds: false, the caller's list untouched, one line naming the depth.
void ExpectRefusedAsTooDeep(const Outcome& outcome) {
    ASSERT_TRUE(outcome.ran);
    EXPECT_FALSE(outcome.result);
    EXPECT_EQ(outcome.code, CS_ERROR_BAD_ANSWER);
    EXPECT_EQ(outcome.zonesAfter, 1u);
    EXPECT_EQ(outcome.errorLines, 1) << outcome.line;
    EXPECT_NE(std::strstr(outcome.line, "deeper than 256 levels"), nullptr) << outcome.line;
}

TEST_F(FaultMemoryTest, SixtyFourMebibytesOfBracketsAreRefusedWithinTwiceTheBody) {
    // Received in blocks and joined once: the body twice at most, then nothing the parser builds.
    const Outcome outcome = Serve([] { return Answer(std::string(64 * kMiB, '[')); }, 1ULL << 30, 160 * kMiB);
    Report("64 MiB of '['", outcome);
    ExpectRefusedAsTooDeep(outcome);
}

TEST_F(FaultMemoryTest, SixtyFourMebibytesOfBracketsInGzipAreRefusedAlike) {
    std::size_t wire = 0;
    const Outcome outcome = Serve(
        [&wire] {
            const std::string gzip = cstest::GzipRepeated(std::string(kMiB, '['), 64);
            wire = gzip.size();
            return Answer(gzip, "Content-Encoding: gzip\r\n");
        },
        1ULL << 30, 160 * kMiB);
    Report("64 MiB of '[' in gzip", outcome);
    std::cout << "on the wire: " << wire << " bytes" << std::endl;
    EXPECT_GT(wire, 0u);
    EXPECT_LT(wire, 256u * 1024);
    ExpectRefusedAsTooDeep(outcome);
}

TEST_F(FaultMemoryTest, GzipBombStopsAtTheBodyCap) {
    // A gibibyte of zeros in about a megabyte; the cap is lowered to 16 MiB.
    const Outcome outcome =
        Serve([] { return Answer(cstest::GzipRepeated(std::string(kMiB, '\0'), 1024), "Content-Encoding: gzip\r\n"); },
              16 * kMiB, 64 * kMiB);
    Report("gzip bomb of 1 GiB", outcome);
    ASSERT_TRUE(outcome.ran);
    EXPECT_FALSE(outcome.result);
    EXPECT_EQ(outcome.code, CS_ERROR_TOO_LARGE);
    EXPECT_EQ(outcome.zonesAfter, 1u);
    EXPECT_EQ(outcome.errorLines, 1) << outcome.line;
    EXPECT_NE(std::strstr(outcome.line, "answer body larger than the limit of 16777216 bytes"), nullptr)
        << outcome.line;
}

TEST_F(FaultMemoryTest, MemoryRunningOutInACallIsFalseWithItsOwnCodeAndNeverAThrow) {
    if (!kAddressSpaceCapWorks) GTEST_SKIP() << "under a sanitizer no address-space cap can make memory run out";
    // A generic list of 48 MiB: the answer, its tree and its items' texts need more than the room left.
    const auto volumes = [] {
        std::string items;
        for (int i = 0; items.size() < 48 * kMiB; ++i) {
            items +=
                (i > 0 ? ",{\"id\":\"v" : "{\"id\":\"v") + std::to_string(i) + "\",\"size\":" + std::to_string(i) + "}";
        }
        return Answer(R"({"listvolumesresponse":{"count":1,"volume":[)" + items + "]}}");
    };
    const Outcome list = Serve(volumes, 1ULL << 30, 160 * kMiB, [](const std::string& base, std::size_t room) {
        CCloudStackWrapper wrapper;
        if (!wrapper.ConnectWithApiKey(base, "key", "secret")) return Outcome();
        return Capped(room, [&wrapper](long& code) {
            std::string json;
            const bool result = wrapper.CallList("listVolumes", {}, json);
            code = wrapper.GetLastError().lErrorCode;
            return result;
        });
    });
    Report("CallList of 48 MiB", list);
    ASSERT_TRUE(list.ran);
    EXPECT_FALSE(list.result);
    EXPECT_TRUE(list.code == CS_ERROR_OUT_OF_MEMORY || list.code == CS_ERROR_BAD_ANSWER) << list.code;
    EXPECT_EQ(list.errorLines, 1) << list.line;

    // An argument of 64 MiB with room for less than one more copy of it, by Call and by GetVMInfo.
    for (const bool call : {true, false}) {
        const Outcome huge = Serve([] { return Answer("{}"); }, 1ULL << 30, 48 * kMiB,
                                   [call](const std::string&, std::size_t room) {
                                       CCloudStackWrapper wrapper;
                                       const CloudStackParams params{{"name", std::string(64 * kMiB, 'a')}};
                                       std::string json;
                                       SVMInfoLib vm;
                                       return Capped(room, [&](long& code) {
                                           const bool result = call ? wrapper.Call("listZones", params, json)
                                                                    : wrapper.GetVMInfo(params[0].second, "", vm, 0);
                                           code = wrapper.GetLastError().lErrorCode;
                                           return result;
                                       });
                                   });
        ASSERT_TRUE(huge.ran) << call;
        EXPECT_FALSE(huge.result) << call;
        EXPECT_EQ(huge.code, CS_ERROR_OUT_OF_MEMORY) << call;
        EXPECT_EQ(huge.errorLines, 1) << huge.line;
        EXPECT_NE(std::strstr(huge.line, "out of memory"), nullptr) << huge.line;
    }
}

}  // namespace
}  // namespace faults
