#pragma once

/// @file
/// One API request as a value: method, command and the ordered name/value pairs, built once.

#include <string>
#include <utility>
#include <vector>

#include "TeskLibCurl.h"

/// @brief One request parameter: name and value as the server decodes them.
using TeskQueryParam = std::pair<std::string, std::string>;

/// @brief An API request, built once and then only read: the query string and the form body are
/// rendered from its pairs, and signing, masking and the request log read the pairs too, never a
/// rendered text.
///
/// A GET carries everything in its query string: "command" first, the parameters in order,
/// "response=json", then what the connection adds for the session or the signature. A POST with
/// a form body carries only "command" and "response" in its URL and everything else in an
/// application/x-www-form-urlencoded body, which keeps it out of the access logs of the server and
/// of every proxy on the way.
struct TeskApiRequest {
    /// @brief GET or POST.
    _http_req_type_ eMethod{HTTP_REQ_GET};
    /// @brief The API command.
    std::string strCommand;
    /// @brief The command's parameters, in the order they are sent.
    std::vector<TeskQueryParam> params;
    /// @brief The session key, or the key pair's fields and the signature: added by the connection
    /// just before the request goes out, sent after the parameters.
    std::vector<TeskQueryParam> auth;
    /// @brief A POST whose parameters travel in a form body.
    bool bFormBody{false};

    /// @brief A GET of @p command with no parameters yet.
    /// @param command the API command
    /// @return the request
    static TeskApiRequest Get(std::string command);
    /// @brief A POST of @p command whose parameters travel in a form body.
    /// @param command the API command
    /// @return the request
    static TeskApiRequest Post(std::string command);
    /// @brief A request from "name=value" texts whose values are percent-encoded as in a URL: each
    /// is read once, here, as the server reads a query (split on '&', then decoded). All of them
    /// travel in the URL, POST included; an empty text stays an empty field ("&&").
    /// @param method GET or POST
    /// @param command the API command
    /// @param texts the "name=value" texts
    /// @return the request
    static TeskApiRequest FromTexts(_http_req_type_ method, std::string command, const std::vector<std::string>& texts);

    /// @brief Appends one parameter.
    /// @param name its name
    /// @param value its value, as the server is to decode it
    /// @return this request
    TeskApiRequest& Add(std::string name, std::string value);

    /// @brief The query string of the URL: "?command=...&...&response=json...".
    /// @return the percent-encoded query string
    std::string Query() const;
    /// @brief The form body of a POST with one; empty otherwise.
    /// @return the percent-encoded form body
    std::string Body() const;
    /// @brief Query() with the values of secret parameters masked (TeskSecrets), for a log line.
    /// @return the masked query string
    std::string MaskedQuery() const;
    /// @brief Body() with the values of secret parameters masked, for a log line.
    /// @return the masked form body; empty without one
    std::string MaskedBody() const;
    /// @brief Whether the command or a parameter's name or value holds a NUL character: the text the
    /// server reads would end there, so such a request is never sent.
    /// @param where receives what holds it: "the command" or "parameter <name>" (the name cut at the NUL)
    /// @return true when one does
    bool FindNul(std::string& where) const;
    /// @brief Every parameter the server receives, in query and body alike, "command" and "response"
    /// included: what a signature covers.
    /// @return the parameters in the order they are sent
    std::vector<TeskQueryParam> AllParams() const;
};
