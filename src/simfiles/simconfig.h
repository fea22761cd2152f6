#pragma once
// The configuration copy that a simulator started on the host's own machine reads: the
// simulator's own file with its [MULTIPLAYER] section pointed at the host.
#include <filesystem>
#include <string>
#include <string_view>

namespace qd {

// "cfs2.cfg" / "origcfs2.cfg" for version 2, "combatfs.cfg" / "origcombatfs.cfg" otherwise.
const char* SimulatorConfigName(int simulatorVersion);
const char* SimulatorConfigCopyName(int simulatorVersion);

// Copies the simulator's configuration into the copy (replaced), inserting
// SP_PROTOCOL_ADDRESS=<hostAddressText> and SKIP_DUN_WARNING=1 after the [MULTIPLAYER]
// line and dropping those keys everywhere after it. 0 when both files could be opened,
// -1 otherwise (or when the copy could not be written completely).
int WriteSimulatorConfig(const std::filesystem::path& workDir, int simulatorVersion, std::string_view hostAddressText);

}  // namespace qd
