#include "config/targets.h"

#include <cstring>
#include <map>
#include <vector>

#include "config/audit.h"
#include "config/paths.h"
#include "config/scan.h"
#include "platform/profile.h"

namespace qd {

namespace {
constexpr std::size_t kNamesSize = 1000;
constexpr std::size_t kValueSize = 1000;
constexpr std::string_view kPrefix = "QDL_OBJECT.";

// The number after "QDL_OBJECT." (any case), or nullopt when name is no object section.
std::optional<ScannedLong> SectionNumber(std::string_view name) {
    if (name.size() < kPrefix.size() || !EqualsNoCase(name.substr(0, kPrefix.size()), kPrefix)) return std::nullopt;
    return ScanLong(name.substr(kPrefix.size()), 0);
}

// Every object section the loader will never reach: past the end of the list, repeated
// numbers, numbers that do not parse, and names beyond the 1000 bytes of the name list.
void AuditObjectSections(ConfigContext& ctx, const std::filesystem::path& file, int loaded,
                         const std::vector<std::string>& visibleNames) {
    if (!ctx.diag || file.empty() || ctx.targetSectionsAudited) return;
    ctx.targetSectionsAudited = true;
    std::map<int32_t, int> firstLine;
    std::size_t visible = 0;  // the name list keeps file order, so walk it alongside
    for (const profile::Section& s : profile::ReadSections(file)) {
        bool seen = false;
        for (std::size_t j = visible; j < visibleNames.size() && !seen; ++j) {
            if (visibleNames[j] == s.name) {
                seen = true;
                visible = j + 1;
            }
        }
        auto number = SectionNumber(s.name);
        if (!number) continue;
        const std::string where = "[" + s.name + "]";
        if (!number->ok) {
            Warn(ctx, file, s.line, where + " has no object number; never read");
        } else if (!seen) {
            Warn(ctx, file, s.line, where + " lies beyond the first 1000 bytes of section names; never read");
        } else if (auto [it, inserted] = firstLine.emplace(number->value, s.line); !inserted) {
            Warn(ctx, file, s.line, where + " repeats object " + std::to_string(number->value) + " of line " +
                                        std::to_string(it->second) + "; never read");
        } else if (number->value < 0) {
            Warn(ctx, file, s.line, where + " is never read: object numbers start at 0");
        } else if (number->value >= loaded) {
            std::string why = loaded >= kMaxTargets ? "only " + std::to_string(kMaxTargets) + " objects are loaded"
                                                    : "the objects end at the gap after object " + std::to_string(loaded - 1);
            Warn(ctx, file, s.line, where + " is never read: " + why);
        }
    }
}

std::vector<std::string> SectionNames(const std::filesystem::path& file) {
    std::vector<std::string> names;
    if (file.empty()) return names;
    std::vector<char> buffer(kNamesSize, '\0');
    std::size_t n = profile::GetPrivateProfileSectionNames(buffer.data(), buffer.size(), file);
    n = std::min(n, buffer.size() - 1);
    for (std::size_t i = 0; i < n;) {
        std::string name(buffer.data() + i, strnlen(buffer.data() + i, n - i));
        if (name.empty()) break;
        i += name.size() + 1;
        names.push_back(std::move(name));
    }
    return names;
}
}  // namespace

std::unique_ptr<TargetObject> LoadTargetObject(ConfigContext& ctx, int index) {
    auto obj = std::make_unique<TargetObject>();
    const std::filesystem::path& file = ConfigFilePath(ctx);
    const std::vector<std::string> names = SectionNames(file);

    const std::string* found = nullptr;
    for (const std::string& name : names) {
        auto number = SectionNumber(name);
        if (number && number->ok && number->value == index) {
            found = &name;
            break;
        }
    }

    if (!found) {
        if (ctx.objectFound) {
            AuditObjectSections(ctx, file, index, names);
            return nullptr;
        }
        obj->name = "DefTarg";
        obj->aircraft = "windsock";
        ctx.objectFound = true;
        if (index >= kMaxTargets - 1) AuditObjectSections(ctx, file, index + 1, names);
        return obj;
    }

    ctx.objectFound = true;
    const std::string& section = *found;
    auto text = [&](const char* key, const char* def) {
        return profile::GetPrivateProfileString(section, key, def, kValueSize, file);
    };
    auto warn = [&](const char* key, const std::string& message) {
        if (ctx.diag) Warn(ctx, file, profile::FindKeyLine(section, key, file), "[" + section + "] " + message);
    };
    // Integers that do not parse leave their field at 0.
    auto integer = [&](const char* key, const char* def) -> int32_t {
        std::string v = text(key, def);
        ScannedLong n = ScanLong(v, 10);
        if (!n.ok) {
            warn(key, std::string(key) + " " + Quote(v) + " is not a number; using 0");
            return 0;
        }
        if (n.overflow) warn(key, std::string(key) + " " + Quote(v) + " does not fit 32 bits; read as " + std::to_string(n.value));
        return n.value;
    };
    auto real = [&](const char* key, const char* def) -> double {
        std::string v = text(key, def);
        ScannedDouble d = ScanDouble(v);
        if (!d.ok) warn(key, std::string(key) + " " + Quote(v) + " is not a number; using 0");
        return d.value;
    };
    auto coordinate = [&](const char* key, const char* def) -> double {
        std::string v = text(key, def);
        std::string original = v;
        CoordinateScan c = ScanCoordinate(v);
        if (!c.finite)
            warn(key, std::string(key) + " " + Quote(original) + " holds an infinite number; using 0");
        else if (!c.letterKnown)
            warn(key, std::string(key) + " " + Quote(original) + " does not start with N, S, E or W; using 0");
        else if (!c.hasDegrees)
            warn(key, std::string(key) + " " + Quote(original) + " has no degrees; using 0");
        return c.value;
    };

    obj->disableCollisions = 0;
    obj->isAirfield = 0;
    obj->name = text("NAME", "DefTarg");
    obj->aircraft = text("AIRCRAFT", "V1");
    obj->targetTeam = integer("TARGET_TEAM", "0");
    obj->latitude = coordinate("START_LAT", "N0*");
    obj->longitude = coordinate("START_LONG", "E0*");
    obj->altitude = real("START_ALT", "0") / kFeetPerMetre;
    obj->heading = real("START_HEADING", "0");
    obj->lifePoints = integer("LIFE_POINTS", "1500");
    obj->collisionsDestroy = integer("COLLISIONS_DESTROY", "0") != 0;
    obj->isBombingTarget = integer("IS_BOMBING_TARGET", "0") != 0;
    obj->disableCollisions = integer("DISABLE_COLLISIONS", "0") != 0;
    obj->unhittable = integer("UNHITTABLE", "0") != 0;

    if (ctx.diag) {
        std::vector<profile::Section> sections = profile::ReadSections(file);
        if (const profile::Section* s = FindSection(ctx, file, sections, section, false))
            AuditSectionKeys(ctx, file, *s,
                             {"NAME", "AIRCRAFT", "TARGET_TEAM", "START_LAT", "START_LONG", "START_ALT", "START_HEADING",
                              "LIFE_POINTS", "COLLISIONS_DESTROY", "IS_BOMBING_TARGET", "DISABLE_COLLISIONS",
                              "UNHITTABLE"});
    }
    if (index >= kMaxTargets - 1) AuditObjectSections(ctx, file, index + 1, names);
    return obj;
}

}  // namespace qd
