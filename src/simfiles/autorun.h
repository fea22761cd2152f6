#pragma once
// The local simulator that AUTORUN_CFS starts beside the host, and the configuration copy
// it read, removed when the host closes.
#include <filesystem>

namespace qd {

// "origcfs2.exe" for version 2, "origcombatfs.exe" otherwise.
const char* LocalSimulatorName(int simulatorVersion);

// Starts the local simulator from the working directory (its current directory there),
// with no arguments and without waiting: directly when the system can run the file
// (executable bit, a binfmt handler or a script), else through `wine` found on PATH. The
// process is detached by a double fork, so no zombie is left and no SIGCHLD handling of
// the host is touched. A start that fails is logged; true when the program was started.
bool StartLocalSimulator(const std::filesystem::path& workDir, int simulatorVersion);

// Deletes "origcfs2.cfg" / "origcombatfs.cfg" whether or not it was made; failures are
// ignored.
void RemoveSimulatorConfigCopy(const std::filesystem::path& workDir, int simulatorVersion);

}  // namespace qd
