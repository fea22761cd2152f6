#include "config/settings.h"

#include "session/data_access.h"

#include "config/audit.h"
#include "config/paths.h"
#include "config/scan.h"
#include "platform/profile.h"

namespace qd {

namespace {
constexpr const char* kSection = "QDL_SETTINGS";
constexpr std::size_t kValueSize = 256;
constexpr const char* kStartLetters = "AAAAAAAAAAAA";


// Reads QDL_SETTINGS keys, reporting what it had to change with the key's line.
class SettingsReader {
public:
    SettingsReader(ConfigContext& ctx, const std::filesystem::path& file) : ctx_(ctx), file_(file) {}

    std::string text(const char* key, const char* def) {
        if (file_.empty()) return def;
        return profile::GetPrivateProfileString(kSection, key, def, kValueSize, file_);
    }

    // "%li"; a value that is not a number takes the key's default.
    int32_t number(const char* key, const char* def) {
        std::string v = text(key, def);
        ScannedLong n = ScanLong(v, 0);
        if (!n.ok) {
            warn(key, key + std::string(" ") + Quote(v) + " is not a number; using the default " + def);
            return ScanLong(def, 0).value;
        }
        if (n.overflow) warn(key, key + std::string(" ") + Quote(v) + " does not fit 32 bits; read as " + std::to_string(n.value));
        return n.value;
    }

    // The value compared as unsigned 32-bit, so negative values end at the upper limit.
    // min is the lowest value the key accepts, for the message (the caller handles it).
    uint32_t atMost(const char* key, const char* def, uint32_t max, uint32_t min = 0) {
        int32_t v = number(key, def);
        uint32_t u = static_cast<uint32_t>(v);
        if (u > max) {
            warn(key, key + std::string(" ") + std::to_string(v) + " is out of range " + std::to_string(min) + ".." +
                          std::to_string(max) + "; using " + std::to_string(max));
            return max;
        }
        return u;
    }

    // A switch: every place that reads it tests for 1, so any other non-zero value is on.
    int32_t onOff(const char* key) {
        const int32_t v = number(key, "0");
        if (v == 0 || v == 1) return v;
        warn(key, key + std::string(" ") + std::to_string(v) + " is neither 0 nor 1; read as 1 (on)");
        return 1;
    }

