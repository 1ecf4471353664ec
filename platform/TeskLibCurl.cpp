#include "TeskLibCurl.h"

#include <curl/curl.h>

#include <algorithm>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace {

struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

void GlobalInitOnce() {
    static std::once_flag once;
    // Never cleaned up: a host may hold handles of its own until exit, and
    // curl_global_cleanup is not safe to race with them.
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

bool IsAsciiSpace(char c) {
    return c == ' ' || c == '\t';
}

char AsciiLower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// Header name of a received line ("Name: value\r\n"), compared to @p name ignoring ASCII case.
bool HeaderNameIs(const std::string& line, const char* name) {
    const std::size_t colon = line.find(':');
    if (colon == std::string::npos) {
        return false;
    }
    const std::size_t length = std::strlen(name);
    if (colon != length) {
        return false;
    }
    for (std::size_t i = 0; i < length; ++i) {
        if (AsciiLower(line[i]) != AsciiLower(name[i])) {
            return false;
        }
    }
    return true;
}

// State of one transfer, read and written by the callbacks.
struct Transfer {
    CURL* easy{nullptr};
    std::string* body{nullptr};
    unsigned long long maxBody{0};
    std::size_t received{0};
    bool bodyTooLarge{false};
    std::vector<std::string> headers;  // lines of the final answer only
};

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const size_t bytes = size * count;
    // Chunked or compressed answers carry no usable length, so the limit is also enforced here.
    if (static_cast<unsigned long long>(transfer->received) + bytes > transfer->maxBody) {
        transfer->bodyTooLarge = true;
        return 0;
    }
    try {
        transfer->body->append(data, bytes);
    } catch (const std::exception&) {
        return 0;  // out of memory: abandon the transfer rather than unwind through curl
    }
    transfer->received += bytes;
    return bytes;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const size_t bytes = size * count;
    try {
        std::string line(data, bytes);
        if (line.compare(0, 5, "HTTP/") == 0) {
            // A new status line: whatever came before belonged to an interim (1xx) answer.
            transfer->headers.clear();
            transfer->headers.push_back(std::move(line));
        } else if (line == "\r\n" || line == "\n") {
            curl_off_t length = -1;
            if (curl_easy_getinfo(transfer->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) == CURLE_OK &&
                length > 0 && static_cast<unsigned long long>(length) <= transfer->maxBody) {
                // Large inventories arrive in many small pieces; one allocation up front, but not
                // more than a sane amount on the word of a header alone.
                constexpr curl_off_t kMaxReserve = 64 * 1024 * 1024;
                transfer->body->reserve(static_cast<std::size_t>(std::min(length, kMaxReserve)));
            }
        } else if (!line.empty() && IsAsciiSpace(line[0]) && !transfer->headers.empty()) {
            // Obsolete line folding: the continuation belongs to the previous line, joined by one
            // blank, so that no line break ends up inside a value (a cookie is sent back later).
            std::string& previous = transfer->headers.back();
            while (!previous.empty() && (previous.back() == '\r' || previous.back() == '\n')) previous.pop_back();
            const std::size_t text = line.find_first_not_of(" \t");
            previous += ' ';
            previous += line.substr(text == std::string::npos ? line.size() : text);
        } else {
            transfer->headers.push_back(std::move(line));
        }
    } catch (const std::exception&) {
        return 0;
    }
    return bytes;
}

}  // namespace

struct TeskLibCurl::Impl {
    std::unique_ptr<CURL, EasyDeleter> easy;
    std::unique_ptr<curl_slist, SlistDeleter> headers;
    Transfer transfer;
    char errorBuffer[CURL_ERROR_SIZE]{};
};

TeskLibCurl::TeskLibCurl() : m_pImpl(new Impl) {
    GlobalInitOnce();
    m_pImpl->easy.reset(curl_easy_init());
    m_pImpl->transfer.easy = m_pImpl->easy.get();
}

TeskLibCurl::~TeskLibCurl() = default;

void TeskLibCurl::TeskLibCurlFreeHttpHeaderList() {
    m_pImpl->headers.reset();
}

bool TeskLibCurl::TeskLibCurlAppendHeader(_http_hdr_type_ /*type*/, const char* line) {
    if (line == nullptr) {
        return false;
    }
    // curl reads "Name:" with nothing after the colon as "remove this header"; the form
    // "Name;" is how it sends a header with an empty value, which is what the caller asked for.
    std::string text(line);
    const std::size_t colon = text.find(':');
    if (colon != std::string::npos && colon > 0 && text.find_first_not_of(" \t", colon + 1) == std::string::npos) {
        text.erase(colon);
        text += ';';
    }
    curl_slist* head = m_pImpl->headers.get();
    curl_slist* result = curl_slist_append(head, text.c_str());
    if (result == nullptr) {
        return false;  // the list is left as it was
    }
    if (head == nullptr) {
        m_pImpl->headers.reset(result);
    }
    return true;
}

