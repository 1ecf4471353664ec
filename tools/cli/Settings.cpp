#include "Settings.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <sstream>

#include "ProxyChoice.h"
#include "Text.h"
#include "TrustedFile.h"

namespace cscli {

namespace {

const char* const kDefaultServer = "127.0.0.1";
const char* const kDefaultUser = "admin";
const char* const kDefaultSection = "cloudstack";

std::string Env(const char* name) {
    const char* value = std::getenv(name);
    return value != nullptr ? value : "";
}

bool FileExists(const std::string& path) {
    struct stat info;
    return stat(path.c_str(), &info) == 0 && S_ISREG(info.st_mode);
}

// The config file: $CLOUDSTACK_CONFIG must exist when set; the others only when present.
std::string FindConfigFile() {
    const std::string named = Env("CLOUDSTACK_CONFIG");
    if (!named.empty()) return named;
    if (FileExists("cloudstack.ini")) return "cloudstack.ini";
    const std::string home = Env("HOME");
    if (!home.empty() && FileExists(home + "/.cloudstack.ini")) return home + "/.cloudstack.ini";
    return "";
}

// A key pair from two variables: both or neither.
bool KeyPairFrom(const char* keyName, const char* secretName, std::string& key, std::string& secret,
                 std::string& error) {
    key = Env(keyName);
    secret = Env(secretName);
    if (key.empty() != secret.empty()) {
        error = std::string(key.empty() ? keyName : secretName) + " is not set, but " +
                (key.empty() ? secretName : keyName) + " is: set both or neither";
        return false;
    }
    return true;
}

// Whether any section holds a password, a secret key or a proxy URL with credentials: group and
// others may then read none of it.
bool HoldsASecret(const IniSections& sections) {
    for (const auto& section : sections) {
        for (const char* key : {"password", "secret"}) {
            const auto it = section.second.find(key);
            if (it != section.second.end() && !it->second.empty()) return true;
        }
        const auto proxy = section.second.find("proxy");
        if (proxy != section.second.end() && WithoutCredentials(proxy->second) != proxy->second) return true;
    }
    return false;
}

// The config file's "verify": a boolean in the usual ini spellings, else a CA file.
enum class Verify { Default, Off, CaFile };
Verify ReadVerify(const std::string& value) {
    const std::string word = cstools::AsciiLower(value);
    if (word.empty() || word == "true" || word == "yes" || word == "on" || word == "1") return Verify::Default;
    if (word == "false" || word == "no" || word == "off" || word == "0") return Verify::Off;
    return Verify::CaFile;
}

// How the server is reached: TLS checks, the client certificate (whose key file is held to the
// rules of a password file) and the proxy.
bool ResolveTransport(const Options& options, const std::map<std::string, std::string>& file,
                      const std::string& section, Settings& settings, std::string& error) {
    const auto fromFile = [&file](const char* key) {
        const auto it = file.find(key);
        return it == file.end() ? std::string() : it->second;
    };
    settings.caFile = options.caFile;
    settings.insecure = options.insecure;
    if (settings.insecure) settings.insecureSource = "--insecure";
    if (settings.caFile.empty() && !settings.insecure) {
        const std::string verify = fromFile("verify");
        const Verify kind = ReadVerify(verify);
        settings.insecure = kind == Verify::Off;
        if (settings.insecure) settings.insecureSource = "verify = " + verify + " in the config file";
        if (kind == Verify::CaFile) settings.caFile = verify;
    }

    settings.certFile = options.certFile;
    settings.certKeyFile = options.certKeyFile;
    if (settings.certFile.empty()) {
        settings.certFile = fromFile("cert");
        settings.certKeyFile = fromFile("cert_key");
        if (settings.certFile.empty() && !settings.certKeyFile.empty()) {
            error = "the config file '" + settings.configFile + "' gives cert_key without cert in [" + section + "]";
            return false;
        }
    }
    if (!settings.certFile.empty()) {
        const bool keyApart = !settings.certKeyFile.empty();
        const std::string& keyFile = keyApart ? settings.certKeyFile : settings.certFile;
        const char* what = keyApart ? "client key file" : "client certificate file";
        std::string text;
        mode_t mode = 0;
        if (!ReadTrustedFile(keyFile, what, text, mode, error)) return false;
        std::fill(text.begin(), text.end(), '\0');
        error = TooOpenForASecret(keyFile, what, mode);
        if (!error.empty()) return false;
    }

    const ProxyChoice proxy = ChooseProxy(settings.server, options.proxy, fromFile("proxy"), Env);
    settings.proxy = proxy.url;
    settings.proxySource = proxy.source;
    settings.noProxyEntry = proxy.bypass;
    return true;
}

}  // namespace

bool ParseIni(const std::string& text, IniSections& sections, std::string& error) {
    std::istringstream lines(text);
    std::string line;
    std::string section;
    bool inSection = false;
    int number = 0;
    while (std::getline(lines, line)) {
        ++number;
        line = cstools::Trim(line);
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line[0] == '[') {
            if (line.back() != ']' || line.size() < 3) {
                error = "line " + std::to_string(number) + ": a section header is [NAME]";
                return false;
            }
            section = cstools::Trim(line.substr(1, line.size() - 2));
            sections[section];
            inSection = true;
            continue;
        }
        const std::size_t equals = line.find('=');
        if (equals == std::string::npos || equals == 0) {
            error = "line " + std::to_string(number) + ": expected 'key = value'";
            return false;
        }
        if (!inSection) {
            error = "line " + std::to_string(number) + ": a setting before the first [section]";
            return false;
        }
        sections[section][cstools::AsciiLower(cstools::Trim(line.substr(0, equals)))] =
            cstools::Trim(line.substr(equals + 1));
    }
    return true;
}

