#include "TeskLibCurl.h"

#include <curl/curl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <strings.h>
#include <sys/mman.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "StrUtil.h"
#include "TeskHttpResponseHeaders.h"
#include "TeskTransferWatch.h"

namespace {

using Clock = std::chrono::steady_clock;

void GlobalInitOnce() {
    static std::once_flag once;
    // Never cleaned up: a host may hold handles of its own until exit, and
    // curl_global_cleanup is not safe to race with them.
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

long long ToMs(Clock::duration duration) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
}

// ---------------------------------------------------------------------------
// Answer body

// One anonymous mapping: given back to the system the moment it is released, which freed heap
// memory of this size is not always (glibc keeps it once its mmap threshold has grown).
class MappedBlock {
public:
    explicit MappedBlock(std::size_t size) : m_nSize(size) {
        void* data = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        m_pData = data == MAP_FAILED ? nullptr : static_cast<char*>(data);
    }
    ~MappedBlock() { Release(); }
    MappedBlock(MappedBlock&& other) noexcept
        : m_pData(std::exchange(other.m_pData, nullptr)), m_nSize(other.m_nSize) {}
    MappedBlock(const MappedBlock&) = delete;
    MappedBlock& operator=(const MappedBlock&) = delete;
    MappedBlock& operator=(MappedBlock&&) = delete;

    char* Data() const { return m_pData; }
    void Release() {
        if (m_pData != nullptr) {
            munmap(m_pData, m_nSize);
            m_pData = nullptr;
        }
    }

private:
    char* m_pData;
    std::size_t m_nSize;
};

// Receives one answer body. Up to kBlockBytes (or the size announced by Content-Length) it
// grows one string that is later swapped into the caller's; beyond that it fills fixed
// blocks and joins them only at the end, releasing each block as it is copied, so that a
// large body never sits in memory twice the way std::string growth would leave it.
class BodyBuffer {
public:
    static constexpr std::size_t kBlockBytes = std::size_t{16} << 20;

    void Reset() {
        m_Blocks.clear();
        m_nLastUsed = 0;
        m_nSize = 0;
        m_strHead.clear();
        if (m_strHead.capacity() > kBlockBytes + kTeskBodyPadding) {
            // A buffer that once held a large body is not kept for the small ones that follow.
            std::string().swap(m_strHead);
        }
    }

    // Content-Length is only a hint: a compressed body grows beyond it.
    void Expect(unsigned long long bytes) {
        if (!m_Blocks.empty() || bytes == 0 || bytes > std::numeric_limits<std::size_t>::max() - 2 * kTeskBodyPadding) {
            return;
        }
        const std::size_t wanted = static_cast<std::size_t>(bytes) + kTeskBodyPadding;
        if (wanted <= m_strHead.capacity()) {
            return;
        }
        try {
            m_strHead.reserve(wanted);
        } catch (const std::exception&) {
            // Only a guess; the body still arrives through growth and blocks.
        }
    }

    bool Append(const char* data, std::size_t size) {
        try {
            if (m_Blocks.empty()) {
                const std::size_t needed = m_strHead.size() + size + kTeskBodyPadding;
                if (needed <= m_strHead.capacity() || needed <= kBlockBytes) {
                    if (needed > m_strHead.capacity()) {
                        m_strHead.reserve(std::max(needed, std::min(2 * m_strHead.capacity(), kBlockBytes)));
                    }
                    m_strHead.append(data, size);
                    m_nSize += size;
                    return true;
                }
            }
            while (size > 0) {
                if (m_Blocks.empty() || m_nLastUsed == kBlockBytes) {
                    MappedBlock block(kBlockBytes);
                    if (block.Data() == nullptr) {
                        return false;
                    }
                    m_Blocks.push_back(std::move(block));
                    m_nLastUsed = 0;
                }
                const std::size_t piece = std::min(size, kBlockBytes - m_nLastUsed);
                std::memcpy(m_Blocks.back().Data() + m_nLastUsed, data, piece);
                m_nLastUsed += piece;
                m_nSize += piece;
                data += piece;
                size -= piece;
            }
            return true;
        } catch (const std::exception&) {
            return false;
        }
    }

