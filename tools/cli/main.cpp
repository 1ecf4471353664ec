// cloudstack-cli: lists a cloud's inventory, starts or stops virtual machines and sends any
// other command through the management server's HTTP API, using the library as any host
// program would.

#include <unistd.h>

#include <cstdio>
#include <exception>
#include <string>
#include <vector>

#include "CatalogueCommands.h"
#include "CloudStackWrapper.h"
#include "CommandLine.h"
#include "Commands.h"
#include "Completion.h"
#include "ErrorText.h"
#include "Help.h"
#include "Password.h"
#include "ProxyChoice.h"
#include "Settings.h"
#include "Table.h"

using namespace CloudStackSDKWrapper;

namespace cscli {

int Fail(const std::string& message) {
    std::fprintf(stderr, "cloudstack-cli: %s\n", Printable(message).c_str());
    return kExitFailed;
}

void Print(const std::string& text) {
    std::fwrite(text.data(), 1, text.size(), stdout);
}

}  // namespace cscli

namespace {

using cscli::kExitFailed;
using cscli::kExitSuccess;
using cscli::kExitUsage;

int UsageError(const std::string& message) {
    std::fprintf(stderr, "cloudstack-cli: %s (see 'cloudstack-cli --help')\n", cscli::Printable(message).c_str());
    return kExitUsage;
}

int Warn(const std::string& message) {
    std::fprintf(stderr, "cloudstack-cli: %s\n", cscli::Printable(message).c_str());
    return kExitSuccess;
}

// Fills settings.password from the file or the terminal. @return false with the exit status
bool ObtainPassword(cscli::Settings& settings, int& status) {
    std::string error;
    switch (settings.passwordSource) {
        case cscli::PasswordSource::Known:
            return true;
        case cscli::PasswordSource::File:
            if (cscli::ReadPasswordFile(settings.passwordFile, settings.password, error)) return true;
            status = UsageError(error);
            return false;
        case cscli::PasswordSource::Prompt:
            break;
    }
    const std::string prompt = "Password for " + settings.user + " at " + settings.server + ": ";
    switch (cscli::PromptPassword(prompt, settings.password)) {
        case cscli::PromptResult::Read:
            return true;
        case cscli::PromptResult::NoTerminal:
            std::fprintf(stderr,
                         "cloudstack-cli: no password: set CLOUDSTACK_PASSWORD, use --password-file FILE or a "
                         "config file, or set an API key pair (there is no terminal to ask on)\n");
            break;
        case cscli::PromptResult::NoInput:
            std::fprintf(stderr, "cloudstack-cli: no password was entered\n");
            break;
    }
    status = kExitUsage;
    return false;
}

// The proxy and the client certificate; a proxy URL or a certificate the library cannot use is the
// user's to fix, like any other usage error.
int UseTransport(CCloudStackWrapper& cloud, const cscli::Settings& settings, bool debug) {
    if (debug && !settings.proxy.empty())
        Warn("through the proxy " + cscli::WithoutCredentials(settings.proxy) + " (" + settings.proxySource + ")");
    if (debug && !settings.noProxyEntry.empty())
        Warn("no proxy: no_proxy entry '" + settings.noProxyEntry + "' matches the server");
    if (!settings.proxy.empty() && !cloud.SetProxy(settings.proxy))
        return UsageError(settings.proxySource + ": " + cloud.GetLastError().strErrorMessage);
    if (!settings.certFile.empty() && !cloud.SetClientCertificate(settings.certFile, settings.certKeyFile))
        return UsageError(cloud.GetLastError().strErrorMessage);
    return kExitSuccess;
}

int Connect(CCloudStackWrapper& cloud, const cscli::Settings& settings, const std::string& server) {
    const bool connected = settings.useKeyPair
                               ? cloud.ConnectWithApiKey(settings.server, settings.apiKey, settings.secretKey)
                               : cloud.Connect(settings.server, settings.user, settings.password, settings.domain);
    if (connected) return kExitSuccess;
    const CCloudStackErrorState& error = cloud.GetLastError();
    // A server string the library cannot use is the user's to fix, like any other usage error.
    if (error.lErrorCode == CS_ERROR_INVALID_SERVER)
        return UsageError(cscli::Describe(error, server, "cannot use the server '" + settings.server + "'"));
    return cscli::Fail(cscli::DescribeLogin(error, server, settings.useKeyPair, !settings.domain.empty()));
}

int Run(cscli::Context& context, const cscli::Settings& settings, std::vector<cscli::BatchCommand>& batch) {
    switch (context.options.command) {
        case cscli::Command::Sync:
            return cscli::RunSync(context, settings);
        case cscli::Command::Show:
            return cscli::RunShow(context);
        case cscli::Command::Start:
            return cscli::RunPower(context, true);
        case cscli::Command::Stop:
            return cscli::RunPower(context, false);
        case cscli::Command::Api:
            return context.options.batchFile.empty() ? cscli::RunApi(context) : cscli::RunApiBatch(context, batch);
        case cscli::Command::Wait:
            return cscli::RunWait(context);
        default:
            return cscli::RunList(context);
    }
}

int Main(int argc, char** argv) {
    cscli::Options options;
    std::string error;
    if (!cscli::ParseCommandLine(argc, argv, options, error)) return UsageError(error);
    if (options.command == cscli::Command::Complete) return cscli::RunComplete(options);
    const bool apiHelp = options.help && options.command == cscli::Command::Api && !options.apiCommand.empty();
    if (options.help && !apiHelp) {
        cscli::Print(cscli::CommandHelp(options.command));
        return kExitSuccess;
    }
    if (options.version) {
        cscli::Print(cscli::VersionText());
        return kExitSuccess;
    }
    if (options.command == cscli::Command::Completion) {
        cscli::Print(cscli::CompletionScript(options.shell));
        return kExitSuccess;
    }

    cscli::Settings settings;
    if (!cscli::ResolveSettings(options, settings, error)) return UsageError(error);
    // The catalogue cached for this server and user answers help and checks before anything is sent.
    if (apiHelp) return cscli::PrintApiHelp(options, settings);
    int status = kExitFailed;
    // A batch is read and checked whole before anything is sent.
    std::vector<cscli::BatchCommand> batch;
    if (!options.batchFile.empty()) {
        if (!cscli::ReadBatch(options.batchFile, batch, error)) return UsageError(error);
        if (!cscli::PrepareBatch(batch, options, settings, status)) return status;
    } else if (options.command == cscli::Command::Api && !cscli::PrepareApiCall(options, settings, status)) {
        return status;
    }
    if (!settings.useKeyPair && !ObtainPassword(settings, status)) return status;

    // The library writes its own error lines to standard error; without --debug the one line
    // this program prints says what failed, so theirs are dropped.
    if (!options.debug) TraceLog::SetSink([](const TraceLogRecord&) {});

    CCloudStackWrapper cloud;
    if (options.debug) cloud.EnableDebug();
    if (!settings.caFile.empty()) cloud.SetCaFile(settings.caFile);
    if (settings.insecure) {
        Warn("warning: " + settings.insecureSource +
             ": the server's certificate is not verified; anyone on the way can read and change what is sent, the "
             "password included");
        cloud.SetVerifyPeer(false);
    }
    status = UseTransport(cloud, settings, options.debug);
    if (status != kExitSuccess) return status;
    cloud.SetListAll(options.all);

    const std::string server = cscli::ServerForMessages(settings.server);
    status = Connect(cloud, settings, server);
    if (status != kExitSuccess) return status;
    // Trace lines of --debug would be torn apart by a line rewritten in place.
    cscli::Context context{cloud, options, server, isatty(STDOUT_FILENO) == 1,
                           !options.debug && isatty(STDERR_FILENO) == 1};
    status = Run(context, settings, batch);
    cloud.Disconnect();
    return status;
}

}  // namespace

int main(int argc, char** argv) {
    int status = kExitFailed;
    try {
        status = Main(argc, argv);
    } catch (const std::exception& e) {
        status = cscli::Fail(std::string("internal error: ") + e.what());
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "cloudstack-cli: cannot write to standard output\n");
        if (status == kExitSuccess) status = kExitFailed;
    }
    return status;
}
