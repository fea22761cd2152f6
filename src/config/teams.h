#pragma once
// Team definitions: the [QDL_TEAM.<letter><digit>] sections of the session
// configuration, found by scanning the file line by line.
#include <memory>
#include <vector>

#include "config/context.h"
#include "config/coordinate.h"

namespace qd {

// The team of the index-th team header of the file (0-based, file order). Without one:
// the default Target team ("Target ", colour 2) when no Target team was read or produced
// yet in this run, else null. The first call also reports headers that never make a team.
std::unique_ptr<TeamDefinition> LoadTeamDefinition(ConfigContext& ctx, int index);

// The team list as the main window loads it: index 0, 1, ... until none, at most 255.
std::vector<std::unique_ptr<TeamDefinition>> LoadTeams(ConfigContext& ctx);

}  // namespace qd