    // Hands the body to @p out with the padding behind it; @p out's old buffer stays here for
    // the next answer. Throws std::bad_alloc when the joined body does not fit in memory.
    void MoveTo(std::string& out) {
        if (m_Blocks.empty()) {
            if (m_strHead.capacity() < m_strHead.size() + kTeskBodyPadding) {
                m_strHead.reserve(m_strHead.size() + kTeskBodyPadding);
            }
            ZeroPadding(m_strHead);
            out.swap(m_strHead);
            Reset();
            return;
        }
        std::string().swap(out);
        out.reserve(m_nSize + kTeskBodyPadding);
        out.append(m_strHead);
        std::string().swap(m_strHead);
        for (std::size_t i = 0; i < m_Blocks.size(); ++i) {
            out.append(m_Blocks[i].Data(), i + 1 == m_Blocks.size() ? m_nLastUsed : kBlockBytes);
            m_Blocks[i].Release();
        }
        ZeroPadding(out);
        Reset();
    }

private:
    // Within the reserved capacity, so no reallocation: leaves the spare bytes zero.
    static void ZeroPadding(std::string& text) {
        const std::size_t size = text.size();
        text.append(kTeskBodyPadding, '\0');
        text.resize(size);
    }

    std::string m_strHead;
    std::vector<MappedBlock> m_Blocks;
    std::size_t m_nLastUsed{0};
    std::size_t m_nSize{0};
};

// ---------------------------------------------------------------------------
// Extra CA certificates

std::string OpenSslErrorText() {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) {
        return "unknown error";
    }
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// The certificates of one PEM file, added to the trust store of every TLS context curl
// creates. curl's CAINFO would replace the system store instead of adding to it.
class CaCertificates {
public:
    CaCertificates() = default;
    ~CaCertificates() { Clear(); }
    CaCertificates(const CaCertificates&) = delete;
    CaCertificates& operator=(const CaCertificates&) = delete;

    void Clear() {
        for (X509* certificate : m_Certificates) {
            X509_free(certificate);
        }
        m_Certificates.clear();
    }

    bool Load(const std::string& path, std::string& error) {
        Clear();
        ERR_clear_error();
        BIO* file = BIO_new_file(path.c_str(), "r");
        if (file == nullptr) {
            error = "cannot read the CA file " + path + ": " + OpenSslErrorText();
            return false;
        }
        while (X509* certificate = PEM_read_bio_X509(file, nullptr, nullptr, nullptr)) {
            m_Certificates.push_back(certificate);
        }
        // Reading stops with an error at the end of the file.
        ERR_clear_error();
        BIO_free(file);
        if (m_Certificates.empty()) {
            error = "no PEM certificate in the CA file " + path;
            return false;
        }
        return true;
    }

    static CURLcode AddToContext(CURL* /*easy*/, void* context, void* user) {
        const auto* self = static_cast<const CaCertificates*>(user);
        X509_STORE* store = SSL_CTX_get_cert_store(static_cast<SSL_CTX*>(context));
        if (store == nullptr) {
            return CURLE_SSL_CERTPROBLEM;
        }
        for (X509* certificate : self->m_Certificates) {
            // A certificate that is already in the store is no error.
            X509_STORE_add_cert(store, certificate);
        }
        ERR_clear_error();
        return CURLE_OK;
    }

private:
    std::vector<X509*> m_Certificates;
};

// ---------------------------------------------------------------------------
// One transfer

struct Transfer {
    CURL* easy{nullptr};
    BodyBuffer body;
    TeskHttpResponseHeaders headers;
    TeskTransferWatch watch;
    unsigned long long maxBody{0};
    unsigned long long received{0};
    unsigned long long headerBytes{0};
    TeskLibCurlFailure failure{TeskLibCurlFailure::None};
    std::string failureText;
    bool replayed{false};  // the answer comes from an installed TeskTransferFunction

    void Begin(Clock::time_point now, const TeskLibCurlLimits& limits) {
        body.Reset();
        headers.Clear();
        watch.Begin(now, limits);
        maxBody = limits.ullMaxBodyBytes;
        received = 0;
        headerBytes = 0;
        failure = TeskLibCurlFailure::None;
        failureText.clear();
        replayed = false;
    }

