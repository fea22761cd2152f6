#pragma once
// Byte vectors of DirectPlay 4 messages. "4.1" and "4.2" are the protocol examples of
// [MC-DPL4CS] (fields and values listed there, laid out here in wire order); the "wine:"
// ones follow the layouts Wine's dplayx conformance tests exchange with Windows' DirectPlay.
#include <cctype>
#include <cstdint>
#include <string>
#include <vector>

namespace qd::dplay::testvec {

inline std::vector<uint8_t> hex(const std::string& text) {
    std::string digits;
    for (char c : text)
        if (std::isxdigit(static_cast<unsigned char>(c))) digits += c;
    std::vector<uint8_t> out;
    for (std::size_t i = 0; i + 1 < digits.size(); i += 2)
        out.push_back(static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    return out;
}

struct Vector {
    const char* name;
    std::string bytes;     // hex
    std::size_t minValid;  // shortest prefix that still decodes (ignored trailers); 0 = whole
};

// 4.1: flags 2 (all), password "Password", version 14, reply port 2300.
inline const char* kEnumSessionsRequest41 =
    "46 00 B0 FA  02 00 08 FC  00 00 00 00  00 00 00 00 00 00 00 00"
    "70 6C 61 79  02 00 0E 00"
    "0B A5 52 A0 E0 FF 11 CF 9C 4E 00 A0 C9 05 42 5E"  // {A052A50B-FFE0-CF11-9C4E-00A0C905425E}
    "20 00 00 00  02 00 00 00"
    "50 00 61 00 73 00 73 00 77 00 6F 00 72 00 64 00 00 00";  // "Password"

// 4.2: session "LOTHAIR", flags 0x404, 1 of 1000 players, user words 0/2/3/4.
inline const char* kEnumSessionsReply42 =
    "80 00 B0 FA  02 00 08 FC  00 00 00 00  00 00 00 00 00 00 00 00"
    "70 6C 61 79  01 00 0E 00"
    "50 00 00 00  04 04 00 00"
    "8E A0 FA 21 FC 42 46 B5 AF D3 5E 15 84 FB BB 60"  // {21FAA08E-42FC-B546-AFD3-5E1584FBBB60}
    "0B A5 52 A0 E0 FF 11 CF 9C 4E 00 A0 C9 05 42 5E"
    "E8 03 00 00  01 00 00 00  00 00 00 00  00 00 00 00"
    "A1 A0 52 1E  00 00 00 00  00 00 00 00  02 00 00 00  03 00 00 00  04 00 00 00"
    "5C 00 00 00"
    "4C 00 4F 00 54 00 48 00 41 00 49 00 52 00 00 00";  // "LOTHAIR"

// wine: a joining client's system player id request (flags SP|PL), reply port 2301.
inline const char* kRequestPlayerIdSystem =
    "20 00 B0 FA  02 00 08 FD  00 00 00 00  00 00 00 00 00 00 00 00"
    "70 6C 61 79  05 00 0E 00  09 00 00 00";

// wine: the reply Windows clients accept: id, zeroed security description, no
// providers, S_OK, 64 bytes of room for the provider names.
inline const char* kRequestPlayerReply =
    "84 00 B0 FA  02 00 08 FC  00 00 00 00  00 00 00 00 00 00 00 00"
    "70 6C 61 79  07 00 0E 00  73 15 05 00"
    "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
    "00 00 00 00  00 00 00 00  00 00 00 00"
    "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"
    "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00";

// wine: ADDFORWARDREQUEST of system player 0x51573: create offset 28, password
// offset 108 (empty password), packed player flags SP|PL, size 48 + 32, stream
// port 2301 and datagram port 2351 with address 0.0.0.0, then the tick count.
inline const char* kAddForwardRequest =
    "86 00 B0 FA  02 00 08 FD  00 00 00 00  00 00 00 00 00 00 00 00"
    "70 6C 61 79  13 00 0E 00"
    "00 00 00 00  73 15 05 00  00 00 00 00  1C 00 00 00  6C 00 00 00"
    "50 00 00 00  09 00 00 00  73 15 05 00  00 00 00 00  00 00 00 00  20 00 00 00"
    "00 00 00 00  00 00 00 00  73 15 05 00  30 00 00 00  0E 00 00 00  00 00 00 00"
    "02 00 08 FD 00 00 00 00 00 00 00 00 00 00 00 00"
    "02 00 09 2F 00 00 00 00 00 00 00 00 00 00 00 00"
    "00 00"
    "78 56 34 12";

// wine: CREATEPLAYER of player 0x7734 (flags PL) of system player 0x51573, short
// name "a", no long name, 2 bytes of player data, then the 6 reserved bytes.
inline const char* kCreatePlayer =
    "8C 00 B0 FA  02 00 08 FD  00 00 00 00  00 00 00 00 00 00 00 00"
    "70 6C 61 79  08 00 0E 00"
    "00 00 00 00  34 77 00 00  00 00 00 00  1C 00 00 00  00 00 00 00"
    "56 00 00 00  08 00 00 00  34 77 00 00  04 00 00 00  00 00 00 00  20 00 00 00"
    "02 00 00 00  00 00 00 00  73 15 05 00  30 00 00 00  0E 00 00 00  00 00 00 00"
    "61 00 00 00"
    "02 00 08 FD 00 00 00 00 00 00 00 00 00 00 00 00"
    "02 00 09 2F 00 00 00 00 00 00 00 00 00 00 00 00"
    "AB CD"
    "00 00  00 00 00 00";

// wine: ADDPLAYERTOGROUP of player 0x7734 to group 0x5E7.
inline const char* kAddPlayerToGroup =
    "30 00 B0 FA  02 00 08 FC  00 00 00 00  00 00 00 00 00 00 00 00"
    "70 6C 61 79  0D 00 0E 00"
    "00 00 00 00  34 77 00 00  E7 05 00 00  00 00 00 00  00 00 00 00";

// wine: GROUPDATACHANGED of group 0x5E7 with data 01 02 03 04 at offset 24.
inline const char* kGroupDataChanged =
    "30 00 B0 FA  02 00 08 FC  00 00 00 00  00 00 00 00 00 00 00 00"
    "70 6C 61 79  11 00 0E 00"
    "00 00 00 00  E7 05 00 00  04 00 00 00  18 00 00 00  01 02 03 04";

// wine: PING from 0x51573 with tick count 0x1234, and its reply.
inline const char* kPing =
    "24 00 B0 FA  02 00 08 FD  00 00 00 00  00 00 00 00 00 00 00 00"
    "70 6C 61 79  16 00 0E 00  73 15 05 00  34 12 00 00";
inline const char* kPingReply =
    "24 00 B0 FA  02 00 08 FC  00 00 00 00  00 00 00 00 00 00 00 00"
    "70 6C 61 79  17 00 0E 00  73 15 05 00  34 12 00 00";

// wine: a guaranteed player message on the stream: prefix, ids, payload.
inline const char* kPlayerMessageStream =
    "1E 00 B0 FA  02 00 08 FD  00 00 00 00  00 00 00 00 00 00 00 00"
    "34 77 00 00  78 56 34 12  68 69";

inline std::vector<Vector> all() {
    return {
        {"4.1 DirectPlay4EnumSessionsRequest", kEnumSessionsRequest41, 0},
        {"4.2 DirectPlay4 EnumSessionsReply", kEnumSessionsReply42, 0},
        {"wine RequestPlayerId", kRequestPlayerIdSystem, 0},
        {"wine RequestPlayerReply", kRequestPlayerReply, 68},
        {"wine AddForwardRequest", kAddForwardRequest, 0},
        {"wine CreatePlayer", kCreatePlayer, 134},
        {"wine AddPlayerToGroup", kAddPlayerToGroup, 0},
        {"wine GroupDataChanged", kGroupDataChanged, 0},
        {"wine Ping", kPing, 0},
        {"wine PingReply", kPingReply, 0},
        {"wine PlayerMessage", kPlayerMessageStream, 28},
    };
}

}  // namespace qd::dplay::testvec
