#include "HttpWire.h"

#include <openssl/ssl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <map>

#include "Text.h"

namespace cstest {
namespace {

constexpr std::size_t kHeadLimit = 1 << 20;
constexpr std::size_t kLineLimit = 1 << 12;
constexpr unsigned long long kBodyLimit = 1ULL << 30;

std::string Lower(std::string s) {
    return cstools::AsciiLower(std::move(s));
}

// The values of one header, lower-cased and joined, for token checks.
std::string HeaderTokens(const NameValues& headers, const std::string& name) {
    std::string out;
    for (const auto& [n, v] : headers) {
        if (Lower(n) == name) out += Lower(v) + ",";
    }
    return out;
}

bool ParseHead(const std::string& head, RawRequest& request) {
    std::size_t start = 0;
    for (bool first = true;; first = false) {
        const auto end = head.find("\r\n", start);
        const std::string_view line(head.data() + start, end - start);
        start = end + 2;
        if (line.empty()) return !first;
        if (first) {
            const auto sp1 = line.find(' ');
            const auto sp2 = line.rfind(' ');
            if (sp1 == 0 || sp1 == std::string_view::npos || sp2 == sp1) return false;
            request.method = std::string(line.substr(0, sp1));
            request.target = std::string(line.substr(sp1 + 1, sp2 - sp1 - 1));
            request.version = std::string(line.substr(sp2 + 1));
            if (request.version.rfind("HTTP/1.", 0) != 0) return false;
            continue;
        }
        const auto colon = line.find(':');
        if (colon == std::string_view::npos || colon == 0) return false;
        request.headers.emplace_back(std::string(line.substr(0, colon)),
                                     cstools::Trim(std::string(line.substr(colon + 1))));
    }
}

Got ReadChunked(Channel& channel, std::string& body) {
    for (;;) {
        std::string line;
        if (const Got got = channel.Line(line); got != Got::kOk) return got;
        const std::string size = cstools::Trim(std::string(line.substr(0, line.find(';'))));
        char* end = nullptr;
        const unsigned long long n = std::strtoull(size.c_str(), &end, 16);
        if (size.empty() || *end != '\0' || n > kBodyLimit) return Got::kBad;
        if (n == 0) break;
        if (const Got got = channel.Exact(static_cast<std::size_t>(n), body); got != Got::kOk) return got;
        if (const Got got = channel.Line(line); got != Got::kOk || !line.empty()) return Got::kBad;
    }
    std::string trailer;
    do {
        if (const Got got = channel.Line(trailer); got != Got::kOk) return got;
    } while (!trailer.empty());
    return Got::kOk;
}

const char* Reason(int status) {
    static const std::map<int, const char*> kReasons{{100, "Continue"},
                                                     {200, "OK"},
                                                     {204, "No Content"},
                                                     {301, "Moved Permanently"},
                                                     {302, "Found"},
                                                     {400, "Bad Request"},
                                                     {401, "Unauthorized"},
                                                     {404, "Not Found"},
                                                     {405, "Method Not Allowed"},
                                                     {500, "Internal Server Error"},
                                                     {502, "Bad Gateway"},
                                                     {503, "Service Unavailable"}};
    const auto it = kReasons.find(status);
    return it != kReasons.end() ? it->second : "Status";  // the server's own codes (431, 432, 530...) have none
}

}  // namespace

bool Channel::Send(std::string_view bytes) {
    while (!bytes.empty()) {
        const std::size_t size = std::min<std::size_t>(bytes.size(), INT_MAX);
        ssize_t n = 0;
        if (ssl_ != nullptr) {
            n = SSL_write(ssl_, bytes.data(), static_cast<int>(size));
        } else {
            n = ::send(fd_, bytes.data(), size, MSG_NOSIGNAL);
            if (n < 0 && errno == EINTR) continue;
        }
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

Got Channel::Head(std::string& head) {
    std::size_t from = 0;
    for (;;) {
        const auto end = buffer_.find("\r\n\r\n", from);
        if (end != std::string::npos) return Take(end + 4, head);
        if (buffer_.size() > kHeadLimit) return Got::kBad;
        from = buffer_.size() < 3 ? 0 : buffer_.size() - 3;
        if (!Fill()) return Got::kClosed;  // a partial head has no one left to answer
    }
}

Got Channel::Line(std::string& line) {
    line.clear();
    std::size_t from = 0;
    for (;;) {
        const auto end = buffer_.find("\r\n", from);
        if (end != std::string::npos) {
            const Got got = Take(end + 2, line);
            line.resize(line.size() - 2);
            return got;
        }
        if (buffer_.size() > kLineLimit) return Got::kBad;
        from = buffer_.empty() ? 0 : buffer_.size() - 1;
        if (!Fill()) return Got::kClosed;
    }
}

Got Channel::Exact(std::size_t size, std::string& out) {
    while (buffer_.size() < size) {
        if (!Fill()) return Got::kClosed;
    }
    return Take(size, out);
}

void Channel::DrainUntilClosed() {
    char chunk[4096];
    ssize_t n = 0;
    do {
        n = ::recv(fd_, chunk, sizeof(chunk), 0);
    } while (n > 0 || (n < 0 && errno == EINTR));
}

bool Channel::Fill() {
    char chunk[16384];
    ssize_t n = 0;
    if (ssl_ != nullptr) {
        n = SSL_read(ssl_, chunk, sizeof(chunk));
    } else {
        do {
            n = ::recv(fd_, chunk, sizeof(chunk), 0);
        } while (n < 0 && errno == EINTR);
    }
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<std::size_t>(n));
    return true;
}

Got Channel::Take(std::size_t size, std::string& out) {
    out.append(buffer_, 0, size);
    buffer_.erase(0, size);
    return Got::kOk;
}

Got ReadRequest(Channel& channel, RawRequest& request) {
    std::string head;
    if (const Got got = channel.Head(head); got != Got::kOk) return got;
    if (!ParseHead(head, request)) return Got::kBad;
    request.head = std::move(head);
    const bool chunked = HeaderTokens(request.headers, "transfer-encoding").find("chunked") != std::string::npos;
    unsigned long long length = 0;
    bool sized = false;
    for (const auto& [name, value] : request.headers) {
        if (chunked || Lower(name) != "content-length") continue;
        char* end = nullptr;
        const unsigned long long n = std::strtoull(value.c_str(), &end, 10);
        if (value.empty() || !std::isdigit(static_cast<unsigned char>(value[0])) || *end != '\0' || n > kBodyLimit ||
            (sized && n != length)) {
            return Got::kBad;
        }
        length = n;
        sized = true;
    }
    // curl holds a large body back until the server invites it.
    if ((chunked || length > 0) && request.version == "HTTP/1.1" &&
        HeaderTokens(request.headers, "expect").find("100-continue") != std::string::npos &&
        !channel.Send("HTTP/1.1 100 Continue\r\n\r\n")) {
        return Got::kClosed;
    }
    if (chunked) return ReadChunked(channel, request.body);
    return channel.Exact(static_cast<std::size_t>(length), request.body);
}

bool WantsClose(const RawRequest& request) {
    const std::string tokens = HeaderTokens(request.headers, "connection");
    if (request.version == "HTTP/1.0") return tokens.find("keep-alive") == std::string::npos;
    return tokens.find("close") != std::string::npos;
}

std::string FormatResponse(int status, const NameValues& headers, const std::string& body, bool headOnly) {
    std::string out = "HTTP/1.1 " + std::to_string(status) + " " + Reason(status) + "\r\n";
    bool framed = false;
    for (const auto& [name, value] : headers) {
        out += name + ": " + value + "\r\n";
        const std::string lower = Lower(name);
        framed = framed || lower == "content-length" || lower == "transfer-encoding";
    }
    if (!framed) out += "Content-Length: " + std::to_string(body.size()) + "\r\n";
    out += "\r\n";
    if (!headOnly) out += body;
    return out;
}

}  // namespace cstest
