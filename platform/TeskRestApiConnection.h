#pragma once

/// @file
/// The REST connection base of the management-server connection: requests through one curl
/// handle, with hooks for the URL, the header lines and the login answer. Installed because the
/// connection derives from it; a host uses it only through CCloudStackConnection.

#include <cstddef>
#include <memory>
#include <string>

#include "TeskExport.h"
#include "TeskLibCurl.h"
#include "TraceLog.h"

struct TeskApiRequest;

/// @brief Per-request options, for get and post.
struct TeskRestApiRequestOptions {
    /// Media type of this request's body, such as "application/x-www-form-urlencoded": replaces
    /// the connection's content-type line for this one request. Empty: the connection's line.
    std::string strContentType;
};

/// @brief The request under way, as the log hooks see it. Path and body may carry secrets (a
/// login's password): a log line names Command(), never the path or the body.
struct TeskRestApiRequestInfo {
    _http_req_type_ eMethod;     ///< GET or POST
    const std::string& strPath;  ///< the query string given to get or post
    const std::string& strBody;  ///< the body given to post; empty for get

    /// @brief The value of the "command" parameter of the path, else of a form body; "(none)"
    /// when neither has one. Worked out on each call: call it only for a line that is written.
    /// @return the command's name
    std::string Command() const;
    /// @brief The request method's name.
    /// @return "GET" or "POST"
    const char* MethodName() const;
};

/// @brief The REST connection base: sends GET and POST requests through one curl handle and
/// calls back into its derived class for the URL, the header lines and the login answer.
///
/// Each get and post calls the hooks in this order:
///   1. computeUrl (the full URL from the server given to connect and the path);
///   2. addCommonCurlHeaders, addCurlHeaders(options), and addLoginCurlHeaders while the login
///      flag is raised; the first that returns false stops the request;
///   3. LogRequest;
///   4. sendReq, which performs the transfer and stores its outcome in LastResult();
///   5. when a complete answer arrived: recvResp, which decides whether the answer is a
///      success, then saveLoginCurlHeaders while the login flag is raised (the answer's header
///      lines are readable through the curl wrapper until the next request);
///   6. LogResponse;
///   7. LogError when no complete answer arrived or recvResp refused it.
/// When computeUrl or a header hook fails, the base writes an error line of its own and the
/// request ends there, before LogRequest.
///
/// A request sent with send() is a value (TeskApiRequest): the base renders its query string as the
/// path and its form body as the body, and while the hooks above run, RequestUnderWay() gives the
/// value itself, so that a hook reads the pairs instead of parsing the path back.
///
/// Compiled with default visibility for its type information, which a host built with
/// -fsanitize=undefined refers to through the connection; the version script keeps its members
/// out of the shared object's exports.
class CLOUDSTACK_EXPORT TeskRestApiConnection {
public:
    /// @brief A connection with its own curl handle, no server and no header lines.
    TeskRestApiConnection();
    /// @brief Closes the curl handle and its connection; wipes the last URL and the header lines.
    virtual ~TeskRestApiConnection();
    TeskRestApiConnection(const TeskRestApiConnection&) = delete;
    TeskRestApiConnection& operator=(const TeskRestApiConnection&) = delete;