    // The first verdict stands: later ones are consequences of it.
    void Fail(TeskLibCurlFailure kind, std::string text) {
        if (failure == TeskLibCurlFailure::None) {
            failure = kind;
            failureText = std::move(text);
        }
    }
};

// The Content-Length of the current answer's header lines, as curl reads it; -1 when there is none
// or it is no number. Needed only for a replayed answer: curl tells its own.
curl_off_t AnnouncedLength(const TeskHttpResponseHeaders& headers) {
    std::list<std::string> lines;
    if (!headers.Find("Content-Length", lines)) {
        return -1;
    }
    const std::string value = TeskHttpResponseHeaders::ValueOf(lines.back());
    curl_off_t length = 0;
    bool digits = false;
    for (std::size_t at = 0; at < value.size() && value[at] >= '0' && value[at] <= '9'; ++at) {
        if (length > (std::numeric_limits<curl_off_t>::max() - 9) / 10) {
            return -1;
        }
        length = length * 10 + (value[at] - '0');
        digits = true;
    }
    return digits ? length : -1;
}

size_t OnBody(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const size_t bytes = size * count;
    // Chunked or compressed answers carry no usable length, so the cap is enforced here, on
    // the decompressed bytes, as they arrive.
    if (transfer->maxBody > 0 && transfer->received + bytes > transfer->maxBody) {
        transfer->Fail(TeskLibCurlFailure::TooLarge,
                       StrUtil::Format("answer body larger than the limit of %llu bytes", transfer->maxBody));
        return 0;
    }
    if (!transfer->body.Append(data, bytes)) {
        transfer->Fail(TeskLibCurlFailure::Transport, "out of memory for the answer body");
        return 0;
    }
    transfer->received += bytes;
    return bytes;
}

size_t OnHeader(char* data, size_t size, size_t count, void* user) {
    auto* transfer = static_cast<Transfer*>(user);
    const size_t bytes = size * count;
    transfer->headerBytes += bytes;
    try {
        const bool wasComplete = transfer->headers.Complete();
        if (!transfer->headers.AddLine(data, bytes)) {
            transfer->Fail(TeskLibCurlFailure::TooLarge,
                           StrUtil::Format("answer has more than %zu header lines or %zu bytes of them",
                                           TeskHttpResponseHeaders::kMaxLines, TeskHttpResponseHeaders::kMaxBytes));
            return 0;
        }
        if (!wasComplete && transfer->headers.Complete() && transfer->headers.Status() >= 200) {
            curl_off_t length = -1;
            if (transfer->replayed) {
                length = AnnouncedLength(transfer->headers);
            } else if (curl_easy_getinfo(transfer->easy, CURLINFO_CONTENT_LENGTH_DOWNLOAD_T, &length) != CURLE_OK) {
                length = -1;
            }
            if (length > 0 &&
                (transfer->maxBody == 0 || static_cast<unsigned long long>(length) <= transfer->maxBody)) {
                // Large inventories arrive in many small pieces: one allocation up front.
                transfer->body.Expect(static_cast<unsigned long long>(length));
            }
        }
    } catch (const std::exception&) {
        transfer->Fail(TeskLibCurlFailure::Transport, "out of memory for the answer's header lines");
        return 0;
    }
    return bytes;
}

int OnProgress(void* user, curl_off_t /*dltotal*/, curl_off_t dlnow, curl_off_t /*ultotal*/, curl_off_t /*ulnow*/) {
    auto* transfer = static_cast<Transfer*>(user);
    const unsigned long long body = dlnow > 0 ? static_cast<unsigned long long>(dlnow) : 0;
    transfer->watch.Record(Clock::now(), transfer->headerBytes + body);
    return 0;
}

// ---------------------------------------------------------------------------
// URL pieces for messages

// End of "scheme://authority" in @p url, and in @p begin where the authority starts. curl takes
// a URL without a scheme for http, so the authority may start at the beginning.
std::size_t AuthorityEnd(const std::string& url, std::size_t& begin) {
    const std::size_t scheme = url.find("://");
    begin = scheme != std::string::npos && scheme < url.find_first_of("/?#") ? scheme + 3 : 0;
    const std::size_t end = url.find_first_of("/?#", begin);
    return end == std::string::npos ? url.size() : end;
}

bool StartsWithNoCase(const std::string& text, const char* prefix) {
    const std::size_t length = std::strlen(prefix);
    return text.size() >= length && strncasecmp(text.c_str(), prefix, length) == 0;
}

// "host:port" of @p url, the default port filled in, credentials left out.
std::string HostOfUrl(const std::string& url) {
    std::size_t begin = 0;
    const std::size_t end = AuthorityEnd(url, begin);
    std::string host = url.substr(begin, end - begin);
    const std::size_t at = host.rfind('@');
    if (at != std::string::npos) {
        host.erase(0, at + 1);
    }
    bool hasPort = false;
    if (!host.empty() && host[0] == '[') {
        const std::size_t close = host.find(']');
        hasPort = close != std::string::npos && close + 1 < host.size() && host[close + 1] == ':';
    } else {
        hasPort = host.find(':') != std::string::npos;
    }
    if (!hasPort) {
        host += StartsWithNoCase(url, "https://") ? ":443" : ":80";
    }
    return host;
}

// A redirect target fit for a log line: no credentials, no query, no fragment.
std::string CleanLocation(const std::string& location) {
    std::string clean = location.substr(0, location.find_first_of("?#"));
    std::size_t begin = 0;
    const std::size_t end = AuthorityEnd(clean, begin);
    const std::size_t at = end == 0 ? std::string::npos : clean.rfind('@', end - 1);
    if (at != std::string::npos && at >= begin) {
        clean.erase(begin, at + 1 - begin);
    }
    return clean;
}

// curl's messages name the host, not the URL; should one ever quote it, the path and query
// (which may hold a password) are cut out.
void RemoveUrlText(std::string& text, const std::string& url, const std::string& host) {
    if (url.empty()) {
        return;
    }
    std::size_t at = 0;
    while ((at = text.find(url, at)) != std::string::npos) {
        text.replace(at, url.size(), host);
        at += host.size();
    }
    std::size_t begin = 0;
    const std::string rest = url.substr(AuthorityEnd(url, begin));
    if (rest.size() > 1) {
        while ((at = text.find(rest)) != std::string::npos) {
            text.erase(at, rest.size());
        }
    }
}

// ---------------------------------------------------------------------------
// Replaced transfer

std::mutex& TransferMutex() {
    static std::mutex mutex;
    return mutex;
}

TeskTransferFunction& InstalledTransfer() {
    static TeskTransferFunction function;
    return function;
}

// Copied out so that the lock is not held while the replacement runs.
TeskTransferFunction CurrentTransfer() {
    std::lock_guard<std::mutex> lock(TransferMutex());
    return InstalledTransfer();
}

// A redirect target made absolute against the request URL, as curl's CURLINFO_REDIRECT_URL gives it.
std::string RedirectTarget(const std::string& url, const TeskHttpResponseHeaders& headers) {
    std::list<std::string> lines;
    if (!headers.Find("Location", lines)) {
        return std::string();
    }
    std::string value = TeskHttpResponseHeaders::ValueOf(lines.front());
    StrUtil::TrimRight(value, " \t\r\n");
    std::string target;
    CURLU* handle = curl_url();
    char* full = nullptr;
    if (handle != nullptr && !value.empty() && curl_url_set(handle, CURLUPART_URL, url.c_str(), 0) == CURLUE_OK &&
        curl_url_set(handle, CURLUPART_URL, value.c_str(), 0) == CURLUE_OK &&
        curl_url_get(handle, CURLUPART_URL, &full, 0) == CURLUE_OK) {
        target = full;
    }
    curl_free(full);
    curl_url_cleanup(handle);
    return target;
}

// The transfer of an installed TeskTransferFunction. Its reply is pushed through curl's own header
// and write callbacks, so that the answer meets every bound a real one meets; what curl itself
// would refuse (an announced length over the cap, an answer without a final status line) gets
// curl's code.
CURLcode ReplayTransfer(const TeskTransferFunction& function, _http_req_type_ method, const std::string& url,
                        const std::string& body, const curl_slist* list, Transfer& transfer) {
    transfer.replayed = true;
    TeskTransferRequest request;
    request.eMethod = method;
    request.strUrl = url;
    if (method == HTTP_REQ_POST) {
        request.strBody = body;
    }
    for (const curl_slist* item = list; item != nullptr; item = item->next) {
        request.headerLines.emplace_back(item->data);
    }
    TeskTransferReply reply;
    const bool complete = function(request, reply);
    for (std::string& line : reply.headerLines) {
        if (OnHeader(&line[0], 1, line.size(), &transfer) != line.size()) {
            return CURLE_WRITE_ERROR;
        }
    }
    const TeskHttpResponseHeaders& headers = transfer.headers;
    if (complete && (!headers.Complete() || headers.Status() < 200)) {
        return CURLE_WEIRD_SERVER_REPLY;
    }
    if (headers.Complete() && transfer.maxBody > 0) {
        const curl_off_t length = AnnouncedLength(headers);
        if (length > 0 && static_cast<unsigned long long>(length) > transfer.maxBody) {
            return CURLE_FILESIZE_EXCEEDED;
        }
    }
    // In pieces of curl's own write size.
    for (std::size_t at = 0; at < reply.strBody.size(); at += CURL_MAX_WRITE_SIZE) {
        const std::size_t piece = std::min<std::size_t>(CURL_MAX_WRITE_SIZE, reply.strBody.size() - at);
        if (OnBody(&reply.strBody[at], 1, piece, &transfer) != piece) {
            return CURLE_WRITE_ERROR;
        }
    }
    if (!complete) {
        transfer.Fail(reply.eFailure == TeskLibCurlFailure::None ? TeskLibCurlFailure::Transport : reply.eFailure,
                      "no complete answer from the replaced transfer");
        return CURLE_RECV_ERROR;
    }
    return CURLE_OK;
}

std::string CurlErrorText(CURLcode code, const char* detail) {
    std::string text = curl_easy_strerror(code);
    std::string more(detail);
    while (!more.empty() && (more.back() == '\n' || more.back() == '\r')) {
        more.pop_back();
    }
    if (!more.empty()) {
        text += " (" + more + ")";
    }
    return text;
}

// Every CURLcode is turned into a failure kind here and nowhere else.
// @p readingHeaders: the request went out and the answer's header block has not ended.
void Classify(CURLcode code, const Transfer& transfer, bool readingHeaders, const char* detail,
              const TeskLibCurlLimits& limits, TeskLibCurlResult& result) {
    if (transfer.failure != TeskLibCurlFailure::None) {
        // Our own verdict (a limit, a bound) explains the curl error that followed it.
        result.eFailure = transfer.failure;
        result.strError = transfer.failureText;
        return;
    }
    if (code == CURLE_OK) {
        result.eFailure = TeskLibCurlFailure::None;
        return;
    }
    result.strError = CurlErrorText(code, detail);
    switch (code) {
        case CURLE_COULDNT_RESOLVE_HOST:
        case CURLE_COULDNT_RESOLVE_PROXY:
            result.eFailure = TeskLibCurlFailure::ResolveHost;
            break;
        case CURLE_OPERATION_TIMEDOUT:
            // The only time-out left to curl is the connect time-out, which includes resolving.
            result.eFailure = std::strstr(detail, "Resolving") != nullptr ? TeskLibCurlFailure::ResolveHost
                                                                          : TeskLibCurlFailure::Connect;
            result.strError =
                StrUtil::Format("not connected within the connect time-out of %ld ms", limits.lConnectTimeoutMs) +
                result.strError.substr(std::strlen(curl_easy_strerror(code)));
            break;
        case CURLE_COULDNT_CONNECT:
            result.eFailure = TeskLibCurlFailure::Connect;
            break;
        case CURLE_PEER_FAILED_VERIFICATION:
        case CURLE_SSL_CACERT_BADFILE:
        case CURLE_SSL_ISSUER_ERROR:
        case CURLE_SSL_PINNEDPUBKEYNOTMATCH:
        case CURLE_SSL_INVALIDCERTSTATUS:
        case CURLE_SSL_CRL_BADFILE:
            result.eFailure = TeskLibCurlFailure::TlsCertificate;
            break;
        case CURLE_SSL_CONNECT_ERROR:
        case CURLE_SSL_ENGINE_NOTFOUND:
        case CURLE_SSL_ENGINE_SETFAILED:
        case CURLE_SSL_ENGINE_INITFAILED:
        case CURLE_SSL_CERTPROBLEM:
        case CURLE_SSL_CIPHER:
        case CURLE_SSL_SHUTDOWN_FAILED:
        case CURLE_USE_SSL_FAILED:
            result.eFailure = TeskLibCurlFailure::Tls;
            break;
        case CURLE_FILESIZE_EXCEEDED:
            result.eFailure = TeskLibCurlFailure::TooLarge;
            result.strError =
                StrUtil::Format("answer body larger than the limit of %llu bytes", limits.ullMaxBodyBytes);
            break;
        case CURLE_OUT_OF_MEMORY:
            // curl refuses a header line over its own limit with this code, mostly without a
            // word in the error buffer; a real lack of memory in the header phase is unlikely.
            if (readingHeaders || std::strstr(detail, "header") != nullptr) {
                result.eFailure = TeskLibCurlFailure::TooLarge;
                result.strError =
                    StrUtil::Format("header line larger than curl's limit of %d bytes", CURL_MAX_HTTP_HEADER);
            } else {
                result.eFailure = TeskLibCurlFailure::Transport;
            }
            break;
        default:
            result.eFailure = TeskLibCurlFailure::Transport;
            break;
    }
}

struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

struct MultiDeleter {
    void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};

struct SlistDeleter {
    void operator()(curl_slist* list) const { curl_slist_free_all(list); }
};

}  // namespace

