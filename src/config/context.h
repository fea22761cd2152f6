#pragma once
// Everything the configuration loaders share during one run: where the host runs, what
// the preferences chose, the host-wide settings and the marks that make the loaders
// produce exactly one default object and one default Target team.
#include <filesystem>
#include <string>

#include "config/types.h"
#include "platform/diagnostics.h"
#include "sidelink/adapter.h"

namespace qd {

struct ConfigContext {
    std::filesystem::path workDir;  // the host's working directory
    UserPrefs prefs;
    HostSettings settings;
    AdapterList adapters;  // filled by adapter discovery; the preferences mark `ignored`

    // Session configuration paths, built on first use and kept for the run. When the
    // joined path is too long both stay empty and nothing is read from them.
    bool pathsBuilt = false;
    std::filesystem::path cfgPath;
    std::filesystem::path txtPath;

    bool settingsLoaded = false;    // QDL_SETTINGS read: the teams take MAX_PLAYERS_PER_TEAM from it
    bool objectFound = false;       // a target object was found or produced
    bool targetTeamExists = false;  // a Target team was read or produced

    // Findings for `quarneld check`; null when nobody collects them.
    Diagnostics* diag = nullptr;
    bool targetSectionsAudited = false;
    bool teamSectionsAudited = false;
};

// The longest path the host accepts: its buffers held 256 characters with the NUL.
constexpr std::size_t kMaxPathChars = 255;

// Adds a finding for file (shown relative to the working directory) when diagnostics
// are collected.
void Warn(ConfigContext& ctx, const std::filesystem::path& file, int line, std::string message);

// file as the operator knows it: relative to the working directory when below it.
std::string DisplayName(const ConfigContext& ctx, const std::filesystem::path& file);

}  // namespace qd
