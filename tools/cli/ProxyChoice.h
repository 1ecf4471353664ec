#pragma once

#include <functional>
#include <string>

namespace cscli {

/// Reads one environment variable; empty when it is not set.
using EnvironmentReader = std::function<std::string(const char*)>;

/// The proxy for one server, and where its setting came from.
struct ProxyChoice {
    std::string url;     ///< for SetProxy; empty: no proxy
    std::string source;  ///< "--proxy", "https_proxy", "the config file", ...; empty without a proxy
    std::string bypass;  ///< the no_proxy entry that sent the server around the proxy; empty when none did
};

/// Chooses the proxy for @p server (a host, host:port or URL, as the library takes it) the way
/// curl does: --proxy, else the environment (http_proxy for an http server, which curl reads in
/// lower case only; https_proxy or HTTPS_PROXY for an https one; then all_proxy or ALL_PROXY), else
/// the config file's proxy. A value without "scheme://" is an http proxy. no_proxy (else NO_PROXY)
/// then sends a server it matches around any of them (NoProxyMatches).
/// @param server the server as the user gave it
/// @param commandLine the value of --proxy; empty when not given
/// @param configFile the value of "proxy =" in the config file's section; empty when none
/// @param env reads the environment
ProxyChoice ChooseProxy(const std::string& server, const std::string& commandLine, const std::string& configFile,
                        const EnvironmentReader& env);

/// Whether a no_proxy list names @p host, as curl reads the list: entries separated by commas or
/// blanks, letter case aside; "*" matches every host; a host name matches an entry equal to it or
/// to one of its parent domains, with or without a leading dot ("example.org" and ".example.org"
/// both match example.org and api.example.org, never badexample.org); an IP address (IPv6 with or
/// without brackets) matches an entry of the same address or a range in CIDR notation
/// ("10.0.0.0/8", "fd00::/8"). Ports are not compared: an entry with one matches nothing.
/// @param noProxy the list
/// @param host the server's host name or address
/// @param entry receives the entry that matched
bool NoProxyMatches(const std::string& noProxy, const std::string& host, std::string& entry);

/// @p url without the "user:password@" of its authority, for messages.
std::string WithoutCredentials(const std::string& url);

}  // namespace cscli
