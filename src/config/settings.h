#pragma once
// Session settings: the QDL_SETTINGS section of the session configuration, packed into
// the session description (name and user words) and the host-wide values beside it.
#include <optional>
#include <string>
#include <string_view>

#include "config/context.h"
#include "session/dptypes.h"

namespace qd {

// Built-in values of the description before the settings are applied.
constexpr uint32_t kBuiltInUser1 = 0x0A05FF10;
constexpr uint32_t kBuiltInUser2 = 0x209;
constexpr std::size_t kSessionNameChars = 256;

// desc empty: a new description (dwSize 80, both GUIDs the simulator's application
// GUID) is created in it. desc holding a lobby's description: it is completed in place,
// keeping its GUIDs and, when it carries one, its session name.
void LoadSessionSettings(ConfigContext& ctx, std::optional<SessionDesc>& desc);

void SetTimeOfDay(ConfigContext& ctx, int32_t seconds);
int32_t GetTimeOfDay(const ConfigContext& ctx);

// "H:MM" or "HH:MM" in seconds after midnight; characters are taken as digits without
// a range check, missing ones count as '0', and a text without ':' in second or third
// place gives 0. valid tells whether the text was a proper time of day.
int32_t ParseTimeOfDay(std::string_view text, bool* valid = nullptr);

// The four fields joined by "[]", name and notes cut (notes first) so that the whole
// fits kSessionNameChars; cut tells whether anything was cut.
std::string JoinSessionName(std::string name, std::string notes, bool* cut = nullptr);


}  // namespace qd