const char* TeskLibCurlFailureName(TeskLibCurlFailure failure) {
    switch (failure) {
        case TeskLibCurlFailure::None:
            return "None";
        case TeskLibCurlFailure::ResolveHost:
            return "ResolveHost";
        case TeskLibCurlFailure::Connect:
            return "Connect";
        case TeskLibCurlFailure::Tls:
            return "Tls";
        case TeskLibCurlFailure::TlsCertificate:
            return "TlsCertificate";
        case TeskLibCurlFailure::Timeout:
            return "Timeout";
        case TeskLibCurlFailure::TooLarge:
            return "TooLarge";
        case TeskLibCurlFailure::Transport:
            return "Transport";
    }
    return "Unknown";
}

TeskTransferFunction SetTransferFunction(TeskTransferFunction function) {
    std::lock_guard<std::mutex> lock(TransferMutex());
    TeskTransferFunction previous = std::move(InstalledTransfer());
    InstalledTransfer() = std::move(function);
    return previous;
}

struct TeskLibCurl::Impl {
    // The multi handle owns the connection cache: the easy handle is added to it for each
    // transfer and the connection stays open in between.
    std::unique_ptr<CURLM, MultiDeleter> multi;
    std::unique_ptr<CURL, EasyDeleter> easy;
    std::unique_ptr<curl_slist, SlistDeleter> headers;
    Transfer transfer;
    char errorBuffer[CURL_ERROR_SIZE]{};
    std::string strSetupError;

