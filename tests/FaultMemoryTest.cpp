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

// One list of zones against @p base, with the body capped at @p maxBody; when @p headroom is not
// zero, the process's address space is capped at its size now plus that many bytes first.
Outcome RunClient(const std::string& base, unsigned long long maxBody, std::size_t headroom) {
    Outcome outcome;
    cstest::LogCapture log;
    cstest::Components client;
    if (!client.connection.connectWithApiKey(base, "key", "secret")) return outcome;
    client.connection.Limits().ullMaxBodyBytes = maxBody;
    std::vector<SZoneInfoLib> zones(1);
    std::optional<cstest::AddressSpaceCap> cap;
    if (headroom > 0) {
        cap.emplace(headroom);
        outcome.startKiB = cap->StartKiB();
        outcome.capped = cap->Ok();
    }
    outcome.result = client.queries.GetZoneInfoList(zones, 0);
    outcome.ran = true;
    outcome.code = client.errors.lErrorCode;
    outcome.zonesAfter = zones.size();
    outcome.peakKiB = cstest::StatusKiB("VmPeak:");
    const auto lines = log.Errors();
    outcome.errorLines = static_cast<int>(lines.size());
    if (!lines.empty()) std::snprintf(outcome.line, sizeof outcome.line, "%s", lines[0].line.c_str());
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
    // Serves @p answer to every request and runs the client against it: in a child capped at
    // @p headroom bytes beyond its size, or here under a sanitizer.
    Outcome Serve(const std::function<std::string()>& makeAnswer, unsigned long long maxBody, std::size_t headroom) {
        const std::string address = cstest::ProcessLoopbackAddress();
        if (!kAddressSpaceCapWorks) {
            std::cout << "under a sanitizer: no address-space cap, the client runs in this process" << std::endl;
            const std::string answer = makeAnswer();
            cstest::RawListener listener([&answer](const cstest::RawRequest&) { return cstest::Bytes(answer); });
            if (!listener.Start(address, OwnPort())) return Outcome();
            return RunClient("http://" + address + ":" + std::to_string(listener.Port()), maxBody, 0);
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
                outcome = RunClient("http://" + address + ":" + std::to_string(port), maxBody, headroom);
            }
            WriteAll(fromChild[1], &outcome, sizeof outcome);
            _exit(0);  // no destructors or exit handlers of the parent's test run
        }
        close(toChild[0]);
        close(fromChild[1]);
        Outcome outcome;
        {
            const std::string answer = makeAnswer();
            cstest::RawListener listener([&answer](const cstest::RawRequest&) { return cstest::Bytes(answer); });
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

}  // namespace
}  // namespace faults
