#include "TeskLibCurl.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <exception>
#include <limits>
#include <mutex>
#include <string>

#include "StrUtil.h"
#include "TeskLibCurlParts.h"

using namespace teskcurl;

namespace {

void GlobalInitOnce() {
    static std::once_flag once;
    // Never cleaned up: a host may hold handles of its own until exit, and
    // curl_global_cleanup is not safe to race with them.
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

long long ToMs(Clock::duration duration) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(duration).count();
}

}  // namespace

namespace teskcurl {

CURLcode SetRequestOptions(CURL* easy, _http_req_type_ method, const std::string& url, const std::string& body,
                           curl_slist* headers, const TeskLibCurlLimits& limits, AppliedLimits& applied) {
    CURLcode code = CURLE_OK;
    auto set = [&code](CURLcode next) {
        if (code == CURLE_OK) code = next;
    };
    set(curl_easy_setopt(easy, CURLOPT_URL, url.c_str()));
    if (method == HTTP_REQ_POST) {
        // The size is set explicitly, so an empty body still goes out as Content-Length: 0.
        set(curl_easy_setopt(easy, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size())));
        set(curl_easy_setopt(easy, CURLOPT_POSTFIELDS, body.c_str()));
    } else {
        set(curl_easy_setopt(easy, CURLOPT_HTTPGET, 1L));
    }
    set(curl_easy_setopt(easy, CURLOPT_HTTPHEADER, headers));
    if (limits.lConnectTimeoutMs != applied.lConnectTimeoutMs) {
        set(curl_easy_setopt(easy, CURLOPT_CONNECTTIMEOUT_MS, std::max(0L, limits.lConnectTimeoutMs)));
        applied.lConnectTimeoutMs = limits.lConnectTimeoutMs;
    }
    if (limits.ullMaxBodyBytes != applied.ullMaxBody) {
        // Refuses an announced length at once; the write callback counts what really arrives.
        const auto maxOff = static_cast<unsigned long long>(std::numeric_limits<curl_off_t>::max());
        set(curl_easy_setopt(easy, CURLOPT_MAXFILESIZE_LARGE,
                             static_cast<curl_off_t>(std::min(limits.ullMaxBodyBytes, maxOff))));
        applied.ullMaxBody = limits.ullMaxBodyBytes;
    }
    if (code != CURLE_OK) applied.Forget();
    return code;
}

}  // namespace teskcurl

void TeskLibCurl::Impl::SetUp() {
    // Drop the handles first: connections made under other TLS settings are not reused.
    DropLanes();
    lanes.clear();
    easy.reset();
    multi.reset();
    strSetupError.clear();
    strCaError.clear();
    applied.Forget();

    multi.reset(curl_multi_init());
    easy.reset(curl_easy_init());
    transfer.easy = easy.get();
    if (!multi || !easy) {
        strSetupError = "curl could not create its handles";
        return;
    }
    tlsAdditions.caCertificates.Clear();
    if (tls.bVerifyPeer && !tls.strCaFile.empty()) tlsAdditions.caCertificates.Load(tls.strCaFile, strCaError);
    if (!bIdentityRead) ReadIdentity();
    strSetupError = Configure(easy.get(), transfer, errorBuffer);
}