    TeskLibCurlTls tls;
    bool bTlsChanged{false};
    CaCertificates caCertificates;
    std::string strCaError;

    // Options that rarely change are set again only when they do.
    long lAppliedConnectTimeoutMs{-1};
    unsigned long long ullAppliedMaxBody{std::numeric_limits<unsigned long long>::max()};

    std::string strHostKey;
    std::string strHost;

    void SetUp();
};

void TeskLibCurl::Impl::SetUp() {
    // Drop the handles first: connections made under other TLS settings are not reused.
    easy.reset();
    multi.reset();
    strSetupError.clear();
    strCaError.clear();
    lAppliedConnectTimeoutMs = -1;
    ullAppliedMaxBody = std::numeric_limits<unsigned long long>::max();

    multi.reset(curl_multi_init());
    easy.reset(curl_easy_init());
    transfer.easy = easy.get();
    if (!multi || !easy) {
        strSetupError = "curl could not create its handles";
        return;
    }
    CURL* handle = easy.get();
    CURLcode code = CURLE_OK;
    auto set = [&code](CURLcode next) {
        if (code == CURLE_OK) {
            code = next;
        }
    };
    set(curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https"));
    set(curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L));
    // An empty proxy overrides http_proxy and friends: the library reads no environment.
    set(curl_easy_setopt(handle, CURLOPT_PROXY, ""));
    set(curl_easy_setopt(handle, CURLOPT_ACCEPT_ENCODING, ""));
    // The library may run in any thread of the host; no SIGALRM-based DNS time-outs.
    set(curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L));
    set(curl_easy_setopt(handle, CURLOPT_TCP_KEEPALIVE, 1L));
    set(curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, errorBuffer));
    set(curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &OnBody));
    set(curl_easy_setopt(handle, CURLOPT_WRITEDATA, &transfer));
    set(curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &OnHeader));
    set(curl_easy_setopt(handle, CURLOPT_HEADERDATA, &transfer));
    set(curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L));
    set(curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &OnProgress));
    set(curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &transfer));
    set(curl_easy_setopt(handle, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2)));
    set(curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, tls.bVerifyPeer ? 1L : 0L));
    set(curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, tls.bVerifyPeer ? 2L : 0L));
    if (code != CURLE_OK) {
        strSetupError = std::string("curl refused an option: ") + curl_easy_strerror(code);
        return;
    }
    caCertificates.Clear();
    if (tls.bVerifyPeer && !tls.strCaFile.empty()) {
        if (caCertificates.Load(tls.strCaFile, strCaError)) {
            set(curl_easy_setopt(handle, CURLOPT_SSL_CTX_FUNCTION, &CaCertificates::AddToContext));
            set(curl_easy_setopt(handle, CURLOPT_SSL_CTX_DATA, &caCertificates));
            if (code != CURLE_OK) {
                strCaError = std::string("this curl cannot add CA certificates: ") + curl_easy_strerror(code);
            }
        }
    }
}

