#include "session/dplay/wire.h"

#include <cstring>
#include <type_traits>

namespace qd::dplay {

const char* dialectName(uint16_t version) {
    switch (version) {
    case dialect::DX6: return "DX6";
    case dialect::DX61: return "DX6.1";
    case dialect::DX61A: return "DX6.1a";
    case dialect::DX71: return "DX7.1";
    case dialect::DX8: return "DX8";
    case dialect::DX9: return "DX9";
    default: return "unknown";
    }
}

// ---------------------------------------------------------------------------
// Reader / Writer

bool Reader::need(std::size_t n) {
    if (!ok_ || data_.size() - pos_ < n) {
        fail();
        return false;
    }
    return true;
}

uint8_t Reader::u8() {
    if (!need(1)) return 0;
    return data_[pos_++];
}

uint16_t Reader::u16() {
    if (!need(2)) return 0;
    uint16_t v = static_cast<uint16_t>(data_[pos_] | data_[pos_ + 1] << 8);
    pos_ += 2;
    return v;
}

uint16_t Reader::u16be() {
    if (!need(2)) return 0;
    uint16_t v = static_cast<uint16_t>(data_[pos_] << 8 | data_[pos_ + 1]);
    pos_ += 2;
    return v;
}

uint32_t Reader::u32() {
    if (!need(4)) return 0;
    uint32_t v = uint32_t(data_[pos_]) | uint32_t(data_[pos_ + 1]) << 8 | uint32_t(data_[pos_ + 2]) << 16 |
                 uint32_t(data_[pos_ + 3]) << 24;
    pos_ += 4;
    return v;
}

Guid Reader::guid() {
    if (!need(16)) return {};
    Guid g = Guid::fromBytes(data_.data() + pos_);
    pos_ += 16;
    return g;
}

ByteView Reader::bytes(std::size_t n) {
    if (!need(n)) return {};
    ByteView v = data_.subspan(pos_, n);
    pos_ += n;
    return v;
}

std::u16string Reader::wstring() {
    std::u16string s;
    for (;;) {
        uint16_t c = u16();
        if (!ok_) return {};
        if (c == 0) return s;
        if (s.size() >= kMaxNameChars) {
            fail();
            return {};
        }
        s.push_back(static_cast<char16_t>(c));
    }
}

void Writer::u16(uint16_t v) {
    out_.push_back(static_cast<uint8_t>(v));
    out_.push_back(static_cast<uint8_t>(v >> 8));
}

void Writer::u16be(uint16_t v) {
    out_.push_back(static_cast<uint8_t>(v >> 8));
    out_.push_back(static_cast<uint8_t>(v));
}

void Writer::u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) out_.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

void Writer::guid(const Guid& g) {
    auto b = g.bytes();
    bytes(b);
}

void Writer::wstring(const std::u16string& s) {
    for (char16_t c : s) u16(static_cast<uint16_t>(c));
    u16(0);
}

