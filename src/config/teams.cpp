#include "config/teams.h"

#include <algorithm>
#include <map>
#include <optional>
#include <vector>

#include "config/paths.h"
#include "config/scan.h"
#include "platform/profile.h"

namespace qd {

namespace {
constexpr std::size_t kLineChars = 255;            // what a 256-byte line buffer holds
constexpr std::uintmax_t kMaxFileBytes = 8u << 20;  // far beyond any real configuration

// One read of the line buffer: a whole line, or a piece of a longer one.
struct Piece {
    std::string text;   // without the line break, up to the first NUL
    int line = 0;       // 1-based line of the file
    bool whole = true;  // ended by a line break
};

struct ScannedFile {
    bool opened = false;
    std::vector<Piece> pieces;
    std::optional<Piece> unread;  // a last line without line break: never read
};

// Reads like fgets into 256 bytes on a text-mode stream (CR LF taken as one line break),
// stopping at a read that reaches the end of the file.
ScannedFile ReadPieces(ConfigContext& ctx, const std::filesystem::path& file) {
    ScannedFile out;
    if (file.empty()) return out;
    std::error_code ec;
    auto size = std::filesystem::file_size(file, ec);
    if (ec) return out;
    if (size > kMaxFileBytes) {
        Warn(ctx, file, 0, "file larger than " + std::to_string(kMaxFileBytes) + " bytes; teams not read");
        return out;
    }
    // Read as the lookups read: no byte-order mark, nothing from a UTF-16 file.
    const auto text = profile::ReadText(file);
    if (!text) return out;
    const std::string& raw = *text;
    out.opened = true;
    std::string data;
    data.reserve(raw.size());
    for (std::size_t i = 0; i < raw.size(); ++i)
        if (!(raw[i] == '\r' && i + 1 < raw.size() && raw[i + 1] == '\n')) data += raw[i];

    int line = 1;
    std::size_t pos = 0;
    while (pos < data.size()) {
        std::size_t end = std::min(data.size(), pos + kLineChars);
        std::size_t nl = data.find('\n', pos);
        Piece p;
        p.line = line;
        if (nl != std::string::npos && nl < end) {
            p.text = data.substr(pos, nl - pos);
            pos = nl + 1;
            ++line;
        } else if (end - pos == kLineChars) {
            p.text = data.substr(pos, kLineChars);
            p.whole = false;
            pos = end;
        } else {
            p.text = data.substr(pos);  // the read met the end of the file
            p.text = p.text.c_str();
            out.unread = std::move(p);
            break;
        }
        p.text = p.text.c_str();
        out.pieces.push_back(std::move(p));
    }
    return out;
}

std::size_t SkipBlanks(const std::string& s) {
    std::size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\t')) ++i;
    return i;
}

bool StartsSection(const std::string& s) {
    std::size_t i = SkipBlanks(s);
    return i < s.size() && s[i] == '[';
}

// The suffix of a "[QDL_TEAM.<suffix>]" header (upper case), or nullopt.
std::optional<std::string> TeamSuffix(const std::string& piece) {
    std::string upper = UpperAscii(piece);
    std::size_t i = SkipBlanks(upper);
    if (i >= upper.size() || upper[i] != '[') return std::nullopt;
    std::string rest = upper.substr(i + 1);
    std::size_t cut = rest.find_first_of(".]");
    if (cut == std::string::npos || rest.substr(0, cut) != "QDL_TEAM") return std::nullopt;
    std::string suffix = rest.substr(cut + 1);
    suffix = suffix.substr(0, suffix.find(']'));
    if (suffix.empty()) return std::nullopt;
    return suffix;
}

struct Kind {
    char letter;
    uint32_t kind;
    const char* name;
};
constexpr Kind kKinds[] = {
    {'T', kTeamTarget, "Target "}, {'B', kTeamBomber, "Bomber "}, {'E', kTeamEscort, "Escort "},
    {'D', kTeamDefend, "Defend "}, {'A', kTeamAttack, "Attack "}, {'N', kTeamGeneric, "Team "},
};

const Kind* KindOf(char letter) {
    for (const Kind& k : kKinds)
        if (k.letter == letter) return &k;
    return nullptr;
}

bool IsTeam(const std::string& suffix) {
    return KindOf(suffix[0]) && suffix.size() >= 2 && suffix[1] >= '0' && suffix[1] <= '9';
}

constexpr const char* kKeys[] = {"NAME",         "COLOR",         "TYPE",           "START_LAT",         "START_LONG",
                                 "START_ALT",    "START_SPEED",   "START_RADIUS",   "START_IN_AIR",      "FORMATION_TYPE",
                                 "FORMATION_HEADING", "PLAYER_ROTATION", "PLAYER_SPACING", "RESTRICT_AIRCRAFT",
                                 "MAX_PLAYERS"};

bool IsKey(const std::string& key) {
    return std::any_of(std::begin(kKeys), std::end(kKeys), [&](const char* k) { return key == k; });
}

// Headers that never make a team, and lines the scanner will never see.
void AuditTeamHeaders(ConfigContext& ctx, const std::filesystem::path& file, const ScannedFile& scanned) {
    if (!ctx.diag || ctx.teamSectionsAudited || !scanned.opened) return;
    ctx.teamSectionsAudited = true;
    int count = 0;
    bool inTeam = false;
    std::map<std::string, int> firstLine;
    for (const Piece& p : scanned.pieces) {
        if (!p.whole && inTeam)
            Warn(ctx, file, p.line, "line longer than " + std::to_string(kLineChars) + " characters; read in pieces");
        if (!StartsSection(p.text)) continue;
        auto suffix = TeamSuffix(p.text);
        inTeam = suffix && IsTeam(*suffix);
        if (!suffix) continue;
        const std::string where = "[QDL_TEAM." + *suffix + "]";
        if (!KindOf((*suffix)[0])) {
            Warn(ctx, file, p.line, where + " is not a team: the kind letter must be T, B, E, D, A or N");
        } else if (!inTeam) {
            Warn(ctx, file, p.line, where + " is not a team: a digit must follow the kind letter");
        } else if (++count > kMaxTeams) {
            Warn(ctx, file, p.line, where + " is never read: at most " + std::to_string(kMaxTeams) + " teams");
        } else if (auto [it, inserted] = firstLine.emplace(suffix->substr(0, 2), p.line); !inserted) {
            Warn(ctx, file, p.line, where + " has the same team name as the team of line " + std::to_string(it->second));
        }
    }
    if (scanned.unread) {
        const Piece& p = *scanned.unread;
        auto suffix = TeamSuffix(p.text);
        bool matters = (suffix && IsTeam(*suffix)) || (inTeam && p.text.find_first_not_of(" \t") != std::string::npos &&
                                                       !StartsSection(p.text));
        if (matters) Warn(ctx, file, p.line, "last line has no line break and is not read; end it with a line break");
    }
}

// Applies the keys of one team section to team.
class SectionReader {
public:
    SectionReader(ConfigContext& ctx, const std::filesystem::path& file, TeamDefinition& team, char letter,
                  std::string header)
        : ctx_(ctx), file_(file), team_(team), letter_(letter), header_(std::move(header)) {}

