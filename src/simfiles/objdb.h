#pragma once
// The object database "quarneld/objdb.dat": scenery objects (airfields, runways, ships)
// that targets can be instead of aircraft.
#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "config/types.h"
#include "platform/diagnostics.h"

namespace qd {

constexpr int16_t kObjectDatabaseMagic = 308;
constexpr std::size_t kObjectRecordMaxBody = 72;
constexpr std::size_t kObjectRecordNameOffset = 24;  // within the body
inline constexpr const char* kObjectDatabaseFile = "quarneld/objdb.dat";

struct ObjectDbRecord {
    std::array<uint8_t, 16> typeGuid{};
    uint32_t count = 0;     // A
    uint32_t typeCode = 0;  // never 0: such records are skipped
    std::string name;
    int number = 0;         // 1-based position in the file
    uint64_t offset = 0;    // of its length field
};

// Finds target.aircraft (ignoring letter case) and sets typeGuid, typeCode,
// instanceNumber and, for "AirFld"/"runway" names, isAirfield and disableCollisions.
// 0 found, 1 otherwise. Records that cannot be used (body over 72 bytes, too short to
// hold a name, type code 0) are skipped and reported through diag.
int LookupObjectDatabase(const std::filesystem::path& workDir, TargetObject& target, Diagnostics* diag = nullptr);

// Every usable record in file order, with the unusable ones reported through diag;
// nullopt when the file is missing or its header is wrong.
std::optional<std::vector<ObjectDbRecord>> ReadObjectDatabase(const std::filesystem::path& workDir,
                                                              Diagnostics* diag = nullptr);

}  // namespace qd
