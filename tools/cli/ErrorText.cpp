#include "ErrorText.h"

namespace cscli {

using namespace CloudStackSDKWrapper;

bool IsConnectFailure(long code) {
    return code == CS_ERROR_RESOLVE_HOST || code == CS_ERROR_CONNECT || code == CS_ERROR_TLS ||
           code == CS_ERROR_TLS_CERTIFICATE;
}

std::string Describe(const CCloudStackErrorState& error, const std::string& server, const std::string& fallback) {
    const long code = error.lErrorCode;
    const std::string& message = error.strErrorMessage;
    if (code == CS_ERROR_NONE && message.empty()) return fallback;
    if (code > 0) {
        std::string text = "the server refused (" + std::to_string(code) + ")";
        return message.empty() ? text : text + ": " + message;
    }
    const std::string sentence = message.empty() ? fallback : message;
    // "cannot reach <server>: the proxy <host:port> ...": the library's sentence says it all.
    if (code == CS_ERROR_PROXY) return sentence;
    if (IsConnectFailure(code)) return "cannot connect to " + server + ": " + sentence;
    if (code == CS_ERROR_AMBIGUOUS) return sentence + "; use --id";
    switch (code) {
        case CS_ERROR_OUT_OF_MEMORY:
            return "the library ran out of memory (" + sentence + ")";
        case CS_ERROR_INTERNAL:
            return "the library failed inside (" + sentence + "); this is a fault of the library, please report it";
        case CS_ERROR_JOB_FAILED:  // "job ... failed ...", with the job's own text
        case CS_ERROR_WAIT_STOPPED:
        default:
            return sentence;
    }
}

std::string DescribeLookup(const CCloudStackErrorState& error, const std::string& server, const std::string& what,
                           bool byId, const std::string& key) {
    const std::string subject = what + (byId ? " with id \"" : " named \"") + key + "\"";
    const long code = error.lErrorCode;
    if (code == CS_ERROR_NOT_FOUND || code == CS_ERROR_AMBIGUOUS ||
        (code == CS_ERROR_NONE && error.strErrorMessage.empty()))
        return Describe(error, server, "no " + subject);
    return "looking up the " + subject + ": " + Describe(error, server, "the lookup failed");
}

std::string DescribeLogin(const CCloudStackErrorState& error, const std::string& server, bool keyPair,
                          bool withDomain) {
    const std::string code = std::to_string(error.lErrorCode);
    // The server's texts for these name neither what was wrong nor what to check.
    if (!keyPair && error.lErrorCode == 531)
        return std::string(withDomain ? "wrong user name, password or domain" : "wrong user name or password") + " (" +
               code + ")";
    // A refusal the library explains by the two clocks is not the keys' fault.
    const bool clocks = error.strErrorMessage.rfind("the server's clock", 0) == 0;
    if (keyPair && error.lErrorCode == 401 && !clocks)
        return "the server refused the API key or its secret key (" + code + ")";
    if (error.lErrorCode == CS_ERROR_PROXY) return error.strErrorMessage;
    // Whatever kept the first request from being answered, the server could not be reached.
    if (error.lErrorCode <= CS_ERROR_RESOLVE_HOST && error.lErrorCode >= CS_ERROR_TRANSPORT)
        return "cannot connect to " + server + ": " + error.strErrorMessage;
    std::string fallback = "cannot log in to " + server;
    if (keyPair) fallback = "the server did not accept the API key pair at " + server;
    return Describe(error, server, fallback);
}

}  // namespace cscli
