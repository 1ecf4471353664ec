#pragma once

#include <string>

#include "CloudStackErrorState.h"

namespace cscli {

/// How a failure reads on the one line the client prints, built from the wrapper's last error.
/// @param server the server as messages name it (ServerForMessages)
/// @param fallback the text when the last error is empty
/// @return "the server refused (431): ..." for the server's errors, "cannot connect to
/// host:port: ..." when no connection came about, the library's own sentence otherwise
std::string Describe(const CloudStackSDKWrapper::CCloudStackErrorState& error, const std::string& server,
                     const std::string& fallback);

/// True when the call failed before the server could answer (no connection, TLS, name lookup).
bool IsConnectFailure(long code);

/// Describe for a failed lookup of one object by name or id: a name or id that matched no object
/// or several reads as the library says it; any other failure is prefixed with what was looked up.
/// @param what "virtual machine", "host", ...
std::string DescribeLookup(const CloudStackSDKWrapper::CCloudStackErrorState& error, const std::string& server,
                           const std::string& what, bool byId, const std::string& key);

/// Describe for a failed Connect or ConnectWithApiKey: a refused login reads as such.
std::string DescribeLogin(const CloudStackSDKWrapper::CCloudStackErrorState& error, const std::string& server,
                          bool keyPair, bool withDomain);

}  // namespace cscli
