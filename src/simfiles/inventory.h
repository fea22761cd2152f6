#pragma once
// Checks a target against the simulator's files below the working directory (the
// object database first, then the aircraft inventory) and completes the target record
// with the damage profile, flight model, resting pitch and height offset.
#include <filesystem>
#include <string_view>

#include "config/types.h"
#include "platform/diagnostics.h"

namespace qd {

enum ValidateResult : int {
    kTargetFound = 0,
    kTargetNotInInventory = 1,
    kTargetNoSimEntry = 2,
    kTargetNoDamageProfile = 3,
    kTargetNoAirFile = 4,
};

// 0 found and completed; 1 not in the inventory; 2 TITLE without SIM=; 3 no damage
// profile; 4 no flight model file. A failed target keeps the fields set before the
// failure. Log lines go to the error log; diag (optional) collects file findings.
int ValidateTargetAircraft(const std::filesystem::path& workDir, TargetObject& target, Diagnostics* diag = nullptr);

// 0 found, 1 not found, 2 the last folder scanned had the TITLE but no SIM=.
int FindInInventory(const std::filesystem::path& workDir, TargetObject& target, Diagnostics* diag = nullptr);

// Looks for target.aircraft in aircraft/<folder>/aircraft.cfg. 0 match (aircraftCfgPath,
// simName, simPath set), 1 no match, 2 TITLE matched but no SIM= after it.
int ScanAircraftCfg(const std::filesystem::path& workDir, std::string_view folder, TargetObject& target,
                    Diagnostics* diag = nullptr);

// Resting pitch in degrees and height offset in feet from record 769 of a flight model
// file (path relative to workDir); 0 when the file cannot be read or has no usable
// record 769.
double ReadAirPitch(const std::filesystem::path& workDir, std::string_view path, Diagnostics* diag = nullptr);
double ReadAirHeight(const std::filesystem::path& workDir, std::string_view path, Diagnostics* diag = nullptr);

}  // namespace qd
