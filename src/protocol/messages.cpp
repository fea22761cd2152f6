#include "protocol/messages.h"

#include <cmath>
#include <cstring>
#include <limits>

#include "protocol/bytes.h"

namespace qd {

namespace {

// The usual header rule: the expected type, at least minLength bytes, and a size field
// equal to the datagram length - 8.
bool UsualHeader(ByteSpan d, uint32_t type, std::size_t minLength) {
    if (d.size() < minLength || d.size() < 8) return false;
    ByteReader r(d);
    return r.u32() == type && r.u32() == d.size() - 8;
}

ByteWriter Begin(uint32_t type, uint32_t size) {
    ByteWriter w;
    w.u32(type).u32(size);
    return w;
}

// The text before its first NUL; encoders never put an interior NUL on the wire.
std::string CutAtNul(const std::string& s) { return s.substr(0, s.find('\0')); }

// The text starting at `at` up to its NUL; nullopt when no NUL follows inside d.
std::optional<std::string> TextAt(ByteSpan d, std::size_t at) {
    if (at >= d.size()) return std::nullopt;
    const auto* begin = d.data() + at;
    const void* nul = std::memchr(begin, 0, d.size() - at);
    if (!nul) return std::nullopt;
    return std::string(reinterpret_cast<const char*>(begin), static_cast<const uint8_t*>(nul) - begin);
}

void PutPosition(ByteWriter& w, const WirePosition& p) {
    w.i32(p.latitude.whole).i32(p.longitude.whole).i32(p.altitude.whole);
    w.u16(p.latitude.fraction).u16(p.longitude.fraction).u16(p.altitude.fraction).u16(p.pad);
}

void ReadPosition(ByteReader& r, WirePosition& p) {
    p.latitude.whole = r.i32();
    p.longitude.whole = r.i32();
    p.altitude.whole = r.i32();
    p.latitude.fraction = r.u16();
    p.longitude.fraction = r.u16();
    p.altitude.fraction = r.u16();
    p.pad = r.u16();
}

// Messages made of the header alone.
template <typename T>
std::optional<T> DecodeBare(ByteSpan d) {
    if (!UsualHeader(d, T::kType, 8)) return std::nullopt;
    return T{};
}

}  // namespace

std::optional<uint32_t> PeekNetType(ByteSpan datagram) {
    if (datagram.size() < 8) return std::nullopt;
    return ByteReader(datagram).u32();
}

// ---- Packing ------------------------------------------------------------------------

SplitValue SplitCoordinate(double value) {
    if (std::isnan(value)) return {};
    constexpr double kMin = std::numeric_limits<int32_t>::min();
    constexpr double kMax = std::numeric_limits<int32_t>::max();
    if (value <= kMin) return {std::numeric_limits<int32_t>::min(), 0};
    if (value >= kMax) return {std::numeric_limits<int32_t>::max(), 0};
    const int32_t whole = static_cast<int32_t>(value);  // toward zero
    const int32_t fraction = static_cast<int32_t>((value - whole) * 65536.0);
    return {whole, static_cast<uint16_t>(static_cast<uint32_t>(fraction) & 0xFFFFu)};
}

uint32_t AngleCode(double degrees) {
    if (!std::isfinite(degrees)) return 0;
    // Step by whole turns as the client does; far-off values are reduced first so the
    // steps stay few.
    if (std::fabs(degrees) > 1e6) degrees = std::fmod(degrees, 360.0);
    while (degrees > 360.0) degrees -= 360.0;
    while (degrees < 0.0) degrees += 360.0;
    return static_cast<uint32_t>(degrees * 1023.0 / 360.0) & 0x3FFu;
}

uint32_t AttitudeWord(double pitchDegrees, double headingDegrees) {
    return AngleCode(pitchDegrees) << 22 | AngleCode(headingDegrees) << 2;
}

uint32_t TimeOfDayWord(int64_t secondsAfterMidnight, bool daylight) {
    const int64_t t = ((secondsAfterMidnight % 86400) + 86400) % 86400;
    const uint32_t second = uint32_t(t % 60);
    const uint32_t minute = uint32_t((t / 60) % 60);
    uint32_t hour = uint32_t(t / 3600);
    hour = daylight ? (hour + 23) % 24 : hour % 24;
    return second * 65536u + minute * 256u + hour;
}

uint32_t TurnFraction(double fraction) {
    if (!std::isfinite(fraction) || fraction <= 0.0) return 0;
    if (fraction > 1.0) fraction = std::fmod(fraction, 1.0);
    return static_cast<uint32_t>(fraction * 4294967295.0);
}

WirePosition PackPosition(double latitudeM, double longitudeUnits, double altitudeM, double pitchDegrees,
                          double headingDegrees) {
    WirePosition p;
    p.attitude = AttitudeWord(pitchDegrees, headingDegrees);
    p.latitude = SplitCoordinate(latitudeM);
    p.longitude = SplitCoordinate(longitudeUnits);
    p.altitude = SplitCoordinate(altitudeM);
    return p;
}

// ---- Header-only messages -------------------------------------------------------------

Bytes NetNameRequest::encode() const { return Begin(kType, 0).take(); }
std::optional<NetNameRequest> NetNameRequest::decode(ByteSpan d) { return DecodeBare<NetNameRequest>(d); }
Bytes NetProbe::encode() const { return Begin(kType, 0).take(); }
std::optional<NetProbe> NetProbe::decode(ByteSpan d) { return DecodeBare<NetProbe>(d); }
Bytes NetProbeReply::encode() const { return Begin(kType, 0).take(); }
std::optional<NetProbeReply> NetProbeReply::decode(ByteSpan d) { return DecodeBare<NetProbeReply>(d); }
Bytes NetBackInReadyRoom::encode() const { return Begin(kType, 0).take(); }
std::optional<NetBackInReadyRoom> NetBackInReadyRoom::decode(ByteSpan d) {
    return DecodeBare<NetBackInReadyRoom>(d);
}
Bytes NetPauseRequest::encode() const { return Begin(kType, 0).take(); }
std::optional<NetPauseRequest> NetPauseRequest::decode(ByteSpan d) { return DecodeBare<NetPauseRequest>(d); }
Bytes NetObjectDataRequest::encode() const { return Begin(kType, 0).take(); }
std::optional<NetObjectDataRequest> NetObjectDataRequest::decode(ByteSpan d) {
    return DecodeBare<NetObjectDataRequest>(d);
}

// ---- Fixed layouts ----------------------------------------------------------------------

Bytes NetNameReply::encode() const {
    const std::string n = CutAtNul(name);
    auto w = Begin(kType, uint32_t(n.size() + 1));
    w.u32(reserved).cstr(n);
    return w.take();
}
std::optional<NetNameReply> NetNameReply::decode(ByteSpan d) {
    if (d.size() < 13) return std::nullopt;
    ByteReader r(d);
    if (r.u32() != kType || r.u32() != d.size() - 12) return std::nullopt;
    NetNameReply m;
    m.reserved = r.u32();
    auto text = TextAt(d, 12);
    if (!text) return std::nullopt;
    m.name = std::move(*text);
    return m;
}

Bytes NetObjectDestroyed::encode() const { return Begin(kType, 4).u32(objectId).take(); }
std::optional<NetObjectDestroyed> NetObjectDestroyed::decode(ByteSpan d) {
    if (!UsualHeader(d, kType, 12)) return std::nullopt;
    ByteReader r(d.subspan(8));
    return NetObjectDestroyed{r.u32()};
}

Bytes NetTimeSync::encode() const { return Begin(kType, 12).u32(echoStamp).u32(receiveStamp).u32(sendStamp).take(); }
std::optional<NetTimeSync> NetTimeSync::decode(ByteSpan d) {
    if (!UsualHeader(d, kType, 20)) return std::nullopt;
    ByteReader r(d.subspan(8));
    NetTimeSync m;
    m.echoStamp = r.u32();
    m.receiveStamp = r.u32();
    m.sendStamp = r.u32();
    return m;
}

Bytes NetPosition::encode() const {
    auto w = Begin(kType, 32);
    w.u32(tick).u32(sequence).u32(position.attitude);
    PutPosition(w, position);
    return w.take();
}
std::optional<NetPosition> NetPosition::decode(ByteSpan d) {
    if (!UsualHeader(d, kType, kLength)) return std::nullopt;
    ByteReader r(d.subspan(8));
    NetPosition m;
    m.tick = r.u32();
    m.sequence = r.u32();
    m.position.attitude = r.u32();
    ReadPosition(r, m.position);
    return m;
}

Bytes NetMotion::encode() const {
    auto w = Begin(kType, 48);
    w.u32(sequence).u32(tick).bytes(velocity).u32(position.attitude);
    PutPosition(w, position);
    return w.take();
}
std::optional<NetMotion> NetMotion::decode(ByteSpan d) {
    if (!UsualHeader(d, kType, kLength)) return std::nullopt;
    ByteReader r(d.subspan(8));
    NetMotion m;
    m.sequence = r.u32();
    m.tick = r.u32();
    r.bytes(m.velocity.data(), m.velocity.size());
    m.position.attitude = r.u32();
    ReadPosition(r, m.position);
    return m;
}

// Offsets: 8 A+B, 12 1, 36 A, 44 B, 48 instance, 52 1, 60 name length + 1, 64 name.
Bytes NetObjectHeader::encode() const {
    const std::string n = CutAtNul(aircraft);
    Bytes b(n.size() + 65, 0);
    PutU32(b, 0, kType);
    PutU32(b, 4, uint32_t(b.size() - 8));
    PutU32(b, 8, firstLength + secondLength);
    PutU32(b, 12, 1);
    PutU32(b, 36, firstLength);
    PutU32(b, 44, secondLength);
    PutU32(b, 48, instanceNumber);
    PutU32(b, 52, 1);
    PutU32(b, 60, uint32_t(n.size() + 1));
    std::memcpy(b.data() + 64, n.data(), n.size());
    return b;
}
std::optional<NetObjectHeader> NetObjectHeader::decode(ByteSpan d) {
    if (!UsualHeader(d, kType, 65)) return std::nullopt;
    ByteReader r(d.subspan(8));
    NetObjectHeader m;
    const uint32_t total = r.u32();
    const uint32_t one = r.u32();
    r.skip(20);
    m.firstLength = r.u32();
    r.skip(4);
    m.secondLength = r.u32();
    m.instanceNumber = r.u32();
    const uint32_t one2 = r.u32();
    r.skip(4);
    const uint32_t nameLength = r.u32();
    if (!r.ok() || total != m.firstLength + m.secondLength || one != 1 || one2 != 1 || nameLength != d.size() - 64)
        return std::nullopt;
    // Every unnamed byte is 0 in a well-formed header.
    for (std::size_t at : {16u, 20u, 24u, 28u, 32u, 40u, 56u})
        if (GetU32(d, at) != 0) return std::nullopt;
    auto text = TextAt(d, 64);
    if (!text || text->size() + 65 != d.size()) return std::nullopt;
    m.aircraft = std::move(*text);
    return m;
}

Bytes NetObjectBody::encode() const {
    auto w = Begin(kType, uint32_t(body.size() + 8));
    w.u32(uint32_t(body.size())).u32(0).bytes(body).u8(0);
    return w.take();
}
std::optional<NetObjectBody> NetObjectBody::decode(ByteSpan d) {
    if (d.size() < 17) return std::nullopt;
    const std::size_t length = d.size() - 17;
    ByteReader r(d);
    if (r.u32() != kType || r.u32() != length + 8 || r.u32() != length || r.u32() != 0) return std::nullopt;
    if (d.back() != 0) return std::nullopt;
    auto body = r.take(length);
    return NetObjectBody{Bytes(body.begin(), body.end())};
}

Bytes NetLaunch::encode() const { return Begin(kType, 16).u32(timeOfDay).u32(one).u32(playerId).u32(turnFraction).take(); }
std::optional<NetLaunch> NetLaunch::decode(ByteSpan d) {
    if (!UsualHeader(d, kType, 24)) return std::nullopt;
    ByteReader r(d.subspan(8));
    NetLaunch m;
    m.timeOfDay = r.u32();
    m.one = r.u32();
    m.playerId = r.u32();
    m.turnFraction = r.u32();
    return m;
}

Bytes NetKill::encode() const { return Begin(kType, 8).u32(reserved).u32(killerId).take(); }
std::optional<NetKill> NetKill::decode(ByteSpan d) {
    if (!UsualHeader(d, kType, 16)) return std::nullopt;
    ByteReader r(d.subspan(8));
    NetKill m;
    m.reserved = r.u32();
    m.killerId = r.u32();
    return m;
}

Bytes NetJoinTeam::encode() const { return Begin(kType, 4).u32(groupId).take(); }
std::optional<NetJoinTeam> NetJoinTeam::decode(ByteSpan d) {
    if (!UsualHeader(d, kType, 12)) return std::nullopt;
    return NetJoinTeam{ByteReader(d.subspan(8)).u32()};
}

Bytes NetJoinRefused::encode() const { return Begin(kType, 0).u32(reserved).take(); }
std::optional<NetJoinRefused> NetJoinRefused::decode(ByteSpan d) {
    if (d.size() != 12) return std::nullopt;
    ByteReader r(d);
    if (r.u32() != kType || r.u32() != 0) return std::nullopt;
    return NetJoinRefused{r.u32()};
}

Bytes NetPauseState::encode() const { return Begin(kType, 8).u32(requester).u32(paused).take(); }
std::optional<NetPauseState> NetPauseState::decode(ByteSpan d) {
    if (!UsualHeader(d, kType, 16)) return std::nullopt;
    ByteReader r(d.subspan(8));
    NetPauseState m;
    m.requester = r.u32();
    m.paused = r.u32();
    return m;
}

Bytes NetDamageProfile::encode() const {
    auto w = Begin(kType, contentLength + 8);
    w.u32(contentLength).u32(uint32_t(stream.size() + 4));
    w.u8(0x4A).u8(0x4D).u8(0x00).u8(0x01).bytes(stream);
    return w.take();
}
std::optional<NetDamageProfile> NetDamageProfile::decode(ByteSpan d) {
    if (d.size() < 20) return std::nullopt;
    ByteReader r(d);
    NetDamageProfile m;
    if (r.u32() != kType) return std::nullopt;
    const uint32_t size = r.u32();
    m.contentLength = r.u32();
    if (size != uint64_t(m.contentLength) + 8 || r.u32() != d.size() - 16) return std::nullopt;
    if (r.u8() != 0x4A || r.u8() != 0x4D || r.u8() != 0x00 || r.u8() != 0x01) return std::nullopt;
    auto s = r.take(d.size() - 20);
    m.stream.assign(s.begin(), s.end());
    return m;
}

Bytes NetText::encode() const {
    const std::string t = CutAtNul(text);
    auto w = Begin(kType, uint32_t(t.size() + 5));
    w.u32(kind).cstr(t);
    return w.take();
}
std::optional<NetText> NetText::decode(ByteSpan d) {
    if (!UsualHeader(d, kType, 13)) return std::nullopt;
    NetText m;
    m.kind = ByteReader(d.subspan(8)).u32();
    auto t = TextAt(d, 12);
    if (!t) return std::nullopt;
    m.text = std::move(*t);
    return m;
}

uint32_t NetHits::Entry::repeatCount() const { return GetU32(raw, 0); }
uint32_t NetHits::Entry::damage() const { return uint32_t(damagePerHit()) * (repeatCount() + 1u); }
uint32_t NetHits::totalDamage() const {
    uint32_t sum = 0;
    for (const auto& e : entries) sum += e.damage();
    return sum;
}
Bytes NetHits::encode() const {
    auto w = Begin(kType, uint32_t(4 + 12 * entries.size()));
    w.u32(uint32_t(entries.size()));
    for (const auto& e : entries) w.bytes(e.raw);
    return w.take();
}
std::optional<NetHits> NetHits::decode(ByteSpan d) {
    if (!UsualHeader(d, kType, 12)) return std::nullopt;
    ByteReader r(d.subspan(8));
    const uint32_t count = r.u32();
    if (uint64_t(count) * 12 > r.remaining()) return std::nullopt;
    NetHits m;
    m.entries.resize(count);
    for (auto& e : m.entries) r.bytes(e.raw.data(), e.raw.size());
    return m;
}

Bytes NetEffect::encode() const {
    auto w = Begin(kType, uint32_t(payload.size()));
    w.bytes(payload);
    return w.take();
}
std::optional<NetEffect> NetEffect::decode(ByteSpan d) {
    if (d.size() != kLengthV1 && d.size() != kLengthV2) return std::nullopt;
    if (!UsualHeader(d, kType, 8)) return std::nullopt;
    return NetEffect{Bytes(d.begin() + 8, d.end())};
}

// ---- Dispatch ------------------------------------------------------------------------

namespace {
template <typename T>
std::optional<NetMessage> As(ByteSpan d) {
    auto m = T::decode(d);
    if (!m) return std::nullopt;
    return NetMessage{std::move(*m)};
}
}  // namespace

std::optional<NetMessage> DecodeNetMessage(ByteSpan d) {
    const auto type = PeekNetType(d);
    if (!type) return std::nullopt;
    switch (*type) {
        case NET_NAME_REPLY: return As<NetNameReply>(d);
        case NET_NAME_REQUEST: return As<NetNameRequest>(d);
        case NET_OBJECT_DESTROYED: return As<NetObjectDestroyed>(d);
        case NET_TIME_SYNC: return As<NetTimeSync>(d);
        case NET_POSITION: return As<NetPosition>(d);
        case NET_MOTION: return As<NetMotion>(d);
        case NET_OBJECT_HEADER: return As<NetObjectHeader>(d);
        case NET_OBJECT_BODY: return As<NetObjectBody>(d);
        case NET_LAUNCH: return As<NetLaunch>(d);
        case NET_KILL: return As<NetKill>(d);
        case NET_PROBE: return As<NetProbe>(d);
        case NET_PROBE_REPLY: return As<NetProbeReply>(d);
        case NET_JOIN_TEAM: return As<NetJoinTeam>(d);
        case NET_JOIN_REFUSED: return As<NetJoinRefused>(d);
        case NET_BACK_IN_READY_ROOM: return As<NetBackInReadyRoom>(d);
        case NET_PAUSE_REQUEST: return As<NetPauseRequest>(d);
        case NET_PAUSE_STATE: return As<NetPauseState>(d);
        case NET_OBJECT_DATA_REQUEST: return As<NetObjectDataRequest>(d);
        case NET_DAMAGE_PROFILE: return As<NetDamageProfile>(d);
        case NET_TEXT: return As<NetText>(d);
        case NET_HITS: return As<NetHits>(d);
        case NET_EFFECT: return As<NetEffect>(d);
        default: return std::nullopt;
    }
}

Bytes EncodeNetMessage(const NetMessage& m) {
    return std::visit([](const auto& v) { return v.encode(); }, m);
}

}  // namespace qd
