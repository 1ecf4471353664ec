// Header lines a hostile server may send. The input is an answer's header block (cut into lines
// after each '\n', as curl hands them over), then optionally "\r\n\r\n" or "\n\n" and a login body.
//  1. The lines on their own through TeskHttpResponseHeaders: its bounds hold, and Find returns
//     only lines of the asked name.
//  2. The lines as the login answer of a CCloudStackConnection::connect through the transfer seam,
//     then one GET: no request header line sent afterwards holds CR, LF or NUL, no more than
//     kMaxCookies cookies come back, and the URL holds no blank or control character.

#include <cstddef>
#include <cstdint>
#include <list>
#include <string>
#include <vector>

#include "CloudStackConnection.h"
#include "FuzzSupport.h"
#include "TeskHttpResponseHeaders.h"
#include "TeskLibCurl.h"

using namespace CloudStackSDKWrapper;
using cloudstack_fuzz::Require;

namespace {

const char kDefaultLogin[] =
    R"({"loginresponse":{"username":"admin","timeout":1800,"sessionkey":"jJ_NmQCrcOErJFYh05czknvs6gE",)"
    R"("is2faenabled":"false","is2faverified":"true"}})";

bool StartsWithNoCase(const std::string& text, const std::string& prefix) {
    if (text.size() < prefix.size()) return false;
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        const char a = text[i] >= 'A' && text[i] <= 'Z' ? static_cast<char>(text[i] - 'A' + 'a') : text[i];
        const char b = prefix[i] >= 'A' && prefix[i] <= 'Z' ? static_cast<char>(prefix[i] - 'A' + 'a') : prefix[i];
        if (a != b) return false;
    }
    return true;
}

void CheckCollector(const std::vector<std::string>& lines) {
    TeskHttpResponseHeaders headers;
    for (const std::string& line : lines) {
        if (!headers.AddLine(line.data(), line.size())) break;
        Require(headers.LineCount() <= TeskHttpResponseHeaders::kMaxLines, "more header lines kept than the bound");
        Require(headers.ByteCount() <= TeskHttpResponseHeaders::kMaxBytes, "more header bytes kept than the bound");
    }
    for (const char* name : {"Set-Cookie", "content-length", "Location"}) {
        std::list<std::string> found;
        const bool any = headers.Find(name, found);
        Require(any == !found.empty(), "Find's result does not match what it returned");
        Require(found.size() <= headers.LineCount(), "Find returned more lines than are kept");
        for (const std::string& line : found) {
            Require(StartsWithNoCase(line, std::string(name) + ":"), "Find returned a line of another name", line);
        }
    }
}

bool IsBadHeaderByte(char c) {
    return c == '\r' || c == '\n' || c == '\0';
}

struct Recorder {
    std::vector<std::string> replyLines;
    std::string loginBody;
    std::vector<TeskTransferRequest> requests;

    bool operator()(const TeskTransferRequest& request, TeskTransferReply& reply) {
        requests.push_back(request);
        if (requests.size() == 1) {
            reply.headerLines = replyLines;
            reply.strBody = loginBody;
        } else {
            reply.headerLines = {"HTTP/1.1 200 OK\r\n", "\r\n"};
            reply.strBody = R"({"listzonesresponse":{}})";
        }
        return true;
    }
};

void CheckConnection(const std::vector<std::string>& lines, const std::string& loginBody) {
    Recorder recorder{lines, loginBody.empty() ? std::string(kDefaultLogin) : loginBody, {}};
    const TeskTransferFunction previous = SetTransferFunction(
        [&recorder](const TeskTransferRequest& request, TeskTransferReply& reply) { return recorder(request, reply); });
    {
        CCloudStackConnection connection;
        connection.EnableDebug();
        connection.connect("mgmt.example", "admin", "password");
        std::string response;
        connection.GET("listZones", response);
    }
    SetTransferFunction(previous);

    Require(recorder.requests.size() == 2, "connect and GET did not send one request each");
    const TeskTransferRequest& get = recorder.requests[1];
    std::size_t cookies = 0;
    for (const std::string& line : get.headerLines) {
        for (const char c : line) Require(!IsBadHeaderByte(c), "a request header line holds CR, LF or NUL", line);
        if (StartsWithNoCase(line, "Cookie:") || StartsWithNoCase(line, "Cookie;")) ++cookies;
    }
    Require(cookies <= CCloudStackConnection::kMaxCookies, "more cookies sent back than are kept");
    for (const char c : get.strUrl) {
        const auto byte = static_cast<unsigned char>(c);
        Require(byte > 0x20 && byte != 0x7F, "the request URL holds a blank or a control character", get.strUrl);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
    cloudstack_fuzz::LogSink log;
    const std::string input(reinterpret_cast<const char*>(data), size);
    // The header block ends at the first empty line; what follows is the login body.
    const std::size_t end = cloudstack_fuzz::HeaderBlockEnd(input);
    const std::string block = input.substr(0, end);
    const std::string body = input.substr(end);
    const std::vector<std::string> lines = cloudstack_fuzz::Lines(block);
    CheckCollector(lines);
    CheckConnection(lines, body);
    return 0;
}