    /// @brief Builds the full URL of a request; the base's is @p server followed by @p path.
    /// @param server the server given to connect
    /// @param path the query string given to get or post
    /// @param options the request's options; null for none
    /// @param url receives the URL
    /// @return false to stop the request
    virtual bool computeUrl(const std::string& server, const std::string& path,
                            const TeskRestApiRequestOptions* options, std::string& url);
    /// @brief Decides whether a complete answer is a success; the base's accepts HTTP 2xx.
    /// @param response the answer body
    /// @return true for a success
    virtual bool recvResp(std::string& response);
    /// @brief Appends the header lines of this request's @p options. The base's adds none.
    /// @param options the request's options; null for none
    /// @return false to stop the request
    virtual bool addCurlHeaders(const TeskRestApiRequestOptions* options);
    /// @brief Starts the header list afresh: empties it and appends the content-type line (or
    /// the one the request's options name). An override that keeps the list of the previous
    /// request returns early while HeadersNeedRebuild() is false.
    /// @return false to stop the request
    virtual bool addCommonCurlHeaders();
    /// @brief Appends the header lines of a login request; called only while the login flag is
    /// raised. The base's adds none.
    /// @return false to stop the request
    virtual bool addLoginCurlHeaders();
    /// @brief Reads what the login answer set; called after each complete answer to a request
    /// sent while the login flag is raised, whatever its status. The base's does nothing.
    /// @return not used
    virtual bool saveLoginCurlHeaders();
    /// @brief Performs the transfer with the current header list and stores its outcome in
    /// LastResult().
    /// @param method GET or POST
    /// @param url the full URL
    /// @param body the body of a POST; empty for GET
    /// @param response receives the body of a complete answer
    /// @return true when a complete answer arrived, whatever its status
    virtual bool sendReq(_http_req_type_ method, const std::string& url, const std::string& body,
                         std::string& response);
    /// @brief After every transfer: with debug on, the base's writes one summary line.
    /// @param request the request
    /// @param result what its transfer produced
    virtual void LogResponse(const TeskRestApiRequestInfo& request, const TeskLibCurlResult& result);
    /// @brief Before every transfer. The base's writes nothing: its summary line after the
    /// answer says everything.
    /// @param request the request
    virtual void LogRequest(const TeskRestApiRequestInfo& request);
    /// @brief Once for each transfer that brought no usable answer: the base's writes one error
    /// line naming the command, the server's host and port, and why; never the URL's path or query.
    /// @param request the request
    /// @param result what its transfer produced
    virtual void LogError(const TeskRestApiRequestInfo& request, const TeskLibCurlResult& result);

    /// @brief Stores the complete content-type header line sent with every request.
    /// @param line such as "Content-Type: application/json; charset=UTF-8"
    void SetContentType(const std::string& line) {
        if (line != m_strContentType) {
            m_strContentType = line;
            m_bHeadersStale = true;
        }
    }

    /// @brief Remembers the server for the following requests.
    /// @param server what computeUrl receives
    /// @param secure not used
    /// @param certificate not used
    /// @return true
    bool connect(const std::string& server, bool secure, const std::string& certificate);

    /// @brief printf-formats one argument and appends it to @p query, joined with '&'. The value
    /// part (after the first '=') is percent-encoded.
    /// @param query the query string so far
    /// @param format printf format of the argument, such as "id=%s"
    void appendQueryStringArgument(std::string& query, const char* format, ...) CLOUDSTACK_PRINTF(3, 4);

    /// @brief GET of @p path (a query string that starts with '?'). true for a successful answer
    /// (HTTP 2xx), whose body is then in @p response with kTeskBodyPadding spare bytes behind it;
    /// @p response's old buffer is reused for the next answer.
    /// @param path the query string
    /// @param response receives the answer body
    /// @param options the request's options; null for none
    /// @return true for a successful answer
    bool get(const std::string& path, std::string& response, const TeskRestApiRequestOptions* options);
    /// @brief POST of @p path with @p body, sent with the content type of @p options when it
    /// names one. Otherwise as get.
    /// @param path the query string
    /// @param body the request body
    /// @param response receives the answer body
    /// @param options the request's options; null for none
    /// @return true for a successful answer
    bool post(const std::string& path, const std::string& body, std::string& response,
              const TeskRestApiRequestOptions* options);

    /// @brief Switches on the trace lines of this connection's log, and a summary line per request.
    /// @return true
    bool enableDebug();

