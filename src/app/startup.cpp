#include "app/startup.h"

#include <cstdio>
#include <fstream>
#include <iterator>
#include <ostream>
#include <unistd.h>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "config/coordinate.h"
#include "config/paths.h"
#include "config/prefs.h"
#include "config/report.h"
#include "config/settings.h"
#include "config/targets.h"
#include "config/teams.h"
#include "platform/log.h"
#include "platform/text.h"
#include "sidelink/adapter_discovery.h"
#include "simfiles/inventory.h"

namespace qd {

HostSetup::HostSetup(std::filesystem::path workDir, NetTableSource& tables, Diagnostics* diag)
    : sideLink(tables, workDir) {
    config.workDir = std::move(workDir);
    config.diag = diag;
}

void HostSetup::LoadAdaptersAndPrefs() {
    sideLink.DiscoverAdapters();
    // The preferences mark ignored adapters on the configuration's copy; the side link
    // chooses the host address from the marked list.
    config.adapters = sideLink.adapterList;
    LoadUserPrefs(config);
    sideLink.adapterList = config.adapters;
}

bool HostSetup::LoadTargets() {
    targets.clear();
    for (int index = 0; index < kMaxTargets; ++index) {
        auto target = LoadTargetObject(config, index);
        if (!target) break;
        const int result = ValidateTargetAircraft(config.workDir, *target, config.diag);
        if (result >= 1 && result <= 4) LogError(fmt::format("Target #{}, 'aircraft={}'", index, target->aircraft));
        targets.push_back(LoadedTarget{std::move(target), result});
    }
    return !targets.empty();
}

void HostSetup::LoadTeams() {
    if (!config.settingsLoaded) {
        std::optional<SessionDesc> unused;
        LoadSessionSettings(config, unused);
    }
    teams = qd::LoadTeams(config);
}

namespace {

const char* ValidationText(int result) {
    switch (result) {
    case 0: return "ok";
    case 1: return "not in the object database nor in the aircraft inventory";
    case 2: return "TITLE found but no SIM= entry after it";
    case 3: return "damage profile (.dp) missing";
    case 4: return "flight model (.air) missing";
    }
    return "unknown";
}

std::string U(const std::string& win1252) { return Win1252ToUtf8(win1252); }

std::string Opt(const std::optional<std::string>& s) { return s ? U(*s) : std::string("-"); }

// What start-up would write to the error log, captured instead of touching the
// operator's log.
class CapturedLog {
public:
    CapturedLog() {
        char tmpl[] = "/tmp/quarneld-check-XXXXXX";
        const int fd = ::mkstemp(tmpl);
        if (fd >= 0) ::close(fd);
        path_ = tmpl;
        previous_ = ErrorLogPath();
        SetErrorLogPath(path_);
    }
    ~CapturedLog() {
        SetErrorLogPath(previous_);
        std::error_code ec;
        std::filesystem::remove(path_, ec);
    }
    std::vector<std::string> lines() const {
        std::vector<std::string> out;
        std::ifstream in(path_);
        std::string line;
        while (std::getline(in, line))
            if (!line.empty() && line.rfind("*** New run", 0) != 0) out.push_back(line);
        return out;
    }

private:
    std::filesystem::path path_, previous_;
};

}  // namespace

int RunCheck(const std::filesystem::path& workDirIn, bool json, std::ostream& out, std::ostream& err) {
    std::error_code ec;
    const auto workDir = std::filesystem::absolute(workDirIn, ec);
    if (ec || !std::filesystem::is_directory(workDir, ec)) {
        err << "quarneld check: working directory " << workDirIn.string() << " does not exist\n";
        return 1;
    }

    Diagnostics diag;
    LinuxNetTables tables;
    CapturedLog log;
    HostSetup setup(workDir, tables, &diag);
    setup.LoadAdaptersAndPrefs();
    // Run's order: targets, the session settings as the session opens, then the teams.
    const bool haveTargets = setup.LoadTargets();
    std::optional<SessionDesc> desc;
    LoadSessionSettings(setup.config, desc);
    setup.LoadTeams();
    // The main window writes the team count into dwUser1 once the teams are loaded.
    if (desc) desc->dwUser1 = (desc->dwUser1 & ~0xFF00u) | (uint32_t(setup.teams.size() & 0xFF) << 8);
    // The announced address as the side link will choose it; its connection lists, which
    // a host beside this one may be writing, are left alone.
    const AdapterReport adapters = SummarizeAdapters(setup.sideLink.adapterList, setup.sideLink.discoveryFailure());

    std::vector<std::string> problems;
    if (!haveTargets) problems.push_back("Config error, no objects found");
    if (setup.teams.empty()) problems.push_back("Config error, no teams found");
    if (!desc) problems.push_back("the session description could not be built");
    const auto logLines = log.lines();
    const auto cfgPath = ConfigFilePath(setup.config);

    if (json) {
        nlohmann::json j;
        j["workDir"] = workDir.string();
        j["prefs"] = PrefsToJson(setup.config.prefs);
        j["paths"] = {{"prefs", (workDir / "quarneld/quarneld.ini").string()},
                      {"config", cfgPath.string()},
                      {"welcomeText", WelcomeTextPath(setup.config).string()},
                      {"configExists", !cfgPath.empty() && std::filesystem::exists(cfgPath, ec)}};
        j["targets"] = nlohmann::json::array();
        for (std::size_t i = 0; i < setup.targets.size(); ++i) {
            auto t = TargetToJson(*setup.targets[i].target);
            t["index"] = i;
            t["validation"] = setup.targets[i].validation;
            t["validationText"] = ValidationText(setup.targets[i].validation);
            j["targets"].push_back(std::move(t));
        }
        j["teams"] = nlohmann::json::array();
        for (const auto& team : setup.teams) j["teams"].push_back(TeamToJson(*team));
        j["session"] = desc ? SessionToJson(*desc) : nlohmann::json();
        j["settings"] = SettingsToJson(setup.config.settings);
        nlohmann::json a = nlohmann::json::array();
        for (const auto& row : adapters.adapters)
            a.push_back({{"ifIndex", row.ifIndex},     {"description", row.description}, {"ifType", row.ifType},
                         {"macAddress", row.macAddress}, {"address", row.address},       {"netmask", row.netmask},
                         {"ignored", row.ignored},       {"excluded", row.excluded},     {"announced", row.announced}});
        j["adapters"] = a;
        j["hostAddress"] = adapters.announcedAddress;
        j["warnings"] = nlohmann::json::array();
        for (const auto& w : diag.items()) j["warnings"].push_back(WarningToJson(w));
        j["logLines"] = nlohmann::json::array();
        for (const auto& l : logLines) j["logLines"].push_back(U(l));
        j["problems"] = problems;
        j["ok"] = problems.empty();
        out << j.dump(2) << "\n";
        return problems.empty() ? 0 : 1;
    }

    const auto& p = setup.config.prefs;
    out << "Working directory: " << workDir.string() << "\n";
    out << fmt::format("Preferences: simulator version {}, autorun {}, session configuration \"{}\"\n",
                       p.simulatorVersion, p.autorunSimulator ? "on" : "off", U(p.sessionConfigName));
    out << "Configuration: " << (cfgPath.empty() ? std::string("(refused)") : cfgPath.string())
        << (std::filesystem::exists(cfgPath, ec) ? "" : "  (missing: every setting takes its default)") << "\n";
    out << "Welcome text:  " << WelcomeTextPath(setup.config).string() << "\n\n";

    out << "Adapters:\n";
    if (!adapters.discoveryFailure.empty()) out << "  (tables unreadable: " << adapters.discoveryFailure << ")\n";
    for (const auto& row : adapters.adapters)
        out << fmt::format("  {:<12} {:<15} mask {:<15} {}{}{}{}\n", row.description, row.address, row.netmask,
                           row.macAddress, row.excluded ? "  excluded" : "", row.ignored ? "  ignored" : "",
                           row.announced ? "  <- announced" : "");
    out << "  Host address: " << adapters.announcedAddress << (adapters.loopbackFallback ? " (no usable adapter)" : "")
        << "\n\n";

    out << "Targets (" << setup.targets.size() << "):\n";
    for (std::size_t i = 0; i < setup.targets.size(); ++i) {
        const auto& t = *setup.targets[i].target;
        out << fmt::format("  #{} \"{}\" aircraft \"{}\" target team {}  life {}  {}\n", i, U(t.name), U(t.aircraft),
                           t.targetTeam, t.lifePoints, ValidationText(setup.targets[i].validation));
        out << fmt::format("      lat {:.4f} m ({})  long {:.4f} ({})  alt {:.4f} m  heading {:.2f}\n", t.latitude,
                           FormatLatitude(t.latitude), t.longitude, FormatLongitude(t.longitude), t.altitude,
                           t.heading);
        out << fmt::format("      flags: bombing {} collisionsDestroy {} disableCollisions {} airfield {} unhittable {}\n",
                           t.isBombingTarget, t.collisionsDestroy, t.disableCollisions, t.isAirfield, t.unhittable);
        out << fmt::format("      pitch {:.3f}  height offset {:.3f} ft  type code {}  instance {}\n", t.staticPitch,
                           t.heightOffset, t.typeCode, t.instanceNumber);
        out << "      files: cfg " << Opt(t.aircraftCfgPath) << ", dp " << Opt(t.damageProfilePath) << ", air "
            << Opt(t.airFilePath) << "\n";
    }
    out << "\nTeams (" << setup.teams.size() << "):\n";
    static const char* kKinds[] = {"Target", "Bomber", "Escort", "Defend", "Attack", "Team"};
    for (const auto& team : setup.teams) {
        const auto& t = *team;
        out << fmt::format("  \"{}\" {} colour {}  max players {}  restrict {}\n", Opt(t.name),
                           t.kind < 6 ? kKinds[t.kind] : "?", t.color, t.maxPlayers, t.restrictAircraft);
        if (t.kind != kTeamTarget)
            out << fmt::format("      start {}/{} {}/{} alt {}+{}/65536 m  speed {} radius {} in air {}  formation {} "
                               "heading {} rotation {} spacing {}\n",
                               t.latitude, t.latitudeFraction, t.longitude, t.longitudeFraction, t.altitude,
                               t.altitudeFraction, t.startSpeed, t.startRadius, t.startInAir, t.formationType,
                               t.formationHeading, t.playerRotation, t.playerSpacing);
    }
    if (desc) {
        out << "\nSession description:\n";
        out << fmt::format("  dwFlags 0x{:08X}  dwMaxPlayers {}  dwUser1 0x{:08X}  dwUser2 0x{:08X}  dwUser3 0x{:08X}  "
                           "dwUser4 0x{:08X}\n",
                           desc->dwFlags, desc->dwMaxPlayers, desc->dwUser1, desc->dwUser2, desc->dwUser3,
                           desc->dwUser4);
        std::string name;
        if (desc->sessionName)
            for (char16_t c : *desc->sessionName) name.push_back(static_cast<char>(c & 0xFF));
        out << "  session name \"" << U(name) << "\"\n";
    }
    const auto& s = setup.config.settings;
    out << fmt::format(
        "\nHost-wide settings: TIME_OF_DAY {} ({:02}:{:02})  WIN_CRITERIA {}  LA_WINDOW_SEC {} ms  MAX_PLAYERS_PER_TEAM {}\n"
        "  NO_LOCK_OR_RADAR_PLAYERS {}  NO_LOCK_OR_RADAR_TARGETS {}  BTEAMS_DESTROY_TARGETS {}\n",
        s.TIME_OF_DAY, s.TIME_OF_DAY / 3600, (s.TIME_OF_DAY / 60) % 60, s.WIN_CRITERIA, s.LA_WINDOW_SEC,
        s.MAX_PLAYERS_PER_TEAM, s.NO_LOCK_OR_RADAR_PLAYERS, s.NO_LOCK_OR_RADAR_TARGETS, s.BTEAMS_DESTROY_TARGETS);

    out << "\nWarnings (" << diag.items().size() << "):\n";
    for (const auto& w : diag.items())
        out << "  " << U(w.file) << (w.line > 0 ? ":" + std::to_string(w.line) : std::string()) << ": "
            << U(w.message) << "\n";
    if (!logLines.empty()) {
        out << "\nError log lines start-up would write:\n";
        for (const auto& l : logLines) out << "  " << U(l) << "\n";
    }
    out << "\n";
    for (const auto& pr : problems) out << "Start-up would stop: " << pr << "\n";
    out << (problems.empty() ? "Configuration OK: the host can start.\n" : "");
    return problems.empty() ? 0 : 1;
}

}  // namespace qd
