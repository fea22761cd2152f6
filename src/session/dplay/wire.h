#pragma once
// DirectPlay 4 wire format (the DPSP messages of the TCP/IP service provider).
//
// Every message on the wire starts with a 20-byte prefix (size and token in one
// little-endian word, then a SOCKADDR_IN) and, for system messages, the 8-byte
// envelope "play" + command + version. Offsets inside messages count from the
// envelope, i.e. from byte 20 of the frame. Player messages carry no envelope.
//
// Decoders take one whole frame (prefix included), never read past it and answer
// std::nullopt for anything malformed. Encoders produce exact bytes with the size
// word filled in.
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "platform/result.h"
#include "session/dptypes.h"

namespace qd::dplay {

using Bytes = std::vector<uint8_t>;
using ByteView = std::span<const uint8_t>;

constexpr uint16_t kDirectPlayPort = 47624;      // enumeration, UDP and TCP
constexpr std::size_t kPrefixSize = 20;          // size/token + SOCKADDR_IN
constexpr std::size_t kHeaderSize = 28;          // prefix + "play" + command + version
constexpr uint32_t kSignature = 0x79616c70;      // "play"
constexpr uint32_t kMaxWireSize = 0x000FFFFF;    // the size field has 20 bits
constexpr std::size_t kSessionDescSize = 80;     // DPSESSIONDESC2 in its 32-bit form
constexpr std::size_t kPackedPlayerFixedSize = 48;
constexpr std::size_t kSuperPackedFixedSize = 16;
constexpr std::size_t kSpDataSize = 32;          // two SOCKADDR_INs
constexpr std::size_t kMaxNameChars = 1024;      // longest wide string we accept

enum class Token : uint16_t {
    Remote = 0xFAB,     // from a remote DirectPlay machine
    Forwarded = 0xCAB,  // to be forwarded to all registered servers
    Server = 0xBAB,     // from a DirectPlay server
};

// Protocol dialects as a system player reports them (DPLAYI_SUPERPACKEDPLAYER's
// version, the envelope's version). A DirectX 5 runtime predates the documented
// dialects; it is accepted with whatever number it sends.
namespace dialect {
constexpr uint16_t DX6 = 9;     // first documented dialect
constexpr uint16_t DX61 = 10;   // new hosts announce themselves with IAMNAMESERVER
constexpr uint16_t DX61A = 11;  // no change; what the settings message carries
constexpr uint16_t DX71 = 12;   // voice; core unchanged
constexpr uint16_t DX8 = 13;    // CREATEPLAYERVERIFY
constexpr uint16_t DX9 = 14;    // no change
}  // namespace dialect
const char* dialectName(uint16_t version);  // "DX9" ..., or "unknown"

enum class Command : uint16_t {
    EnumSessionsReply = 0x0001,
    EnumSessions = 0x0002,
    EnumPlayersReply = 0x0003,
    EnumPlayer = 0x0004,
    RequestPlayerId = 0x0005,
    RequestGroupId = 0x0006,
    RequestPlayerReply = 0x0007,
    CreatePlayer = 0x0008,
    CreateGroup = 0x0009,
    PlayerMessage = 0x000A,
    DeletePlayer = 0x000B,
    DeleteGroup = 0x000C,
    AddPlayerToGroup = 0x000D,
    DeletePlayerFromGroup = 0x000E,
    PlayerDataChanged = 0x000F,
    PlayerNameChanged = 0x0010,
    GroupDataChanged = 0x0011,
    GroupNameChanged = 0x0012,
    AddForwardRequest = 0x0013,
    Packet = 0x0015,
    Ping = 0x0016,
    PingReply = 0x0017,
    YouAreDead = 0x0018,
    PlayerWrapper = 0x0019,
    SessionDescChanged = 0x001A,
    AddForwardReply = 0x0024,
    AddShortcutToGroup = 0x0027,
    DeleteGroupFromGroup = 0x0028,
    SuperEnumPlayersReply = 0x0029,
    AddForward = 0x002E,
    AddForwardAck = 0x002F,
    IAmNameServer = 0x0035,
    CreatePlayerVerify = 0x0038,
};

// Player flags of packed players and of REQUESTPLAYERID.
constexpr uint32_t kPlayerSystem = 0x1;
constexpr uint32_t kPlayerNameServer = 0x2;
constexpr uint32_t kPlayerInGroup = 0x4;
constexpr uint32_t kPlayerLocal = 0x8;  // "on the sending machine"

// EnumSessions flags.
constexpr uint32_t kEnumAvailable = 0x1;
constexpr uint32_t kEnumAll = 0x2;
constexpr uint32_t kEnumPasswordRequired = 0x40;

// Session flags that change the wire.
constexpr uint32_t kSessionNoMessageId = 0x8;    // player messages without ids
constexpr uint32_t kSessionClientServer = 0x1000;  // name table as ENUMPLAYERSREPLY

// ---------------------------------------------------------------------------
// Bounds-checked little-endian reader. A read past the end marks the reader as
// failed and yields zeros; callers check ok() once at the end.
class Reader {
public:
    explicit Reader(ByteView data, std::size_t pos = 0) : data_(data), pos_(pos) {
        if (pos_ > data_.size()) fail();
    }
    uint8_t u8();
    uint16_t u16();
    uint16_t u16be();
    uint32_t u32();
    Guid guid();
    ByteView bytes(std::size_t n);
    void skip(std::size_t n) { (void)bytes(n); }
    // A NUL-terminated UTF-16LE string; fails without a terminator within the data
    // or beyond kMaxNameChars characters.
    std::u16string wstring();
    bool ok() const { return ok_; }
    std::size_t pos() const { return pos_; }
    std::size_t remaining() const { return ok_ ? data_.size() - pos_ : 0; }
    bool atEnd() const { return ok_ && pos_ == data_.size(); }
    void fail() { ok_ = false; pos_ = data_.size(); }

private:
    bool need(std::size_t n);
    ByteView data_;
    std::size_t pos_ = 0;
    bool ok_ = true;
};

class Writer {
public:
    explicit Writer(Bytes& out) : out_(out) {}
    void u8(uint8_t v) { out_.push_back(v); }
    void u16(uint16_t v);
    void u16be(uint16_t v);
    void u32(uint32_t v);
    void guid(const Guid& g);
    void bytes(ByteView b) { out_.insert(out_.end(), b.begin(), b.end()); }
    void zeros(std::size_t n) { out_.insert(out_.end(), n, 0); }
    void wstring(const std::u16string& s);  // with its terminating NUL
    void patchU32(std::size_t at, uint32_t v);
    std::size_t size() const { return out_.size(); }

private:
    Bytes& out_;
};

// ---------------------------------------------------------------------------
// Structures.

// SOCKADDR_IN as DirectPlay sends it: family little-endian, port and address in
// network order.
struct SockAddrIn {
    uint16_t family = 2;
    uint16_t port = 0;                  // host value
    std::array<uint8_t, 4> addr{};      // a.b.c.d in order
    friend bool operator==(const SockAddrIn&, const SockAddrIn&) = default;
};
std::optional<SockAddrIn> readSockAddr(Reader& r);
void writeSockAddr(Writer& w, const SockAddrIn& a);

// The TCP/IP service provider's data of a player: stream and datagram addresses.
struct SpData {
    SockAddrIn stream;
    SockAddrIn datagram;
    friend bool operator==(const SpData&, const SpData&) = default;
};
std::optional<SpData> decodeSpData(ByteView b);
Bytes encodeSpData(const SpData& d);

struct Header {
    uint32_t size = 0;
    Token token = Token::Remote;
    SockAddrIn sockAddr;
    bool hasEnvelope = false;  // "play" found: a system message
    Command command{};
    uint16_t version = 0;
};

// DPSESSIONDESC2: the pointer slots are read and ignored; the names travel apart.
std::optional<SessionDesc> readSessionDesc(Reader& r);
void writeSessionDesc(Writer& w, const SessionDesc& d, uint32_t nameSlot = 0, uint32_t passwordSlot = 0);

// DPSECURITYDESC (24 bytes).
struct SecurityDesc {
    uint32_t size = 0;
    uint32_t flags = 0;
    uint32_t sspiProvider = 0;
    uint32_t capiProvider = 0;
    uint32_t capiProviderType = 0;
    uint32_t encryptionAlgorithm = 0;
    friend bool operator==(const SecurityDesc&, const SecurityDesc&) = default;
};

// DPLAYI_PACKEDPLAYER: a player or group in CREATEPLAYER, CREATEGROUP, ADDFORWARD,
// ADDFORWARDREQUEST and ENUMPLAYERSREPLY.
struct PackedPlayer {
    uint32_t flags = 0;
    DPID id = 0;
    std::optional<std::u16string> shortName;
    std::optional<std::u16string> longName;
    Bytes spData;
    Bytes playerData;
    std::vector<DPID> playerIds;  // members of a group
    DPID systemPlayerId = 0;
    uint32_t version = dialect::DX9;
    DPID parentId = 0;
    friend bool operator==(const PackedPlayer&, const PackedPlayer&) = default;
};
std::optional<PackedPlayer> readPackedPlayer(Reader& r);
void writePackedPlayer(Writer& w, const PackedPlayer& p);

// DPLAYI_SUPERPACKEDPLAYER: the name table entries of SUPERENUMPLAYERSREPLY.
struct SuperPackedPlayer {
    uint32_t flags = 0;
    DPID id = 0;
    uint32_t versionOrSystemPlayerId = 0;  // dialect for system players, else their system player
    std::optional<std::u16string> shortName;
    std::optional<std::u16string> longName;
    std::optional<Bytes> playerData;
    std::optional<Bytes> spData;
    std::optional<std::vector<DPID>> playerIds;
    std::optional<DPID> parentId;
    std::optional<std::vector<DPID>> shortcutIds;
    friend bool operator==(const SuperPackedPlayer&, const SuperPackedPlayer&) = default;
};
std::optional<SuperPackedPlayer> readSuperPackedPlayer(Reader& r);
void writeSuperPackedPlayer(Writer& w, const SuperPackedPlayer& p);

// ---------------------------------------------------------------------------
// Messages.

struct EnumSessionsRequest {
    Guid application;
    uint32_t flags = 0;
    std::optional<std::u16string> password;
};
struct EnumSessionsReply {
    SessionDesc desc;  // sessionName travels after the description
};
struct EnumPlayerRequest {};
struct RequestPlayerId {
    uint32_t flags = 0;
};
struct RequestGroupId {
    uint32_t flags = 0;
};
struct RequestPlayerReply {
    DPID id = 0;
    SecurityDesc security;
    std::optional<std::u16string> sspiProvider;
    std::optional<std::u16string> capiProvider;
    HRESULT result = 0;
};
// CREATEPLAYER, CREATEGROUP, DELETEPLAYER, DELETEGROUP, ADDPLAYERTOGROUP,
// DELETEPLAYERFROMGROUP, ADDSHORTCUTTOGROUP, DELETEGROUPFROMGROUP, ADDFORWARD and
// CREATEPLAYERVERIFY share one body; `info` is present where the command carries a
// packed player (create, add-forward, verify).
struct PlayerMgmt {
    Command command{};
    DPID idTo = 0;
    DPID playerId = 0;
    DPID groupId = 0;
    std::optional<PackedPlayer> info;
};
struct AddForwardRequest {
    DPID idTo = 0;
    DPID playerId = 0;
    DPID groupId = 0;
    PackedPlayer info;
    std::optional<std::u16string> password;
    uint32_t tickCount = 0;
};
struct AddForwardAck {
    DPID id = 0;
};
struct AddForwardReply {
    HRESULT error = 0;
};
struct SuperEnumPlayersReply {
    SessionDesc desc;
    std::vector<SuperPackedPlayer> players;
    std::vector<SuperPackedPlayer> groups;
    std::vector<SuperPackedPlayer> shortcuts;
};
struct EnumPlayersReply {
    SessionDesc desc;
    std::vector<PackedPlayer> players;
    std::vector<PackedPlayer> groups;
};
// PLAYERDATACHANGED / GROUPDATACHANGED.
struct DataChanged {
    Command command{};
    DPID idTo = 0;
    DPID id = 0;
    Bytes data;
};
// PLAYERNAMECHANGED / GROUPNAMECHANGED.
struct NameChanged {
    Command command{};
    DPID idTo = 0;
    DPID id = 0;
    std::optional<std::u16string> shortName;
    std::optional<std::u16string> longName;
};
struct SessionDescChanged {
    DPID idTo = 0;
    SessionDesc desc;  // sessionName and password travel after it
};
struct Ping {
    bool reply = false;
    DPID idFrom = 0;
    uint32_t tickCount = 0;
};
struct YouAreDead {};
struct IAmNameServer {
    DPID idTo = 0;
    DPID idHost = 0;
    uint32_t flags = 0;
    Bytes spData;
};
struct PlayerWrapper {
    Bytes inner;  // an enclosed player message, prefix included
};
// DPSP_MSG_PACKET: one fragment of a larger message.
struct PacketFragment {
    Guid message;
    uint32_t index = 0;
    uint32_t offset = 0;
    uint32_t totalPackets = 0;
    uint32_t messageSize = 0;
    Bytes data;
};
// An application message between players (no envelope). The ids are absent in
// sessions with DPSESSION_NOMESSAGEID.
struct PlayerMessage {
    std::optional<DPID> idFrom;
    std::optional<DPID> idTo;
    Bytes payload;
};

using Message = std::variant<EnumSessionsRequest, EnumSessionsReply, EnumPlayerRequest, RequestPlayerId,
                             RequestGroupId, RequestPlayerReply, PlayerMgmt, AddForwardRequest, AddForwardAck,
                             AddForwardReply, SuperEnumPlayersReply, EnumPlayersReply, DataChanged, NameChanged,
                             SessionDescChanged, Ping, YouAreDead, IAmNameServer, PlayerWrapper, PacketFragment,
                             PlayerMessage>;

struct Frame {
    Header header;
    Message message;
};

// The prefix and, when present, the envelope. Requires the size field to equal the
// frame's length and a known token.
std::optional<Header> decodeHeader(ByteView frame);

// A whole frame as it came off a stream or as one datagram (prefix included).
// `noMessageIds` follows the session's DPSESSION_NOMESSAGEID flag for player messages.
std::optional<Frame> decodeFrame(ByteView frame, bool noMessageIds = false);

// A player message sent over UDP without a guarantee has no prefix at all: just
// the ids and the payload.
std::optional<PlayerMessage> decodeBarePlayerMessage(ByteView datagram, bool noMessageIds = false);

// The player message inside a PLAYERWRAPPER: a whole player-message frame, read as
// one even where its first bytes spell "play".
std::optional<PlayerMessage> decodeWrappedPlayerMessage(ByteView inner, bool noMessageIds = false);

// What the prefix and envelope of an outgoing message carry.
struct EncodeContext {
    Token token = Token::Remote;
    SockAddrIn sockAddr;  // the sender's port for replies; address 0.0.0.0
    uint16_t version = dialect::DX9;
};

// Empty when the message would not fit the 20-bit size field.
Bytes encode(const EncodeContext& ctx, const Message& message);
// The same, padded with zeros to `totalSize` (which must not be smaller than the
// message) — the settings message is a SESSIONDESCCHANGED padded to 264 bytes.
Bytes encodePadded(const EncodeContext& ctx, const Message& message, std::size_t totalSize);
Bytes encodeBarePlayerMessage(const PlayerMessage& m);

// Commands whose body is a PlayerMgmt, and those of them that carry a packed player.
bool isPlayerMgmtCommand(Command c);
bool carriesPackedPlayer(Command c);

}  // namespace qd::dplay
