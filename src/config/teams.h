#pragma once
// Team definitions: the [QDL_TEAM.<letter><digit>] sections of the session
// configuration, found by scanning the file line by line.
#include <memory>

#include "config/context.h"
#include "config/coordinate.h"

namespace qd {

// The team of the index-th team header of the file (0-based, file order). Without one:
// the default Target team ("Target ", colour 2) when no Target team was read or produced
// yet in this run, else null. The first call also reports headers that never make a team.
std::unique_ptr<TeamDefinition> LoadTeamDefinition(ConfigContext& ctx, int index);

}  // namespace qd
