#include "session/sysmsg.h"

namespace qd {

namespace {

// Builds a message: a fixed structure followed by its variable items, whose offsets are
// patched into the structure as they are appended.
class Writer {
public:
    explicit Writer(std::size_t fixedSize) : bytes_(fixedSize, 0) {}

    void u32(std::size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) bytes_[at + i] = static_cast<uint8_t>(v >> (8 * i));
    }
    void guid(std::size_t at, const Guid& g) {
        const auto b = g.bytes();
        std::copy(b.begin(), b.end(), bytes_.begin() + static_cast<std::ptrdiff_t>(at));
    }
    // Appends a wide string with its terminator; writes its offset (0 when absent).
    void str(std::size_t ptrAt, const std::optional<std::u16string>& s) {
        if (!s) return u32(ptrAt, 0);
        u32(ptrAt, static_cast<uint32_t>(bytes_.size()));
        for (char16_t c : *s) {
            bytes_.push_back(static_cast<uint8_t>(c));
            bytes_.push_back(static_cast<uint8_t>(c >> 8));
        }
        bytes_.push_back(0);
        bytes_.push_back(0);
    }
    // Appends a data block; writes its offset (0 when empty) and size.
    void data(std::size_t ptrAt, std::size_t sizeAt, const std::vector<uint8_t>& d) {
        u32(ptrAt, d.empty() ? 0 : static_cast<uint32_t>(bytes_.size()));
        u32(sizeAt, static_cast<uint32_t>(d.size()));
        bytes_.insert(bytes_.end(), d.begin(), d.end());
    }
    void name(std::size_t at, const DpName& n) {
        u32(at, n.dwSize);
        u32(at + 4, n.dwFlags);
        str(at + 8, n.shortName);
        str(at + 12, n.longName);
    }
    std::vector<uint8_t> take() { return std::move(bytes_); }

private:
    std::vector<uint8_t> bytes_;
};

// Bounds-checked reads over one message; any failure latches ok() to false.
class Reader {
public:
    Reader(std::span<const uint8_t> m, std::size_t fixedSize) : m_(m), fixed_(fixedSize), ok_(m.size() >= fixedSize) {}

    bool ok() const { return ok_; }

    uint32_t u32(std::size_t at) {
        if (!ok_ || at + 4 > fixed_) return fail();
        return uint32_t(m_[at]) | uint32_t(m_[at + 1]) << 8 | uint32_t(m_[at + 2]) << 16 | uint32_t(m_[at + 3]) << 24;
    }
    Guid guid(std::size_t at) {
        if (!ok_ || at + 16 > fixed_) {
            fail();
            return Guid{};
        }
        return Guid::fromBytes(m_.data() + at);
    }
    // A string item: offset 0 is a null pointer; otherwise it must lie after the fixed
    // structure and end with a zero unit inside the message.
    std::optional<std::u16string> str(std::size_t ptrAt) {
        const uint32_t off = u32(ptrAt);
        if (!ok_ || off == 0) return std::nullopt;
        if (off < fixed_ || off >= m_.size()) {
            fail();
            return std::nullopt;
        }
        std::u16string s;
        for (std::size_t p = off;; p += 2) {
            if (p + 2 > m_.size()) {
                fail();
                return std::nullopt;
            }
            const char16_t c = static_cast<char16_t>(m_[p] | m_[p + 1] << 8);
            if (c == 0) return s;
            s.push_back(c);
        }
    }
    std::vector<uint8_t> data(std::size_t ptrAt, std::size_t sizeAt) {
        const uint32_t off = u32(ptrAt);
        const uint32_t size = u32(sizeAt);
        if (!ok_ || size == 0) return {};
        if (off < fixed_ || off > m_.size() || size > m_.size() - off) {
            fail();
            return {};
        }
        return {m_.begin() + off, m_.begin() + off + size};
    }
    DpName name(std::size_t at) {
        DpName n;
        n.dwSize = u32(at);
        n.dwFlags = u32(at + 4);
        n.shortName = str(at + 8);
        n.longName = str(at + 12);
        return n;
    }

private:
    uint32_t fail() {
        ok_ = false;
        return 0;
    }
    std::span<const uint8_t> m_;
    std::size_t fixed_;
    bool ok_;
};

constexpr std::size_t kCreateSize = 48;
constexpr std::size_t kDestroySize = 52;
constexpr std::size_t kMembershipSize = 12;
constexpr std::size_t kSetNameSize = 28;
constexpr std::size_t kSetDataSize = 20;
constexpr std::size_t kSetDescSize = 84;

bool typeIs(std::span<const uint8_t> m, uint32_t type) { return SysMessageType(m) == type; }
bool validPlayerType(uint32_t t) { return t == DPPLAYERTYPE_GROUP || t == DPPLAYERTYPE_PLAYER; }

}  // namespace

