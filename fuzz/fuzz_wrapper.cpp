// The whole wrapper against a server whose every answer comes from the input, through the
// transfer seam. The first byte holds switches; the rest is the server's answers in the order the
// requests go out, separated by "\n=====\n". An answer that starts with "HTTP/" carries its own
// header block up to the first empty line; one that starts with '!' is a transfer that breaks off
// (the next byte picks how); any other is a JSON body behind "200 OK". When the answers run out,
// every further request finds no server.
//
// Nothing may crash, leak or hang: pauses between job polls return at once and a job time-out
// ends every wait. Every call that returns false leaves an error code, and no request carries a
// header line with CR, LF or NUL, or a URL with a blank or a control character.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "CloudStackWrapper.h"
#include "FuzzSupport.h"
#include "SleepWithTrace.h"
#include "TeskLibCurl.h"

using namespace CloudStackSDKWrapper;
using cloudstack_fuzz::Require;

namespace {

constexpr std::size_t kMaxAnswers = 64;

enum Switch : uint8_t {
    kDebug = 1,
    kApiKey = 2,
    kListAll = 4,
    kDomain = 8,
    kHttps = 16,
};

const TeskLibCurlFailure kBreaks[] = {TeskLibCurlFailure::Transport, TeskLibCurlFailure::Timeout,
                                      TeskLibCurlFailure::Connect,   TeskLibCurlFailure::ResolveHost,
                                      TeskLibCurlFailure::Tls,       TeskLibCurlFailure::TlsCertificate,
                                      TeskLibCurlFailure::TooLarge};

// An answer with its own header block up to the first empty line, or a JSON body behind "200 OK".
void Fill(const std::string& answer, TeskTransferReply& reply) {
    if (answer.compare(0, 5, "HTTP/") != 0) {
        reply.headerLines = {"HTTP/1.1 200 OK\r\n", "Content-Type: application/json;charset=utf-8\r\n", "\r\n"};
        reply.strBody = answer;
        return;
    }
    const std::size_t end = cloudstack_fuzz::HeaderBlockEnd(answer);
    reply.headerLines = cloudstack_fuzz::Lines(answer.substr(0, end));
    reply.strBody = answer.substr(end);
}

class Server {
public:
    explicit Server(const std::string& script) {
        for (const std::string& answer : cloudstack_fuzz::Split(script, "\n=====\n")) {
            if (m_Answers.size() == kMaxAnswers) break;
            m_Answers.push_back(answer);
        }
    }

