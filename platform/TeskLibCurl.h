#pragma once

/// @file
/// The HTTP transfer over one libcurl easy handle, and its limits, TLS settings and results.
/// Installed because the connection's base holds these values; curl itself stays out of sight.

#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <string>
#include <vector>

#include "TeskExport.h"

/// Kind of a request header line; the library only uses plain request lines.
enum _http_hdr_type_ { HTTP_HDR_REQUEST = 0 };

/// Request method of one transfer.
enum _http_req_type_ { HTTP_REQ_GET = 0, HTTP_REQ_POST = 1 };

/// Spare bytes behind the end of every answer body handed out: a body string's capacity() is at
/// least its size() plus this, so that a JSON parser may read whole SIMD words past the end.
/// The spare bytes are zero.
constexpr std::size_t kTeskBodyPadding = 64;

/// @brief Why a transfer produced no complete answer.
enum class TeskLibCurlFailure {
    None,            ///< a complete answer arrived, whatever its HTTP status
    ResolveHost,     ///< the host name did not resolve
    Connect,         ///< no connection: refused, unreachable, or not made within the connect time-out
    Tls,             ///< the TLS handshake failed for another reason than the server's certificate
    TlsCertificate,  ///< the server's certificate is not trusted or does not name the host
    Timeout,         ///< the server went silent or too slow, or the request outlasted its overall limit
    TooLarge,        ///< the body passed its cap, or a header line or the header block passed its bound
    Transport,       ///< anything else: connection closed early, malformed answer, bad URL, ...
    /// the proxy: refused by SetProxy, not reached, or it would not or could not carry the request
    /// (CONNECT answered with an error, or a plain request answered 407, 502, 503 or 504 by it)
    Proxy,
};

/// @brief The enumerator's name, for messages and test output. Exported: a host reads the failure
/// kind of its connection's LastResult().
/// @param failure the failure kind
/// @return such as "ResolveHost"
CLOUDSTACK_EXPORT const char* TeskLibCurlFailureName(TeskLibCurlFailure failure);

/// @brief Transfer limits, kept in one place. Defaults suit a management server; a value of 0
/// switches that limit off (the connect time-out then falls back to curl's own 300 s). Tests
/// lower them so that a failure shows within milliseconds.
struct TeskLibCurlLimits {
    /// Resolving, connecting and the TLS handshake together; 30 s.
    long lConnectTimeoutMs{30000};
    /// Abandon the transfer when no byte arrived for this long; 120 s.
    long lIdleTimeoutMs{120000};
    /// Abandon the transfer when fewer than ullMinBytesPerSec * lRateWindowMs / 1000 bytes
    /// arrived in the last lRateWindowMs (checked once the transfer is that old); 1 KiB/s over
    /// any 120 s. Catches a server that drips a few bytes now and then, which the idle
    /// time-out never does.
    unsigned long long ullMinBytesPerSec{1024};
    /// The window of the average-rate check; 120 s.
    long lRateWindowMs{120000};
    /// The whole request, from the first connect attempt to the last body byte; 30 min.
    long lTotalTimeoutMs{30L * 60 * 1000};
    /// Largest answer body, counted after decompression as it arrives; 1 GiB. While it is
    /// received the body takes at most its size plus 32 MiB, so a body over the cap is dropped
    /// within the cap plus 32 MiB. A body over 16 MiB is joined into one string at the end: the
    /// string is reserved whole while the 16 MiB blocks are copied into it and freed one by one.
    unsigned long long ullMaxBodyBytes{1ULL << 30};
};

/// @brief TLS settings. By default the peer's certificate and host name are verified against
/// the system's CA store; TLS 1.2 is the oldest version offered.
struct TeskLibCurlTls {
    /// A PEM file of further CA certificates trusted besides the system store (a private CA);
    /// empty for none.
    std::string strCaFile;
    /// false switches off the certificate and host name checks. The caller warns its user.
    bool bVerifyPeer{true};

    /// @brief Same CA file and same verification.
    /// @param other the settings to compare with
    /// @return true when equal
    bool operator==(const TeskLibCurlTls& other) const {
        return bVerifyPeer == other.bVerifyPeer && strCaFile == other.strCaFile;
    }
    /// @brief The negation of operator==.
    /// @param other the settings to compare with
    /// @return true when different
    bool operator!=(const TeskLibCurlTls& other) const { return !(*this == other); }
};