bool TeskLibCurl::GetHttpResponseHeaders(const char* name, std::list<std::string>& out) {
    if (name == nullptr || *name == '\0') {
        return false;
    }
    bool found = false;
    for (const std::string& line : m_pImpl->transfer.headers) {
        if (HeaderNameIs(line, name)) {
            out.push_back(line);
            found = true;
        }
    }
    return found;
}

bool TeskLibCurl::Perform(_http_req_type_ method, const std::string& url, const std::string& body,
                          std::string& response, const TeskLibCurlLimits& limits, TeskLibCurlResult& result) {
    result = TeskLibCurlResult();
    response.clear();
    Impl& impl = *m_pImpl;
    Transfer& transfer = impl.transfer;
    transfer.headers.clear();

    CURL* easy = impl.easy.get();
    if (easy == nullptr) {
        result.strError = "curl_easy_init failed";
        return false;
    }

    // Reset forgets every option but keeps the connection cache, so the next request
    // goes over the same TCP connection; every option is therefore set again below.
    curl_easy_reset(easy);

    transfer.body = &response;
    transfer.maxBody = limits.ullMaxBodyBytes;
    transfer.received = 0;
    transfer.bodyTooLarge = false;
    impl.errorBuffer[0] = '\0';

    CURLcode code = CURLE_OK;
    auto set = [&code](CURLcode next) {
        if (code == CURLE_OK) {
            code = next;
        }
    };
    set(curl_easy_setopt(easy, CURLOPT_URL, url.c_str()));
    set(curl_easy_setopt(easy, CURLOPT_PROTOCOLS_STR, "http,https"));
    if (method == HTTP_REQ_POST) {
        set(curl_easy_setopt(easy, CURLOPT_POST, 1L));
        // The size is set explicitly, so an empty body still goes out as Content-Length: 0.
        set(curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size())));
        set(curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.c_str()));
    } else {
        set(curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L));
    }
    set(curl_easy_setopt(easy, CURLOPT_HTTPHEADER, impl.headers.get()));
    set(curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, limits.lConnectTimeoutMs));
    if (limits.lIdleTimeoutSec > 0) {
        set(curl_easy_setopt(easy, CURLOPT_LOW_SPEED_LIMIT, 1L));
        set(curl_easy_setopt(easy, CURLOPT_LOW_SPEED_TIME, limits.lIdleTimeoutSec));
    }
    set(curl_easy_setopt(easy, CURLOPT_FOLLOWLOCATION, 0L));
    // An empty proxy overrides http_proxy and friends: the library reads no environment.
    set(curl_easy_setopt(easy, CURLOPT_PROXY, ""));
    set(curl_easy_setopt(easy, CURLOPT_ACCEPT_ENCODING, ""));
    // The library may run in any thread of the host; no SIGALRM-based DNS time-outs.
    set(curl_easy_setopt(easy, CURLOPT_NOSIGNAL, 1L));
    set(curl_easy_setopt(easy, CURLOPT_TCP_KEEPALIVE, 1L));
    if (limits.ullMaxBodyBytes <= static_cast<unsigned long long>(std::numeric_limits<curl_off_t>::max())) {
        set(curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE, static_cast<curl_off_t>(limits.ullMaxBodyBytes)));
    }
    set(curl_easy_setopt(easy, CURLOPT_ERRORBUFFER, impl.errorBuffer));
    set(curl_easy_setopt(easy, CURLOPT_WRITEFUNCTION, &OnBody));
    set(curl_easy_setopt(easy, CURLOPT_WRITEDATA, &transfer));
    set(curl_easy_setopt(easy, CURLOPT_HEADERFUNCTION, &OnHeader));
    set(curl_easy_setopt(easy, CURLOPT_HEADERDATA, &transfer));

    if (code == CURLE_OK) {
        code = curl_easy_perform(easy);
    }

    long status = 0;
    if (curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK) {
        result.lHttpStatus = status;
    }
    result.nBytes = transfer.received;
    result.bTransportOk = code == CURLE_OK;
    if (!result.bTransportOk) {
        if (transfer.bodyTooLarge) {
            result.strError =
                "answer body larger than the limit of " + std::to_string(limits.ullMaxBodyBytes) + " bytes";
        } else {
            result.strError = curl_easy_strerror(code);
            if (impl.errorBuffer[0] != '\0') {
                result.strError += " (";
                std::string detail(impl.errorBuffer);
                while (!detail.empty() && (detail.back() == '\n' || detail.back() == '\r')) {
                    detail.pop_back();
                }
                result.strError += detail;
                result.strError += ")";
            }
        }
    }
    transfer.body = nullptr;
    return result.bTransportOk;
}
