#pragma once
// Location capture: the position of a flying client written as a ready-made block for
// a target section or a team's starting position, appended to quarneld/capture.txt
// below the working directory for the operator to paste into a configuration file.
#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace qd {

constexpr std::size_t kMotionCopyBytes = 56;
using MotionCopy = std::array<uint8_t, kMotionCopyBytes>;

// The description field holds at most this many characters.
constexpr std::size_t kMaxCaptureDescription = 253;

enum CapturePurpose : int {
    kCaptureTeam = 0,
    kCaptureTarget = 1,
};

// The aircraft title of a client: the second piece of its long name split at '[' and
// ']' (empty pieces skipped); none when there is no second piece.
std::optional<std::string> CaptureAircraftFromLongName(std::string_view longName);

// Height offset (feet) of the aircraft from the simulator's files, as a target of that
// aircraft would get it; none when the lookup fails.
std::optional<double> CaptureHeightCorrection(const std::filesystem::path& workDir, const std::string& aircraft);

// The text block for one capture. heightCorrection is subtracted from the altitude.
std::string FormatCapture(const MotionCopy& lastMotion, std::string_view description, int purpose,
                          const std::optional<std::string>& aircraft, std::optional<double> heightCorrection);

// Appends the block for a player with this long name (8-bit) to quarneld/capture.txt.
// False when the file cannot be opened or written: then nothing is captured, and no
// aircraft lookup is made.
bool WriteCapture(const std::filesystem::path& workDir, const MotionCopy& lastMotion, std::string_view description,
                  int purpose, std::string_view longName);

}  // namespace qd