/// @brief What one transfer produced.
struct TeskLibCurlResult {
    bool bTransportOk{false};                               ///< a complete HTTP answer arrived
    long lHttpStatus{0};                                    ///< status of the final answer; 0 when none arrived
    TeskLibCurlFailure eFailure{TeskLibCurlFailure::None};  ///< why no complete answer arrived
    std::string strError;     ///< what went wrong, for an error line; never holds the URL's path or query
    std::string strHost;      ///< "host:port" of the request URL, for error lines
    std::string strLocation;  ///< a 3xx answer's Location, made absolute, without credentials, query or fragment
    std::size_t nBytes{0};    ///< bytes of the answer body (after decompression)
    long lElapsedMs{0};       ///< duration of the transfer
};

/// @brief One request as an installed TeskTransferFunction receives it.
struct TeskTransferRequest {
    _http_req_type_ eMethod{HTTP_REQ_GET};  ///< GET or POST
    std::string strUrl;                     ///< the full URL, query included
    std::vector<std::string> headerLines;   ///< the request header list in order, as curl would be given it
    std::string strBody;                    ///< the POST body; empty for GET
};

/// @brief The answer an installed TeskTransferFunction gives.
struct TeskTransferReply {
    /// Each header line as curl's header callback hands it over, line end included: the status
    /// line first, the blank line that ends the block last; interim (1xx) blocks may come first.
    std::vector<std::string> headerLines;
    /// The body as curl's write callback receives it, after any decompression.
    std::string strBody;
    /// When the function returns false: why the answer stayed incomplete (Transport when None).
    TeskLibCurlFailure eFailure{TeskLibCurlFailure::Transport};
};

/// @brief A replacement for the network part of TeskLibCurl::Perform (see SetTransferFunction).
/// @return true when the reply is a complete answer; false for a transfer that broke off after
/// the lines and bytes of the reply had arrived
using TeskTransferFunction = std::function<bool(const TeskTransferRequest&, TeskTransferReply&)>;

/// @brief Replaces, process-wide, what TeskLibCurl::Perform and TeskLibCurl::StartConcurrent send and
/// receive: the seam for fuzz targets and tests that must feed the library an exact answer, however
/// hostile. While a function is installed nothing goes over the network, and transfers started side by
/// side are answered one after another, each as it is started; the reply's header lines and body bytes go through
/// the same header bounds, body cap, padding and failure classification as an answer curl
/// received, and an announced Content-Length over the cap is refused as curl refuses it. An empty
/// function restores the network. A replacement may still be running on another thread when this
/// returns, so it must outlive every such caller. Not exported from the shared object: the fuzz
/// targets and tests link the library's static archive.
/// @param function the replacement; empty for the network
/// @return the function that was installed before (empty for the network)
TeskTransferFunction SetTransferFunction(TeskTransferFunction function);

class TeskHttpResponseHeaders;
struct TeskApiRequest;

/// @brief One libcurl easy handle, reused from request to request so that the TCP
/// connection stays open, with the request header list and the last answer's header lines.
/// One instance belongs to one thread at a time; instances share nothing.
class TeskLibCurl {
public:
    /// @brief A fresh easy handle with no header lines and the default TLS settings.
    TeskLibCurl();
    /// @brief Closes the handle and its open connection.
    ~TeskLibCurl();
    TeskLibCurl(const TeskLibCurl&) = delete;
    TeskLibCurl& operator=(const TeskLibCurl&) = delete;

    /// @brief Empties the request header list, wiping its lines (they carry the session cookies).
    void TeskLibCurlFreeHttpHeaderList();
    /// @brief Appends one request header line.
    /// @param type HTTP_HDR_REQUEST
    /// @param line "Name: value"
    /// @return false when the line could not be stored
    bool TeskLibCurlAppendHeader(_http_hdr_type_ type, const char* line);
    /// @brief The whole header lines (name, colon, value, line end) of the last final answer
    /// whose name matches @p name ignoring case, in the order received, appended to @p out.
    /// Interim answers (100 Continue) do not count.
    /// @param name the header name
    /// @param out receives the lines
    /// @return true when at least one line matched
    bool GetHttpResponseHeaders(const char* name, std::list<std::string>& out);
    /// @brief The last answer's header lines.
    /// @return valid until the next request
    const TeskHttpResponseHeaders& ResponseHeaders() const;

    /// @brief Names the API request this handle carries while the connection's hooks run for it.
    /// Kept here, behind the handle, because the connection's own layout is fixed for hosts.
    /// @param request the request, owned by the caller for as long as it is named; null for none
    void SetRequestUnderWay(const TeskApiRequest* request);
    /// @brief The API request named by SetRequestUnderWay.
    /// @return null between requests, and for a request sent as a path and a body
    const TeskApiRequest* RequestUnderWay() const;

