#include "session/dptypes.h"

#include <cstdio>

namespace qd {

namespace {
int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

Guid must(std::string_view text) { return *Guid::parse(text); }
}  // namespace

std::optional<Guid> Guid::parse(std::string_view text) {
    if (text.size() == 38 && text.front() == '{' && text.back() == '}') text = text.substr(1, 36);
    if (text.size() != 36) return std::nullopt;
    uint8_t raw[16];
    int n = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (i == 8 || i == 13 || i == 18 || i == 23) {
            if (text[i] != '-') return std::nullopt;
            ++i;
            continue;
        }
        int hi = hexValue(text[i]), lo = hexValue(text[i + 1]);
        if (hi < 0 || lo < 0 || n >= 16) return std::nullopt;
        raw[n++] = static_cast<uint8_t>(hi << 4 | lo);
        i += 2;
    }
    if (n != 16) return std::nullopt;
    Guid g;
    g.data1 = uint32_t(raw[0]) << 24 | uint32_t(raw[1]) << 16 | uint32_t(raw[2]) << 8 | raw[3];
    g.data2 = static_cast<uint16_t>(raw[4] << 8 | raw[5]);
    g.data3 = static_cast<uint16_t>(raw[6] << 8 | raw[7]);
    for (int i = 0; i < 8; ++i) g.data4[i] = raw[8 + i];
    return g;
}

std::string Guid::toString() const {
    char buf[40];
    std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}", data1, data2, data3,
                  data4[0], data4[1], data4[2], data4[3], data4[4], data4[5], data4[6], data4[7]);
    return buf;
}

std::array<uint8_t, 16> Guid::bytes() const {
    std::array<uint8_t, 16> b{};
    for (int i = 0; i < 4; ++i) b[i] = static_cast<uint8_t>(data1 >> (8 * i));
    b[4] = static_cast<uint8_t>(data2);
    b[5] = static_cast<uint8_t>(data2 >> 8);
    b[6] = static_cast<uint8_t>(data3);
    b[7] = static_cast<uint8_t>(data3 >> 8);
    for (int i = 0; i < 8; ++i) b[8 + i] = data4[i];
    return b;
}

Guid Guid::fromBytes(const uint8_t* p) {
    Guid g;
    g.data1 = uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
    g.data2 = static_cast<uint16_t>(p[4] | p[5] << 8);
    g.data3 = static_cast<uint16_t>(p[6] | p[7] << 8);
    for (int i = 0; i < 8; ++i) g.data4[i] = p[8 + i];
    return g;
}

const Guid kGuidCombatFs = must("{BB74C3C1-8792-11D1-A8F9-00A0C91BBF71}");
const Guid kGuidCfs2 = must("{BA361865-7A5C-40E7-881A-567C19A150A9}");
const Guid kDpspGuidTcpip = must("{36E95EE0-8577-11CF-960C-0080C7534E82}");
const Guid kDpaidTotalSize = must("{1318F560-912C-11D0-9DAA-00A0C90A43CB}");
const Guid kDpaidServiceProvider = must("{07D916C0-E0AF-11CF-9C4E-00A0C905425E}");
const Guid kDpaidINet = must("{C4A54DA0-E0AF-11CF-9C4E-00A0C905425E}");

}  // namespace qd