    void apply(const Piece& p) {
        if (!p.whole) warn(p.line, "line longer than " + std::to_string(kLineChars) + " characters; read in pieces");
        std::size_t eq = p.text.find('=');
        std::string key = UpperAscii(p.text.substr(0, eq));
        if (key.empty() || key[0] < 'A' || key[0] > 'Z') {
            std::size_t first = SkipBlanks(key);
            if (first < key.size() && key[first] >= 'A' && key[first] <= 'Z' && eq != std::string::npos)
                warn(p.line, "key " + Quote(TrimRight(key.substr(first))) + " starts after blanks; not read");
            return;
        }
        if (!IsKey(key)) {
            std::string trimmed = TrimRight(key);
            if (eq != std::string::npos && IsKey(trimmed))
                warn(p.line, "key " + trimmed + " has a blank before '='; not read");
            else
                warn(p.line, "unknown key " + Quote(TrimRight(key)) + "; ignored");
            return;
        }
        if (eq == std::string::npos || eq + 1 >= p.text.size()) {
            warn(p.line, key + " has no value; ignored");
            return;
        }
        value(p.line, key, p.text.substr(eq + 1));
    }

    int altLine = 0, speedLine = 0;

private:
    static std::string TrimRight(std::string s) {
        while (!s.empty() && (s.back() == ' ' || s.back() == '\t')) s.pop_back();
        return s;
    }