    /// @brief TLS settings for the following requests. A change drops the open connection.
    /// @param tls the settings
    void SetTls(const TeskLibCurlTls& tls);

    /// @brief The proxy of the following requests: "http://", "https://" or "socks5h://" (names
    /// resolved by the proxy), a host, an optional port (default 1080; 443 for https) and optional
    /// "user:password@". Empty for none; the environment (http_proxy and the like) is never read.
    /// A change drops the open connection.
    /// @param url the proxy's URL
    /// @param error why the URL is refused, without its credentials
    /// @return false for a refused URL: every request then fails as Proxy, without connecting,
    /// until a URL is accepted
    bool SetProxy(const std::string& url, std::string& error);
    /// @brief Why the URL given to SetProxy last was refused.
    /// @return empty when it was accepted
    const std::string& ProxyRefusal() const;

    /// @brief A client certificate for servers that demand one (https): PEM files, read when the
    /// next request is set up or by LoadClientCertificate. A change drops the open connection.
    /// @param certFile the certificate, optionally followed by the chain of CAs between it and
    /// the server's trusted CA; empty for none
    /// @param keyFile its unencrypted private key; empty when it follows the certificate in certFile
    void SetClientCertificate(const std::string& certFile, const std::string& keyFile);
    /// @brief Reads the files of SetClientCertificate now, so that a missing or broken file shows
    /// before anything is sent. An https request fails as Tls without connecting while they cannot
    /// be used.
    /// @param error the file and what is wrong with it
    /// @return true when there is no client certificate or it was read and matches its key
    bool LoadClientCertificate(std::string& error);

    /// @brief Sends one request with the current header list and waits for the answer.
    /// @param method GET or POST
    /// @param url the full URL
    /// @param body the body of a POST; empty for GET
    /// @param response replaced by the answer body when a complete answer arrived (whatever its
    /// status), with capacity() >= size() + kTeskBodyPadding; emptied otherwise. Its old buffer
    /// is kept to receive the next answer.
    /// @param limits the limits of this transfer
    /// @param result what happened, whatever the outcome
    /// @return true when a complete answer arrived
    bool Perform(_http_req_type_ method, const std::string& url, const std::string& body, std::string& response,
                 const TeskLibCurlLimits& limits, TeskLibCurlResult& result);

    /// @brief Starts a transfer that runs beside others over this handle's connections, driven from the
    /// calling thread by AwaitConcurrent and WaitConcurrent (curl's multi interface: no thread is
    /// started). It carries a copy of the current header list and keeps every setting and bound of
    /// Perform: limits, TLS, proxy, client certificate, header bounds, body cap, padding and failure
    /// kinds. The request is on its way when this returns, on a connection of an earlier transfer when
    /// one is free. While a TeskTransferFunction is installed, it answers the transfer before this
    /// returns: concurrent transfers then run one after another, in the order they were started.
    /// @param method GET or POST
    /// @param url the full URL
    /// @param body the body of a POST; empty for GET
    /// @param limits the limits of this transfer
    /// @return the transfer's lane, for the calls below; it stays the transfer's until
    /// TakeConcurrent or CancelConcurrent
    std::size_t StartConcurrent(_http_req_type_ method, const std::string& url, std::string body,
                                const TeskLibCurlLimits& limits);
    /// @brief Drives every started transfer until at least one that was not named yet has ended.
    /// @param ended receives the lanes of the transfers that ended since the last call, in lane order;
    /// stays empty when no transfer runs
    void AwaitConcurrent(std::vector<std::size_t>& ended);
    /// @brief Drives every started transfer until the one on @p lane has ended.
    /// @param lane a lane of StartConcurrent
    void WaitConcurrent(std::size_t lane);
    /// @brief The answer of the ended transfer on @p lane, as Perform gives it; its header lines become
    /// the last answer's (GetHttpResponseHeaders). The lane is free again.
    /// @param lane a lane whose transfer has ended (WaitConcurrent first, when unsure)
    /// @param response receives the answer body as Perform's @p response
    /// @param result what happened
    /// @return true when a complete answer arrived
    bool TakeConcurrent(std::size_t lane, std::string& response, TeskLibCurlResult& result);
    /// @brief Abandons the transfer on @p lane, closing its connection when it still runs, and frees
    /// the lane.
    /// @param lane a lane of StartConcurrent
    void CancelConcurrent(std::size_t lane);

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};
