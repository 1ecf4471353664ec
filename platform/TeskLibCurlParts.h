#pragma once

// The pieces of TeskLibCurl's transfer that its source files share: the extra CA certificates and
// the client certificate, the proxy, the state of one transfer and curl's callbacks into it, the
// transfer seam, the classification of failures, and the handle's own state. Part of TeskLibCurl;
// not installed: curl and OpenSSL stay below this line.

#include <curl/curl.h>
#include <openssl/bio.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <chrono>
#include <cstddef>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "TeskHttpResponseHeaders.h"
#include "TeskLibCurl.h"
#include "TeskLibCurlBody.h"
#include "TeskTransferWatch.h"

namespace teskcurl {

using Clock = std::chrono::steady_clock;

// ---------------------------------------------------------------------------
// Extra CA certificates

inline std::string OpenSslErrorText() {
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

    bool Empty() const { return m_Certificates.empty(); }

    void AddTo(X509_STORE* store) const {
        for (X509* certificate : m_Certificates) {
            // A certificate that is already in the store is no error.
            X509_STORE_add_cert(store, certificate);
        }
        ERR_clear_error();
    }

private:
    std::vector<X509*> m_Certificates;
};

// ---------------------------------------------------------------------------
// The client certificate (TeskLibCurlIdentity.cpp)

// A client certificate, the chain certificates that follow it in its file, and its private key,
// read once and given to every TLS context curl creates. Kept as OpenSSL objects rather than
// handed to curl as files or blobs: the files are read before anything is sent, and the key
// lives only where OpenSSL wipes it when it is freed.
class ClientIdentity {
public:
    ClientIdentity() = default;
    ~ClientIdentity() { Clear(); }
    ClientIdentity(const ClientIdentity&) = delete;
    ClientIdentity& operator=(const ClientIdentity&) = delete;

    void Clear();
    bool Empty() const { return m_Certificate == nullptr; }
    // Reads @p certFile and @p keyFile (the key from certFile when empty); on failure, @p error
    // names the file and what is wrong and the identity stays empty.
    bool Load(const std::string& certFile, const std::string& keyFile, std::string& error);
    bool AddTo(SSL_CTX* context) const;

private:
    X509* m_Certificate{nullptr};
    std::vector<X509*> m_Chain;
    EVP_PKEY* m_Key{nullptr};
};

// What the library adds to each TLS context: the extra CA certificates and the client identity.
struct TlsAdditions {
    CaCertificates caCertificates;
    ClientIdentity identity;

