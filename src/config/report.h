#pragma once
// JSON forms of the loaded configuration for `quarneld check --json`. Texts are
// converted from Windows-1252 to UTF-8; unset optional texts are null.
#include <nlohmann/json.hpp>

#include "config/types.h"
#include "platform/diagnostics.h"
#include "session/dptypes.h"

namespace qd {

nlohmann::json TargetToJson(const TargetObject& target);
nlohmann::json TeamToJson(const TeamDefinition& team);
nlohmann::json SessionToJson(const SessionDesc& desc);
nlohmann::json SettingsToJson(const HostSettings& settings);
nlohmann::json PrefsToJson(const UserPrefs& prefs);
nlohmann::json WarningToJson(const Warning& warning);

}  // namespace qd
