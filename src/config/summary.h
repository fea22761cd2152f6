#pragma once
// The host options summary shown in the main window: one line per setting of the
// session description and the host-wide values, with a realism score.
#include <string>

#include "config/types.h"
#include "session/dptypes.h"

namespace qd {

struct OptionsSummary {
    std::string text;  // lines ending in CR LF
    int score = 40;    // realism, 40 to 100
    bool pauseAllowed = false;
    bool teamSelectorEnabled = false;  // squadron combat
};

OptionsSummary BuildOptionsSummary(const SessionDesc& desc, const HostSettings& settings);

}  // namespace qd