std::string TeskLibCurl::Impl::Configure(CURL* handle, Transfer& target, char* buffer) {
    target.easy = handle;
    CURLcode code = CURLE_OK;
    auto set = [&code](CURLcode next) {
        if (code == CURLE_OK) {
            code = next;
        }
    };
    set(curl_easy_setopt(handle, CURLOPT_PROTOCOLS_STR, "http,https"));
    set(curl_easy_setopt(handle, CURLOPT_FOLLOWLOCATION, 0L));
    // An empty proxy overrides http_proxy and friends, and an empty exception list no_proxy: the
    // library reads no environment.
    set(curl_easy_setopt(handle, CURLOPT_PROXY, strProxy.c_str()));
    set(curl_easy_setopt(handle, CURLOPT_NOPROXY, ""));
    set(curl_easy_setopt(handle, CURLOPT_ACCEPT_ENCODING, ""));
    // The library may run in any thread of the host; no SIGALRM-based DNS time-outs.
    set(curl_easy_setopt(handle, CURLOPT_NOSIGNAL, 1L));
    set(curl_easy_setopt(handle, CURLOPT_TCP_KEEPALIVE, 1L));
    set(curl_easy_setopt(handle, CURLOPT_ERRORBUFFER, buffer));
    set(curl_easy_setopt(handle, CURLOPT_WRITEFUNCTION, &OnBody));
    set(curl_easy_setopt(handle, CURLOPT_WRITEDATA, &target));
    set(curl_easy_setopt(handle, CURLOPT_HEADERFUNCTION, &OnHeader));
    set(curl_easy_setopt(handle, CURLOPT_HEADERDATA, &target));
    set(curl_easy_setopt(handle, CURLOPT_NOPROGRESS, 0L));
    set(curl_easy_setopt(handle, CURLOPT_XFERINFOFUNCTION, &OnProgress));
    set(curl_easy_setopt(handle, CURLOPT_XFERINFODATA, &target));
    set(curl_easy_setopt(handle, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2)));
    set(curl_easy_setopt(handle, CURLOPT_SSL_VERIFYPEER, tls.bVerifyPeer ? 1L : 0L));
    set(curl_easy_setopt(handle, CURLOPT_SSL_VERIFYHOST, tls.bVerifyPeer ? 2L : 0L));
    if (code != CURLE_OK) {
        return std::string("curl refused an option: ") + curl_easy_strerror(code);
    }
    if (!tlsAdditions.Empty()) {
        set(curl_easy_setopt(handle, CURLOPT_SSL_CTX_FUNCTION, &TlsAdditions::AddToContext));
        set(curl_easy_setopt(handle, CURLOPT_SSL_CTX_DATA, &tlsAdditions));
        if (code != CURLE_OK && strCaError.empty()) {
            strCaError = std::string("this curl cannot add certificates to TLS: ") + curl_easy_strerror(code);
        }
    }
    return std::string();
}

std::string TeskLibCurl::Impl::RefusalBeforeSending(bool https, TeskLibCurlFailure& kind) const {
    kind = TeskLibCurlFailure::Transport;
    if (!strSetupError.empty()) return strSetupError;
    kind = TeskLibCurlFailure::Proxy;
    if (!strProxyRefusal.empty()) return strProxyRefusal;
    kind = TeskLibCurlFailure::Tls;
    if (!strCaError.empty() && https) return strCaError;
    if (!strIdentityError.empty() && https) return strIdentityError;
    kind = TeskLibCurlFailure::None;
    return std::string();
}

const std::string& TeskLibCurl::Impl::HostOf(const std::string& url) {
    std::size_t begin = 0;
    const std::size_t end = AuthorityEnd(url, begin);
    if (strHostKey.size() != end || url.compare(0, end, strHostKey) != 0) {
        strHost = HostOfUrl(url);
        strHostKey = url.substr(0, end);
    }
    return strHost;
}

