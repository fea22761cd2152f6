#pragma once
// The application messages exchanged with simulator clients: a u32 type, a u32 size and
// the fields, all little-endian. Every message type has a value type with encode(),
// which gives the exact datagram, and decode(), which refuses (nullopt) a datagram that
// is shorter than its fixed fields, whose size field disagrees with its length, or
// whose counts and lengths claim more bytes than it holds. A handler therefore never
// sees a partial record. Where the size field is the length - 8, bytes after the fixed
// fields are accepted and left out of the value (clients may append fields the host
// never reads); the layouts with other size rules (name reply, join refused, object
// body, damage profile) and the effect must match their length exactly.
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

namespace qd {

enum NetType : uint32_t {
    NET_NAME_REPLY = 0x1001,
    NET_NAME_REQUEST = 0x1002,
    NET_OBJECT_DESTROYED = 0x1004,
    NET_TIME_SYNC = 0x1009,
    NET_POSITION = 0x100A,
    NET_MOTION = 0x100B,
    NET_OBJECT_HEADER = 0x100C,
    NET_OBJECT_BODY = 0x100D,
    NET_LAUNCH = 0x1012,
    NET_KILL = 0x1016,
    NET_PROBE = 0x101A,
    NET_PROBE_REPLY = 0x101B,
    NET_JOIN_TEAM = 0x101C,
    NET_JOIN_REFUSED = 0x101D,
    NET_BACK_IN_READY_ROOM = 0x101E,
    NET_PAUSE_REQUEST = 0x101F,
    NET_PAUSE_STATE = 0x1020,
    NET_OBJECT_DATA_REQUEST = 0x1021,
    NET_DAMAGE_PROFILE = 0x1022,
    NET_TEXT = 0x1025,
    NET_HITS = 0x20003,
    NET_EFFECT = 0x20004,
};

using Bytes = std::vector<uint8_t>;
using ByteSpan = std::span<const uint8_t>;

// The type of a datagram, when it has a whole header.
std::optional<uint32_t> PeekNetType(ByteSpan datagram);

// ---- Packing of positions, attitudes and times --------------------------------------

// A position coordinate on the wire: the whole part truncated toward zero and the
// fraction in 1/65536 (low 16 bits, so a negative value has a negative fraction).
struct SplitValue {
    int32_t whole = 0;
    uint16_t fraction = 0;
    friend bool operator==(const SplitValue&, const SplitValue&) = default;
};
// Values beyond the i32 range are clamped to it and NaN codes as 0, so a bad
// configuration value cannot produce an undefined conversion.
SplitValue SplitCoordinate(double value);

// An angle in degrees brought into 0..360 and coded in 10 bits (x 1023 / 360, truncated).
uint32_t AngleCode(double degrees);
// Pitch in bits 22..31, heading in bits 2..11.
uint32_t AttitudeWord(double pitchDegrees, double headingDegrees);

// NET_LAUNCH's time of day: hour in bits 0..7, minute 8..15, second 16..23. With
// daylight-saving rules in the local zone the hour is taken one back. A time outside
// one day is first brought into it.
uint32_t TimeOfDayWord(int64_t secondsAfterMidnight, bool daylight);
// A fraction of a full turn scaled to 0..4294967295 (truncated). Fractions above one
// turn wrap; NaN, infinities and negatives give 0.
uint32_t TurnFraction(double fraction);

// The position block shared by NET_POSITION and NET_MOTION.
struct WirePosition {
    uint32_t attitude = 0;
    SplitValue latitude, longitude, altitude;
    uint16_t pad = 0;
    friend bool operator==(const WirePosition&, const WirePosition&) = default;
};
WirePosition PackPosition(double latitudeM, double longitudeUnits, double altitudeM, double pitchDegrees,
                          double headingDegrees);

// ---- Messages --------------------------------------------------------------------------

struct NetNameRequest {
    static constexpr uint32_t kType = NET_NAME_REQUEST;
    Bytes encode() const;
    static std::optional<NetNameRequest> decode(ByteSpan d);
    friend bool operator==(const NetNameRequest&, const NetNameRequest&) = default;
};

// Size field = length of the name + 1 (the datagram is 4 bytes longer than size + 8).
struct NetNameReply {
    static constexpr uint32_t kType = NET_NAME_REPLY;
    uint32_t reserved = 0;
    std::string name;  // ends at its first NUL
    Bytes encode() const;
    static std::optional<NetNameReply> decode(ByteSpan d);
    friend bool operator==(const NetNameReply&, const NetNameReply&) = default;
};

struct NetObjectDestroyed {
    static constexpr uint32_t kType = NET_OBJECT_DESTROYED;
    uint32_t objectId = 0;
    Bytes encode() const;
    static std::optional<NetObjectDestroyed> decode(ByteSpan d);
    friend bool operator==(const NetObjectDestroyed&, const NetObjectDestroyed&) = default;
};

// Refused under 20 bytes: the handler rewrites all three stamps in place.
struct NetTimeSync {
    static constexpr uint32_t kType = NET_TIME_SYNC;
    uint32_t echoStamp = 0;
    uint32_t receiveStamp = 0;
    uint32_t sendStamp = 0;
    Bytes encode() const;
    static std::optional<NetTimeSync> decode(ByteSpan d);
    friend bool operator==(const NetTimeSync&, const NetTimeSync&) = default;
};

struct NetPosition {
    static constexpr uint32_t kType = NET_POSITION;
    static constexpr std::size_t kLength = 40;
    uint32_t tick = 0;
    uint32_t sequence = 0;
    WirePosition position;
    Bytes encode() const;
    static std::optional<NetPosition> decode(ByteSpan d);
    friend bool operator==(const NetPosition&, const NetPosition&) = default;
};

struct NetMotion {
    static constexpr uint32_t kType = NET_MOTION;
    static constexpr std::size_t kLength = 56;
    uint32_t sequence = 0;
    uint32_t tick = 0;
    std::array<uint8_t, 16> velocity{};  // zero from host objects; kept as received
    WirePosition position;
    Bytes encode() const;
    static std::optional<NetMotion> decode(ByteSpan d);
    friend bool operator==(const NetMotion&, const NetMotion&) = default;
};

// First half of an object description; A and B are the lengths of the body's parts.
struct NetObjectHeader {
    static constexpr uint32_t kType = NET_OBJECT_HEADER;
    uint32_t firstLength = 0;   // A
    uint32_t secondLength = 0;  // B
    uint32_t instanceNumber = 0;
    std::string aircraft;
    Bytes encode() const;
    static std::optional<NetObjectHeader> decode(ByteSpan d);
    friend bool operator==(const NetObjectHeader&, const NetObjectHeader&) = default;
};

// The (patched) body; the datagram is body + 17 bytes with size = body + 8.
struct NetObjectBody {
    static constexpr uint32_t kType = NET_OBJECT_BODY;
    Bytes body;
    Bytes encode() const;
    static std::optional<NetObjectBody> decode(ByteSpan d);
    friend bool operator==(const NetObjectBody&, const NetObjectBody&) = default;
};

struct NetLaunch {
    static constexpr uint32_t kType = NET_LAUNCH;
    uint32_t timeOfDay = 0;
    uint32_t one = 1;
    uint32_t playerId = 0;
    uint32_t turnFraction = 0;
    Bytes encode() const;
    static std::optional<NetLaunch> decode(ByteSpan d);
    friend bool operator==(const NetLaunch&, const NetLaunch&) = default;
};

struct NetKill {
    static constexpr uint32_t kType = NET_KILL;
    uint32_t reserved = 0;
    uint32_t killerId = 0;  // the player whose hits were counted last
    Bytes encode() const;
    static std::optional<NetKill> decode(ByteSpan d);
    friend bool operator==(const NetKill&, const NetKill&) = default;
};

struct NetProbe {
    static constexpr uint32_t kType = NET_PROBE;
    Bytes encode() const;
    static std::optional<NetProbe> decode(ByteSpan d);
    friend bool operator==(const NetProbe&, const NetProbe&) = default;
};

struct NetProbeReply {
    static constexpr uint32_t kType = NET_PROBE_REPLY;
    Bytes encode() const;
    static std::optional<NetProbeReply> decode(ByteSpan d);
    friend bool operator==(const NetProbeReply&, const NetProbeReply&) = default;
};

struct NetJoinTeam {
    static constexpr uint32_t kType = NET_JOIN_TEAM;
    uint32_t groupId = 0;
    Bytes encode() const;
    static std::optional<NetJoinTeam> decode(ByteSpan d);
    friend bool operator==(const NetJoinTeam&, const NetJoinTeam&) = default;
};

// 12 bytes whose size field is 0.
struct NetJoinRefused {
    static constexpr uint32_t kType = NET_JOIN_REFUSED;
    uint32_t reserved = 0;
    Bytes encode() const;
    static std::optional<NetJoinRefused> decode(ByteSpan d);
    friend bool operator==(const NetJoinRefused&, const NetJoinRefused&) = default;
};

struct NetBackInReadyRoom {
    static constexpr uint32_t kType = NET_BACK_IN_READY_ROOM;
    Bytes encode() const;
    static std::optional<NetBackInReadyRoom> decode(ByteSpan d);
    friend bool operator==(const NetBackInReadyRoom&, const NetBackInReadyRoom&) = default;
};

struct NetPauseRequest {
    static constexpr uint32_t kType = NET_PAUSE_REQUEST;
    Bytes encode() const;
    static std::optional<NetPauseRequest> decode(ByteSpan d);
    friend bool operator==(const NetPauseRequest&, const NetPauseRequest&) = default;
};

struct NetPauseState {
    static constexpr uint32_t kType = NET_PAUSE_STATE;
    static constexpr uint32_t kToNewcomer = 0xFFFFFFFFu;
    uint32_t requester = 0;
    uint32_t paused = 0;
    Bytes encode() const;
    static std::optional<NetPauseState> decode(ByteSpan d);
    friend bool operator==(const NetPauseState&, const NetPauseState&) = default;
};

struct NetObjectDataRequest {
    static constexpr uint32_t kType = NET_OBJECT_DATA_REQUEST;
    Bytes encode() const;
    static std::optional<NetObjectDataRequest> decode(ByteSpan d);
    friend bool operator==(const NetObjectDataRequest&, const NetObjectDataRequest&) = default;
};

// Compressed damage profile: size = N + 8 for N content bytes; C = stream + 4 follows,
// then "JM" 0 1 and the stream; the datagram is C + 16 bytes.
struct NetDamageProfile {
    static constexpr uint32_t kType = NET_DAMAGE_PROFILE;
    uint32_t contentLength = 0;  // N
    Bytes stream;
    Bytes encode() const;
    static std::optional<NetDamageProfile> decode(ByteSpan d);
    friend bool operator==(const NetDamageProfile&, const NetDamageProfile&) = default;
};

enum NetTextKind : uint32_t { kTextChat = 1, kTextNotice = 2 };

// Refused without a terminating NUL; the text ends at the first NUL.
struct NetText {
    static constexpr uint32_t kType = NET_TEXT;
    uint32_t kind = kTextNotice;
    std::string text;
    Bytes encode() const;
    static std::optional<NetText> decode(ByteSpan d);
    friend bool operator==(const NetText&, const NetText&) = default;
};

// Refused when the count claims more 12-byte entries than the datagram holds.
struct NetHits {
    static constexpr uint32_t kType = NET_HITS;
    struct Entry {
        std::array<uint8_t, 12> raw{};
        uint32_t repeatCount() const;
        uint8_t damagePerHit() const { return raw[6]; }
        // damage per hit x (repeat count + 1), in unsigned 32-bit arithmetic
        uint32_t damage() const;
        friend bool operator==(const Entry&, const Entry&) = default;
    };
    std::vector<Entry> entries;
    uint32_t totalDamage() const;  // unsigned 32-bit sum, as the damage counter keeps it
    Bytes encode() const;
    static std::optional<NetHits> decode(ByteSpan d);
    friend bool operator==(const NetHits&, const NetHits&) = default;
};

// A visible damage effect: 392 bytes (size 384) for simulator version 1, 408 bytes
// (size 400) for version 2. The payload is everything after the header.
struct NetEffect {
    static constexpr uint32_t kType = NET_EFFECT;
    static constexpr std::size_t kLengthV1 = 392;
    static constexpr std::size_t kLengthV2 = 408;
    Bytes payload;
    int simulatorVersion() const { return payload.size() + 8 == kLengthV2 ? 2 : 1; }
    Bytes encode() const;
    static std::optional<NetEffect> decode(ByteSpan d);
    friend bool operator==(const NetEffect&, const NetEffect&) = default;
};

using NetMessage =
    std::variant<NetNameReply, NetNameRequest, NetObjectDestroyed, NetTimeSync, NetPosition, NetMotion,
                 NetObjectHeader, NetObjectBody, NetLaunch, NetKill, NetProbe, NetProbeReply, NetJoinTeam,
                 NetJoinRefused, NetBackInReadyRoom, NetPauseRequest, NetPauseState, NetObjectDataRequest,
                 NetDamageProfile, NetText, NetHits, NetEffect>;

// Decodes by the type field; nullopt for unknown types and refused datagrams alike (both
// are ignored by the host).
std::optional<NetMessage> DecodeNetMessage(ByteSpan datagram);
Bytes EncodeNetMessage(const NetMessage& m);

}  // namespace qd
