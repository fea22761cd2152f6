#include "config/audit.h"

#include <set>

#include "config/scan.h"

namespace qd {

void AuditSectionKeys(ConfigContext& ctx, const std::filesystem::path& file, const profile::Section& section,
                      std::initializer_list<std::string_view> known) {
    if (!ctx.diag) return;
    std::set<std::string> seen;
    for (const profile::KeyLine& k : section.keys) {
        std::string upper = UpperAscii(k.key);
        bool isKnown = false;
        for (std::string_view name : known) isKnown = isKnown || upper == name;
        if (!isKnown) {
            Warn(ctx, file, k.line, "unknown key " + Quote(k.key) + " in [" + section.name + "]; ignored");
        } else if (!seen.insert(upper).second) {
            Warn(ctx, file, k.line, "key " + upper + " repeated in [" + section.name + "]; only the first is read");
        }
    }
}

const profile::Section* FindSection(ConfigContext& ctx, const std::filesystem::path& file,
                                    const std::vector<profile::Section>& sections, std::string_view name,
                                    bool warnRepeats) {
    const profile::Section* first = nullptr;
    for (const profile::Section& s : sections) {
        if (!EqualsNoCase(s.name, name)) continue;
        if (!first) {
            first = &s;
        } else if (warnRepeats) {
            Warn(ctx, file, s.line,
                 "section [" + s.name + "] repeats the one at line " + std::to_string(first->line) + "; never read");
        }
    }
    return first;
}

}  // namespace qd