    bool Empty() const { return caCertificates.Empty() && identity.Empty(); }
    // curl's CURLOPT_SSL_CTX_FUNCTION; @p user is the TlsAdditions.
    static CURLcode AddToContext(CURL* easy, void* context, void* user);
};

// ---------------------------------------------------------------------------
// The proxy (TeskLibCurlProxy.cpp)

// Checks a proxy URL: http, https or socks5h, a host, an optional port and user info, nothing
// after the authority but "/". @p error never quotes the user info.
bool CheckProxyUrl(const std::string& url, std::string& error);
// "host:port" of an accepted proxy URL, its default port filled in, without credentials.
std::string ProxyHostOf(const std::string& url);
// True for an http:// or https:// proxy, which answers plain requests itself.
bool IsHttpProxy(const std::string& url);
// After Classify, for a transfer through the proxy @p proxy: a failure to reach the proxy, or the
// proxy's own refusal (a CONNECT answered with an error, a plain request answered 407, 502, 503 or
// 504 by an http proxy), becomes Proxy with a sentence naming the proxy.
void ClassifyThroughProxy(CURLcode code, long connectStatus, bool plainAnswerIsTheProxys, const std::string& proxy,
                          TeskLibCurlResult& result);

// ---------------------------------------------------------------------------
// One transfer (TeskLibCurlTransfer.cpp)

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
curl_off_t AnnouncedLength(const TeskHttpResponseHeaders& headers);
// curl's write, header and progress callbacks; @p user is the Transfer.
size_t OnBody(char* data, size_t size, size_t count, void* user);
size_t OnHeader(char* data, size_t size, size_t count, void* user);
int OnProgress(void* user, curl_off_t dltotal, curl_off_t dlnow, curl_off_t ultotal, curl_off_t ulnow);

// The installed replacement of the network, if any (SetTransferFunction).
TeskTransferFunction CurrentTransfer();
// A redirect target made absolute against the request URL, as curl's CURLINFO_REDIRECT_URL gives it.
std::string RedirectTarget(const std::string& url, const TeskHttpResponseHeaders& headers);
// The transfer of an installed TeskTransferFunction, through the same callbacks as curl's.
CURLcode ReplayTransfer(const TeskTransferFunction& function, _http_req_type_ method, const std::string& url,
                        const std::string& body, const curl_slist* list, Transfer& transfer);

// ---------------------------------------------------------------------------
// Failures and the URL pieces of their messages (TeskLibCurlFailure.cpp)

// End of "scheme://authority" in @p url, and in @p begin where the authority starts.
std::size_t AuthorityEnd(const std::string& url, std::size_t& begin);
bool StartsWithNoCase(const std::string& text, const char* prefix);
// "host:port" of @p url, the default port filled in, credentials left out.
std::string HostOfUrl(const std::string& url);
// A redirect target fit for a log line: no credentials, no query, no fragment.
std::string CleanLocation(const std::string& location);
// Cuts the URL's path and query out of a curl message, should one ever quote it.
void RemoveUrlText(std::string& text, const std::string& url, const std::string& host);
std::string CurlErrorText(CURLcode code, const char* detail);

// The limits an easy handle was last given: options that rarely change are set again only when they do.
struct AppliedLimits {
    long lConnectTimeoutMs{-1};
    unsigned long long ullMaxBody{std::numeric_limits<unsigned long long>::max()};
    // After a refused option: the next request sets every limit again.
    void Forget() { *this = AppliedLimits(); }
};

// One request's options on @p easy: its URL, its method and body (curl reads @p body until the
// transfer ends), its header list, and the limits that differ from @p applied. On a refusal the
// applied limits are forgotten and curl's code is returned.
CURLcode SetRequestOptions(CURL* easy, _http_req_type_ method, const std::string& url, const std::string& body,
                           curl_slist* headers, const TeskLibCurlLimits& limits, AppliedLimits& applied);
// Every CURLcode is turned into a failure kind here and nowhere else.
void Classify(CURLcode code, const Transfer& transfer, bool readingHeaders, const char* detail,
              const TeskLibCurlLimits& limits, TeskLibCurlResult& result);

// ---------------------------------------------------------------------------
// The handle and its state (TeskLibCurl.cpp)

struct EasyDeleter {
    void operator()(CURL* handle) const { curl_easy_cleanup(handle); }
};

struct MultiDeleter {
    void operator()(CURLM* handle) const { curl_multi_cleanup(handle); }
};

// Header lines carry the session cookies: wiped before they are freed.
struct SlistDeleter {
    void operator()(curl_slist* list) const {
        for (curl_slist* item = list; item != nullptr; item = item->next) {
            if (item->data != nullptr) OPENSSL_cleanse(item->data, std::strlen(item->data));
        }
        curl_slist_free_all(list);
    }
};

// Wipes a text that may hold credentials (a proxy URL's user info) before it is dropped.
inline void Wipe(std::string& text) {
    if (!text.empty()) OPENSSL_cleanse(&text[0], text.size());
    text.clear();
}

// ---------------------------------------------------------------------------
// Transfers that run at once (TeskLibCurlLanes.cpp)

// An easy handle for transfers that run beside others in the handle's multi handle. Kept from call
// to call, with its options, so that a wrapper's next batch starts on handles and connections it
// already has.
struct Lane {
    enum class State { Free, Running, Ended };

