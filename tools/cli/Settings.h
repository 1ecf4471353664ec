#pragma once

#include <map>
#include <string>

#include "CommandLine.h"

namespace cscli {

/// Where the password of a password login comes from.
enum class PasswordSource { Known, File, Prompt };

/// How to reach and sign in to the management server, from the command line, the environment,
/// the config file and the defaults, in this order of precedence.
struct Settings {
    std::string server;  ///< as the user wrote it: host, host:port or URL
    bool useKeyPair{false};
    std::string apiKey;
    std::string secretKey;
    std::string user;
    std::string domain;
    std::string password;  ///< when passwordSource is Known
    PasswordSource passwordSource{PasswordSource::Prompt};
    std::string passwordFile;  ///< when passwordSource is File
    std::string configFile;    ///< the file read, empty when none

    std::string caFile;          ///< --ca-file, else the config file's "verify = FILE"
    bool insecure{false};        ///< --insecure, else the config file's "verify = false"
    std::string insecureSource;  ///< "--insecure" or "verify = false in the config file"
    std::string proxy;           ///< the proxy for this server (ChooseProxy); empty for none
    std::string proxySource;     ///< where it came from, for messages
    std::string noProxyEntry;    ///< the no_proxy entry that sent the server around a proxy
    std::string certFile;        ///< the client certificate: --cert, else the config file's "cert"
    std::string certKeyFile;     ///< its key: --cert-key, else "cert_key"; empty when in certFile
};

/// The sections of an ini file: section name -> (key -> value). Keys are lower-cased.
using IniSections = std::map<std::string, std::map<std::string, std::string>>;

/// Reads the ini format: "[section]", "key = value", comments starting with '#' or ';'.
/// @return false with a one-line reason (naming the line) in @p error
bool ParseIni(const std::string& text, IniSections& sections, std::string& error);

/// Resolves every connection setting. @return false with a one-line reason in @p error
/// (a usage error: a missing config file or section, half a key pair, ...)
bool ResolveSettings(const Options& options, Settings& settings, std::string& error);

/// What to call the server in messages: host and port as the client reaches them.
std::string ServerForMessages(const std::string& server);

}  // namespace cscli