std::optional<uint32_t> SysMessageType(std::span<const uint8_t> m) {
    if (m.size() < 4) return std::nullopt;
    return uint32_t(m[0]) | uint32_t(m[1]) << 8 | uint32_t(m[2]) << 16 | uint32_t(m[3]) << 24;
}

std::vector<uint8_t> EncodeCreatePlayerOrGroup(const SysCreatePlayerOrGroup& m) {
    Writer w(kCreateSize);
    w.u32(0, DPSYS_CREATEPLAYERORGROUP);
    w.u32(4, m.playerType);
    w.u32(8, m.id);
    w.u32(12, m.currentPlayers);
    w.u32(24, m.name.dwSize);
    w.u32(28, m.name.dwFlags);
    w.u32(40, m.parent);
    w.u32(44, m.flags);
    w.str(32, m.name.shortName);
    w.str(36, m.name.longName);
    w.data(16, 20, m.data);
    return w.take();
}

std::vector<uint8_t> EncodeDestroyPlayerOrGroup(const SysDestroyPlayerOrGroup& m) {
    Writer w(kDestroySize);
    w.u32(0, DPSYS_DESTROYPLAYERORGROUP);
    w.u32(4, m.playerType);
    w.u32(8, m.id);
    w.u32(28, m.name.dwSize);
    w.u32(32, m.name.dwFlags);
    w.u32(44, m.parent);
    w.u32(48, m.flags);
    w.str(36, m.name.shortName);
    w.str(40, m.name.longName);
    w.data(12, 16, m.localData);
    w.data(20, 24, m.remoteData);
    return w.take();
}

std::vector<uint8_t> EncodeGroupMembership(uint32_t type, const SysGroupMembership& m) {
    Writer w(kMembershipSize);
    w.u32(0, type);
    w.u32(4, m.group);
    w.u32(8, m.player);
    return w.take();
}

std::vector<uint8_t> EncodeSetName(const SysSetName& m) {
    Writer w(kSetNameSize);
    w.u32(0, DPSYS_SETPLAYERORGROUPNAME);
    w.u32(4, m.playerType);
    w.u32(8, m.id);
    w.name(12, m.name);
    return w.take();
}

std::vector<uint8_t> EncodeSetData(const SysSetData& m) {
    Writer w(kSetDataSize);
    w.u32(0, DPSYS_SETPLAYERORGROUPDATA);
    w.u32(4, m.playerType);
    w.u32(8, m.id);
    w.data(12, 16, m.data);
    return w.take();
}

std::vector<uint8_t> EncodeSetSessionDesc(const SessionDesc& d) {
    Writer w(kSetDescSize);
    w.u32(0, DPSYS_SETSESSIONDESC);
    w.u32(4, d.dwSize);
    w.u32(8, d.dwFlags);
    w.guid(12, d.guidInstance);
    w.guid(28, d.guidApplication);
    w.u32(44, d.dwMaxPlayers);
    w.u32(48, d.dwCurrentPlayers);
    w.u32(60, d.dwReserved1);
    w.u32(64, d.dwReserved2);
    w.u32(68, d.dwUser1);
    w.u32(72, d.dwUser2);
    w.u32(76, d.dwUser3);
    w.u32(80, d.dwUser4);
    w.str(52, d.sessionName);
    w.str(56, d.password);
    return w.take();
}

