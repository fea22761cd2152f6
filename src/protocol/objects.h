#pragma once
// Datagrams the host's own objects send: position fixes, object descriptions built from
// the template file, and damage effects. Pure builders over value types; sending and
// timers belong to the callers.
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

#include "config/types.h"
#include "protocol/messages.h"

namespace qd {

// The object's position block: altitude raised by its height offset (feet), pitch from
// its static pitch, heading as configured.
WirePosition ObjectWirePosition(const TargetObject& object);
NetPosition MakeObjectPosition(const TargetObject& object, uint32_t tick, uint32_t sequence);
NetMotion MakeObjectMotion(const TargetObject& object, uint32_t tick, uint32_t sequence);

// template4.dat: A, B, P1, P2 (u32 each), then A + B bytes of body.
struct ObjectTemplate {
    uint32_t firstLength = 0;     // A
    uint32_t secondLength = 0;    // B
    uint32_t typeIdOffset = 0;    // P1: 16-byte type identifier within the body
    uint32_t typeCodeOffset = 0;  // P2: 32-bit type code within the body
    Bytes body;
};

// Parses and checks a template: the file must hold the whole body, and every patch the
// description applies must lie inside it (P1 + 16 and P2 + 4 within the body, P2 >= 2,
// a body of at least 38 bytes for the instance fields at 8 and 36). A template that
// fails is refused with a reason, so no client ever gets a half description.
std::optional<ObjectTemplate> ParseObjectTemplate(ByteSpan file, std::string* error = nullptr);

// quarneld/template4.dat under workDir, read whole (at most 1 MiB).
std::optional<Bytes> ReadObjectTemplateFile(const std::filesystem::path& workDir, std::string* error = nullptr);

struct ObjectDescription {
    NetObjectHeader header;
    NetObjectBody body;
};

// The header and the patched body for an object: the type identifier at P1, the type
// code at P2, the low 16 bits of the instance number at P2 - 2, 8 and 36, and for an
// airfield 0x20002 at 26, in that order. nullopt when the object has no type identifier
// (not in the object database).
std::optional<ObjectDescription> BuildObjectDescription(const ObjectTemplate& tmpl, const TargetObject& object);

enum class DamageEffect { Light, Heavy, Destroyed, Cleared };

// The NET_EFFECT for a simulator version (2 = cfs2, anything else the first version's
// layout). Version 2 has no destroyed or cleared effect: nullopt, nothing is sent.
std::optional<NetEffect> BuildDamageEffect(int simulatorVersion, DamageEffect effect, uint32_t objectPlayerId);

}  // namespace qd