bool TeskLibCurl::Impl::Settle(CURL* handle, bool added, Transfer& target, CURLcode code, const char* buffer,
                               const std::string& url, const TeskLibCurlLimits& limits, Clock::time_point started,
                               std::string& response, TeskLibCurlResult& result) {
    const bool https = StartsWithNoCase(url, "https://");
    long connectStatus = -1;
    bool readingHeaders = false;
    if (target.replayed) {
        result.lHttpStatus = target.headers.Status();
        if (result.lHttpStatus >= 300 && result.lHttpStatus <= 399) {
            const std::string location = RedirectTarget(url, target.headers);
            if (!location.empty()) {
                result.strLocation = CleanLocation(location);
            }
        }
    } else {
        long status = 0;
        if (curl_easy_getinfo(handle, CURLINFO_RESPONSE_CODE, &status) == CURLE_OK) {
            result.lHttpStatus = status;
        }
        if (result.lHttpStatus >= 300 && result.lHttpStatus <= 399) {
            char* location = nullptr;
            if (curl_easy_getinfo(handle, CURLINFO_REDIRECT_URL, &location) == CURLE_OK && location != nullptr) {
                result.strLocation = CleanLocation(location);
            }
        }
        if (!strProxy.empty() && curl_easy_getinfo(handle, CURLINFO_HTTP_CONNECTCODE, &connectStatus) != CURLE_OK) {
            connectStatus = 0;
        }
        long requestBytes = 0;
        readingHeaders = curl_easy_getinfo(handle, CURLINFO_REQUEST_SIZE, &requestBytes) == CURLE_OK &&
                         requestBytes > 0 && !target.headers.Complete();
        // Removing a handle whose transfer was cut short closes its connection.
        if (added) curl_multi_remove_handle(multi.get(), handle);
    }
    Classify(code, target, readingHeaders, buffer, limits, result);
    if (connectStatus >= 0) {
        // Through an http proxy, a plain request's answer may be the proxy's own.
        ClassifyThroughProxy(code, connectStatus, !https && IsHttpProxy(strProxy), strProxyHost, result);
    }
    result.nBytes = static_cast<std::size_t>(target.received);
    if (result.eFailure == TeskLibCurlFailure::None) {
        try {
            target.body.MoveTo(response);
            result.bTransportOk = true;
        } catch (const std::exception&) {
            result.eFailure = TeskLibCurlFailure::Transport;
            result.strError = "out of memory for the answer body";
        }
    }
    if (!result.bTransportOk) {
        RemoveUrlText(result.strError, url, result.strHost);
        response.clear();
        target.body.Reset();
    }
    result.lElapsedMs = static_cast<long>(ToMs(Clock::now() - started));
    return result.bTransportOk;
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

void TeskLibCurl::SetRequestUnderWay(const TeskApiRequest* request) {
    m_pImpl->pRequestUnderWay = request;
}

const TeskApiRequest* TeskLibCurl::RequestUnderWay() const {
    return m_pImpl->pRequestUnderWay;
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
    result.strHost = impl.HostOf(url);

    if (impl.bTlsChanged) {
        impl.bTlsChanged = false;
        impl.SetUp();
    }
    {
        TeskLibCurlFailure kind = TeskLibCurlFailure::None;
        const std::string refusal = impl.RefusalBeforeSending(StartsWithNoCase(url, "https://"), kind);
        if (!refusal.empty()) {
            result.eFailure = kind;
            result.strError = refusal;
            response.clear();
            return false;
        }
    }
    if (const TeskTransferFunction replacement = CurrentTransfer()) {
        const CURLcode replayed = ReplayTransfer(replacement, method, url, body, impl.headers.get(), transfer);
        return impl.Settle(nullptr, false, transfer, replayed, impl.errorBuffer, url, limits, started, response,
                           result);
    }

    CURL* easy = impl.easy.get();
    CURLcode code = SetRequestOptions(easy, method, url, body, impl.headers.get(), limits, impl.applied);
    if (code != CURLE_OK) {
        result.eFailure = TeskLibCurlFailure::Transport;
        result.strError = CurlErrorText(code, impl.errorBuffer);
        response.clear();
        return false;
    }

    // The multi interface lets the wait for the socket end exactly when one of the limits
    // is due; curl_easy_perform would look at them only about once a second.
    CURLM* multi = impl.multi.get();
    if (curl_multi_add_handle(multi, easy) != CURLM_OK) {
        result.eFailure = TeskLibCurlFailure::Transport;
        result.strError = "curl could not start the transfer";
        response.clear();
        return false;
    }
    bool done = false;
    // Messages about lanes go to their lanes; this transfer's own ends the loop.
    auto read = [&] {
        int left = 0;
        while (CURLMsg* message = curl_multi_info_read(multi, &left)) {
            if (message->msg == CURLMSG_DONE && message->easy_handle == easy) {
                code = message->data.result;
                done = true;
            } else {
                impl.RouteMessage(*message);
            }
        }
    };
    for (;;) {
        int running = 0;
        const CURLMcode performed = curl_multi_perform(multi, &running);
        if (performed != CURLM_OK) {
            transfer.Fail(TeskLibCurlFailure::Transport, curl_multi_strerror(performed));
            break;
        }
        // With no lane at work, nothing running means this transfer has ended.
        if (running == 0 || impl.nBusyLanes > 0) {
            read();
            if (done) break;
            if (running == 0) {
                transfer.Fail(TeskLibCurlFailure::Transport, "the transfer ended without a result");
                break;
            }
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
    return impl.Settle(easy, true, transfer, code, impl.errorBuffer, url, limits, started, response, result);
}
