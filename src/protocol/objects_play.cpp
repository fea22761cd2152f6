// The host's own objects in play: ready room, game and back, what clients are sent to
// see and damage them, damage effects, destruction and respawn.
#include "platform/log.h"
#include "protocol/compress.h"
#include "protocol/game_internal.h"
#include "protocol/messages.h"
#include "protocol/objects.h"
#include "simfiles/simpath.h"

namespace qd {

using namespace game;

namespace game {

bool SetObjectStatus(GameHost& host, TargetObject& object, LetterState s) {
    DpName name;
    if (FAILED(host.data.GetPlayerNames(object.playerId, name))) return false;
    std::optional<std::u16string> longName = name.longName;
    if (longName) longName = WithStatusLetter(std::move(*longName), s);
    host.data.SetPlayerLongName(object.playerId, longName);
    return true;
}

}  // namespace game

namespace {

DPID ToOrAll(std::optional<DPID> player) { return player ? *player : DPID_ALLPLAYERS; }

void SendEffect(GameHost& host, TargetObject& object, DamageEffect effect, uint32_t flags) {
    if (auto m = BuildDamageEffect(host.simulatorVersion(), effect, object.playerId))
        Send(host, object.playerId, DPID_ALLPLAYERS, flags, m->encode());
}

bool VersionTwo(GameHost& host) { return host.simulatorVersion() == 2; }

}  // namespace

void TargetsIntoGame(GameHost& host) {
    const bool noFun = host.config.settings.NO_LOCK_OR_RADAR_TARGETS == 1;
    for (TargetObject* object : host.targets) {
        if (!object) continue;
        DpName name;
        if (FAILED(host.data.GetPlayerNames(object->playerId, name))) continue;
        const LetterState s = (noFun || object->disableCollisions == 1) ? LetterState::NfFlying : LetterState::Flying;
        object->inGame = 1;
        object->destroyed = 0;
        object->damage = 0;
        object->effectLevel = 0;
        object->lastHitter = 0;
        SetObjectStatus(host, *object, s);
        SendPosition(host, *object, std::nullopt);
        SendMotion(host, *object, std::nullopt);
    }
    host.window.EnableControl(kControlTargetsToReadyRoom, true);
    host.window.EnableControl(kControlTargetsIntoGame, false);
    host.window.EnableControl(kControlReady, false);
    host.state.targetsReadied = 0;
    host.state.targetsInGame = 1;
    StatusCensus(host, 0);
}

void TargetsToReadyRoom(GameHost& host) {
    for (TargetObject* object : host.targets) {
        if (!object) continue;
        auto record = host.data.GetPlayerRecord(object->playerId);
        if (record) {
            record->reservedA = 0;
            record->reservedB = 0;
            host.data.PutPlayerRecord(object->playerId, *record);
        }
        // A flying object is renamed twice in a row, as clients have always seen it.
        if (SetObjectStatus(host, *object, LetterState::Waiting) && record &&
            (record->status == kStatusFlying || record->status == kStatusNfFlying))
            SetObjectStatus(host, *object, LetterState::Waiting);
        object->inGame = 0;
        object->damage = 0;
        object->lastHitter = 0;
    }
    host.window.EnableControl(kControlTargetsToReadyRoom, false);
    host.window.EnableControl(kControlTargetsIntoGame, true);
    host.state.targetsReadied = 0;
    host.state.targetsInGame = 0;
    StatusCensus(host, 0);
}

void TargetsReady(GameHost& host) {
    for (TargetObject* object : host.targets)
        if (object) SetObjectStatus(host, *object, LetterState::Ready);
    host.window.EnableControl(kControlReady, false);
    host.state.targetsReadied = 1;
    host.state.targetsInGame = 0;
    StatusCensus(host, 0);
}

void SendPosition(GameHost& host, TargetObject& object, std::optional<DPID> player) {
    const uint32_t tick = Tick(host);
    const NetPosition m = MakeObjectPosition(object, tick, host.state.takeMotionSequence());
    Send(host, object.playerId, ToOrAll(player), 0, m.encode());
}

void SendMotion(GameHost& host, TargetObject& object, std::optional<DPID> player) {
    for (int copy = 0; copy < 2; ++copy) {
        const uint32_t sequence = host.state.takeMotionSequence();
        const NetMotion m = MakeObjectMotion(object, Tick(host), sequence);
        Send(host, object.playerId, ToOrAll(player), 0, m.encode());
    }
}

void CompressDamageProfile(GameHost& host, TargetObject& object, std::optional<DPID> player) {
    if (object.damageProfileMessage.empty()) {
        if (!object.damageProfilePath || object.damageProfilePath->empty()) return;
        std::string error;
        std::optional<std::vector<uint8_t>> message;
        if (object.unhittable == 1) {
            message = BuildDamageProfileMessage(std::vector<uint8_t>{0x0D, 0x0A});
        } else if (auto file = ResolveSimulatorPath(host.config.workDir, *object.damageProfilePath)) {
            message = BuildDamageProfileFromFile(file->string(), host.config.workDir, false, &error);
        } else {
            error = "cannot find damage profile " + *object.damageProfilePath;
        }
        if (!message) {
            LogFileErrorOnce(host, "Object " + object.name + ": " + error);
            return;
        }
        object.damageProfileMessage = std::move(*message);
    }
    if (player) Send(host, object.playerId, *player, DPSEND_GUARANTEED, object.damageProfileMessage);
}

void SendObjectTemplate(GameHost& host, TargetObject& object, DPID player) {
    if (!object.typeGuid) return;
    std::string error;
    const auto file = ReadObjectTemplateFile(host.config.workDir, &error);
    if (!file) {
        LogFileErrorOnce(host, "Object description not sent: " + error);
        return;
    }
    // A template whose body or patches do not fit is refused whole: a client given a
    // header without its body waits for the rest.
    const auto tmpl = ParseObjectTemplate(*file, &error);
    if (!tmpl) {
        LogFileErrorOnce(host, "Object description not sent: " + (host.config.workDir / "quarneld" / "template4.dat").string() +
                                   ": " + error);
        return;
    }
    const auto description = BuildObjectDescription(*tmpl, object);
    if (!description) return;
    Send(host, object.playerId, player, DPSEND_GUARANTEED, description->header.encode());
    Send(host, object.playerId, player, DPSEND_GUARANTEED, description->body.encode());
}

void ShowLightDamage(GameHost& host, TargetObject& object) {
    if (object.effectLevel >= 16) return;
    object.effectLevel = 16;
    if (VersionTwo(host)) {
        SendEffect(host, object, DamageEffect::Light, DPSEND_GUARANTEED);
    } else {
        SendEffect(host, object, DamageEffect::Cleared, 0);
        SendEffect(host, object, DamageEffect::Light, 0);
    }
}

void ShowHeavyDamage(GameHost& host, TargetObject& object) {
    if (object.effectLevel >= 64) return;
    if (VersionTwo(host)) {
        SendEffect(host, object, DamageEffect::Heavy, DPSEND_GUARANTEED);
    } else {
        SendEffect(host, object, DamageEffect::Cleared, 0);
        SendEffect(host, object, DamageEffect::Heavy, 0);
    }
    object.effectLevel = 64;
}

void ShowDestroyed(GameHost& host, TargetObject& object) {
    if (object.effectLevel >= 80) return;
    object.effectLevel = 80;
    if (VersionTwo(host)) return;
    SendEffect(host, object, DamageEffect::Cleared, 0);
    SendEffect(host, object, DamageEffect::Destroyed, DPSEND_GUARANTEED);
}

void DestroyObject(GameHost& host, TargetObject& object, DPID destroyer) {
    object.destroyed = 1;
    object.inGame = 0;
    SendPosition(host, object, destroyer);
    ShowDestroyed(host, object);
    host.window.SetTimer(object.respawnTimerId, kRespawnDelayMs);
}

void RespawnExpired(GameHost& host, TargetObject& object) {
    host.window.KillTimer(object.respawnTimerId);
    if (static_cast<uint32_t>(object.damage) >= static_cast<uint32_t>(object.lifePoints))
        Send(host, object.playerId, DPID_ALLPLAYERS, DPSEND_GUARANTEED, NetKill{0, object.lastHitter}.encode());
    if (!VersionTwo(host)) SendEffect(host, object, DamageEffect::Cleared, 0);
    SetObjectStatus(host, object, LetterState::Waiting);
    host.state.targetsReadied = 0;
    object.inGame = 0;
    SetObjectStatus(host, object, LetterState::Waiting);
    host.state.targetsReadied = 0;
}

}  // namespace qd
