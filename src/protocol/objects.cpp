#include "protocol/objects.h"

#include <cstring>
#include <fstream>

#include "protocol/bytes.h"

namespace qd {

WirePosition ObjectWirePosition(const TargetObject& o) {
    return PackPosition(o.latitude, o.longitude, o.altitude + o.heightOffset / kFeetPerMetre, o.staticPitch,
                        o.heading);
}

NetPosition MakeObjectPosition(const TargetObject& object, uint32_t tick, uint32_t sequence) {
    return NetPosition{tick, sequence, ObjectWirePosition(object)};
}

NetMotion MakeObjectMotion(const TargetObject& object, uint32_t tick, uint32_t sequence) {
    NetMotion m;
    m.sequence = sequence;
    m.tick = tick;
    m.position = ObjectWirePosition(object);
    return m;
}

namespace {
constexpr uint64_t kInstanceAt1 = 8, kInstanceAt2 = 36, kAirfieldAt = 26;
constexpr uint64_t kMinBody = kInstanceAt2 + 2;
constexpr std::uintmax_t kMaxTemplateBytes = 1u << 20;
}  // namespace

std::optional<ObjectTemplate> ParseObjectTemplate(ByteSpan file, std::string* error) {
    auto fail = [&](std::string why) -> std::optional<ObjectTemplate> {
        if (error) *error = std::move(why);
        return std::nullopt;
    };
    ByteReader r(file);
    ObjectTemplate t;
    t.firstLength = r.u32();
    t.secondLength = r.u32();
    t.typeIdOffset = r.u32();
    t.typeCodeOffset = r.u32();
    if (!r.ok()) return fail("shorter than its 16-byte head");
    const uint64_t length = uint64_t(t.firstLength) + t.secondLength;
    if (length > r.remaining())
        return fail("body of " + std::to_string(length) + " bytes but only " + std::to_string(r.remaining()) +
                    " in the file");
    if (length < kMinBody) return fail("body of " + std::to_string(length) + " bytes is shorter than 38");
    if (uint64_t(t.typeIdOffset) + 16 > length)
        return fail("type identifier offset " + std::to_string(t.typeIdOffset) + " is outside the body");
    if (t.typeCodeOffset < 2 || uint64_t(t.typeCodeOffset) + 4 > length)
        return fail("type code offset " + std::to_string(t.typeCodeOffset) + " is outside the body");
    auto body = r.take(std::size_t(length));
    t.body.assign(body.begin(), body.end());
    return t;
}

std::optional<Bytes> ReadObjectTemplateFile(const std::filesystem::path& workDir, std::string* error) {
    const auto file = workDir / "quarneld" / "template4.dat";
    auto fail = [&](std::string why) -> std::optional<Bytes> {
        if (error) *error = file.string() + ": " + why;
        return std::nullopt;
    };
    std::ifstream in(file, std::ios::binary);
    if (!in) return fail("cannot open");
    std::error_code ec;
    const auto size = std::filesystem::file_size(file, ec);
    if (ec) return fail(ec.message());
    if (size > kMaxTemplateBytes) return fail("larger than 1 MiB");
    Bytes bytes(static_cast<std::size_t>(size));
    if (!bytes.empty() && !in.read(reinterpret_cast<char*>(bytes.data()), std::streamsize(bytes.size())))
        return fail("cannot read to its end");
    return bytes;
}

std::optional<ObjectDescription> BuildObjectDescription(const ObjectTemplate& t, const TargetObject& object) {
    if (!object.typeGuid) return std::nullopt;
    ObjectDescription d;
    d.header.firstLength = t.firstLength;
    d.header.secondLength = t.secondLength;
    d.header.instanceNumber = object.instanceNumber;
    d.header.aircraft = object.aircraft;

    // ParseObjectTemplate has placed every patch inside the body; .at() still guards a
    // hand-made template.
    Bytes body = t.body;
    const uint16_t instance = uint16_t(object.instanceNumber);
    for (std::size_t i = 0; i < 16; ++i) body.at(t.typeIdOffset + i) = (*object.typeGuid)[i];
    PutU32(body, t.typeCodeOffset, object.typeCode);
    PutU16(body, t.typeCodeOffset - 2, instance);
    PutU16(body, kInstanceAt1, instance);
    PutU16(body, kInstanceAt2, instance);
    if (object.isAirfield == 1) PutU32(body, kAirfieldAt, 0x20002);
    d.body.body = std::move(body);
    return d;
}

std::optional<NetEffect> BuildDamageEffect(int simulatorVersion, DamageEffect effect, uint32_t objectPlayerId) {
    // Offsets are from the start of the datagram; the payload starts after the header.
    auto at = [](std::size_t offset) { return offset - 8; };
    if (simulatorVersion == 2) {
        Bytes p(NetEffect::kLengthV2 - 8, 0);
        switch (effect) {
            case DamageEffect::Light: {
                PutU32(p, at(8), objectPlayerId);
                PutU32(p, at(12), 0x1FF8F);
                PutU32(p, at(16), 8);
                PutU32(p, at(20), 140);
                PutU32(p, at(68), 10);
                static const char kSmoke[] = "fx_intsmoke";
                std::memcpy(p.data() + at(128), kSmoke, sizeof kSmoke);
                break;
            }
            case DamageEffect::Heavy:
                PutU32(p, at(8), 9078);
                PutU32(p, at(12), 0xFF8F);
                PutU32(p, at(16), 1);
                PutU32(p, at(28), 1);
                PutU32(p, at(40), 1);
                break;
            case DamageEffect::Destroyed:
            case DamageEffect::Cleared: return std::nullopt;
        }
        return NetEffect{std::move(p)};
    }
    Bytes p(NetEffect::kLengthV1 - 8, 0);
    switch (effect) {
        case DamageEffect::Light:
        case DamageEffect::Heavy:
            PutF64(p, at(152), -1.0);
            PutF64(p, at(160), 0.0);
            PutF64(p, at(168), 2.015);
            PutU32(p, at(176), effect == DamageEffect::Light ? 4 : 2);
            PutU32(p, at(180), effect == DamageEffect::Light ? 1 : 4);
            PutF64(p, at(184), 1.16);
            break;
        case DamageEffect::Destroyed:
            PutU32(p, at(20), 1);
            PutU32(p, at(32), 1);
            break;
        case DamageEffect::Cleared: break;
    }
    return NetEffect{std::move(p)};
}

}  // namespace qd
