#pragma once
// The per-player settings message: a DirectPlay "session description changed" message
// (command 0x001A, 264 bytes) that carries the player's own start position, altitude,
// speed, team limit and game flags. Built here as a pure function of its inputs.
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

#include "config/types.h"
#include "session/dptypes.h"

namespace qd {

constexpr std::size_t kSettingsMessageSize = 264;
using SettingsMessage = std::array<uint8_t, kSettingsMessageSize>;

// A position in its split form: whole part toward zero and a 16-bit fraction in 1/65536.
struct SplitPosition {
    int32_t whole = 0;
    uint16_t fraction = 0;
    friend bool operator==(const SplitPosition&, const SplitPosition&) = default;
};

// The coordinate texts whose parsed values are the formation step for 8000 m. The
// seconds mark (a double-quote character) is part of each text.
extern const char* const kFormationStepLatitudeText;   // N0* 04' 19.1546"
extern const char* const kFormationStepLongitudeText;  // E0* 04' 18.7149"

// The team parser's split of a coordinate text (text, whole, fraction).
using CoordinateSplitFn = std::function<void(std::string&, int32_t&, uint16_t&)>;

// Step sizes for 8000 m, as the team parser reads the two step texts.
struct FormationStepBasis {
    SplitPosition latitude;
    SplitPosition longitude;
};
FormationStepBasis MakeFormationStepBasis(const CoordinateSplitFn& split);
// The same through the team parser itself (ParseCoordinateSplit).
FormationStepBasis TeamParserStepBasis();

struct SettingsMessageInputs {
    SessionDesc session;            // the current session description
    TeamDefinition team;            // the player's team
    uint32_t teamSlot = 0;          // 1-based place in the team; 0 = not set (placed as 1)
    DPID hostPlayerId = 0;
    uint32_t winCriterion = 0;      // 0 or 2
    bool gameRunning = false;       // gameState 1 or 2, or someone flying
    bool unrestrictAllTeams = false;
    int simulatorVersion = 1;       // CFS_VERSION; 2 gives the altitude in feet
    uint16_t hostPort1 = 0;
    FormationStepBasis steps;
};

// The player's start point: the team's own for formation 0 (or any type outside 1..5),
// else offset along the formation by the player's place.
struct StartPosition {
    SplitPosition latitude;
    SplitPosition longitude;
};
StartPosition FormationStartPosition(const TeamDefinition& team, uint32_t teamSlot, const FormationStepBasis& steps);

// Twelve letters 'A'..'P': the whole part as 8 hexadecimal digits, then the fraction as
// 4, most significant first.
std::array<char, 12> PositionLetters(SplitPosition p);

// dwUser3 of the message: the altitude (feet for simulator version 2) plus START_IN_AIR
// shifted to bit 29.
uint32_t SettingsAltitudeWord(const TeamDefinition& team, int simulatorVersion);

// The whole message. The two pointer slots of the copied description (offsets 88 and 92)
// are written as 0: a receiver finds the name through the offset at 32, and a zero slot
// can never be mistaken for an address of the sender.
SettingsMessage BuildSettingsMessage(const SettingsMessageInputs& in);

}  // namespace qd