TeskLibCurl::TeskLibCurl() : m_pImpl(new Impl) {
    GlobalInitOnce();
    m_pImpl->SetUp();
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
    return m_pImpl->transfer.headers.Find(name, out);
}

const TeskHttpResponseHeaders& TeskLibCurl::ResponseHeaders() const {
    return m_pImpl->transfer.headers;
}

void TeskLibCurl::SetTls(const TeskLibCurlTls& tls) {
    if (tls != m_pImpl->tls) {
        m_pImpl->tls = tls;
        m_pImpl->bTlsChanged = true;
    }
}

bool TeskLibCurl::Perform(_http_req_type_ method, const std::string& url, const std::string& body,
                          std::string& response, const TeskLibCurlLimits& limits, TeskLibCurlResult& result) {
    const Clock::time_point started = Clock::now();
    result = TeskLibCurlResult();
    Impl& impl = *m_pImpl;
    Transfer& transfer = impl.transfer;
    transfer.Begin(started, limits);
    impl.errorBuffer[0] = '\0';

    {
        std::size_t begin = 0;
        const std::size_t end = AuthorityEnd(url, begin);
        if (impl.strHostKey.size() != end || url.compare(0, end, impl.strHostKey) != 0) {
            impl.strHost = HostOfUrl(url);
            impl.strHostKey = url.substr(0, end);
        }
        result.strHost = impl.strHost;
    }

    if (impl.bTlsChanged) {
        impl.bTlsChanged = false;
        impl.SetUp();
    }
    auto fail = [&](TeskLibCurlFailure kind, const std::string& text) {
        result.eFailure = kind;
        result.strError = text;
        response.clear();
        return false;
    };
    if (!impl.strSetupError.empty()) {
        return fail(TeskLibCurlFailure::Transport, impl.strSetupError);
    }
    if (!impl.strCaError.empty() && StartsWithNoCase(url, "https://")) {
        return fail(TeskLibCurlFailure::Tls, impl.strCaError);
    }
    // Both the network and a replaced transfer end here.
    auto finish = [&](CURLcode code, bool readingHeaders) {
        Classify(code, transfer, readingHeaders, impl.errorBuffer, limits, result);
        result.nBytes = static_cast<std::size_t>(transfer.received);
        if (result.eFailure == TeskLibCurlFailure::None) {
            try {
                transfer.body.MoveTo(response);
                result.bTransportOk = true;
            } catch (const std::exception&) {
                result.eFailure = TeskLibCurlFailure::Transport;
                result.strError = "out of memory for the answer body";
            }
        }
        if (!result.bTransportOk) {
            RemoveUrlText(result.strError, url, result.strHost);
            response.clear();
            transfer.body.Reset();
        }
        result.lElapsedMs = static_cast<long>(ToMs(Clock::now() - started));
        return result.bTransportOk;
    };
    if (const TeskTransferFunction replacement = CurrentTransfer()) {
        const CURLcode replayed = ReplayTransfer(replacement, method, url, body, impl.headers.get(), transfer);
        result.lHttpStatus = transfer.headers.Status();
        if (result.lHttpStatus >= 300 && result.lHttpStatus <= 399) {
            const std::string target = RedirectTarget(url, transfer.headers);
            if (!target.empty()) {
                result.strLocation = CleanLocation(target);
            }
        }
        return finish(replayed, false);
    }

    CURL* easy = impl.easy.get();
    CURLcode code = CURLE_OK;
    auto set = [&code](CURLcode next) {
        if (code == CURLE_OK) {
            code = next;
        }
    };
    set(curl_easy_setopt(easy, CURLOPT_URL, url.c_str()));
    if (method == HTTP_REQ_POST) {
        // The size is set explicitly, so an empty body still goes out as Content-Length: 0.
        set(curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size())));
        set(curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.c_str()));
    } else {
        set(curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L));
    }
    set(curl_easy_setopt(easy, CURLOPT_HTTPHEADER, impl.headers.get()));
    if (limits.lConnectTimeoutMs != impl.lAppliedConnectTimeoutMs) {
        set(curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, std::max(0L, limits.lConnectTimeoutMs)));
        impl.lAppliedConnectTimeoutMs = limits.lConnectTimeoutMs;
    }
    if (limits.ullMaxBodyBytes != impl.ullAppliedMaxBody) {
        // Refuses an announced length at once; the write callback counts what really arrives.
        const auto maxOff = static_cast<unsigned long long>(std::numeric_limits<curl_off_t>::max());
        set(curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE,
                             static_cast<curl_off_t>(std::min(limits.ullMaxBodyBytes, maxOff))));
        impl.ullAppliedMaxBody = limits.ullMaxBodyBytes;
    }
    if (code != CURLE_OK) {
        impl.lAppliedConnectTimeoutMs = -1;
        impl.ullAppliedMaxBody = std::numeric_limits<unsigned long long>::max();
        return fail(TeskLibCurlFailure::Transport, CurlErrorText(code, impl.errorBuffer));
    }

    // The multi interface lets the wait for the socket end exactly when one of the limits
    // is due; curl_easy_perform would look at them only about once a second.
    CURLM* multi = impl.multi.get();
    bool finished = false;
    if (curl_multi_add_handle(multi, easy) != CURLM_OK) {
        return fail(TeskLibCurlFailure::Transport, "curl could not start the transfer");
    }
    for (;;) {
        int running = 0;
        const CURLMcode performed = curl_multi_perform(multi, &running);
        if (performed != CURLM_OK) {
            transfer.Fail(TeskLibCurlFailure::Transport, curl_multi_strerror(performed));
            break;
        }
        if (running == 0) {
            finished = true;
            break;
        }
        const Clock::time_point now = Clock::now();
        std::string reason;
        if (transfer.watch.Expired(now, reason)) {
            transfer.Fail(TeskLibCurlFailure::Timeout, reason);
            break;
        }
        long wait = transfer.watch.MsUntilNextCheck(now);
        long curlWait = -1;
        if (curl_multi_timeout(multi, &curlWait) == CURLM_OK && curlWait >= 0 && curlWait < wait) {
            wait = curlWait;
        }
        const CURLMcode polled = curl_multi_poll(multi, nullptr, 0, static_cast<int>(wait), nullptr);
        if (polled != CURLM_OK) {
            transfer.Fail(TeskLibCurlFailure::Transport, curl_multi_strerror(polled));
            break;
        }
    }
    if (finished) {
        bool done = false;
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
                code = message->data.result;
                done = true;
            }
        }
        if (!done) {
            transfer.Fail(TeskLibCurlFailure::Transport, "the transfer ended without a result");
        }
    }
    long status = 0;
    if (curl_easy_getinfo(easy, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK) {
        result.lHttpStatus = status;
    }
    if (result.lHttpStatus >= 300 && result.lHttpStatus <= 399) {
        char* location = nullptr;
        if (curl_easy_getinfo(easy, CURLINFO_REDIRECT_URL, &location) == CURLE_OK && location != nullptr) {
            result.strLocation = CleanLocation(location);
        }
    }
    long requestBytes = 0;
    const bool readingHeaders = curl_easy_getinfo(easy, CURLINFO_REQUEST_SIZE, &requestBytes) == CURLE_OK &&
                                requestBytes > 0 && !transfer.headers.Complete();
    // Removing a handle whose transfer was cut short closes its connection.
    curl_multi_remove_handle(multi, easy);

    return finish(code, readingHeaders);
}
