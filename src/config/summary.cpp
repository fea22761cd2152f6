#include "config/summary.h"

#include <cstdio>

namespace qd {

namespace {
constexpr const char* kSkills[] = {"All", "Novice", "Novice-Veteran", "Veteran", "Veteran-Ace", "Ace"};

template <typename... Args>
void Line(std::string& text, const char* format, Args... args) {
    char buf[250];
    std::snprintf(buf, sizeof buf, format, args...);
    text += buf;
}
}  // namespace

OptionsSummary BuildOptionsSummary(const SessionDesc& desc, const HostSettings& settings) {
    OptionsSummary out;
    std::string& t = out.text;
    const uint32_t u1 = desc.dwUser1, u2 = desc.dwUser2;
    auto bit = [&](int n) { return (u2 >> n) & 1u; };
    auto byte = [&](int n) { return static_cast<unsigned long>((u1 >> (8 * n)) & 0xFF); };

    Line(t, "%s: %lu\r\n", "Max. players", byte(0));
    if (bit(0)) {
        Line(t, "%s: %lu\r\n", "Max. teams", byte(1));
        Line(t, "%s: %lu\r\n", "Max. players per team", byte(2));
    }
    out.teamSelectorEnabled = bit(0) != 0;
    Line(t, bit(0) ? "%s: Squadron\r\n" : "%s: Free for all\r\n", "Combat type");
    if (bit(1))
        Line(t, "%s: First to destroy %lu\r\n", "Victory req.", byte(3));
    else
        Line(t, bit(2) ? "%s: Last alive\r\n" : "%s: None\r\n", "Victory req.");
    Line(t, "%s: \r\n", "Score percent");
    const std::size_t scoreAt = t.size() - 2;
    uint32_t skill = (u2 >> 5) & 7;
    // Bits 5-7 can hold 6 and 7, which have no name; they show as the highest skill.
    Line(t, "%s: %s\r\n", "Recommended skill", kSkills[skill > 5 ? 5 : skill]);
    out.pauseAllowed = bit(8) != 0;
    Line(t, "%s: %s\r\n", "Allow pause", bit(8) ? "Yes" : "No");
    const char* model = "Easy";
    if (bit(9)) model = "Medium", out.score += 5;
    else if (bit(10)) model = "Hard", out.score += 10;
    Line(t, "%s: %s\r\n", "Aircraft flight model", model);
    if (!bit(13)) out.score += 15;
    Line(t, "%s: %s\r\n", "Unlimited fuel", bit(13) ? "Yes" : "No");
    if (!bit(14)) out.score += 15;
    Line(t, "%s: %s\r\n", "Unlimited ammo", bit(14) ? "Yes" : "No");
    if (bit(17)) out.score += 5;
    Line(t, "%s: %s\r\n", "Sun glare", bit(17) ? "On" : "Off");
    if (bit(18)) out.score += 5;
    Line(t, "%s: %s\r\n", "G effects", bit(18) ? "On" : "Off");
    const char* weapons = "Normal";
    if (bit(22)) weapons = "Stronger", out.score += 5;
    else if (bit(23)) weapons = "Strongest";
    else out.score += 10;
    Line(t, "%s: %s\r\n", "Weapon effectiveness", weapons);
    Line(t, "%s: %s\r\n", "Restrict aircraft", bit(3) ? "Yes" : "No");
    Line(t, bit(24) ? "%s: Flying\r\n" : "%s: Waiting\r\n", "Game status");
    const long tod = settings.TIME_OF_DAY;
    Line(t, "%s: %2.2li:%2.2li\r\n", "Time of day", tod / 3600, (tod / 60) % 60);
    Line(t, settings.NO_LOCK_OR_RADAR_PLAYERS ? "%s: Yes\r\n" : "%s: No\r\n", "No lock/radar players");
    Line(t, settings.NO_LOCK_OR_RADAR_TARGETS ? "%s: Yes\r\n" : "%s: No\r\n", "No lock/radar targets");
    if (settings.WIN_CRITERIA == 2 && settings.LA_WINDOW_SEC != 0)
        Line(t, "%s: %lu seconds\r\n", "Last Alive Window", static_cast<unsigned long>(settings.LA_WINDOW_SEC / 1000));
    t.insert(scoreAt, std::to_string(out.score));
    return out;
}

}  // namespace qd
