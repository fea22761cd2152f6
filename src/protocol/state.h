#pragma once
// The game protocol's host-wide state and the status codes carried in long names.
// Everything here is touched on the window thread only.
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "session/records.h"

namespace qd {

enum GameStateCode : uint32_t {
    kGameIdle = 0,
    kGameLaunching = 1,
    kGameInGame = 2,
    kGameNoFunHold = 10,  // waiting until every player has switched back to Waiting
};

// The variables the launch state machine, the handlers and the main window share. One
// instance per host; all start at 0.
struct HostState {
    uint32_t gameState = kGameIdle;

    // Counters of the last status census.
    uint32_t totalCount = 0;     // players with a record, host objects included
    uint32_t readyCount = 0;     // status Ready
    uint32_t waitingCount = 0;   // Waiting or NFRdy
    uint32_t flyingCount = 0;    // Flying or NFFly
    uint32_t clientsFlying = 0;  // client players Flying or NFFly
    uint32_t onTeamCount = 0;    // players with a team group

    uint32_t censusMode = 0;  // 0, 1 or 2 while a census runs
    uint32_t launchIssued = 0;
    uint32_t reentryOpen = 0;
    uint32_t targetsReadied = 0;
    uint32_t targetsInGame = 0;
    uint32_t pauseAllowed = 0;
    uint32_t paused = 0;

    // Shared by NET_POSITION and NET_MOTION: each message takes the current value.
    uint32_t motionSequence = 0;
    uint32_t takeMotionSequence() { return motionSequence++; }
};

// What a status letter says: the low two bits of (letter - 'A').
enum class LetterState : uint32_t { NfFlying = 0, Flying = 1, Waiting = 2, Ready = 3 };

// The status a long name announces: ']' then a letter in the last two places, else
// kStatusUnknown. A missing name is passed as empty. Any character after ']' is taken
// by its low bits, as clients only ever put letters there.
uint32_t StatusFromLongName(std::u16string_view longName);

// The letter for state s within the letter's group of four ('G' Flying -> 'F').
char16_t RewriteStatusLetter(char16_t letter, LetterState s);

// The long name with its last character rewritten for state s; an empty name is
// returned unchanged.
std::u16string WithStatusLetter(std::u16string longName, LetterState s);

// The player list's text for a status; nullopt (no readable record) gives "New".
const char* StatusText(std::optional<uint32_t> status);

}  // namespace qd
