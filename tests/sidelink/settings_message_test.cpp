#include <gtest/gtest.h>

#include "protocol/bytes.h"
#include "sidelink/settings_message.h"

namespace qd {
namespace {

// The step texts as the team parser splits them.
constexpr FormationStepBasis kSteps{{7999, 65439}, {857385, 23527}};

std::string Letters(SplitPosition p) {
    const auto a = PositionLetters(p);
    return {a.begin(), a.end()};
}

// Text as the message holds it: each character followed by a zero byte.
std::string Wide(const std::string& text) {
    std::string w;
    for (char c : text) w += {c, '\0'};
    return w;
}

SettingsMessageInputs Inputs() {
    const SessionDesc session{.dwSize = 80, .dwFlags = 0x44,
                              .guidInstance = *Guid::parse("{01020304-0506-0708-090A-0B0C0D0E0F10}"),
                              .guidApplication = kGuidCfs2, .dwMaxPlayers = 33, .dwCurrentPlayers = 7,
                              .sessionName = u"Solomons", .password = u"secret", .dwReserved1 = 0xDEADBEEF,
                              .dwReserved2 = 0x11223344,
                              .dwUser1 = 0xA5FF05C3,  // team-limit bits 16-23 all set: must be replaced
                              .dwUser2 = 0x0100000F,  // bits 1-3 and 24 set: must be replaced
                              .dwUser3 = 0x23E80000, .dwUser4 = 0x99};
    const TeamDefinition team{.name = {}, .latitude = 1000000, .longitude = 2000000, .startSpeed = 250,
                              .startInAir = 1, .restrictAircraft = 1, .maxPlayers = 12};
    return {.session = session, .team = team, .teamSlot = 1, .hostPlayerId = 0x12345678, .winCriterion = 2,
            .hostPort1 = 0x08FC, .steps = kSteps};
}

TEST(SettingsMessage, WholeMessageByteForByte) {
    const SettingsMessage m = BuildSettingsMessage(Inputs());
    std::vector<uint8_t> want = {
        0x08, 0x01, 0xB0, 0xFA, 0x02, 0x00, 0x08, 0xFC, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,  // header
        'p', 'l', 'a', 'y', 0x1A, 0x00, 0x0B, 0x00,                                          // signature
        0, 0, 0, 0, 100, 0, 0, 0, 0, 0, 0, 0,                                                // to, offsets
        80, 0, 0, 0, 0x44, 0, 0, 0,                                                          // size, flags
        0x04, 0x03, 0x02, 0x01, 0x06, 0x05, 0x08, 0x07, 0x09, 0x0A, 0x0B, 0x0C, 0x0D, 0x0E, 0x0F, 0x10,
    };
    const auto app = kGuidCfs2.bytes();
    want.insert(want.end(), app.begin(), app.end());
    const uint32_t words[] = {33, 7, 0, 0, 0x12345678u ^ 0x00010001u, 0x11223344,
                              0xA50C05C3,  // limit 12 in bits 16-23
                              0x0000000D,  // restriction bit 3, win criterion 2 in bits 1-2, bit 24 cleared
                              0x20000000u + 1524, 250};
    for (uint32_t w : words)
        for (int k = 0; k < 4; ++k) want.push_back(static_cast<uint8_t>(w >> (8 * k)));
    // The name: the start position's letters, 1000000 = 0x000F4240 and 2000000 = 0x001E8480.
    const std::string name = Wide("x[]x[]AAAPECEAAAAA[]AABOIEIAAAAA");
    want.insert(want.end(), name.begin(), name.end());
    want.resize(kSettingsMessageSize, 0);
    EXPECT_EQ(std::vector<uint8_t>(m.begin(), m.end()), want);
    // The team parser reads the two step texts as the steps for 8000 m.
    EXPECT_EQ(std::pair(TeamParserStepBasis().latitude, TeamParserStepBasis().longitude),
              std::pair(kSteps.latitude, kSteps.longitude));
}

TEST(SettingsMessage, UserWords) {
    auto in = Inputs();
    // Game running sets bit 24; unrestricting clears the restriction; win criterion 0.
    in.gameRunning = true;
    in.unrestrictAllTeams = true;
    in.winCriterion = 0;
    EXPECT_EQ(GetU32(BuildSettingsMessage(in), 108), 0x01000001u);
    // Version 2 carries feet: 1524 m is 5000 ft, plus the in-air bit.
    in.simulatorVersion = 2;
    EXPECT_EQ(GetU32(BuildSettingsMessage(in), 112), 0x20000000u + 5000);
    in.team.startInAir = 0;
    in.team.altitude = 0;
    EXPECT_EQ(GetU32(BuildSettingsMessage(in), 112), 0u);
    in.team.altitude = 3048;  // 10000 ft
    EXPECT_EQ(GetU32(BuildSettingsMessage(in), 112), 10000u);
    in.team.maxPlayers = 255;
    in.session.dwUser1 = 0;
    EXPECT_EQ(GetU32(BuildSettingsMessage(in), 104), 0x00FF0000u);
}

TEST(SettingsMessage, FormationOffsetsAndTheirLetters) {
    EXPECT_EQ(Letters({0, 0}), "AAAAAAAAAAAA");
    EXPECT_EQ(Letters({-1, 0xFFFF}), "PPPPPPPPPPPP");
    EXPECT_EQ(Letters({7999, 65439}), "AAAABPDPPPJP");
    EXPECT_EQ(Letters({0x12345678, 0x9ABC}), "BCDEFGHIJKLM");

    struct {
        SplitPosition lat, lon;
        uint32_t type, heading, spacing, slot;
        SplitPosition wantLat, wantLon;
    } const cases[] = {
        // Expected values worked out separately in IEEE double arithmetic with pi = 3.1415926535.
        // Type 1: slots 0 and 1 are the start point; then left, right, two spacings left...
        {{1000000, 0}, {2000000, 0}, 1, 0, 200, 0, {1000000, 0}, {2000000, 0}},
        {{1000000, 0}, {2000000, 0}, 1, 0, 200, 1, {1000000, 0}, {2000000, 0}},
        // The short pi leaves cos(270 deg) a hair below zero: the whole part drops by one.
        {{1000000, 0}, {2000000, 0}, 1, 0, 200, 2, {999999, 65535}, {1978565, 23987}},
        {{1000000, 0}, {2000000, 0}, 1, 0, 200, 3, {1000000, 0}, {2021434, 41548}},
        {{1000000, 0}, {2000000, 0}, 1, 0, 200, 4, {999999, 65535}, {1957130, 47975}},
        {{1000000, 0}, {2000000, 0}, 1, 0, 200, 5, {1000000, 0}, {2042869, 17560}},
        // Negative start points read as whole - fraction.
        {{-4000000, 0x8000}, {-900000000, 0x4000}, 4, 0, 500, 3, {-3999000, 32756}, {-900000000, 49152}},
        {{-4000000, 0x8000}, {-900000000, 0x4000}, 5, 90, 500, 3, {-4000000, 32768}, {-900107173, 38020}},
        {{-4000000, 0x8000}, {-900000000, 0x4000}, 2, 0, 2000, 4, {-4000000, 32768}, {-900643039, 47891}},
        {{-4000000, 0x8000}, {-900000000, 0x4000}, 3, 45, 20, 2, {-4000014, 23454}, {-899998484, 26707}},
        // Past the date line the longitude wraps by whole turns.
        {{5000000, 100}, {2147480000, 0}, 3, 0, 2000, 33, {5000000, 100}, {-2140628214, 57144}},
        // Type 0 and out-of-range types keep the team's point whatever the slot.
        {{-4000000, 0x8000}, {-900000000, 0x4000}, 0, 45, 2000, 9, {-4000000, 0x8000}, {-900000000, 0x4000}},
        {{-4000000, 0x8000}, {-900000000, 0x4000}, 6, 45, 2000, 9, {-4000000, 0x8000}, {-900000000, 0x4000}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("type " + std::to_string(c.type) + " slot " + std::to_string(c.slot));
        auto in = Inputs();
        in.team = {.name = {}, .latitude = c.lat.whole, .longitude = c.lon.whole, .latitudeFraction = c.lat.fraction,
                   .longitudeFraction = c.lon.fraction, .formationType = c.type, .formationHeading = c.heading,
                   .playerSpacing = c.spacing};
        in.teamSlot = c.slot;
        const StartPosition p = FormationStartPosition(in.team, c.slot, kSteps);
        EXPECT_EQ(p.latitude, c.wantLat);
        EXPECT_EQ(p.longitude, c.wantLon);
        // The same position reaches the name's letter fields, one byte per character.
        const SettingsMessage m = BuildSettingsMessage(in);
        EXPECT_EQ(std::string(m.begin() + 120, m.begin() + 184),
                  Wide("x[]x[]" + Letters(c.wantLat) + "[]" + Letters(c.wantLon)));
    }
}

}  // namespace
}  // namespace qd
