#pragma once

// Where a connection's requests go: the endpoint URL for the server string a host gives.

#include <string>

namespace CloudStackSDKWrapper {

/// @brief Whether @p text holds an ASCII control character (a header line or a terminal would obey it).
bool HasControl(const std::string& text);

/// @brief The endpoint URL for a server string: a bare host means http://<host>:8080/client/api, a
/// bare host:port http://<host>:<port>/client/api, and an http(s) URL may give port and path.
/// @param server what the host gave
/// @param endpoint receives the URL
/// @param why receives the reason when the string is refused
/// @return false when the string is no host name and no http(s) URL the library accepts
bool EndpointFor(const std::string& server, std::string& endpoint, std::string& why);

}  // namespace CloudStackSDKWrapper
