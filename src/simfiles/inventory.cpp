#include "simfiles/inventory.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string>
#include <system_error>
#include <vector>

#include "platform/log.h"
#include "simfiles/objdb.h"
#include "simfiles/simpath.h"

namespace qd {

namespace fs = std::filesystem;

namespace {

constexpr uint32_t kAirRecordRestingAttitude = 769;
constexpr std::size_t kAircraftCfgLineLimit = 254;

// Text up to the first CR or LF.
std::string_view UpToLineEnd(std::string_view text) { return text.substr(0, text.find_first_of("\r\n")); }

void LogNotFound(const TargetObject& target) {
    LogError("Config error, target 'aircraft' not found in your inventory.");
    LogError(target.aircraft);
}

void LogMissing(const char* what, const TargetObject& target) {
    LogError(what);
    LogError("AIRCRAFT.CFG path=" + target.aircraftCfgPath.value_or(""));
}

// The first `needed` data bytes of record 769, when the file has one that holds them.
template <std::size_t needed>
std::optional<std::array<uint8_t, needed>> ReadRecord769(const fs::path& workDir, std::string_view path,
                                                           Diagnostics* diag) {
    auto file = ResolveSimulatorPath(workDir, path);
    if (!file) return std::nullopt;
    auto in = BinaryReader::Open(*file);
    if (!in) return std::nullopt;
    for (;;) {
        const uint64_t offset = in->Offset();
        if (in->Remaining() == 0) {
            WarnOnce(diag, path, 0, "no record 769; resting pitch and height offset are 0");
            return std::nullopt;
        }
        uint32_t type = 0, length = 0;
        if (!in->ReadU32(type) || !in->ReadU32(length)) {
            WarnOnce(diag, path, 0, "file ends inside the record header at offset " + std::to_string(offset));
            return std::nullopt;
        }
        if (length > in->Remaining()) {
            WarnOnce(diag, path, 0,
                     "record " + std::to_string(type) + " at offset " + std::to_string(offset) + " claims " +
                         std::to_string(length) + " bytes but only " + std::to_string(in->Remaining()) +
                         " follow");
            return std::nullopt;
        }
        if (type == kAirRecordRestingAttitude) {
            std::array<uint8_t, needed> data{};
            if (length < needed) {
                WarnOnce(diag, path, 0, "record 769 has only " + std::to_string(length) + " bytes (" +
                                              std::to_string(needed) + " needed)");
                return std::nullopt;
            }
            in->Read(data.data(), needed);
            return data;
        }
        in->Skip(length);
    }
}

}  // namespace

double ReadAirPitch(const fs::path& workDir, std::string_view path, Diagnostics* diag) {
    auto data = ReadRecord769<12>(workDir, path, diag);
    if (!data) return 0;
    return static_cast<int16_t>(LoadU16(data->data() + 10)) / 182.0;
}

double ReadAirHeight(const fs::path& workDir, std::string_view path, Diagnostics* diag) {
    auto data = ReadRecord769<10>(workDir, path, diag);
    if (!data) return 0;
    // Whole divisions, as the simulator's own tools compute it.
    const int32_t v = static_cast<int32_t>(LoadU32(data->data() + 6));
    return static_cast<double>(v / 1500 / 12);
}

int ScanAircraftCfg(const fs::path& workDir, std::string_view folder, TargetObject& target, Diagnostics* diag) {
    std::string cfgPath = "aircraft/";
    cfgPath += folder;
    cfgPath += "/aircraft.cfg";
    if (RefuseLongPath(cfgPath, diag)) return 1;
    auto resolved = ResolveSimulatorPath(workDir, cfgPath);
    if (!resolved) return 1;
    FilePtr file = OpenRegularFile(*resolved);
    if (!file) return 1;
    LineReader in(file.get(), kAircraftCfgLineLimit);
    std::string line;

    for (;;) {
        if (!in.Next(line)) return 1;
        UpperCaseAscii(line);
        if (std::string_view(line).substr(0, line.find_first_of(".\r\n")) == "[FLTSIM") break;
    }
    for (;;) {
        if (!in.Next(line)) return 1;
        const std::size_t eq = line.find('=');
        std::string_view key = std::string_view(line).substr(0, eq);
        if (eq == std::string::npos || !EqualsIgnoreCase(key, "TITLE")) continue;
        if (UpToLineEnd(std::string_view(line).substr(eq + 1)) == target.aircraft) break;
    }
    target.aircraftCfgPath = cfgPath;
    for (;;) {
        if (!in.Next(line)) {
            LogError("Config error, 'SIM=' entry not found.");
            return 2;
        }
        UpperCaseAscii(line);
        const std::size_t eq = line.find('=');
        if (std::string_view(line).substr(0, eq) == "SIM") break;
    }
    const std::size_t eq = line.find('=');
    std::string value(UpToLineEnd(eq == std::string::npos ? std::string_view() : std::string_view(line).substr(eq + 1)));
    if (value.empty()) {
        target.simPath = cfgPath;
        return 0;
    }
    std::string simPath = "aircraft/";
    simPath += folder;
    simPath += "/" + value;
    if (RefuseLongPath(simPath, diag)) return 2;
    target.simName = value;
    target.simPath = std::move(simPath);
    return 0;
}

int FindInInventory(const fs::path& workDir, TargetObject& target, Diagnostics* diag) {
    auto dir = ResolveSimulatorPath(workDir, "aircraft");
    std::error_code ec;
    if (!dir || !fs::is_directory(*dir, ec)) {
        LogNotFound(target);
        return kTargetNotInInventory;
    }
    fs::directory_iterator it(*dir, ec);
    if (ec) return kTargetNotInInventory;
    // Name order, so which of two folders with the same TITLE wins does not depend on the
    // file system.
    std::vector<std::string> folders;
    for (fs::directory_iterator last; !ec && it != last; it.increment(ec))
        if (it->is_directory(ec)) folders.push_back(it->path().filename().string());
    std::sort(folders.begin(), folders.end());

    int result = kTargetNotInInventory;
    for (const std::string& folder : folders) {
        result = ScanAircraftCfg(workDir, folder, target, diag);
        if (result == 0) break;
    }
    if (result != 0) LogNotFound(target);
    return result;
}

int ValidateTargetAircraft(const fs::path& workDir, TargetObject& target, Diagnostics* diag) {
    if (LookupObjectDatabase(workDir, target, diag) == 0) {
        const std::string ships = "ships/" + target.aircraft;
        if (ResolveSimulatorPath(workDir, ships))
            target.damageProfilePath = ships + "/" + target.aircraft + ".dp";
        else
            target.damageProfilePath = "objects_dp/" + target.aircraft + ".dp";
        target.staticPitch = 0;
        target.heightOffset = 0;
        target.aircraft += "_04";
        return kTargetFound;
    }
    if (int r = FindInInventory(workDir, target, diag); r != 0) return r;

    const std::string simPath = target.simPath.value_or("");
    std::string dp = simPath + ".dp";
    if (RefuseLongPath(dp, diag) || !ResolveSimulatorPath(workDir, dp)) {
        LogMissing("Aircraft error, could not locate Damage Profile.", target);
        return kTargetNoDamageProfile;
    }
    target.damageProfilePath = std::move(dp);
    std::string air = simPath + ".air";
    if (RefuseLongPath(air, diag) || !ResolveSimulatorPath(workDir, air)) {
        LogMissing("Aircraft error, could not locate Air file.", target);
        return kTargetNoAirFile;
    }
    target.airFilePath = std::move(air);
    target.staticPitch = ReadAirPitch(workDir, *target.airFilePath, diag);
    target.heightOffset = ReadAirHeight(workDir, *target.airFilePath, diag);
    return kTargetFound;
}

}  // namespace qd
