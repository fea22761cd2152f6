#include "config/report.h"

#include "session/data_access.h"

#include "config/coordinate.h"
#include "config/settings.h"
#include "platform/text.h"

namespace qd {

namespace {
nlohmann::json Text(const std::optional<std::string>& text) {
    if (!text) return nullptr;
    return Win1252ToUtf8(*text);
}

// Wide session names hold what the clients sent; anything without a 1252 form shows as '?'.
std::string WideToUtf8(const std::u16string& text) { return Win1252ToUtf8(NarrowCopy(text)); }
}  // namespace

nlohmann::json TargetToJson(const TargetObject& t) {
    return {
        {"name", Win1252ToUtf8(t.name)},
        {"aircraft", Win1252ToUtf8(t.aircraft)},
        {"targetTeam", t.targetTeam},
        {"latitude", t.latitude},
        {"longitude", t.longitude},
        {"altitude", t.altitude},
        {"latitudeText", FormatLatitude(t.latitude)},
        {"longitudeText", FormatLongitude(t.longitude)},
        {"heading", t.heading},
        {"lifePoints", t.lifePoints},
        {"isBombingTarget", t.isBombingTarget},
        {"collisionsDestroy", t.collisionsDestroy},
        {"disableCollisions", t.disableCollisions},
        {"isAirfield", t.isAirfield},
        {"unhittable", t.unhittable},
        {"staticPitch", t.staticPitch},
        {"heightOffset", t.heightOffset},
        {"typeCode", t.typeCode},
        {"instanceNumber", t.instanceNumber},
        {"aircraftCfgPath", Text(t.aircraftCfgPath)},
        {"simName", Text(t.simName)},
        {"simPath", Text(t.simPath)},
        {"damageProfilePath", Text(t.damageProfilePath)},
        {"airFilePath", Text(t.airFilePath)},
    };
}

nlohmann::json TeamToJson(const TeamDefinition& t) {
    return {
        {"name", Text(t.name)},
        {"kind", t.kind},
        {"color", t.color},
        {"latitude", t.latitude},
        {"latitudeFraction", t.latitudeFraction},
        {"longitude", t.longitude},
        {"longitudeFraction", t.longitudeFraction},
        {"altitude", t.altitude},
        {"altitudeFraction", t.altitudeFraction},
        {"startSpeed", t.startSpeed},
        {"startRadius", t.startRadius},
        {"startInAir", t.startInAir},
        {"formationType", t.formationType},
        {"formationHeading", t.formationHeading},
        {"playerRotation", t.playerRotation},
        {"playerSpacing", t.playerSpacing},
        {"restrictAircraft", t.restrictAircraft},
        {"maxPlayers", t.maxPlayers},
    };
}

nlohmann::json SessionToJson(const SessionDesc& d) {
    return {
        {"dwFlags", d.dwFlags},
        {"dwMaxPlayers", d.dwMaxPlayers},
        {"dwUser1", d.dwUser1},
        {"dwUser2", d.dwUser2},
        {"dwUser3", d.dwUser3},
        {"dwUser4", d.dwUser4},
        {"sessionName", d.sessionName ? nlohmann::json(WideToUtf8(*d.sessionName)) : nlohmann::json(nullptr)},
    };
}

nlohmann::json SettingsToJson(const HostSettings& s) {
    return {
        {"TIME_OF_DAY", s.TIME_OF_DAY},
        {"WIN_CRITERIA", s.WIN_CRITERIA},
        {"LA_WINDOW_SEC", s.LA_WINDOW_SEC},
        {"MAX_PLAYERS_PER_TEAM", s.MAX_PLAYERS_PER_TEAM},
        {"NO_LOCK_OR_RADAR_PLAYERS", s.NO_LOCK_OR_RADAR_PLAYERS},
        {"NO_LOCK_OR_RADAR_TARGETS", s.NO_LOCK_OR_RADAR_TARGETS},
        {"BTEAMS_DESTROY_TARGETS", s.BTEAMS_DESTROY_TARGETS},
    };
}

nlohmann::json PrefsToJson(const UserPrefs& p) {
    return {
        {"simulatorVersion", p.simulatorVersion},
        {"autorunSimulator", p.autorunSimulator},
        {"sessionConfigName", Win1252ToUtf8(p.sessionConfigName)},
    };
}

nlohmann::json WarningToJson(const Warning& w) {
    return {{"file", Win1252ToUtf8(w.file)}, {"line", w.line}, {"message", Win1252ToUtf8(w.message)}};
}

}  // namespace qd