void Writer::patchU32(std::size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) out_[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// ---------------------------------------------------------------------------
// Structures

std::optional<SockAddrIn> readSockAddr(Reader& r) {
    SockAddrIn a;
    a.family = r.u16();
    a.port = r.u16be();
    ByteView addr = r.bytes(4);
    r.skip(8);  // padding, ignored on receipt
    if (!r.ok()) return std::nullopt;
    std::memcpy(a.addr.data(), addr.data(), 4);
    return a;
}

void writeSockAddr(Writer& w, const SockAddrIn& a) {
    w.u16(a.family);
    w.u16be(a.port);
    w.bytes(a.addr);
    w.zeros(8);
}

std::optional<SpData> decodeSpData(ByteView b) {
    if (b.size() != kSpDataSize) return std::nullopt;
    Reader r(b);
    auto s = readSockAddr(r);
    auto d = readSockAddr(r);
    if (!s || !d) return std::nullopt;
    return SpData{*s, *d};
}

Bytes encodeSpData(const SpData& d) {
    Bytes out;
    Writer w(out);
    writeSockAddr(w, d.stream);
    writeSockAddr(w, d.datagram);
    return out;
}

std::optional<SessionDesc> readSessionDesc(Reader& r) {
    SessionDesc d;
    d.dwSize = r.u32();
    d.dwFlags = r.u32();
    d.guidInstance = r.guid();
    d.guidApplication = r.guid();
    d.dwMaxPlayers = r.u32();
    d.dwCurrentPlayers = r.u32();
    r.skip(8);  // name and password pointer slots: meaningless on the wire
    d.dwReserved1 = r.u32();
    d.dwReserved2 = r.u32();
    d.dwUser1 = r.u32();
    d.dwUser2 = r.u32();
    d.dwUser3 = r.u32();
    d.dwUser4 = r.u32();
    if (!r.ok()) return std::nullopt;
    return d;
}

void writeSessionDesc(Writer& w, const SessionDesc& d, uint32_t nameSlot, uint32_t passwordSlot) {
    w.u32(d.dwSize);
    w.u32(d.dwFlags);
    w.guid(d.guidInstance);
    w.guid(d.guidApplication);
    w.u32(d.dwMaxPlayers);
    w.u32(d.dwCurrentPlayers);
    w.u32(nameSlot);
    w.u32(passwordSlot);
    w.u32(d.dwReserved1);
    w.u32(d.dwReserved2);
    w.u32(d.dwUser1);
    w.u32(d.dwUser2);
    w.u32(d.dwUser3);
    w.u32(d.dwUser4);
}

namespace {

// A name given by its byte length (packed players): even, NUL-terminated, the
// text being everything before the first NUL.
bool readSizedName(Reader& r, uint32_t length, std::optional<std::u16string>& out) {
    if (length == 0) {
        out.reset();
        return true;
    }
    if (length % 2 != 0 || length / 2 > kMaxNameChars + 1) {
        r.fail();
        return false;
    }
    ByteView b = r.bytes(length);
    if (!r.ok()) return false;
    std::u16string s;
    bool terminated = false;
    for (std::size_t i = 0; i < b.size(); i += 2) {
        char16_t c = static_cast<char16_t>(b[i] | b[i + 1] << 8);
        if (c == 0) {
            terminated = true;
            break;
        }
        s.push_back(c);
    }
    if (!terminated) {
        r.fail();
        return false;
    }
    out = std::move(s);
    return true;
}

uint32_t nameBytes(const std::optional<std::u16string>& s) {
    return s ? static_cast<uint32_t>((s->size() + 1) * 2) : 0;
}

// A string found through an offset counted from the envelope. Offsets that point
// into the envelope itself are malformed.
bool readAtOffset(ByteView body, uint32_t offset, std::optional<std::u16string>& out) {
    if (offset == 0) {
        out.reset();
        return true;
    }
    if (offset < 8 || offset >= body.size()) return false;
    Reader r(body, offset);
    std::u16string s = r.wstring();
    if (!r.ok()) return false;
    out = std::move(s);
    return true;
}

// The count of a super-packed field: 0 absent, 1/2/3 = 1/2/4 bytes.
uint32_t readVarLength(Reader& r, uint32_t kind) {
    switch (kind) {
    case 1: return r.u8();
    case 2: return r.u16();
    case 3: return r.u32();
    default: return 0;
    }
}

uint32_t lengthKind(std::size_t n) {
    if (n <= 0xFF) return 1;
    if (n <= 0xFFFF) return 2;
    return 3;
}

void writeVarLength(Writer& w, uint32_t kind, std::size_t n) {
    if (kind == 1) w.u8(static_cast<uint8_t>(n));
    else if (kind == 2) w.u16(static_cast<uint16_t>(n));
    else w.u32(static_cast<uint32_t>(n));
}

}  // namespace

std::optional<PackedPlayer> readPackedPlayer(Reader& r) {
    PackedPlayer p;
    uint32_t size = r.u32();
    p.flags = r.u32();
    p.id = r.u32();
    uint32_t shortLen = r.u32();
    uint32_t longLen = r.u32();
    uint32_t spLen = r.u32();
    uint32_t dataLen = r.u32();
    uint32_t count = r.u32();
    p.systemPlayerId = r.u32();
    uint32_t fixedSize = r.u32();
    p.version = r.u32();
    p.parentId = r.u32();
    if (!r.ok() || fixedSize != kPackedPlayerFixedSize || size < kPackedPlayerFixedSize) return std::nullopt;
    if (!readSizedName(r, shortLen, p.shortName) || !readSizedName(r, longLen, p.longName)) return std::nullopt;
    ByteView sp = r.bytes(spLen);
    ByteView data = r.bytes(dataLen);
    if (!r.ok() || count > r.remaining() / 4) return std::nullopt;
    p.spData.assign(sp.begin(), sp.end());
    p.playerData.assign(data.begin(), data.end());
    for (uint32_t i = 0; i < count; ++i) p.playerIds.push_back(r.u32());
    if (!r.ok()) return std::nullopt;
    return p;
}

void writePackedPlayer(Writer& w, const PackedPlayer& p) {
    uint32_t shortLen = nameBytes(p.shortName), longLen = nameBytes(p.longName);
    w.u32(static_cast<uint32_t>(kPackedPlayerFixedSize + shortLen + longLen + p.spData.size() +
                                p.playerData.size()));
    w.u32(p.flags);
    w.u32(p.id);
    w.u32(shortLen);
    w.u32(longLen);
    w.u32(static_cast<uint32_t>(p.spData.size()));
    w.u32(static_cast<uint32_t>(p.playerData.size()));
    w.u32(static_cast<uint32_t>(p.playerIds.size()));
    w.u32(p.systemPlayerId);
    w.u32(kPackedPlayerFixedSize);
    w.u32(p.version);
    w.u32(p.parentId);
    if (p.shortName) w.wstring(*p.shortName);
    if (p.longName) w.wstring(*p.longName);
    w.bytes(p.spData);
    w.bytes(p.playerData);
    for (DPID id : p.playerIds) w.u32(id);
}

namespace spmask {
constexpr uint32_t ShortName = 0x1;
constexpr uint32_t LongName = 0x2;
constexpr int SpShift = 2;
constexpr int DataShift = 4;
constexpr int CountShift = 6;
constexpr uint32_t Parent = 0x100;
constexpr int ShortcutShift = 9;
}  // namespace spmask

std::optional<SuperPackedPlayer> readSuperPackedPlayer(Reader& r) {
    SuperPackedPlayer p;
    uint32_t size = r.u32();
    p.flags = r.u32();
    p.id = r.u32();
    uint32_t mask = r.u32();
    p.versionOrSystemPlayerId = r.u32();
    if (!r.ok() || size != kSuperPackedFixedSize) return std::nullopt;
    if (mask & spmask::ShortName) p.shortName = r.wstring();
    if (mask & spmask::LongName) p.longName = r.wstring();
    if (uint32_t kind = (mask >> spmask::DataShift) & 3) {
        ByteView b = r.bytes(readVarLength(r, kind));
        p.playerData = Bytes(b.begin(), b.end());
    }
    if (uint32_t kind = (mask >> spmask::SpShift) & 3) {
        ByteView b = r.bytes(readVarLength(r, kind));
        p.spData = Bytes(b.begin(), b.end());
    }
    auto readIds = [&r](uint32_t kind) -> std::optional<std::vector<DPID>> {
        uint32_t n = readVarLength(r, kind);
        if (!r.ok() || n > r.remaining() / 4) {
            r.fail();
            return std::nullopt;
        }
        std::vector<DPID> ids;
        for (uint32_t i = 0; i < n; ++i) ids.push_back(r.u32());
        return ids;
    };
    if (uint32_t kind = (mask >> spmask::CountShift) & 3) p.playerIds = readIds(kind);
    if (mask & spmask::Parent) p.parentId = r.u32();
    if (uint32_t kind = (mask >> spmask::ShortcutShift) & 3) p.shortcutIds = readIds(kind);
    if (!r.ok()) return std::nullopt;
    return p;
}

void writeSuperPackedPlayer(Writer& w, const SuperPackedPlayer& p) {
    uint32_t mask = 0;
    if (p.shortName) mask |= spmask::ShortName;
    if (p.longName) mask |= spmask::LongName;
    uint32_t dataKind = p.playerData ? lengthKind(p.playerData->size()) : 0;
    uint32_t spKind = p.spData ? lengthKind(p.spData->size()) : 0;
    uint32_t countKind = p.playerIds ? lengthKind(p.playerIds->size()) : 0;
    uint32_t shortcutKind = p.shortcutIds ? lengthKind(p.shortcutIds->size()) : 0;
    mask |= spKind << spmask::SpShift | dataKind << spmask::DataShift | countKind << spmask::CountShift |
            shortcutKind << spmask::ShortcutShift;
    if (p.parentId) mask |= spmask::Parent;
    w.u32(kSuperPackedFixedSize);
    w.u32(p.flags);
    w.u32(p.id);
    w.u32(mask);
    w.u32(p.versionOrSystemPlayerId);
    if (p.shortName) w.wstring(*p.shortName);
    if (p.longName) w.wstring(*p.longName);
    if (p.playerData) {
        writeVarLength(w, dataKind, p.playerData->size());
        w.bytes(*p.playerData);
    }
    if (p.spData) {
        writeVarLength(w, spKind, p.spData->size());
        w.bytes(*p.spData);
    }
    if (p.playerIds) {
        writeVarLength(w, countKind, p.playerIds->size());
        for (DPID id : *p.playerIds) w.u32(id);
    }
    if (p.parentId) w.u32(*p.parentId);
    if (p.shortcutIds) {
        writeVarLength(w, shortcutKind, p.shortcutIds->size());
        for (DPID id : *p.shortcutIds) w.u32(id);
    }
}

bool isPlayerMgmtCommand(Command c) {
    switch (c) {
    case Command::CreatePlayer:
    case Command::CreateGroup:
    case Command::DeletePlayer:
    case Command::DeleteGroup:
    case Command::AddPlayerToGroup:
    case Command::DeletePlayerFromGroup:
    case Command::AddShortcutToGroup:
    case Command::DeleteGroupFromGroup:
    case Command::AddForward:
    case Command::CreatePlayerVerify: return true;
    default: return false;
    }
}

bool carriesPackedPlayer(Command c) {
    return c == Command::CreatePlayer || c == Command::CreateGroup || c == Command::AddForward ||
           c == Command::CreatePlayerVerify;
}

// ---------------------------------------------------------------------------
// Decoding

namespace {

bool validToken(uint16_t t) {
    return t == uint16_t(Token::Remote) || t == uint16_t(Token::Forwarded) || t == uint16_t(Token::Server);
}

// Decoders of the bodies. `body` starts at the envelope; readers start after it.
using Body = ByteView;

std::optional<Message> decodeEnumSessions(Body body) {
    Reader r(body, 8);
    EnumSessionsRequest m;
    m.application = r.guid();
    uint32_t passwordOffset = r.u32();
    m.flags = r.u32();
    if (!r.ok() || !readAtOffset(body, passwordOffset, m.password)) return std::nullopt;
    return m;
}

std::optional<Message> decodeEnumSessionsReply(Body body) {
    Reader r(body, 8);
    auto desc = readSessionDesc(r);
    uint32_t nameOffset = r.u32();
    if (!desc || !r.ok() || !readAtOffset(body, nameOffset, desc->sessionName)) return std::nullopt;
    return EnumSessionsReply{*desc};
}

std::optional<Message> decodeRequestPlayerReply(Body body) {
    Reader r(body, 8);
    RequestPlayerReply m;
    m.id = r.u32();
    m.security.size = r.u32();
    m.security.flags = r.u32();
    m.security.sspiProvider = r.u32();
    m.security.capiProvider = r.u32();
    m.security.capiProviderType = r.u32();
    m.security.encryptionAlgorithm = r.u32();
    uint32_t sspiOffset = r.u32();
    uint32_t capiOffset = r.u32();
    m.result = static_cast<HRESULT>(r.u32());
    if (!r.ok() || !readAtOffset(body, sspiOffset, m.sspiProvider) ||
        !readAtOffset(body, capiOffset, m.capiProvider))
        return std::nullopt;
    return m;
}

std::optional<Message> decodePlayerMgmt(Body body, Command c) {
    Reader r(body, 8);
    PlayerMgmt m;
    m.command = c;
    m.idTo = r.u32();
    m.playerId = r.u32();
    m.groupId = r.u32();
    uint32_t createOffset = r.u32();
    r.u32();  // password offset: unused by every member of this family
    if (!r.ok()) return std::nullopt;
    if (carriesPackedPlayer(c)) {
        if (createOffset < 28 || createOffset >= body.size()) return std::nullopt;
        Reader pr(body, createOffset);
        m.info = readPackedPlayer(pr);
        if (!m.info) return std::nullopt;
        // CREATEPLAYER's six reserved bytes after the player are ignored, present or not.
    }
    return m;
}

std::optional<Message> decodeAddForwardRequest(Body body) {
    Reader r(body, 8);
    AddForwardRequest m;
    m.idTo = r.u32();
    m.playerId = r.u32();
    m.groupId = r.u32();
    uint32_t createOffset = r.u32();
    uint32_t passwordOffset = r.u32();
    if (!r.ok() || createOffset < 28 || createOffset >= body.size()) return std::nullopt;
    Reader pr(body, createOffset);
    auto info = readPackedPlayer(pr);
    if (!info) return std::nullopt;
    m.info = std::move(*info);
    std::size_t tickAt = pr.pos();
    if (passwordOffset != 0) {
        if (passwordOffset < 8 || passwordOffset >= body.size()) return std::nullopt;
        Reader wr(body, passwordOffset);
        m.password = wr.wstring();
        if (!wr.ok()) return std::nullopt;
        tickAt = wr.pos();
    }
    Reader tr(body, tickAt);
    m.tickCount = tr.u32();
    if (!tr.ok()) return std::nullopt;
    return m;
}

template <class Entry, class ReadFn>
bool readEntries(Reader& r, uint32_t count, std::vector<Entry>& out, ReadFn read) {
    for (uint32_t i = 0; i < count; ++i) {
        auto e = read(r);
        if (!e) return false;
        out.push_back(std::move(*e));
    }
    return true;
}

std::optional<Message> decodeSuperEnumPlayersReply(Body body) {
    Reader r(body, 8);
    uint32_t players = r.u32();
    uint32_t groups = r.u32();
    uint32_t packedOffset = r.u32();
    uint32_t shortcuts = r.u32();
    uint32_t descOffset = r.u32();
    uint32_t nameOffset = r.u32();
    uint32_t passwordOffset = r.u32();
    if (!r.ok() || descOffset < 8) return std::nullopt;
    Reader dr(body, descOffset);
    auto desc = readSessionDesc(dr);
    if (!desc || !readAtOffset(body, nameOffset, desc->sessionName) ||
        !readAtOffset(body, passwordOffset, desc->password))
        return std::nullopt;
    SuperEnumPlayersReply m;
    m.desc = std::move(*desc);
    // Each entry takes at least 20 bytes: counts beyond that are lies.
    uint64_t total = uint64_t(players) + groups + shortcuts;
    if (total == 0) return m;
    if (packedOffset < 8 || packedOffset >= body.size() || total > (body.size() - packedOffset) / 20)
        return std::nullopt;
    Reader pr(body, packedOffset);
    if (!readEntries(pr, players, m.players, readSuperPackedPlayer) ||
        !readEntries(pr, groups, m.groups, readSuperPackedPlayer) ||
        !readEntries(pr, shortcuts, m.shortcuts, readSuperPackedPlayer))
        return std::nullopt;
    return m;
}

std::optional<Message> decodeEnumPlayersReply(Body body) {
    Reader r(body, 8);
    uint32_t players = r.u32();
    uint32_t groups = r.u32();
    uint32_t playerOffset = r.u32();
    r.u32();  // shortcut count: uninitialised by Windows, ignored
    uint32_t descOffset = r.u32();
    uint32_t nameOffset = r.u32();
    uint32_t passwordOffset = r.u32();
    if (!r.ok() || descOffset < 8) return std::nullopt;
    Reader dr(body, descOffset);
    auto desc = readSessionDesc(dr);
    if (!desc || !readAtOffset(body, nameOffset, desc->sessionName) ||
        !readAtOffset(body, passwordOffset, desc->password))
        return std::nullopt;
    EnumPlayersReply m;
    m.desc = std::move(*desc);
    uint64_t total = uint64_t(players) + groups;
    if (total == 0) return m;
    if (playerOffset < 8 || playerOffset >= body.size() ||
        total > (body.size() - playerOffset) / kPackedPlayerFixedSize)
        return std::nullopt;
    Reader pr(body, playerOffset);
    if (!readEntries(pr, players, m.players, readPackedPlayer) ||
        !readEntries(pr, groups, m.groups, readPackedPlayer))
        return std::nullopt;
    return m;
}

std::optional<Message> decodeDataChanged(Body body, Command c) {
    Reader r(body, 8);
    DataChanged m;
    m.command = c;
    m.idTo = r.u32();
    m.id = r.u32();
    uint32_t size = r.u32();
    uint32_t offset = r.u32();
    if (!r.ok()) return std::nullopt;
    if (size != 0) {
        if (offset < 8 || offset > body.size()) return std::nullopt;
        Reader dr(body, offset);
        ByteView b = dr.bytes(size);
        if (!dr.ok()) return std::nullopt;
        m.data.assign(b.begin(), b.end());
    }
    return m;
}

std::optional<Message> decodeNameChanged(Body body, Command c) {
    Reader r(body, 8);
    NameChanged m;
    m.command = c;
    m.idTo = r.u32();
    m.id = r.u32();
    uint32_t shortOffset = r.u32();
    uint32_t longOffset = r.u32();
    if (!r.ok() || !readAtOffset(body, shortOffset, m.shortName) || !readAtOffset(body, longOffset, m.longName))
        return std::nullopt;
    return m;
}

std::optional<Message> decodeSessionDescChanged(Body body) {
    Reader r(body, 8);
    SessionDescChanged m;
    m.idTo = r.u32();
    uint32_t nameOffset = r.u32();
    uint32_t passwordOffset = r.u32();
    auto desc = readSessionDesc(r);
    if (!desc || !readAtOffset(body, nameOffset, desc->sessionName) ||
        !readAtOffset(body, passwordOffset, desc->password))
        return std::nullopt;
    m.desc = std::move(*desc);
    return m;
}

std::optional<Message> decodePing(Body body, bool reply) {
    Reader r(body, 8);
    Ping m;
    m.reply = reply;
    m.idFrom = r.u32();
    m.tickCount = r.u32();
    if (!r.ok()) return std::nullopt;
    return m;
}

std::optional<Message> decodeIAmNameServer(Body body) {
    Reader r(body, 8);
    IAmNameServer m;
    m.idTo = r.u32();
    m.idHost = r.u32();
    m.flags = r.u32();
    uint32_t size = r.u32();
    ByteView sp = r.bytes(size);
    if (!r.ok()) return std::nullopt;
    m.spData.assign(sp.begin(), sp.end());
    return m;
}

std::optional<Message> decodePacket(Body body) {
    Reader r(body, 8);
    PacketFragment m;
    m.message = r.guid();
    m.index = r.u32();
    uint32_t dataSize = r.u32();
    m.offset = r.u32();
    m.totalPackets = r.u32();
    m.messageSize = r.u32();
    uint32_t packedOffset = r.u32();
    if (!r.ok() || packedOffset < 8 || packedOffset > body.size()) return std::nullopt;
    Reader dr(body, packedOffset);
    ByteView b = dr.bytes(dataSize);
    if (!dr.ok()) return std::nullopt;
    m.data.assign(b.begin(), b.end());
    return m;
}

std::optional<PlayerMessage> decodePlayerMessageBody(ByteView b, bool noMessageIds) {
    Reader r(b);
    PlayerMessage m;
    if (!noMessageIds) {
        m.idFrom = r.u32();
        m.idTo = r.u32();
        if (!r.ok()) return std::nullopt;
    }
    ByteView rest = r.bytes(r.remaining());
    m.payload.assign(rest.begin(), rest.end());
    return m;
}

}  // namespace

std::optional<Header> decodeHeader(ByteView frame) {
    Reader r(frame);
    uint32_t word = r.u32();
    auto addr = readSockAddr(r);
    if (!r.ok() || !addr) return std::nullopt;
    Header h;
    h.size = word & kMaxWireSize;
    uint16_t token = static_cast<uint16_t>(word >> 20);
    if (!validToken(token) || h.size != frame.size()) return std::nullopt;
    h.token = static_cast<Token>(token);
    h.sockAddr = *addr;
    if (frame.size() >= kPrefixSize + 4) {
        Reader e(frame, kPrefixSize);
        if (e.u32() == kSignature) {
            // A signature without room for command and version is a cut-off message.
            if (frame.size() < kHeaderSize) return std::nullopt;
            h.hasEnvelope = true;
            h.command = static_cast<Command>(e.u16());
            h.version = e.u16();
        }
    }
    return h;
}

std::optional<Frame> decodeFrame(ByteView frame, bool noMessageIds) {
    auto header = decodeHeader(frame);
    if (!header) return std::nullopt;
    ByteView body = frame.subspan(kPrefixSize);
    if (!header->hasEnvelope) {
        auto pm = decodePlayerMessageBody(body, noMessageIds);
        if (!pm) return std::nullopt;
        return Frame{*header, std::move(*pm)};
    }
    std::optional<Message> m;
    Command c = header->command;
    switch (c) {
    case Command::EnumSessions: m = decodeEnumSessions(body); break;
    case Command::EnumSessionsReply: m = decodeEnumSessionsReply(body); break;
    case Command::EnumPlayer: m = EnumPlayerRequest{}; break;
    case Command::RequestPlayerId:
    case Command::RequestGroupId: {
        Reader r(body, 8);
        uint32_t flags = r.u32();
        if (!r.ok()) return std::nullopt;
        if (c == Command::RequestPlayerId) m = RequestPlayerId{flags};
        else m = RequestGroupId{flags};
        break;
    }
    case Command::RequestPlayerReply: m = decodeRequestPlayerReply(body); break;
    case Command::AddForwardRequest: m = decodeAddForwardRequest(body); break;
    case Command::AddForwardAck:
    case Command::AddForwardReply: {
        Reader r(body, 8);
        uint32_t v = r.u32();
        if (!r.ok()) return std::nullopt;
        if (c == Command::AddForwardAck) m = AddForwardAck{v};
        else m = AddForwardReply{static_cast<HRESULT>(v)};
        break;
    }
    case Command::SuperEnumPlayersReply: m = decodeSuperEnumPlayersReply(body); break;
    case Command::EnumPlayersReply: m = decodeEnumPlayersReply(body); break;
    case Command::PlayerDataChanged:
    case Command::GroupDataChanged: m = decodeDataChanged(body, c); break;
    case Command::PlayerNameChanged:
    case Command::GroupNameChanged: m = decodeNameChanged(body, c); break;
    case Command::SessionDescChanged: m = decodeSessionDescChanged(body); break;
    case Command::Ping: m = decodePing(body, false); break;
    case Command::PingReply: m = decodePing(body, true); break;
    case Command::YouAreDead: m = YouAreDead{}; break;
    case Command::IAmNameServer: m = decodeIAmNameServer(body); break;
    case Command::PlayerWrapper: {
        ByteView inner = body.subspan(8);
        m = PlayerWrapper{Bytes(inner.begin(), inner.end())};
        break;
    }
    case Command::Packet: m = decodePacket(body); break;
    default:
        if (isPlayerMgmtCommand(c)) m = decodePlayerMgmt(body, c);
        break;  // unknown or unsupported (security, voice, reliable protocol): dropped
    }
    if (!m) return std::nullopt;
    return Frame{*header, std::move(*m)};
}

std::optional<PlayerMessage> decodeBarePlayerMessage(ByteView datagram, bool noMessageIds) {
    return decodePlayerMessageBody(datagram, noMessageIds);
}

std::optional<PlayerMessage> decodeWrappedPlayerMessage(ByteView inner, bool noMessageIds) {
    Reader r(inner);
    uint32_t word = r.u32();
    if (!r.ok() || inner.size() < kPrefixSize || !validToken(static_cast<uint16_t>(word >> 20)) ||
        (word & kMaxWireSize) != inner.size())
        return std::nullopt;
    return decodePlayerMessageBody(inner.subspan(kPrefixSize), noMessageIds);
}

// ---------------------------------------------------------------------------
// Encoding

namespace {

// Builds one frame: prefix, envelope, then the body written by `fill`. Offsets that
// the body needs are envelope-relative: `off(w)` gives the current one.
class FrameBuilder {
public:
    FrameBuilder(const EncodeContext& ctx, std::optional<Command> command) : w_(out_) {
        w_.u32(0);
        writeSockAddr(w_, ctx.sockAddr);
        token_ = ctx.token;
        if (command) {
            w_.u32(kSignature);
            w_.u16(static_cast<uint16_t>(*command));
            w_.u16(ctx.version);
        }
    }
    Writer& w() { return w_; }
    uint32_t offset() const { return static_cast<uint32_t>(out_.size() - kPrefixSize); }
    Bytes finish(std::size_t padTo = 0) {
        if (out_.size() < padTo) out_.resize(padTo, 0);
        if (out_.size() > kMaxWireSize) return {};  // cannot be described by the size field
        w_.patchU32(0, uint32_t(static_cast<uint16_t>(token_)) << 20 |
                           (static_cast<uint32_t>(out_.size()) & kMaxWireSize));
        return std::move(out_);
    }

private:
    Bytes out_;
    Writer w_;
    Token token_;
};

uint32_t stringBytes(const std::optional<std::u16string>& s) { return s ? uint32_t((s->size() + 1) * 2) : 0; }

void encodeBody(FrameBuilder& f, const EnumSessionsRequest& m) {
    Writer& w = f.w();
    w.guid(m.application);
    w.u32(m.password ? f.offset() + 8 : 0);
    w.u32(m.flags);
    if (m.password) w.wstring(*m.password);
}

void encodeBody(FrameBuilder& f, const EnumSessionsReply& m) {
    Writer& w = f.w();
    writeSessionDesc(w, m.desc);
    w.u32(m.desc.sessionName ? f.offset() + 4 : 0);
    if (m.desc.sessionName) w.wstring(*m.desc.sessionName);
}

void encodeBody(FrameBuilder&, const EnumPlayerRequest&) {}
void encodeBody(FrameBuilder& f, const RequestPlayerId& m) { f.w().u32(m.flags); }
void encodeBody(FrameBuilder& f, const RequestGroupId& m) { f.w().u32(m.flags); }

void encodeBody(FrameBuilder& f, const RequestPlayerReply& m) {
    Writer& w = f.w();
    w.u32(m.id);
    w.u32(m.security.size);
    w.u32(m.security.flags);
    w.u32(m.security.sspiProvider);
    w.u32(m.security.capiProvider);
    w.u32(m.security.capiProviderType);
    w.u32(m.security.encryptionAlgorithm);
    uint32_t at = f.offset() + 12;
    w.u32(m.sspiProvider ? at : 0);
    w.u32(m.capiProvider ? at + stringBytes(m.sspiProvider) : 0);
    w.u32(static_cast<uint32_t>(m.result));
    if (m.sspiProvider) w.wstring(*m.sspiProvider);
    if (m.capiProvider) w.wstring(*m.capiProvider);
    // Windows clients were checked against a reply that carries 16 wide characters
    // of room for each provider name; an unsecured session sends them empty.
    if (!m.sspiProvider && !m.capiProvider) w.zeros(64);
}

void encodeBody(FrameBuilder& f, const PlayerMgmt& m) {
    Writer& w = f.w();
    w.u32(m.idTo);
    w.u32(m.playerId);
    w.u32(m.groupId);
    bool packed = carriesPackedPlayer(m.command) && m.info;
    w.u32(packed ? f.offset() + 8 : 0);
    w.u32(0);
    if (!packed) return;
    writePackedPlayer(w, *m.info);
    if (m.command == Command::CreatePlayer || m.command == Command::CreatePlayerVerify)
        w.zeros(6);  // Reserved1 (2 bytes) and Reserved2 (4 bytes)
}

void encodeBody(FrameBuilder& f, const AddForwardRequest& m) {
    Writer& w = f.w();
    w.u32(m.idTo);
    w.u32(m.playerId);
    w.u32(m.groupId);
    w.u32(f.offset() + 8);
    std::size_t pwAt = w.size();
    w.u32(0);
    writePackedPlayer(w, m.info);
    if (m.password) {
        w.patchU32(pwAt, f.offset());
        w.wstring(*m.password);
    }
    w.u32(m.tickCount);
}

void encodeBody(FrameBuilder& f, const AddForwardAck& m) { f.w().u32(m.id); }
void encodeBody(FrameBuilder& f, const AddForwardReply& m) { f.w().u32(static_cast<uint32_t>(m.error)); }

// The session block shared by both name-table replies: description, name, password.
template <class Entries, class WriteFn>
void encodeNameTable(FrameBuilder& f, const SessionDesc& desc, uint32_t first, uint32_t second, uint32_t third,
                     const Entries& all, WriteFn write) {
    Writer& w = f.w();
    uint32_t descOffset = f.offset() + 28;
    uint32_t nameOffset = desc.sessionName ? descOffset + uint32_t(kSessionDescSize) : 0;
    uint32_t passwordOffset =
        desc.password ? descOffset + uint32_t(kSessionDescSize) + stringBytes(desc.sessionName) : 0;
    uint32_t packedOffset =
        descOffset + uint32_t(kSessionDescSize) + stringBytes(desc.sessionName) + stringBytes(desc.password);
    w.u32(first);
    w.u32(second);
    w.u32(packedOffset);
    w.u32(third);
    w.u32(descOffset);
    w.u32(nameOffset);
    w.u32(passwordOffset);
    writeSessionDesc(w, desc);
    if (desc.sessionName) w.wstring(*desc.sessionName);
    if (desc.password) w.wstring(*desc.password);
    for (const auto* list : all)
        for (const auto& e : *list) write(w, e);
}

void encodeBody(FrameBuilder& f, const SuperEnumPlayersReply& m) {
    std::array<const std::vector<SuperPackedPlayer>*, 3> all{&m.players, &m.groups, &m.shortcuts};
    encodeNameTable(f, m.desc, uint32_t(m.players.size()), uint32_t(m.groups.size()), uint32_t(m.shortcuts.size()),
                    all, writeSuperPackedPlayer);
}

void encodeBody(FrameBuilder& f, const EnumPlayersReply& m) {
    std::array<const std::vector<PackedPlayer>*, 2> all{&m.players, &m.groups};
    encodeNameTable(f, m.desc, uint32_t(m.players.size()), uint32_t(m.groups.size()), 0, all, writePackedPlayer);
}

void encodeBody(FrameBuilder& f, const DataChanged& m) {
    Writer& w = f.w();
    w.u32(m.idTo);
    w.u32(m.id);
    w.u32(static_cast<uint32_t>(m.data.size()));
    w.u32(f.offset() + 4);
    w.bytes(m.data);
}

void encodeBody(FrameBuilder& f, const NameChanged& m) {
    Writer& w = f.w();
    w.u32(m.idTo);
    w.u32(m.id);
    uint32_t at = f.offset() + 8;
    w.u32(m.shortName ? at : 0);
    w.u32(m.longName ? at + stringBytes(m.shortName) : 0);
    if (m.shortName) w.wstring(*m.shortName);
    if (m.longName) w.wstring(*m.longName);
}

void encodeBody(FrameBuilder& f, const SessionDescChanged& m) {
    Writer& w = f.w();
    w.u32(m.idTo);
    uint32_t at = f.offset() + 8 + uint32_t(kSessionDescSize);
    w.u32(m.desc.sessionName ? at : 0);
    w.u32(m.desc.password ? at + stringBytes(m.desc.sessionName) : 0);
    writeSessionDesc(w, m.desc);
    if (m.desc.sessionName) w.wstring(*m.desc.sessionName);
    if (m.desc.password) w.wstring(*m.desc.password);
}

void encodeBody(FrameBuilder& f, const Ping& m) {
    f.w().u32(m.idFrom);
    f.w().u32(m.tickCount);
}

void encodeBody(FrameBuilder&, const YouAreDead&) {}

void encodeBody(FrameBuilder& f, const IAmNameServer& m) {
    Writer& w = f.w();
    w.u32(m.idTo);
    w.u32(m.idHost);
    w.u32(m.flags);
    w.u32(static_cast<uint32_t>(m.spData.size()));
    w.bytes(m.spData);
}

void encodeBody(FrameBuilder& f, const PlayerWrapper& m) { f.w().bytes(m.inner); }

void encodeBody(FrameBuilder& f, const PacketFragment& m) {
    Writer& w = f.w();
    w.guid(m.message);
    w.u32(m.index);
    w.u32(static_cast<uint32_t>(m.data.size()));
    w.u32(m.offset);
    w.u32(m.totalPackets);
    w.u32(m.messageSize);
    w.u32(f.offset() + 4);
    w.bytes(m.data);
}

void encodeBody(FrameBuilder& f, const PlayerMessage& m) {
    Writer& w = f.w();
    if (m.idFrom) w.u32(*m.idFrom);
    if (m.idTo) w.u32(*m.idTo);
    w.bytes(m.payload);
}

std::optional<Command> commandOf(const Message& message) {
    return std::visit(
        [](const auto& m) -> std::optional<Command> {
            using T = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<T, EnumSessionsRequest>) return Command::EnumSessions;
            else if constexpr (std::is_same_v<T, EnumSessionsReply>) return Command::EnumSessionsReply;
            else if constexpr (std::is_same_v<T, EnumPlayerRequest>) return Command::EnumPlayer;
            else if constexpr (std::is_same_v<T, RequestPlayerId>) return Command::RequestPlayerId;
            else if constexpr (std::is_same_v<T, RequestGroupId>) return Command::RequestGroupId;
            else if constexpr (std::is_same_v<T, RequestPlayerReply>) return Command::RequestPlayerReply;
            else if constexpr (std::is_same_v<T, PlayerMgmt>) return m.command;
            else if constexpr (std::is_same_v<T, AddForwardRequest>) return Command::AddForwardRequest;
            else if constexpr (std::is_same_v<T, AddForwardAck>) return Command::AddForwardAck;
            else if constexpr (std::is_same_v<T, AddForwardReply>) return Command::AddForwardReply;
            else if constexpr (std::is_same_v<T, SuperEnumPlayersReply>) return Command::SuperEnumPlayersReply;
            else if constexpr (std::is_same_v<T, EnumPlayersReply>) return Command::EnumPlayersReply;
            else if constexpr (std::is_same_v<T, DataChanged>) return m.command;
            else if constexpr (std::is_same_v<T, NameChanged>) return m.command;
            else if constexpr (std::is_same_v<T, SessionDescChanged>) return Command::SessionDescChanged;
            else if constexpr (std::is_same_v<T, Ping>) return m.reply ? Command::PingReply : Command::Ping;
            else if constexpr (std::is_same_v<T, YouAreDead>) return Command::YouAreDead;
            else if constexpr (std::is_same_v<T, IAmNameServer>) return Command::IAmNameServer;
            else if constexpr (std::is_same_v<T, PlayerWrapper>) return Command::PlayerWrapper;
            else if constexpr (std::is_same_v<T, PacketFragment>) return Command::Packet;
            else return std::nullopt;  // player message: no envelope
        },
        message);
}

Bytes encodeFrame(const EncodeContext& ctx, const Message& message, std::size_t padTo) {
    FrameBuilder f(ctx, commandOf(message));
    std::visit([&f](const auto& m) { encodeBody(f, m); }, message);
    Bytes out = f.finish(padTo);
    // A player message whose bytes read "play" where the envelope would be must be
    // wrapped, or the receiver would take it for a system message.
    if (!commandOf(message) && out.size() >= kHeaderSize) {
        Reader r(out, kPrefixSize);
        if (r.u32() == kSignature) return encodeFrame(ctx, PlayerWrapper{out}, 0);
    }
    return out;
}

}  // namespace

Bytes encode(const EncodeContext& ctx, const Message& message) { return encodeFrame(ctx, message, 0); }

Bytes encodePadded(const EncodeContext& ctx, const Message& message, std::size_t totalSize) {
    return encodeFrame(ctx, message, totalSize);
}

Bytes encodeBarePlayerMessage(const PlayerMessage& m) {
    Bytes out;
    Writer w(out);
    if (m.idFrom) w.u32(*m.idFrom);
    if (m.idTo) w.u32(*m.idTo);
    w.bytes(m.payload);
    return out;
}

}  // namespace qd::dplay