    void warn(int line, const std::string& message) { Warn(ctx_, file_, line, header_ + " " + message); }

    // "%ld"; a value that does not parse leaves the field as it was.
    std::optional<uint32_t> number(int line, const std::string& key, const std::string& v) {
        ScannedLong n = ScanLong(v, 10);
        if (!n.ok) {
            warn(line, key + " " + Quote(v) + " is not a number; ignored");
            return std::nullopt;
        }
        if (n.overflow) warn(line, key + " " + Quote(v) + " does not fit 32 bits; read as " + std::to_string(n.value));
        return static_cast<uint32_t>(n.value);
    }

    // Limits compare the unsigned value, so negative numbers end at the upper limit.
    uint32_t limit(int line, const std::string& key, uint32_t v, uint32_t low, uint32_t high) {
        uint32_t r = v < low ? low : v > high ? high : v;
        if (r != v)
            warn(line, key + " " + std::to_string(static_cast<int32_t>(v)) + " is out of range " + std::to_string(low) +
                           ".." + std::to_string(high) + "; using " + std::to_string(r));
        return r;
    }

    void value(int line, const std::string& key, std::string v) {
        const bool target = letter_ == 'T', generic = letter_ == 'N';
        if (key == "COLOR") {
            if (auto n = number(line, key, v)) team_.color = limit(line, key, *n, 0, 15);
            return;
        }
        if (target) {
            warn(line, key + " is not read for a Target team");
            return;
        }
        if (key == "NAME") {
            if (!generic) warn(line, "NAME is read only for N teams; ignored");
            else team_.name = v;
        } else if (key == "TYPE") {
            if (!generic) {
                warn(line, "TYPE is read only for N teams; ignored");
            } else if (team_.kind != kTeamGeneric) {
                warn(line, "TYPE after the kind was already set; ignored");
            } else if (auto n = number(line, key, v)) {
                if (*n >= 1 && *n <= 4) team_.kind = *n;
                else warn(line, "TYPE " + std::to_string(static_cast<int32_t>(*n)) + " is not 1 to 4; kind stays 5 (Team)");
            }
        } else if (key == "START_LAT" || key == "START_LONG") {
            std::string original = v;
            bool lat = key == "START_LAT";
            if (!ParseCoordinateSplit(v, lat ? team_.latitude : team_.longitude,
                                      lat ? team_.latitudeFraction : team_.longitudeFraction))
                warn(line, key + " " + Quote(original) + " is no coordinate (like N47* 26' 30\"); " +
                               "stored as 0 unless the number was infinite");
        } else if (key == "START_ALT") {
            ScannedDouble d = ScanDouble(v);
            if (!d.ok) {
                warn(line, key + " " + Quote(v) + " is not a number; ignored");
                return;
            }
            double feet = d.value;
            if (feet > 215007) feet = 215007;
            if (feet < 0) feet = 0;
            if (feet != d.value)
                warn(line, key + " " + Quote(v) + " is out of range 0..215007 ft; using " + std::to_string(int(feet)));
            SplitValue(feet / kFeetPerMetre, team_.altitude, team_.altitudeFraction);
            altLine = line;
        } else if (key == "START_SPEED") {
            if (auto n = number(line, key, v)) team_.startSpeed = limit(line, key, *n, 120, 300), speedLine = line;
        } else if (key == "START_RADIUS") {
            if (auto n = number(line, key, v)) team_.startRadius = limit(line, key, *n, 500, 8000);
        } else if (key == "START_IN_AIR") {
            if (auto n = number(line, key, v)) team_.startInAir = *n;
        } else if (key == "FORMATION_TYPE") {
            if (auto n = number(line, key, v)) team_.formationType = limit(line, key, *n, 0, 5);
        } else if (key == "FORMATION_HEADING" || key == "PLAYER_ROTATION") {
            if (auto n = number(line, key, v)) {
                uint32_t r = *n % 360;
                if (r != *n)
                    warn(line, key + " " + std::to_string(static_cast<int32_t>(*n)) + " taken modulo 360 as unsigned: " +
                                   std::to_string(r));
                (key == "FORMATION_HEADING" ? team_.formationHeading : team_.playerRotation) = r;
            }
        } else if (key == "PLAYER_SPACING") {
            if (auto n = number(line, key, v)) team_.playerSpacing = limit(line, key, *n, 20, 2000);
        } else if (key == "RESTRICT_AIRCRAFT") {
            if (auto n = number(line, key, v)) team_.restrictAircraft = limit(line, key, *n, 0, 1);
        } else if (key == "MAX_PLAYERS") {
            if (auto n = number(line, key, v)) team_.maxPlayers = limit(line, key, *n, 1, 255);
        }
    }

