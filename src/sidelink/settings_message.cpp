#include "sidelink/settings_message.h"

#include <cmath>
#include <cstring>

#include "config/coordinate.h"

namespace qd {

const char* const kFormationStepLatitudeText = "N0* 04' 19.1546\"";
const char* const kFormationStepLongitudeText = "E0* 04' 18.7149\"";

namespace {

// The clients were built against this value of pi; a more precise one moves players.
constexpr double kPi = 3.1415926535;

constexpr char kNameTemplate[] = "x[]x[]AAAAAAAAAAAA[]AAAAAAAAAAAA";
static_assert(sizeof kNameTemplate == 33);

void put16(SettingsMessage& m, std::size_t at, uint16_t v) {
    m[at] = static_cast<uint8_t>(v);
    m[at + 1] = static_cast<uint8_t>(v >> 8);
}
void put32(SettingsMessage& m, std::size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) m[at + i] = static_cast<uint8_t>(v >> (8 * i));
}
void putGuid(SettingsMessage& m, std::size_t at, const Guid& g) {
    const auto b = g.bytes();
    std::memcpy(m.data() + at, b.data(), b.size());
}

// whole + fraction for non-negative values, whole - fraction below zero: how the
// original read its own split form back.
double ReadSplit(SplitPosition p) {
    const double f = p.fraction / 65536.0;
    return p.whole >= 0 ? p.whole + f : p.whole - f;
}

// Toward zero; beyond 32 bits the whole part wraps by 2^32 (a longitude past the date
// line) instead of overflowing.
SplitPosition Split(double value) {
    if (!std::isfinite(value) || std::fabs(value) > 1e14) return {};
    const auto whole = static_cast<int64_t>(std::trunc(value));
    const auto scaled = static_cast<int64_t>(std::trunc(value * 65536.0));
    return {static_cast<int32_t>(static_cast<uint32_t>(static_cast<uint64_t>(whole))),
            static_cast<uint16_t>(static_cast<uint64_t>(scaled) & 0xFFFF)};
}

}  // namespace

FormationStepBasis MakeFormationStepBasis(const CoordinateSplitFn& split) {
    FormationStepBasis b;
    std::string lat = kFormationStepLatitudeText;
    std::string lon = kFormationStepLongitudeText;
    split(lat, b.latitude.whole, b.latitude.fraction);
    split(lon, b.longitude.whole, b.longitude.fraction);
    return b;
}

FormationStepBasis TeamParserStepBasis() {
    return MakeFormationStepBasis(
        [](std::string& text, int32_t& whole, uint16_t& fraction) { ParseCoordinateSplit(text, whole, fraction); });
}

StartPosition FormationStartPosition(const TeamDefinition& team, uint32_t teamSlot, const FormationStepBasis& steps) {
    StartPosition start{{team.latitude, team.latitudeFraction}, {team.longitude, team.longitudeFraction}};
    const uint32_t type = team.formationType;
    if (type < 1 || type > 5) return start;

    const double latitude = ReadSplit(start.latitude);
    const double longitude = ReadSplit(start.longitude);
    double stepLat = ReadSplit(steps.latitude) * team.playerSpacing / 8000;
    double stepLon = ReadSplit(steps.longitude) * team.playerSpacing / 8000;

    const uint32_t idx = teamSlot == 0 ? 0 : teamSlot - 1;
    double m = 0;
    uint32_t bearing = 0;
    switch (type) {
    case 1:
        m = static_cast<double>((static_cast<uint64_t>(idx) + 1) / 2);
        bearing = (idx % 2) ? 270 : 90;
        break;
    case 2: m = idx; bearing = 270; break;
    case 3: m = idx; bearing = 90; break;
    case 4: m = idx; bearing = 0; break;
    default: m = idx; bearing = 180; break;
    }
    stepLat *= m;
    stepLon *= m;
    const double theta =
        static_cast<double>(static_cast<uint64_t>(team.formationHeading) + bearing) / 360 * 2 * kPi;
    start.latitude = Split(latitude + stepLat * std::cos(theta));
    start.longitude = Split(longitude + stepLon * std::sin(theta));
    return start;
}

std::array<char, 12> PositionLetters(SplitPosition p) {
    std::array<char, 12> out{};
    const auto whole = static_cast<uint32_t>(p.whole);
    for (int i = 0; i < 8; ++i) out[i] = static_cast<char>('A' + ((whole >> (28 - 4 * i)) & 0xF));
    for (int i = 0; i < 4; ++i) out[8 + i] = static_cast<char>('A' + ((p.fraction >> (12 - 4 * i)) & 0xF));
    return out;
}

uint32_t SettingsAltitudeWord(const TeamDefinition& team, int simulatorVersion) {
    uint32_t altitude = static_cast<uint32_t>(team.altitude);
    if (simulatorVersion == 2) {
        const double feet = team.altitude * 3.2808 + 0.5;
        altitude = feet > 0 && feet < 4294967296.0 ? static_cast<uint32_t>(feet) : 0;
    }
    // Added, not ORed: a START_IN_AIR above 1 carries into the higher bits as it always did.
    return altitude + (team.startInAir << 29);
}

SettingsMessage BuildSettingsMessage(const SettingsMessageInputs& in) {
    SettingsMessage m{};
    const SessionDesc& s = in.session;
    const TeamDefinition& team = in.team;

    put16(m, 0, static_cast<uint16_t>(kSettingsMessageSize));
    put16(m, 2, 0xFAB0);
    put16(m, 4, 2);  // AF_INET
    m[6] = static_cast<uint8_t>(in.hostPort1 >> 8);
    m[7] = static_cast<uint8_t>(in.hostPort1);
    std::memcpy(m.data() + 20, "play", 4);
    put16(m, 24, 0x001A);
    put16(m, 26, 11);
    put32(m, 28, 0);
    put32(m, 32, 100);
    put32(m, 36, 0);

    uint32_t user1 = (s.dwUser1 & ~0x00FF0000u) | (team.maxPlayers & 0xFF) << 16;
    uint32_t user2 = s.dwUser2 & ~0x8u;
    if (!in.unrestrictAllTeams) user2 |= (team.restrictAircraft & 1) << 3;
    user2 = (user2 & ~0x6u) | (in.winCriterion & 3) << 1;
    if (in.gameRunning)
        user2 |= 0x01000000u;
    else
        user2 &= ~0x01000000u;

    put32(m, 40, s.dwSize);
    put32(m, 44, s.dwFlags);
    putGuid(m, 48, s.guidInstance);
    putGuid(m, 64, s.guidApplication);
    put32(m, 80, s.dwMaxPlayers);
    put32(m, 84, s.dwCurrentPlayers);
    put32(m, 88, 0);
    put32(m, 92, 0);
    put32(m, 96, in.hostPlayerId ^ 0x00010001u);
    put32(m, 100, s.dwReserved2);
    put32(m, 104, user1);
    put32(m, 108, user2);
    put32(m, 112, SettingsAltitudeWord(team, in.simulatorVersion));
    put32(m, 116, team.startSpeed);

    char name[32];
    std::memcpy(name, kNameTemplate, 32);
    const StartPosition start = FormationStartPosition(team, in.teamSlot, in.steps);
    const auto lat = PositionLetters(start.latitude);
    const auto lon = PositionLetters(start.longitude);
    std::memcpy(name + 6, lat.data(), 12);
    std::memcpy(name + 20, lon.data(), 12);
    for (int i = 0; i < 32; ++i) put16(m, 120 + 2 * i, static_cast<uint8_t>(name[i]));
    // 184..185: the name's terminating zero; 186..263 stay zero.
    return m;
}

}  // namespace qd