std::vector<uint8_t> EncodeGeneric(uint32_t type) {
    Writer w(4);
    w.u32(0, type);
    return w.take();
}

std::optional<SysCreatePlayerOrGroup> DecodeCreatePlayerOrGroup(std::span<const uint8_t> message) {
    if (!typeIs(message, DPSYS_CREATEPLAYERORGROUP)) return std::nullopt;
    Reader r(message, kCreateSize);
    SysCreatePlayerOrGroup m;
    m.playerType = r.u32(4);
    m.id = r.u32(8);
    m.currentPlayers = r.u32(12);
    m.data = r.data(16, 20);
    m.name = r.name(24);
    m.parent = r.u32(40);
    m.flags = r.u32(44);
    if (!r.ok() || !validPlayerType(m.playerType)) return std::nullopt;
    return m;
}

std::optional<SysDestroyPlayerOrGroup> DecodeDestroyPlayerOrGroup(std::span<const uint8_t> message) {
    if (!typeIs(message, DPSYS_DESTROYPLAYERORGROUP)) return std::nullopt;
    Reader r(message, kDestroySize);
    SysDestroyPlayerOrGroup m;
    m.playerType = r.u32(4);
    m.id = r.u32(8);
    m.localData = r.data(12, 16);
    m.remoteData = r.data(20, 24);
    m.name = r.name(28);
    m.parent = r.u32(44);
    m.flags = r.u32(48);
    if (!r.ok() || !validPlayerType(m.playerType)) return std::nullopt;
    return m;
}

std::optional<SysGroupMembership> DecodeGroupMembership(std::span<const uint8_t> message, uint32_t* type) {
    const auto t = SysMessageType(message);
    if (t != DPSYS_ADDPLAYERTOGROUP && t != DPSYS_DELETEPLAYERFROMGROUP) return std::nullopt;
    Reader r(message, kMembershipSize);
    SysGroupMembership m{r.u32(4), r.u32(8)};
    if (!r.ok()) return std::nullopt;
    if (type) *type = *t;
    return m;
}

std::optional<SysSetName> DecodeSetName(std::span<const uint8_t> message) {
    if (!typeIs(message, DPSYS_SETPLAYERORGROUPNAME)) return std::nullopt;
    Reader r(message, kSetNameSize);
    SysSetName m;
    m.playerType = r.u32(4);
    m.id = r.u32(8);
    m.name = r.name(12);
    if (!r.ok() || !validPlayerType(m.playerType)) return std::nullopt;
    return m;
}

std::optional<SysSetData> DecodeSetData(std::span<const uint8_t> message) {
    if (!typeIs(message, DPSYS_SETPLAYERORGROUPDATA)) return std::nullopt;
    Reader r(message, kSetDataSize);
    SysSetData m;
    m.playerType = r.u32(4);
    m.id = r.u32(8);
    m.data = r.data(12, 16);
    if (!r.ok() || !validPlayerType(m.playerType)) return std::nullopt;
    return m;
}

std::optional<SessionDesc> DecodeSetSessionDesc(std::span<const uint8_t> message) {
    if (!typeIs(message, DPSYS_SETSESSIONDESC)) return std::nullopt;
    Reader r(message, kSetDescSize);
    SessionDesc d;
    d.dwSize = r.u32(4);
    d.dwFlags = r.u32(8);
    d.guidInstance = r.guid(12);
    d.guidApplication = r.guid(28);
    d.dwMaxPlayers = r.u32(44);
    d.dwCurrentPlayers = r.u32(48);
    d.sessionName = r.str(52);
    d.password = r.str(56);
    d.dwReserved1 = r.u32(60);
    d.dwReserved2 = r.u32(64);
    d.dwUser1 = r.u32(68);
    d.dwUser2 = r.u32(72);
    d.dwUser3 = r.u32(76);
    d.dwUser4 = r.u32(80);
    if (!r.ok()) return std::nullopt;
    return d;
}

}  // namespace qd