    std::unique_ptr<CURL, EasyDeleter> easy;
    std::unique_ptr<curl_slist, SlistDeleter> headers;
    Transfer transfer;
    char errorBuffer[CURL_ERROR_SIZE]{};
    std::string url;   // wiped when the lane is freed: it may carry the session key or a signature
    std::string body;  // curl reads a POST body from here until the transfer ends
    TeskLibCurlLimits limits;
    TeskLibCurlResult result;
    std::string response;
    Clock::time_point started;
    State state{State::Free};
    bool added{false};     // in the multi handle
    bool reported{false};  // named by AwaitConcurrent since it ended
    AppliedLimits applied;
};

}  // namespace teskcurl

struct TeskLibCurl::Impl {
    // Before the handles: curl may look at what they point to until it lets them go.
    teskcurl::TlsAdditions tlsAdditions;
    std::string strProxy;  // accepted proxy URL; empty for none
    std::string strProxyHost;
    std::string strProxyRefusal;

    // The multi handle owns the connection cache: the easy handle is added to it for each
    // transfer and the connection stays open in between.
    std::unique_ptr<CURLM, teskcurl::MultiDeleter> multi;
    std::unique_ptr<CURL, teskcurl::EasyDeleter> easy;
    std::unique_ptr<curl_slist, teskcurl::SlistDeleter> headers;
    teskcurl::Transfer transfer;
    char errorBuffer[CURL_ERROR_SIZE]{};
    std::string strSetupError;

    TeskLibCurlTls tls;
    bool bTlsChanged{false};
    std::string strCaError;
    std::string strCertFile;
    std::string strKeyFile;
    bool bIdentityRead{false};  // the files named are read into tlsAdditions.identity
    std::string strIdentityError;

    // Options that rarely change are set again only when they do.
    teskcurl::AppliedLimits applied;

    std::string strHostKey;
    std::string strHost;

    const TeskApiRequest* pRequestUnderWay{nullptr};

    // After the multi handle: they leave it before it is cleaned up.
    std::vector<std::unique_ptr<teskcurl::Lane>> lanes;
    std::size_t nBusyLanes{0};  // lanes whose transfer is in the multi handle

    ~Impl() {
        DropLanes();
        teskcurl::Wipe(strProxy);
    }
    // A fresh handle with the settings above (TeskLibCurl.cpp).
    void SetUp();
    // Sets the options every easy handle of this Impl shares on @p easy, whose callbacks get
    // @p transfer (TeskLibCurl.cpp). @return empty, or why curl refused an option
    std::string Configure(CURL* easy, teskcurl::Transfer& transfer, char* errorBuffer);
    // The checks before anything is sent: an empty text, or the failure kind and why in @p kind.
    std::string RefusalBeforeSending(bool https, TeskLibCurlFailure& kind) const;
    // The end of a transfer of @p easy: what curl and the transfer's own verdicts say, the body moved
    // to @p response. @p added: the handle is still in the multi handle, which it now leaves
    // (TeskLibCurl.cpp).
    bool Settle(CURL* easy, bool added, teskcurl::Transfer& transfer, CURLcode code, const char* errorBuffer,
                const std::string& url, const TeskLibCurlLimits& limits, teskcurl::Clock::time_point started,
                std::string& response, TeskLibCurlResult& result);
    // "host:port" of @p url, remembered for the next URL of the same server.
    const std::string& HostOf(const std::string& url);
    // A curl message about a handle other than Perform's: its lane has ended (TeskLibCurlLanes.cpp).
    void RouteMessage(const CURLMsg& message);
    // Every lane leaves the multi handle and is freed, its transfer abandoned (TeskLibCurlLanes.cpp).
    void DropLanes();
    // Reads the client certificate's files into tlsAdditions (TeskLibCurlIdentity.cpp).
    void ReadIdentity();
};