    /// @brief Transfer limits (time-outs, rate, body size), adjustable for tests.
    /// @return the limits of the following requests
    TeskLibCurlLimits& Limits() { return m_Limits; }
    /// @brief TLS settings for the following requests; a change drops the open connection.
    /// @return the settings
    TeskLibCurlTls& Tls() { return m_Tls; }
    /// @brief What the last request's transfer produced.
    /// @return failure kind, status, host, Location
    const TeskLibCurlResult& LastResult() const { return m_LastResult; }

protected:
    /// @brief Sends @p request: its query string is the path, its form body (with the matching
    /// content type) the body, through the hooks in the order above. The rendered body is wiped
    /// afterwards: it may hold a password or the session key.
    /// @param request the request
    /// @param response receives the answer body, as for get
    /// @return true for a successful answer
    bool send(const TeskApiRequest& request, std::string& response);
    /// @brief send(), for requests that run at once: the hooks up to LogRequest, then the transfer starts
    /// beside others (TeskLibCurl::StartConcurrent) and this returns. endSend() runs the rest of the hooks
    /// once it has ended. Not for a login: the login flag must be down.
    /// @param request the request; it must stay as it is until endSend
    /// @param lane receives the transfer's lane in m_pCurl
    /// @return false when computeUrl or a header hook stopped the request: nothing was started
    bool beginSend(const TeskApiRequest& request, std::size_t& lane);
    /// @brief The rest of send() for a transfer that beginSend started and that has ended (the curl
    /// wrapper's WaitConcurrent or AwaitConcurrent): its outcome becomes LastResult(), its header lines
    /// the last answer's; then recvResp, LogResponse and, on failure, LogError, as for send().
    /// @param request the request given to beginSend
    /// @param lane the lane beginSend gave
    /// @param response receives the answer body, as for get
    /// @return true for a successful answer
    bool endSend(const TeskApiRequest& request, std::size_t lane, std::string& response);
    /// @brief The request being sent by send(), for the hooks.
    /// @return null outside send(), and for a request sent with get or post
    const TeskApiRequest* RequestUnderWay() const { return m_pCurl->RequestUnderWay(); }
    /// @brief Wipes and drops what the base keeps of the last request: its URL (which may carry the
    /// session key or a signature) and the request header lines (which carry the session cookies).
    void WipeRequestCopies();

    /// @brief true while the header hooks of this request must build the list from nothing:
    /// on the first request, after SetContentType or InvalidateHeaders, when the login flag
    /// changed since the list was built, after a login answer was saved, for a request with
    /// options and the one after it, and after a header hook failed. Otherwise the list of the
    /// previous request still holds and may be kept as it is.
    /// @return whether the list must be built anew
    bool HeadersNeedRebuild() const { return m_bRebuildHeaders; }
    /// @brief Makes the next request build its header list from nothing (call it when
    /// something a header hook appends has changed).
    void InvalidateHeaders() { m_bHeadersStale = true; }

    TeskLibCurl* m_pCurl{nullptr};   ///< the curl wrapper: header lines in, answer header lines out
    TraceLog m_Log;                  ///< the log of this connection and of the class derived from it
    std::string m_strContentType;    ///< change it through SetContentType
    bool m_bLoginInProgress{false};  ///< raised by the derived class around its login request
    std::string m_strServer;         ///< the server given to connect

private:
    std::string CommandOf(const TeskRestApiRequestInfo& request) const;
    bool request(_http_req_type_ method, const std::string& path, const std::string& body, std::string& response,
                 const TeskRestApiRequestOptions* options);
    // The hooks before the transfer: computeUrl, the header hooks, LogRequest. false: stopped.
    bool prepare(const TeskRestApiRequestInfo& info, const TeskRestApiRequestOptions* options);
    // The hooks after it: recvResp, saveLoginCurlHeaders, LogResponse, LogError.
    bool complete(const TeskRestApiRequestInfo& info, bool answered, std::string& response);

    std::unique_ptr<TeskLibCurl> m_pOwnedCurl;
    TeskLibCurlLimits m_Limits;
    TeskLibCurlTls m_Tls;
    TeskLibCurlResult m_LastResult;
    std::string m_strUrl;
    const TeskRestApiRequestOptions* m_pOptions{nullptr};
    bool m_bHeadersStale{true};
    bool m_bRebuildHeaders{true};
    bool m_bHeadersBuiltForLogin{false};
};
