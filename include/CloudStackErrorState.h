#pragma once

/// @file
/// The last error of a wrapper, and the codes that the library itself writes into it.

#include <string>

namespace CloudStackSDKWrapper {

/// @brief Codes of failures that are not the server's own. The server's API errors keep their
/// positive codes (401, 431, 530, 531, ...); an answer that is no API error keeps its HTTP status.
enum ECloudStackErrorCode : long {
    CS_ERROR_NONE = 0,  ///< the last call succeeded (or none was made)

    // The library's own rules.
    CS_ERROR_INVALID_ARGUMENT = -1,  ///< a required argument is empty or malformed (no name and no id, ...)
    CS_ERROR_INVALID_SERVER = -2,    ///< the server string is no host name and no http(s) URL the library accepts
    CS_ERROR_NOT_CONNECTED = -3,     ///< the call needs a session or a key pair, and there is none
    CS_ERROR_NOT_FOUND = -4,         ///< a lookup matched no record
    CS_ERROR_AMBIGUOUS = -5,         ///< a lookup matched several records and none exactly
    CS_ERROR_JOB_TIMEOUT = -6,       ///< an async job was still pending when the wait's time limit passed
    CS_ERROR_BAD_ANSWER = -7,        ///< a 2xx answer that is not what the command answers (no JSON, wrong shape)
    CS_ERROR_LIST_TOO_LONG = -8,     ///< paging passed the bound on records per list, or the server repeated itself
    CS_ERROR_LOGIN_FAILED = -9,      ///< a login answer with success status but no session in it
    CS_ERROR_OUT_OF_MEMORY = -10,    ///< memory ran out during the call (std::bad_alloc); nothing was thrown
    CS_ERROR_JOB_FAILED = -11,    ///< an async job failed without an error code of its own; the message names the job
    CS_ERROR_WAIT_STOPPED = -12,  ///< the job progress callback stopped a wait; the job goes on, the message names it
    CS_ERROR_INTERNAL = -13,  ///< any other exception inside the library; nothing was thrown, one log line says which
    /// A command of a bulk call that has not ended: what its result says while the call runs (a progress
    /// callback may read it), and after a call that ended early as a whole (memory ran out, the callback threw).
    CS_ERROR_UNFINISHED = -14,

    // No (usable) answer from the server.
    CS_ERROR_RESOLVE_HOST = -101,     ///< the host name cannot be resolved
    CS_ERROR_CONNECT = -102,          ///< no TCP connection to the server
    CS_ERROR_TLS = -103,              ///< the TLS handshake failed
    CS_ERROR_TLS_CERTIFICATE = -104,  ///< the server's TLS certificate is not trusted or names another host
    CS_ERROR_TIMEOUT = -105,          ///< a time limit passed (connect, no byte, too slow, whole request)
    CS_ERROR_TOO_LARGE = -106,        ///< the answer's body or a header line passed the size limit
    CS_ERROR_REDIRECT = -107,         ///< the server redirected (3xx); redirects are not followed
    CS_ERROR_TRANSPORT = -108,        ///< any other transfer failure (connection closed, malformed HTTP, ...)
    /// The proxy of SetProxy: its name did not resolve, it refused the connection, or it would not or
    /// could not carry the request (CONNECT answered with an error; 407, 502, 503 or 504 from an http
    /// proxy). The message names the proxy's host:port, never the credentials of its URL.
    CS_ERROR_PROXY = -109,
};

/// @brief The last error of one wrapper: every public call of the wrapper clears it when it
/// starts and, when it returns false, leaves in it why. Never holds a password, key or session key.
struct CCloudStackErrorState {
    /// @brief What went wrong, in the server's words or in a short sentence of the library's: one
    /// line of at most 300 bytes of UTF-8, in which control characters from the server show as
    /// escapes (`\x1b`, `\u202e`).
    std::string strErrorMessage;
    /// @brief The server's error code, the HTTP status, or one of ECloudStackErrorCode; 0 when none.
    long lErrorCode{0};
};

}  // namespace CloudStackSDKWrapper
