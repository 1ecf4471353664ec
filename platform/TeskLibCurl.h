#pragma once

#include <cstddef>
#include <list>
#include <memory>
#include <string>

#include "TeskExport.h"

/// Kind of a request header line; the library only uses plain request lines.
enum _http_hdr_type_ { HTTP_HDR_REQUEST = 0 };

/// Request method of one transfer.
enum _http_req_type_ { HTTP_REQ_GET = 0, HTTP_REQ_POST = 1 };

/// @brief Transfer limits, kept in one place. Defaults suit a management server.
struct TeskLibCurlLimits {
    long lConnectTimeoutMs{30000};                   ///< give up connecting after this long
    long lIdleTimeoutSec{120};                       ///< abandon a transfer that receives no byte for this long
    unsigned long long ullMaxBodyBytes{1ULL << 30};  ///< abandon an answer body larger than this
};

/// @brief What one transfer produced.
struct TeskLibCurlResult {
    bool bTransportOk{false};  ///< a complete HTTP answer arrived
    long lHttpStatus{0};       ///< status of the final answer; 0 when none arrived
    std::string strError;      ///< curl's error text when the transport failed
    std::size_t nBytes{0};     ///< bytes of the answer body
};

/// @brief One libcurl easy handle, reused from request to request so that the TCP
/// connection stays open, with the request header list and the last answer's header lines.
class CLOUDSTACK_EXPORT TeskLibCurl {
public:
    TeskLibCurl();
    ~TeskLibCurl();
    TeskLibCurl(const TeskLibCurl&) = delete;
    TeskLibCurl& operator=(const TeskLibCurl&) = delete;

    /// @brief Empties the request header list.
    void TeskLibCurlFreeHttpHeaderList();
    /// @brief Appends one request header line ("Name: value").
    bool TeskLibCurlAppendHeader(_http_hdr_type_ type, const char* line);
    /// @brief The whole header lines (name, colon, value, line end) of the last final answer
    /// whose name matches @p name ignoring case, in the order received. Interim answers
    /// (100 Continue) do not count.
    bool GetHttpResponseHeaders(const char* name, std::list<std::string>& out);

    /// @brief Sends one request with the current header list and waits for the answer.
    /// @return true when a complete answer arrived (whatever its status); the body is in @p response.
    bool Perform(_http_req_type_ method, const std::string& url, const std::string& body, std::string& response,
                 const TeskLibCurlLimits& limits, TeskLibCurlResult& result);

private:
    struct Impl;
    std::unique_ptr<Impl> m_pImpl;
};
