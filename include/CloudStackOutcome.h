#pragma once

/// @file
/// What one call came to: made where its answer arrives, passed up unchanged, and turned into
/// bool and the last error only by the wrapper.

#include <string>

#include "CloudStackErrorState.h"
#include "TeskApiRequest.h"
#include "TeskJson.h"
#include "TeskLibCurl.h"

namespace CloudStackSDKWrapper {

/// @brief The outcome of one request, or of one call made of several: success, or which kind of
/// failure with the code and the text that the last error shows; on success, the parsed answer of
/// a command answered by one object.
///
/// The connection makes it when an answer arrives (or when a rule of its own refuses the request),
/// the parser completes it when the answer is not the one asked for, the queries and operations
/// pass it up or make one of their own (no match, a list too long, a failed job), and only the
/// wrapper turns it into bool and the last error (CCloudStackErrorHandler::Report).
struct SCloudStackOutcome {
    /// @brief The kind of failure.
    enum class EFailure {
        None,          ///< success
        Refused,       ///< a rule of the library: an argument, no server, no match, a list too long, a job
        Transport,     ///< no complete answer: resolving, connecting, TLS, a time or size limit
        HttpStatus,    ///< an answer whose HTTP status says no and that holds no API error (a redirect, a proxy's 502)
        ApiError,      ///< the server's API error: its errorcode and errortext
        NotTheAnswer,  ///< a 2xx answer that is not what the command answers
    };

    EFailure eFailure{EFailure::None};  ///< what happened
    long lHttpStatus{0};                ///< the HTTP status of the last answer; 0 when none arrived
    long lCode{0};           ///< for the last error: the server's code, the HTTP status or an ECloudStackErrorCode
    std::string strMessage;  ///< for the last error: the server's text or a sentence of the library's
    JsonValue answer;        ///< on success of an object answer: the object under "<command>response"

    /// @brief A success with no answer.
    SCloudStackOutcome();
    /// @brief Empties the answer without allocating (TeskJson::Release).
    ~SCloudStackOutcome();
    SCloudStackOutcome(SCloudStackOutcome&&) = default;
    SCloudStackOutcome& operator=(SCloudStackOutcome&&) = default;
    SCloudStackOutcome(const SCloudStackOutcome&) = delete;
    SCloudStackOutcome& operator=(const SCloudStackOutcome&) = delete;

    /// @brief Success.
    explicit operator bool() const { return eFailure == EFailure::None; }

    /// @brief The object answer; an empty object when there is none.
    const JsonObject& Answer() const;

    /// @brief A success.
    static SCloudStackOutcome Success(long httpStatus = 0);
    /// @brief A failure of the given kind.
    static SCloudStackOutcome Failure(EFailure kind, long code, std::string message, long httpStatus = 0);
    /// @brief A failure by a rule of the library.
    static SCloudStackOutcome Refusal(long code, std::string message) {
        return Failure(EFailure::Refused, code, std::move(message));
    }

    /// @brief The outcome of one finished transfer of @p request: no answer, a redirect, an API error
    /// or another status that says no (the small error body is read once, here), or success with the
    /// body left to the caller. A value of a secret parameter of @p request that the server's text
    /// quotes is masked.
    static SCloudStackOutcome FromTransfer(const TeskLibCurlResult& result, const std::string& body,
                                           const TeskApiRequest& request);

    /// @brief Masks in strMessage every value of a secret parameter of @p request (TeskSecrets) that
    /// it quotes: a server's error text may repeat the value it refused.
    void MaskValuesOf(const TeskApiRequest& request);
};

}  // namespace CloudStackSDKWrapper