    ConfigContext& ctx_;
    const std::filesystem::path& file_;
    TeamDefinition& team_;
    char letter_;
    std::string header_;
};
}  // namespace

std::unique_ptr<TeamDefinition> LoadTeamDefinition(ConfigContext& ctx, int index) {
    auto team = std::make_unique<TeamDefinition>();
    team->maxPlayers = ctx.settings.MAX_PLAYERS_PER_TEAM;
    const std::filesystem::path& file = ConfigFilePath(ctx);
    ScannedFile scanned = ReadPieces(ctx, file);
    AuditTeamHeaders(ctx, file, scanned);

    int count = 0;
    for (std::size_t i = 0; i < scanned.pieces.size(); ++i) {
        auto suffix = TeamSuffix(scanned.pieces[i].text);
        if (!suffix || !IsTeam(*suffix) || count++ < index) continue;

        const Kind& kind = *KindOf((*suffix)[0]);
        const std::string header = "[QDL_TEAM." + *suffix + "]";
        if (index == kMaxTeams - 1 && !ctx.targetTeamExists && kind.letter != 'T') {
            Warn(ctx, file, scanned.pieces[i].line,
                 header + " is replaced by the default Target team: the last of " + std::to_string(kMaxTeams) +
                     " teams must be a Target team when there is none before");
            break;
        }
        if (kind.letter == 'T') ctx.targetTeamExists = true;
        team->kind = kind.kind;
        std::string name = kind.name;
        char digit = (*suffix)[1];
        if (digit > '0') name.back() = static_cast<char>(digit + 1);
        team->name = name;

        SectionReader reader(ctx, file, *team, kind.letter, header);
        for (std::size_t k = i + 1; k < scanned.pieces.size() && !StartsSection(scanned.pieces[k].text); ++k)
            reader.apply(scanned.pieces[k]);
        if (team->startInAir == 0 && (reader.altLine || reader.speedLine))
            Warn(ctx, file, reader.altLine ? reader.altLine : reader.speedLine,
                 header + " START_ALT and START_SPEED are not used: START_IN_AIR is 0, the team starts on the ground");
        break;
    }

    if (team->startInAir == 0) {
        team->startSpeed = 0;
        team->altitude = 0;
        team->altitudeFraction = 0;
    }
    if (!team->name) {
        if (ctx.targetTeamExists) return nullptr;
        team = std::make_unique<TeamDefinition>();
        team->maxPlayers = ctx.settings.MAX_PLAYERS_PER_TEAM;
        team->name = "Target ";
        team->color = 2;
        team->kind = kTeamTarget;
        team->startSpeed = 0;
        team->altitude = 0;
        team->altitudeFraction = 0;
        ctx.targetTeamExists = true;
    }
    return team;
}

std::vector<std::unique_ptr<TeamDefinition>> LoadTeams(ConfigContext& ctx) {
    std::vector<std::unique_ptr<TeamDefinition>> teams;
    for (int index = 0; index < kMaxTeams; ++index) {
        auto team = LoadTeamDefinition(ctx, index);
        if (!team) break;
        teams.push_back(std::move(team));
    }
    return teams;
}

}  // namespace qd
