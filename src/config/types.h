#pragma once
// Records of the session configuration, shared by config/, simfiles/, protocol/ and app/.
#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace qd {

// Units: latitude in metres north (degrees x 111130.5556), longitude in longitude units
// (degrees x 11930458.17), altitude in metres (feet / 3.2808).
constexpr double kMetresPerDegreeLatitude = 111130.5556;
constexpr double kLongitudeUnitsPerDegree = 11930458.17;
constexpr double kFeetPerMetre = 3.2808;

constexpr int kMaxTargets = 32;
constexpr int kMaxTeams = 255;

// One target object the host flies (a QDL_OBJECT.<n> section). Texts are 8-bit
// (Windows-1252). Optional texts are null until the aircraft lookup fills them.
struct TargetObject {
    uint32_t playerId = 0;
    std::string name;
    std::string aircraft;
    int32_t targetTeam = 0;
    double latitude = 0;
    double longitude = 0;
    double altitude = 0;
    // Motion block: reserved for moving objects; nothing sets it.
    uint32_t motionA = 0;
    uint32_t motionB = 0;
    double motionC = 0, motionD = 0, motionE = 0;
    double heading = 0;
    double staticPitch = 0;
    double heightOffset = 0;  // feet
    int32_t lifePoints = 0;
    int32_t damage = 0;
    uint32_t lastHitter = 0;
    uint32_t effectLevel = 0;
    uint32_t respawnTimerId = 0;
    uint32_t inGame = 0;
    uint32_t destroyed = 0;
    int32_t isBombingTarget = 0;
    int32_t collisionsDestroy = 0;
    int32_t disableCollisions = 0;
    int32_t isAirfield = 0;
    int32_t unhittable = 0;
    std::optional<std::string> aircraftCfgPath;
    std::optional<std::string> simName;
    std::optional<std::string> simPath;
    std::optional<std::string> damageProfilePath;
    std::optional<std::string> airFilePath;
    std::vector<uint8_t> damageProfileMessage;  // empty = not built yet
    std::optional<std::array<uint8_t, 16>> typeGuid;
    uint32_t typeCode = 0;
    uint32_t instanceNumber = 0;
};

enum TeamKind : uint32_t {
    kTeamTarget = 0,
    kTeamBomber = 1,
    kTeamEscort = 2,
    kTeamDefend = 3,
    kTeamAttack = 4,
    kTeamGeneric = 5,
};

// One team (a QDL_TEAM.<letter><digit> section).
struct TeamDefinition {
    std::optional<std::string> name;
    uint32_t color = 2;
    uint32_t kind = kTeamTarget;
    int32_t latitude = 0;
    int32_t longitude = 0;
    int32_t altitude = 1524;
    uint32_t startSpeed = 0;
    uint32_t startRadius = 0;
    uint32_t startInAir = 0;
    uint16_t latitudeFraction = 0;
    uint16_t longitudeFraction = 0;
    uint16_t altitudeFraction = 0;
    uint32_t formationType = 0;
    uint32_t formationHeading = 0;
    uint32_t playerRotation = 0;
    uint32_t playerSpacing = 200;
    uint32_t restrictAircraft = 0;
    uint32_t maxPlayers = 5;
    uint32_t groupId = 0;
};

// Host-wide values beside the session description, named by their configuration keys.
struct HostSettings {
    int32_t TIME_OF_DAY = 43200;          // seconds after midnight
    uint32_t MAX_PLAYERS_PER_TEAM = 5;
    uint32_t WIN_CRITERIA = 0;            // 0 none, 2 last alive
    uint32_t LA_WINDOW_SEC = 60000;       // milliseconds, despite the name
    int32_t NO_LOCK_OR_RADAR_PLAYERS = 0;
    int32_t NO_LOCK_OR_RADAR_TARGETS = 0;
    int32_t BTEAMS_DESTROY_TARGETS = 0;
};

// User preferences (quarneld/quarneld.ini, section QDL_USER_PREFS).
struct UserPrefs {
    int32_t simulatorVersion = 1;
    int32_t autorunSimulator = 1;
    uint32_t ignoredAdapterCount = 0;
    std::string sessionConfigName = "Default";
};

}  // namespace qd
