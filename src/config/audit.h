#pragma once
// Findings about an ini section as a whole: keys the host never reads.
#include <filesystem>
#include <initializer_list>
#include <string_view>

#include "config/context.h"
#include "platform/profile.h"

namespace qd {

// Warns about every key of section (a QDL_SETTINGS or QDL_OBJECT.n section) that is not
// one of known, and about repeated keys, of which only the first is read.
void AuditSectionKeys(ConfigContext& ctx, const std::filesystem::path& file, const profile::Section& section,
                      std::initializer_list<std::string_view> known);

// The first section named name (without regard to case), as the lookups take it; with
// warnRepeats, warns about later sections of the same name, which are never read.
// Null when absent.
const profile::Section* FindSection(ConfigContext& ctx, const std::filesystem::path& file,
                                    const std::vector<profile::Section>& sections, std::string_view name,
                                    bool warnRepeats = true);

}  // namespace qd
