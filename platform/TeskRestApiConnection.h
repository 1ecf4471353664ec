#pragma once

#include <memory>
#include <string>

#include "TeskExport.h"
#include "TeskLibCurl.h"
#include "TraceLog.h"

/// @brief Per-request options. Nothing in the library sets any; the type exists for the hooks' signatures.
struct TeskRestApiRequestOptions {};

/// @brief The REST connection base: sends GET and POST requests through one curl handle and
/// calls back into its derived class for the URL, the header lines and the login answer.
class CLOUDSTACK_EXPORT TeskRestApiConnection {
public:
    TeskRestApiConnection();
    virtual ~TeskRestApiConnection();
    TeskRestApiConnection(const TeskRestApiConnection&) = delete;
    TeskRestApiConnection& operator=(const TeskRestApiConnection&) = delete;

    // Hooks, in this order.
    virtual bool computeUrl(const std::string& server, const std::string& path,
                            const TeskRestApiRequestOptions* options, std::string& url);
    virtual bool recvResp(std::string& response);
    virtual bool addCurlHeaders(const TeskRestApiRequestOptions* options);
    virtual bool addCommonCurlHeaders();
    virtual bool addLoginCurlHeaders();
    virtual bool saveLoginCurlHeaders();
    virtual bool sendReq(_http_req_type_ method, const std::string& url, const std::string& body,
                         std::string& response);
    virtual void LogResponse(_http_req_type_ method, const std::string& command, const TeskLibCurlResult& result,
                             long elapsedMs);
    virtual void LogRequest(_http_req_type_ method, const std::string& command);
    virtual void LogError(const std::string& command, const TeskLibCurlResult& result);

    /// @brief Stores the complete content-type header line sent with every request.
    void SetContentType(const std::string& line) { m_strContentType = line; }

    /// @brief Remembers the server for the following requests. The flag and the text are unused.
    bool connect(const std::string& server, bool secure, const std::string& certificate);

    /// @brief printf-formats one argument and appends it to @p query, joined with '&'. The value
    /// part (after the first '=') is percent-encoded.
    void appendQueryStringArgument(std::string& query, const char* format, ...) CLOUDSTACK_PRINTF(3, 4);

    /// @brief GET of @p path (a query string that starts with '?'). true for an HTTP 2xx answer.
    bool get(const std::string& path, std::string& response, const TeskRestApiRequestOptions* options);
    /// @brief POST of @p path with @p body. true for an HTTP 2xx answer.
    bool post(const std::string& path, const std::string& body, std::string& response,
              const TeskRestApiRequestOptions* options);

    /// @brief Switches on the trace lines of this connection's log, and a summary line per request.
    bool enableDebug();

    /// @brief Transfer limits (time-outs, body size), adjustable for tests.
    TeskLibCurlLimits& Limits() { return m_Limits; }

    /// @brief What the last get or post produced (status, transport failure); empty before the first.
    const TeskLibCurlResult& LastResult() const { return m_LastResult; }

protected:
    TeskLibCurl* m_pCurl;
    TraceLog m_Log;
    std::string m_strContentType;
    bool m_bLoginInProgress{false};
    std::string m_strServer;

private:
    bool request(_http_req_type_ method, const std::string& path, const std::string& body, std::string& response,
                 const TeskRestApiRequestOptions* options);

    std::unique_ptr<TeskLibCurl> m_pOwnedCurl;
    TeskLibCurlLimits m_Limits;
    TeskLibCurlResult m_LastResult;
};
