#pragma once

// The pieces of TeskLibCurl's transfer that its source files share: the extra CA certificates, the
// state of one transfer and curl's callbacks into it, the transfer seam, and the classification of
// failures. Part of TeskLibCurl; not installed: curl and OpenSSL stay below this line.

#include <curl/curl.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <chrono>
#include <cstddef>
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
// Every CURLcode is turned into a failure kind here and nowhere else.
void Classify(CURLcode code, const Transfer& transfer, bool readingHeaders, const char* detail,
              const TeskLibCurlLimits& limits, TeskLibCurlResult& result);

}  // namespace teskcurl
