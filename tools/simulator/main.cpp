#include <pthread.h>

#include <csignal>
#include <cstdio>
#include <iostream>
#include <string>
#include <vector>

#include "CommandLine.h"
#include "Simulator.h"

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    cssim::CommandLine commandLine;
    std::string error;
    if (!cssim::ParseCommandLine(arguments, commandLine, error)) {
        std::fprintf(stderr, "cloudstack-sim: %s\nTry 'cloudstack-sim --help'.\n", error.c_str());
        return 2;
    }
    if (commandLine.help) {
        std::fputs(cssim::UsageText(), stdout);
        std::fputs(("\n" + cssim::UsersText(commandLine)).c_str(), stdout);
        return 0;
    }
    if (!cssim::PrepareInventory(commandLine, error)) {
        std::fprintf(stderr, "cloudstack-sim: %s\n", error.c_str());
        return 1;
    }
    if (commandLine.dumpInventory) {
        std::cout << commandLine.options.inventory.ToJson().dump(2, ' ', false, cssim::Json::error_handler_t::replace)
                  << '\n';
        return 0;
    }

    // Blocked before any thread exists, so every server thread inherits the mask and only sigwait() below
    // sees the signals: no work happens inside a signal handler.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    const std::string address = commandLine.listenAddress;
    const bool tls = !commandLine.options.tlsCertificateFile.empty();
    cssim::Simulator simulator(std::move(commandLine.options));
    if (!simulator.Start(address)) {
        std::fprintf(stderr, "cloudstack-sim: cannot listen on %s%s\n", address.c_str(),
                     tls ? " (or cannot load the certificate and key)" : "");
        return 1;
    }
    const std::string host = address.find(':') == std::string::npos ? address : "[" + address + "]";
    std::printf("cloudstack-sim listening on %s://%s:%d/client/api\n", tls ? "https" : "http", host.c_str(),
                simulator.Port());
    std::fflush(stdout);

    int received = 0;
    sigwait(&stopSignals, &received);
    simulator.Stop();
    return 0;
}
