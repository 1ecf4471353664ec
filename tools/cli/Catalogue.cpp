#include "Catalogue.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "Text.h"
#include "TextEscape.h"
#include "TrustedFile.h"

namespace cscli {

namespace {

constexpr int kCacheFormat = 1;
// A real server's catalogue takes a few MB; a file far larger than that is no cache of ours.
constexpr off_t kMostCacheBytes = 16 * 1024 * 1024;
// The cache nests five levels (file, commands, command, parameters, parameter).
constexpr int kMostNesting = 8;
constexpr std::size_t kMostNameLength = 128;
constexpr std::size_t kMostFileNamePart = 80;

bool IsCommandName(const std::string& name) {
    if (name.empty() || name.size() > kMostNameLength) return false;
    for (const char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
    return true;
}

// Names reach a shell's completion: nothing in them may mean anything to a shell.
bool IsParameterName(const std::string& name) {
    if (name.empty() || name.size() > kMostNameLength) return false;
    for (const char c : name)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '_' ||
              c == '-'))
            return false;
    return name[0] != '-';
}

// An optional text member; false when it is there but no text.
bool TextMember(const Json& item, const char* key, std::string& value) {
    value.clear();
    const auto it = item.find(key);
    if (it == item.end() || it->is_null()) return true;
    if (!it->is_string()) return false;
    value = it->get<std::string>();
    return true;
}

// An optional flag, which servers write as true or as "true"; false when it is something else.
bool FlagMember(const Json& item, const char* key, bool& value) {
    value = false;
    const auto it = item.find(key);
    if (it == item.end() || it->is_null()) return true;
    if (it->is_boolean()) {
        value = it->get<bool>();
        return true;
    }
    if (!it->is_string()) return false;
    const std::string& text = it->get_ref<const std::string&>();
    value = text == "true";
    return value || text == "false";
}

// True when no array or object in @p text nests deeper than kMostNesting: a hostile file of a million '['
// would otherwise cost the parser far more memory than its size.
bool ShallowJson(const std::string& text) {
    int depth = 0;
    bool inString = false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (inString) {
            if (c == '\\')
                ++i;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > kMostNesting) return false;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

bool ReadParameter(const Json& item, ApiParameter& parameter) {
    return item.is_object() && TextMember(item, "name", parameter.name) && IsParameterName(parameter.name) &&
           TextMember(item, "type", parameter.type) && TextMember(item, "description", parameter.description) &&
           FlagMember(item, "required", parameter.required);
}

// One command. Strict (our own cache): anything unexpected spoils it. Otherwise (a server's answer): a
// parameter that cannot be read is left out and counted.
bool ReadCommand(const Json& item, ApiCommand& command, bool strict, std::size_t& dropped) {
    if (!item.is_object() || !TextMember(item, "name", command.name) || !IsCommandName(command.name) ||
        !TextMember(item, "description", command.description) || !FlagMember(item, "isasync", command.async))
        return false;
    const auto params = item.find("params");
    if (params == item.end() || params->is_null()) return true;
    if (!params->is_array()) return false;
    for (const Json& entry : *params) {
        ApiParameter parameter;
        if (ReadParameter(entry, parameter)) {
            command.parameters.push_back(std::move(parameter));
        } else if (strict) {
            return false;
        } else {
            ++dropped;
        }
    }
    return true;
}

bool ReadCommands(const Json& array, std::vector<ApiCommand>& commands, bool strict, std::size_t& dropped) {
    if (!array.is_array()) return false;
    for (const Json& item : array) {
        ApiCommand command;
        if (ReadCommand(item, command, strict, dropped)) {
            commands.push_back(std::move(command));
        } else if (strict) {
            return false;
        } else {
            ++dropped;
        }
    }
    return true;
}

Json CommandsJson(const std::vector<ApiCommand>& commands) {
    Json array = Json::array();
    for (const ApiCommand& command : commands) {
        Json params = Json::array();
        for (const ApiParameter& parameter : command.parameters)
            params.push_back(Json{{"name", parameter.name},
                                  {"type", parameter.type},
                                  {"description", parameter.description},
                                  {"required", parameter.required}});
        array.push_back(Json{{"name", command.name},
                             {"description", command.description},
                             {"isasync", command.async},
                             {"params", std::move(params)}});
    }
    return array;
}

// The server's API URL, whichever way it was written: the same server shares one cache file.
std::string EndpointOf(const std::string& server) {
    const std::size_t separator = server.find("://");
    const std::string scheme =
        separator == std::string::npos ? "http" : cstools::AsciiLower(server.substr(0, separator));
    const std::string rest = separator == std::string::npos ? server : server.substr(separator + 3);
    const std::size_t slash = rest.find('/');
    std::string authority = cstools::AsciiLower(rest.substr(0, slash));
    authority = authority.substr(authority.rfind('@') == std::string::npos ? 0 : authority.rfind('@') + 1);
    std::string path = slash == std::string::npos ? std::string() : rest.substr(slash);
    while (path.size() > 1 && path.back() == '/') path.pop_back();
    if (path.empty() || path == "/") path = "/client/api";
    if (separator == std::string::npos && authority.find(':') == std::string::npos) authority += ":8080";
    return scheme + "://" + authority + path;
}

std::string IdentityOf(const Settings& settings) {
    if (settings.useKeyPair) return "key " + settings.apiKey;
    return settings.user + "@" + (settings.domain.empty() ? "ROOT" : settings.domain);
}

std::string FileNamePart(const std::string& text) {
    std::string part;
    for (const char c : text.substr(0, kMostFileNamePart))
        part += ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' || c == '-')
                    ? c
                    : '_';
    return part;
}

// FNV-1a: what the shortened, sanitised names lose still tells two servers or users apart.
std::string Digest(const std::string& text) {
    std::uint64_t hash = 14695981039346656037ULL;
    for (const char c : text) {
        hash ^= static_cast<unsigned char>(c);
        hash *= 1099511628211ULL;
    }
    char hex[17];
    std::snprintf(hex, sizeof hex, "%016llx", static_cast<unsigned long long>(hash));
    return hex;
}

std::string CacheFolder() {
    const char* xdg = std::getenv("XDG_CACHE_HOME");
    // A relative XDG_CACHE_HOME is ignored, as the XDG base-directory rules say.
    if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/cloudstack-cli";
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') return std::string(home) + "/.cache/cloudstack-cli";
    return "";
}

// Makes @p folder (and a missing parent) with mode 0700; an existing one must be a directory of this user.
bool MakePrivateFolder(const std::string& folder, std::string& error) {
    const std::size_t slash = folder.rfind('/');
    if (slash != std::string::npos && slash > 0) {
        const std::string parent = folder.substr(0, slash);
        struct stat info {};
        if (stat(parent.c_str(), &info) != 0 && mkdir(parent.c_str(), 0700) != 0 && errno != EEXIST) {
            error = "cannot make the folder '" + parent + "': " + std::strerror(errno);
            return false;
        }
    }
    if (mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) {
        error = "cannot make the folder '" + folder + "': " + std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (lstat(folder.c_str(), &info) != 0 || !S_ISDIR(info.st_mode) || info.st_uid != geteuid()) {
        error = "'" + folder + "' is no folder of this user";
        return false;
    }
    if ((info.st_mode & 077) != 0 && chmod(folder.c_str(), 0700) != 0) {
        error = "cannot make the folder '" + folder + "' private: " + std::strerror(errno);
        return false;
    }
    return true;
}

// The file's bytes, if it is a regular file of this user and not too large; else a reason.
bool ReadCacheFile(const std::string& path, std::string& text, std::string& why) {
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK);
    if (fd < 0) {
        if (errno != ENOENT) why = std::strerror(errno);
        return false;
    }
    struct stat info {};
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
        why = "it is no file of this user";
    } else if (info.st_size > kMostCacheBytes) {
        why = "it is larger than any catalogue";
    } else {
        text.resize(static_cast<std::size_t>(info.st_size));
        std::size_t done = 0;
        while (done < text.size()) {
            const ssize_t n = read(fd, &text[done], text.size() - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            done += static_cast<std::size_t>(n);
        }
        if (done != text.size()) why = "it cannot be read";
    }
    close(fd);
    return why.empty();
}

}  // namespace

const ApiParameter* ApiCommand::Find(const std::string& wanted) const {
    for (const ApiParameter& parameter : parameters)
        if (parameter.name == wanted) return &parameter;
    return nullptr;
}

const ApiCommand* Catalogue::Find(const std::string& name) const {
    for (const ApiCommand& command : commands)
        if (command.name == name) return &command;
    return nullptr;
}

const ApiCommand* Catalogue::FindIgnoringCase(const std::string& name) const {
    const ApiCommand* found = nullptr;
    const std::string lower = cstools::AsciiLower(name);
    for (const ApiCommand& command : commands) {
        if (cstools::AsciiLower(command.name) != lower) continue;
        if (found != nullptr) return nullptr;
        found = &command;
    }
    return found;
}

std::string Shown(const std::string& serverText) {
    return TextEscape::Printable(serverText);
}

std::string CataloguePath(const Settings& settings) {
    const std::string folder = CacheFolder();
    if (folder.empty()) return "";
    const std::string endpoint = EndpointOf(settings.server);
    const std::string identity = IdentityOf(settings);
    std::string host = endpoint.substr(endpoint.find("://") + 3);
    return folder + "/" + FileNamePart(host) + "--" + FileNamePart(identity) + "-" +
           Digest(endpoint + "\n" + identity) + ".json";
}

bool LoadCatalogue(const Settings& settings, Catalogue& catalogue, std::string& warning) {
    warning.clear();
    const std::string path = CataloguePath(settings);
    std::string text;
    std::string why;
    if (path.empty() || !ReadCacheFile(path, text, why)) {
        if (!why.empty()) warning = "ignoring the cached catalogue '" + Shown(path) + "': " + why;
        return false;
    }
    Catalogue read;
    std::size_t dropped = 0;
    const Json document = ShallowJson(text) ? Json::parse(text, nullptr, false) : Json();
    const auto format = document.is_object() ? document.find("format") : document.end();
    const auto api = document.is_object() ? document.find("api") : document.end();
    const bool valid = format != document.end() && *format == kCacheFormat &&
                       TextMember(document, "endpoint", read.endpoint) &&
                       TextMember(document, "identity", read.identity) &&
                       TextMember(document, "version", read.version) && TextMember(document, "synced", read.synced) &&
                       api != document.end() && ReadCommands(*api, read.commands, true, dropped);
    if (!valid) {
        warning =
            "ignoring the cached catalogue '" + Shown(path) + "': it is broken; 'cloudstack-cli sync' writes it anew";
        return false;
    }
    // A file of another server or user under this name: the digest makes that all but impossible.
    if (read.endpoint != EndpointOf(settings.server) || read.identity != IdentityOf(settings)) {
        warning = "ignoring the cached catalogue '" + Shown(path) + "': it belongs to another server or user";
        return false;
    }
    catalogue = std::move(read);
    return true;
}

bool SaveCatalogue(const Settings& settings, const Catalogue& catalogue, std::string& path, std::string& error) {
    path = CataloguePath(settings);
    if (path.empty()) {
        error = "no cache folder: set XDG_CACHE_HOME or HOME";
        return false;
    }
    if (!MakePrivateFolder(path.substr(0, path.rfind('/')), error)) return false;
    Json document = Json::object();
    document["format"] = kCacheFormat;
    document["endpoint"] = EndpointOf(settings.server);
    document["identity"] = IdentityOf(settings);
    document["version"] = catalogue.version;
    document["synced"] = catalogue.synced;
    document["api"] = CommandsJson(catalogue.commands);
    const std::string text = document.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";

    // A reader sees the old file or the new one, never half of one.
    std::string temporary = path + ".XXXXXX";
    const int fd = mkstemp(temporary.data());
    if (fd < 0) {
        error = "cannot write in '" + path.substr(0, path.rfind('/')) + "': " + std::strerror(errno);
        return false;
    }
    const bool written = fchmod(fd, 0600) == 0 && WriteAll(fd, text) && fsync(fd) == 0;
    const int saved = errno;
    if (close(fd) != 0 || !written || rename(temporary.c_str(), path.c_str()) != 0) {
        error = "cannot write '" + path + "': " + std::strerror(written ? errno : saved);
        unlink(temporary.c_str());
        return false;
    }
    return true;
}

bool ReadListApis(const Json& answer, Catalogue& catalogue, std::size_t& dropped) {
    dropped = 0;
    catalogue.commands.clear();
    if (!answer.is_object()) return false;
    const auto apis = answer.find("api");
    return apis != answer.end() && ReadCommands(*apis, catalogue.commands, false, dropped);
}

}  // namespace cscli
