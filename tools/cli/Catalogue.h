#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "CommandLine.h"  // before RecordFields.h: its OutputFormat::Json would shadow cscli::Json
#include "RecordFields.h"
#include "Settings.h"

// The server's own catalogue of its commands (listApis), kept per server and user in the user's cache folder:
// help, checks and completion come from it.
namespace cscli {

/// One parameter of an API command, as the server describes it.
struct ApiParameter {
    std::string name;
    std::string type;  ///< "uuid", "string", "boolean", ...
    std::string description;
    bool required{false};
};

/// One API command, as the server describes it.
struct ApiCommand {
    std::string name;
    std::string description;
    bool async{false};
    std::vector<ApiParameter> parameters;

    /// @return the parameter named @p name exactly, or nullptr
    const ApiParameter* Find(const std::string& name) const;
};

/// The catalogue of one server as one user sees it (the server lists what the user's role may call).
struct Catalogue {
    std::string endpoint;  ///< the server's API URL, as the cache file is keyed
    std::string identity;  ///< the user (user@domain) or the API key
    std::string version;   ///< the server's version (listCapabilities' cloudstackversion); empty when unknown
    std::string synced;    ///< when it was fetched, UTC, ISO 8601
    std::vector<ApiCommand> commands;

    /// @return the command named @p name exactly, or nullptr
    const ApiCommand* Find(const std::string& name) const;
    /// @return the one command whose name equals @p name apart from letter case, or nullptr
    const ApiCommand* FindIgnoringCase(const std::string& name) const;
};

/// Text from the server (a catalogue's names, types and descriptions) on its way to the terminal: every such
/// print goes through here, so that it can neither move the cursor nor end a line.
std::string Shown(const std::string& serverText);

/// The cache file for the server and user of @p settings: $XDG_CACHE_HOME/cloudstack-cli/FILE, else
/// ~/.cache/cloudstack-cli/FILE, FILE named after the endpoint and the user. Empty when neither folder is known.
std::string CataloguePath(const Settings& settings);

/// Reads the cached catalogue for @p settings. A file that is broken, too large, not a regular file or not the
/// user's own is ignored. @return false when there is no usable catalogue; @p warning then says why, unless
/// there simply is none
bool LoadCatalogue(const Settings& settings, Catalogue& catalogue, std::string& warning);

/// Writes @p catalogue for @p settings: a file of mode 0600 in a folder of mode 0700, replaced atomically.
/// @return false with a one-line reason in @p error; @p path is the file either way
bool SaveCatalogue(const Settings& settings, const Catalogue& catalogue, std::string& path, std::string& error);

/// Reads the commands of listApis' answer object ({"count":N,"api":[...]}) into @p catalogue. A command or
/// parameter whose name is not one a server uses (letters and digits; '.', '_', '-' in a parameter) is left
/// out and counted in @p dropped. @return false when the answer holds no list of commands
bool ReadListApis(const Json& answer, Catalogue& catalogue, std::size_t& dropped);

}  // namespace cscli