    void warn(const char* key, std::string message) {
        if (!ctx_.diag) return;
        Warn(ctx_, file_, file_.empty() ? 0 : profile::FindKeyLine(kSection, key, file_), std::move(message));
    }

private:
    ConfigContext& ctx_;
    const std::filesystem::path& file_;
};

void SetBits(uint32_t& word, int shift, uint32_t width, uint32_t value) {
    uint32_t mask = ((1u << width) - 1) << shift;
    word = (word & ~mask) | ((value << shift) & mask);
}
}  // namespace

int32_t ParseTimeOfDay(std::string_view text, bool* valid) {
    // Characters as the signed 8-bit chars they were, so bytes above 127 count negative.
    auto at = [&](std::size_t i) -> int { return i < text.size() && text[i] != '\0' ? static_cast<signed char>(text[i]) : '0'; };
    int h1 = '0', h2 = '0', m1 = '0', m2 = '0';
    bool colon = false;
    if (text.size() > 2 && text[2] == ':' && text.find('\0') > 2) {
        h1 = at(0), h2 = at(1), m1 = at(3), m2 = at(4);
        colon = true;
    } else if (text.size() > 1 && text[1] == ':' && text.find('\0') > 1) {
        h2 = at(0), m1 = at(2), m2 = at(3);
        colon = true;
    }
    int hours = 10 * (h1 - '0') + (h2 - '0');
    int minutes = 10 * (m1 - '0') + (m2 - '0');
    if (valid) {
        auto digit = [](int c) { return c >= '0' && c <= '9'; };
        *valid = colon && digit(h1) && digit(h2) && digit(m1) && digit(m2) && hours < 24 && minutes < 60;
    }
    return hours * 3600 + minutes * 60;
}

std::string JoinSessionName(std::string name, std::string notes, bool* cut) {
    const std::string tail = std::string("[]") + kStartLetters + "[]" + kStartLetters;
    const std::size_t room = kSessionNameChars - tail.size() - 2;  // name, "[]", notes
    bool wasCut = false;
    if (name.size() > room) {
        name.resize(room);
        wasCut = true;
    }
    if (name.size() + notes.size() > room) {
        notes.resize(room - name.size());
        wasCut = true;
    }
    if (cut) *cut = wasCut;
    return name + "[]" + notes + tail;
}

void SetTimeOfDay(ConfigContext& ctx, int32_t seconds) { ctx.settings.TIME_OF_DAY = seconds; }
int32_t GetTimeOfDay(const ConfigContext& ctx) { return ctx.settings.TIME_OF_DAY; }

void LoadSessionSettings(ConfigContext& ctx, std::optional<SessionDesc>& desc) {
    const bool version2 = ctx.prefs.simulatorVersion == 2;
    const bool supplied = desc.has_value();
    if (!supplied) {
        desc.emplace();
        desc->dwSize = 80;
        desc->guidInstance = desc->guidApplication = version2 ? kGuidCfs2 : kGuidCombatFs;
    }
    SessionDesc& d = *desc;
    d.dwFlags = DPSESSION_MIGRATEHOST;
    d.dwCurrentPlayers = 1;
    d.dwMaxPlayers = 16;
    d.dwUser1 = kBuiltInUser1;
    d.dwUser2 = kBuiltInUser2;
    d.dwUser3 = 0x23E80000u + (version2 ? 5000 : 1524);
    d.dwUser4 = 150;

    HostSettings& s = ctx.settings;
    s.TIME_OF_DAY = 43200;
    s.MAX_PLAYERS_PER_TEAM = 5;
    s.LA_WINDOW_SEC = 60000;

    const std::filesystem::path& file = ConfigFilePath(ctx);
    SettingsReader r(ctx, file);

    std::string name = r.text("SESSION_NAME", "(none)");
    std::string notes = r.text("SESSION_NOTES", "(none)");
    if (supplied && d.sessionName && !d.sessionName->empty()) {
        name = NarrowCopy(*d.sessionName);
        notes.clear();
    }
    (void)r.text("STARTING_LATITUDE", kStartLetters);
    (void)r.text("STARTING_LONGITUDE", kStartLetters);

    uint32_t maxPlayers = r.atMost("MAX_PLAYERS", "16", 255);
    d.dwMaxPlayers = maxPlayers;
    SetBits(d.dwUser1, 0, 8, maxPlayers);
    (void)r.text("MAX_TEAMS", "16");

    uint32_t perTeam = r.atMost("MAX_PLAYERS_PER_TEAM", "5", 255, 1);
    if (perTeam == 0) {
        r.warn("MAX_PLAYERS_PER_TEAM", "MAX_PLAYERS_PER_TEAM 0 is out of range 1..255; using 1");
        perTeam = 1;
    }
    SetBits(d.dwUser1, 16, 8, perTeam);
    s.MAX_PLAYERS_PER_TEAM = perTeam;

    (void)r.text("MAX_KILLS", "10");
    (void)r.text("COMBAT_TYPE", "1");

    int32_t win = r.number("WIN_CRITERIA", "0");
    uint32_t winBits = static_cast<uint32_t>(win) <= 1 ? 0 : 2;
    if (static_cast<uint32_t>(win) != winBits)
        r.warn("WIN_CRITERIA", "WIN_CRITERIA " + std::to_string(win) + " is neither 0 (none) nor 2 (last alive); using " +
                                   std::to_string(winBits));
    SetBits(d.dwUser2, 1, 2, winBits);
    s.WIN_CRITERIA = winBits;

    (void)r.text("RESTRICT_AIRCRAFT", "1");
    SetBits(d.dwUser2, 5, 3, r.atMost("RECOMMENDED_LEVEL", "0", 5));
    SetBits(d.dwUser2, 8, 1, r.atMost("ALLOW_PAUSE", "0", 1));
    SetBits(d.dwUser2, 9, 2, r.atMost("FLIGHT_MODEL", "2", 2));
    SetBits(d.dwUser2, 13, 1, r.atMost("UNLIMITED_FUEL", "0", 1));
    SetBits(d.dwUser2, 14, 1, r.atMost("UNLIMITED_AMMO", "0", 1));
    SetBits(d.dwUser2, 17, 1, r.atMost("SUN_GLARE", "1", 1));
    SetBits(d.dwUser2, 18, 1, r.atMost("G_EFFECTS", "1", 1));
    SetBits(d.dwUser2, 22, 2, r.atMost("WEAPON_EFFECTIVENESS", "0", 2));

    (void)r.text("STARTING_ALTITUDE", "5000");
    (void)r.text("STARTING_RADIUS", "1000");
    (void)r.text("START_IN_AIR", "1");
    (void)r.text("STARTING_AIRSPEED", "150");

    std::string time = r.text("TIME_OF_DAY", "12:00");
    bool timeValid = true;
    s.TIME_OF_DAY = ParseTimeOfDay(time, &timeValid);
    if (!timeValid)
        r.warn("TIME_OF_DAY", "TIME_OF_DAY " + Quote(time) + " is not a time of day (H:MM or HH:MM); read as " +
                                  std::to_string(s.TIME_OF_DAY) + " seconds");

    (void)r.text("AUTORUN_CFS", "1");
    (void)r.text("REENTER_OK", "0");
    (void)r.text("DEATH_LIMIT", "0");
    s.NO_LOCK_OR_RADAR_PLAYERS = r.onOff("NO_LOCK_OR_RADAR_PLAYERS");
    s.NO_LOCK_OR_RADAR_TARGETS = r.onOff("NO_LOCK_OR_RADAR_TARGETS");
    (void)r.text("SET_PROTOCOL_ADDRESS", "0");
    (void)r.text("INTRO_PATHNAME", "(none)");
    // Seconds in the file, milliseconds in memory: held where the product still fits.
    s.LA_WINDOW_SEC = r.atMost("LA_WINDOW_SEC", "60", UINT32_MAX / 1000) * 1000;
    s.BTEAMS_DESTROY_TARGETS = r.number("BTEAMS_DESTROY_TARGETS", "0");

    ctx.settingsLoaded = true;
    bool cut = false;
    d.sessionName = WideCopy(JoinSessionName(name, notes, &cut));
    if (cut) r.warn("SESSION_NOTES", "session name and notes are longer than the 256 characters of the session name; cut");

    if (ctx.diag && !file.empty()) {
        std::vector<profile::Section> sections = profile::ReadSections(file);
        if (const profile::Section* section = FindSection(ctx, file, sections, kSection))
            AuditSectionKeys(ctx, file, *section,
                             {"SESSION_NAME", "SESSION_NOTES", "STARTING_LATITUDE", "STARTING_LONGITUDE", "MAX_PLAYERS",
                              "MAX_TEAMS", "MAX_PLAYERS_PER_TEAM", "MAX_KILLS", "COMBAT_TYPE", "WIN_CRITERIA",
                              "RESTRICT_AIRCRAFT", "RECOMMENDED_LEVEL", "ALLOW_PAUSE", "FLIGHT_MODEL", "UNLIMITED_FUEL",
                              "UNLIMITED_AMMO", "SUN_GLARE", "G_EFFECTS", "WEAPON_EFFECTIVENESS", "STARTING_ALTITUDE",
                              "STARTING_RADIUS", "START_IN_AIR", "STARTING_AIRSPEED", "TIME_OF_DAY", "AUTORUN_CFS",
                              "REENTER_OK", "DEATH_LIMIT", "NO_LOCK_OR_RADAR_PLAYERS", "NO_LOCK_OR_RADAR_TARGETS",
                              "SET_PROTOCOL_ADDRESS", "INTRO_PATHNAME", "LA_WINDOW_SEC", "BTEAMS_DESTROY_TARGETS"});
    }
}

}  // namespace qd
