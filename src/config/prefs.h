#pragma once
// User preferences: quarneld/quarneld.ini, section QDL_USER_PREFS.
#include "config/context.h"

namespace qd {

// Reads the preferences into ctx.prefs and marks the adapters of ctx.adapters named in
// IGNORED_ADAPTERS. Returns 1 when the file names a count of ignored adapters
// (NUM_IGNORED_ADAPTERS present and not -1), else 0.
int LoadUserPrefs(ConfigContext& ctx);

}  // namespace qd
