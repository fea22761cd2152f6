#pragma once
// Start-up up to the session: adapters, preferences, targets checked against the
// simulator's files. Shared by `quarneld run` and `quarneld check`.
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "config/context.h"
#include "config/types.h"
#include "sidelink/host_lists.h"
#include "sidelink/net_tables.h"

namespace qd {

struct LoadedTarget {
    std::unique_ptr<TargetObject> target;
    int validation = 0;  // ValidateTargetAircraft's result, 0..4
};

class HostSetup {
public:
    // workDir must be absolute; nothing is read before the steps below are called.
    HostSetup(std::filesystem::path workDir, NetTableSource& tables, Diagnostics* diag = nullptr);

    // Adapter discovery, then the user preferences, which mark ignored adapters.
    void LoadAdaptersAndPrefs();
    // Up to 32 targets, each validated; logs "Target #%d, 'aircraft=%s'" for failures.
    // Returns false when no target was loaded ("Config error, no objects found").
    bool LoadTargets();
    // The teams as the main window loads them (at most 255), after the session settings,
    // whose MAX_PLAYERS_PER_TEAM a team without its own MAX_PLAYERS takes; when they
    // were not read yet they are read first.
    void LoadTeams();

    const std::filesystem::path& workDir() const { return config.workDir; }

    ConfigContext config;
    SideLinkState sideLink;
    std::vector<LoadedTarget> targets;
    std::vector<std::unique_ptr<TeamDefinition>> teams;
};

// `quarneld check`: loads the configuration in the order `run` does and prints it (text,
// or JSON with json = true) to out; writes no file. Returns the exit status (0 the host
// could start, 1 start-up would stop).
int RunCheck(const std::filesystem::path& workDir, bool json, std::ostream& out, std::ostream& err);

}  // namespace qd
