#pragma once
// Wireshark's reading of a capture: every frame dissected with tshark (Debian's package),
// its complaints collected, and chosen DirectPlay fields per frame.
#include <sstream>
#include <string>
#include <vector>

#include "platform/host_process.h"

namespace qd::dplay::tshark {

using test::shell;

inline bool installed() { return shell("command -v tshark > /dev/null 2>&1") == 0; }

// One frame as Wireshark read it; fields empty when the dissector did not fill them.
struct Row {
    std::string protocols, command, version, players, sessionName;
};

struct Reading {
    bool ran = false;
    std::vector<Row> rows;
    // Lines of the full dissection that signal trouble, with their frame numbers (from 1).
    std::vector<std::pair<std::size_t, std::string>> complaints;
};

// `-V` must show no malformed packet, no expert note and no value the dissector does not
// know (Wireshark prints those as "Unknown (0x..)").
// Two of Wireshark's guessing dissectors (LBM's SRS and RSocket within it) claim a TCP
// payload on a few bytes and take DirectPlay frames whose prefix names port 2300 (08 FC);
// they are switched off so that the DirectPlay dissector gets the frames it would on a wire
// where those protocols are not in use.
inline Reading read(const std::string& pcap) {
    const std::string tshark = "tshark --disable-protocol lbmsrs --disable-protocol rsocket -r '" + pcap + "'";
    const std::string full = pcap + ".tshark.txt", fields = pcap + ".tshark.fields";
    Reading r;
    r.ran = shell(tshark + " -V > '" + full + "' 2>/dev/null") == 0 &&
            shell(tshark + " -T fields -E separator='|' -E occurrence=f -e frame.protocols -e dplay.command" +
                  " -e dplay.dialect.version -e dplay.sess_desc.curr_players -e dplay.type_01.game_name" +
                  " -e dplay.type_29.game_name -e dplay.type_1a.session_name > '" + fields + "' 2>/dev/null") == 0;
    std::ifstream lines(full), rows(fields);
    std::size_t frame = 0;
    for (std::string line; r.ran && std::getline(lines, line);) {
        if (line.rfind("Frame ", 0) == 0) frame = std::strtoul(line.c_str() + 6, nullptr, 10);
        const auto has = [&](const char* mark) { return line.find(mark) != std::string::npos; };
        if (has("Malformed") || has("Expert Info") || has("Unknown (0x") || has("Unknown command"))
            r.complaints.emplace_back(frame, line);
    }
    for (std::string line; r.ran && std::getline(rows, line);) {
        std::istringstream cells(line);
        std::vector<std::string> f;
        for (std::string cell; std::getline(cells, cell, '|');) f.push_back(cell);
        f.resize(7);
        r.rows.push_back(Row{f[0], f[1], f[2], f[3], !f[4].empty() ? f[4] : !f[5].empty() ? f[5] : f[6]});
    }
    return r;
}

}  // namespace qd::dplay::tshark
