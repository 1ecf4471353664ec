// A tiny host program: logs in, lists the virtual machines, stops and starts one by name, hashes
// a text with a connection of its own, and receives the library's log lines through a sink.
//
//   cloudstack-host SERVER USER PASSWORD MACHINE
//
// Exit status 0 when every step succeeded; otherwise one line on standard error says which failed.

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

// Both ways a host may include the headers: under the include root, and by bare name.
#include <CloudStackSDKWrapper/CloudStackWrapper.h>
#include <CloudStackSDKWrapper/TraceLog.h>

#include "CloudStackConnection.h"

using namespace CloudStackSDKWrapper;

namespace {

int Fail(const char* step, const CCloudStackWrapper& cloud) {
    const CCloudStackErrorState& error = cloud.GetLastError();
    std::fprintf(stderr, "cloudstack-host: %s failed: %s (%ld)\n", step, error.strErrorMessage.c_str(),
                 error.lErrorCode);
    return 1;
}

const SVMInfoLib* Find(const std::vector<SVMInfoLib>& vms, const std::string& name) {
    for (const SVMInfoLib& vm : vms) {
        if (vm.strName == name) return &vm;
    }
    return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: cloudstack-host SERVER USER PASSWORD MACHINE\n");
        return 2;
    }
    const std::string server = argv[1];
    const std::string machine = argv[4];

    CCloudStackWrapper cloud;
    cloud.SetJobPollInterval(std::chrono::milliseconds(50));
    if (!cloud.Connect(server, argv[2], argv[3])) return Fail("connect", cloud);

    std::vector<SVMInfoLib> vms;
    if (!cloud.GetVMInfoList(vms)) return Fail("list", cloud);
    const SVMInfoLib* vm = Find(vms, machine);
    if (vm == nullptr) {
        std::fprintf(stderr, "cloudstack-host: %s is not among the %zu machines listed\n", machine.c_str(), vms.size());
        return 1;
    }
    std::printf("%zu machines; %s is %s\n", vms.size(), machine.c_str(), vm->strState.c_str());

    if (!cloud.StopVM(machine, "")) return Fail("stop", cloud);
    SVMInfoLib stopped;
    if (!cloud.GetVMInfo(machine, "", stopped)) return Fail("lookup after stop", cloud);
    std::printf("%s is %s\n", machine.c_str(), stopped.strState.c_str());

    if (!cloud.StartVM(machine, "")) return Fail("start", cloud);
    SVMInfoLib started;
    if (!cloud.GetVMInfo(machine, "", started)) return Fail("lookup after start", cloud);
    std::printf("%s is %s\n", machine.c_str(), started.strState.c_str());
    if (stopped.strState != "Stopped" || started.strState != "Running") {
        std::fprintf(stderr, "cloudstack-host: %s did not go from Stopped to Running\n", machine.c_str());
        return 1;
    }

    CCloudStackConnection connection;
    std::printf("MD5 of \"password\": %s\n", connection.MD5Hash("password").c_str());

    // The library's lines, redirected: an unknown command is refused with an error line.
    int errorLines = 0;
    TraceLog::SetSink([&errorLines](const TraceLogRecord& record) {
        if (record.kind == TraceLogRecord::Kind::Error) ++errorLines;
        std::fprintf(stderr, "cloudstack-host: library: %s\n", record.message.c_str());
    });
    std::string json;
    const bool unknownAccepted = cloud.Call("noSuchCommand", {}, json);
    TraceLog::SetSink(nullptr);
    if (unknownAccepted || errorLines == 0) {
        std::fprintf(stderr, "cloudstack-host: an unknown command gave %s and %d error lines through the sink\n",
                     unknownAccepted ? "success" : "failure", errorLines);
        return 1;
    }
    std::printf("unknown command refused (%ld); %d error line(s) through the sink\n", cloud.GetLastError().lErrorCode,
                errorLines);

    cloud.Disconnect();
    return 0;
}