bool ResolveSettings(const Options& options, Settings& settings, std::string& error) {
    settings = Settings{};

    // The config file section, when there is one.
    std::map<std::string, std::string> file;
    std::string region = !options.region.empty() ? options.region : Env("CLOUDSTACK_REGION");
    const bool regionChosen = !region.empty();
    if (!regionChosen) region = kDefaultSection;
    settings.configFile = FindConfigFile();
    if (!settings.configFile.empty()) {
        std::string text;
        mode_t mode = 0;
        IniSections sections;
        if (!ReadTrustedFile(settings.configFile, "config file", text, mode, error)) return false;
        if (!ParseIni(text, sections, error)) {
            error = "config file '" + settings.configFile + "', " + error;
            return false;
        }
        if (HoldsASecret(sections)) {
            error = TooOpenForASecret(settings.configFile, "config file", mode);
            if (!error.empty()) return false;
        }
        const auto found = sections.find(region);
        if (found != sections.end()) {
            file = found->second;
        } else if (regionChosen) {
            error = "the config file '" + settings.configFile + "' has no section [" + region + "]";
            return false;
        }
    } else if (regionChosen) {
        error = "region '" + region + "' chosen, but there is no config file ($CLOUDSTACK_CONFIG, ./cloudstack.ini, " +
                "~/.cloudstack.ini)";
        return false;
    }
    const auto fromFile = [&file](const char* key) {
        const auto it = file.find(key);
        return it == file.end() ? std::string() : it->second;
    };

    settings.server = options.server;
    for (const std::string& candidate : {Env("CLOUDSTACK_SERVER"), Env("CLOUDSTACK_ENDPOINT"), fromFile("endpoint")})
        if (settings.server.empty()) settings.server = candidate;
    if (settings.server.empty()) settings.server = kDefaultServer;
    if (!ResolveTransport(options, file, region, settings, error)) return false;

    // Credentials: the first source that names any decides between a key pair and a password.
    std::string envKey;
    std::string envSecret;
    if (!KeyPairFrom("CLOUDSTACK_API_KEY", "CLOUDSTACK_SECRET_KEY", envKey, envSecret, error)) return false;
    if (envKey.empty() && !KeyPairFrom("CLOUDSTACK_KEY", "CLOUDSTACK_SECRET", envKey, envSecret, error)) return false;
    const std::string fileKey = fromFile("key");
    const std::string fileSecret = fromFile("secret");
    if (fileKey.empty() != fileSecret.empty()) {
        error = "the config file '" + settings.configFile + "' gives " + (fileKey.empty() ? "a secret" : "a key") +
                " without " + (fileKey.empty() ? "its key" : "its secret") + " in [" + region + "]";
        return false;
    }
    const bool commandLineLogin = !options.user.empty() || !options.domain.empty() || !options.passwordFile.empty();
    const bool envLogin = !Env("CLOUDSTACK_USER").empty() || !Env("CLOUDSTACK_PASSWORD").empty();
    if (!commandLineLogin && !envKey.empty()) {
        settings.useKeyPair = true;
        settings.apiKey = envKey;
        settings.secretKey = envSecret;
    } else if (!commandLineLogin && !envLogin && !fileKey.empty()) {
        settings.useKeyPair = true;
        settings.apiKey = fileKey;
        settings.secretKey = fileSecret;
    }

    const std::string filePassword = fromFile("password");
    if (settings.useKeyPair) return true;

    settings.user = options.user;
    for (const std::string& candidate : {Env("CLOUDSTACK_USER"), fromFile("username")})
        if (settings.user.empty()) settings.user = candidate;
    if (settings.user.empty()) settings.user = kDefaultUser;

    settings.domain = options.domain;
    for (const std::string& candidate : {Env("CLOUDSTACK_DOMAIN"), fromFile("domain")})
        if (settings.domain.empty()) settings.domain = candidate;

    if (!options.passwordFile.empty()) {
        settings.passwordSource = PasswordSource::File;
        settings.passwordFile = options.passwordFile;
    } else if (const std::string fromEnvironment = Env("CLOUDSTACK_PASSWORD"); !fromEnvironment.empty()) {
        settings.passwordSource = PasswordSource::Known;
        settings.password = fromEnvironment;
    } else if (!filePassword.empty()) {
        settings.passwordSource = PasswordSource::Known;
        settings.password = filePassword;
    }
    return true;
}

std::string ServerForMessages(const std::string& server) {
    const std::size_t scheme = server.find("://");
    if (scheme == std::string::npos) return server.find(':') == std::string::npos ? server + ":8080" : server;
    std::string authority = server.substr(scheme + 3);
    authority = authority.substr(0, authority.find_first_of("/?#"));
    // A user name and password written into the URL stay out of every message.
    const std::size_t at = authority.rfind('@');
    return at == std::string::npos ? authority : authority.substr(at + 1);
}

}  // namespace cscli