    bool Answer(const TeskTransferRequest& request, TeskTransferReply& reply) {
        for (const std::string& line : request.headerLines) {
            for (const char c : line) {
                Require(c != '\r' && c != '\n' && c != '\0', "a request header line holds CR, LF or NUL", line);
            }
        }
        for (const char c : request.strUrl) {
            const auto byte = static_cast<unsigned char>(c);
            Require(byte > 0x20 && byte != 0x7F, "the request URL holds a blank or a control character",
                    request.strUrl);
        }
        if (m_nNext == m_Answers.size()) {
            reply.eFailure = TeskLibCurlFailure::Connect;
            return false;
        }
        const std::string& answer = m_Answers[m_nNext++];
        if (!answer.empty() && answer[0] == '!') {
            const std::size_t kind = answer.size() > 1 ? static_cast<unsigned char>(answer[1]) : 0;
            reply.eFailure = kBreaks[kind % (sizeof kBreaks / sizeof kBreaks[0])];
            Fill(answer.substr(answer.size() < 2 ? answer.size() : 2), reply);
            return false;
        }
        Fill(answer, reply);
        return true;
    }

private:
    std::vector<std::string> m_Answers;
    std::size_t m_nNext{0};
};

void Check(CCloudStackWrapper& cloud, bool succeeded, const char* call) {
    // To see what an input does: CLOUDSTACK_FUZZ_VERBOSE=1 build/fuzz/fuzz_wrapper FILE
    static const bool verbose = std::getenv("CLOUDSTACK_FUZZ_VERBOSE") != nullptr;
    if (verbose) {
        std::fprintf(stderr, "%s: %s %ld %s\n", call, succeeded ? "true" : "false", cloud.GetLastError().lErrorCode,
                     cloud.GetLastError().strErrorMessage.c_str());
    }
    if (succeeded) {
        Require(cloud.GetLastError().lErrorCode == 0, "a call that succeeded left an error code", call);
    } else {
        Require(cloud.GetLastError().lErrorCode != 0, "a call that failed left no error code",
                std::string(call) + ": " + cloud.GetLastError().strErrorMessage);
    }
}

void Drive(CCloudStackWrapper& cloud, uint8_t switches) {
    if (switches & kDebug) cloud.EnableDebug();
    cloud.SetListAll((switches & kListAll) != 0);
    cloud.SetJobTimeout(std::chrono::seconds(1));
    const std::string server = (switches & kHttps) ? "https://mgmt.example/client/api" : "mgmt.example";
    if (switches & kApiKey) {
        Check(cloud, cloud.ConnectWithApiKey(server, "api-key", "secret-key"), "ConnectWithApiKey");
    } else {
        Check(cloud, cloud.Connect(server, "admin", "password", (switches & kDomain) ? "ROOT/customers" : ""),
              "Connect");
    }

    std::vector<SZoneInfoLib> zones;
    Check(cloud, cloud.GetZoneInfoList(zones), "GetZoneInfoList");
    std::vector<SPodInfoLib> pods;
    Check(cloud, cloud.GetPodInfoList(pods), "GetPodInfoList");
    std::vector<SClusterInfoLib> clusters;
    Check(cloud, cloud.GetClusterInfoList(clusters), "GetClusterInfoList");
    std::vector<SHostInfoLib> hosts;
    Check(cloud, cloud.GetHostInfoList(hosts), "GetHostInfoList");
    std::vector<SVMInfoLib> vms;
    Check(cloud, cloud.GetVMInfoList(vms), "GetVMInfoList");
    std::vector<SProjectInfoLib> projects;
    Check(cloud, cloud.GetProjectInfoList(projects), "GetProjectInfoList");

    SClusterInfoLib cluster;
    Check(cloud, cloud.GetClusterInfo("cluster1", "", cluster), "GetClusterInfo");
    SHostInfoLib host;
    Check(cloud, cloud.GetHostInfo("KVM-01", "", host), "GetHostInfo");
    SVMInfoLib vm;
    Check(cloud, cloud.GetVMInfo("", "fcbea053-779e-4c4b-8c30-b22ece7c5b3d", vm), "GetVMInfo");

    Check(cloud, cloud.StopVM("web-01", ""), "StopVM");
    Check(cloud, cloud.StartVM("", "fcbea053-779e-4c4b-8c30-b22ece7c5b3d"), "StartVM");

    std::string json;
    Check(cloud, cloud.Call("listCapabilities", {}, json), "Call");
    Check(cloud, cloud.CallAndWait("rebootVirtualMachine", {{"id", "fcbea053"}}, json), "CallAndWait");
    Check(cloud, cloud.CallList("listVolumes", {{"type", "ROOT"}}, json), "CallList");
    Check(cloud, cloud.Disconnect(), "Disconnect");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    cloudstack_fuzz::LogSink log;
    Server server(std::string(reinterpret_cast<const char*>(data) + 1, size - 1));
    const TeskTransferFunction previousTransfer =
        SetTransferFunction([&server](const TeskTransferRequest& request, TeskTransferReply& reply) {
            return server.Answer(request, reply);
        });
    const SleepFunction previousSleep = SetSleepFunction([](int, const char*, int) {});
    {
        CCloudStackWrapper cloud;
        Drive(cloud, data[0]);
    }
    SetSleepFunction(previousSleep);
    SetTransferFunction(previousTransfer);
    return 0;
}
