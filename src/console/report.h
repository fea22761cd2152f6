#pragma once
// What a dashboard reads: GET /status.json (the session, its players, uptime) and
// GET /metrics (the Prometheus text format). The application fills a HostReport on the
// window thread; it is written out here, texts turned from Windows-1252 into UTF-8.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace qd::console {

struct PlayerReport {
    uint32_t id = 0;
    bool client = true;     // false: one of the host's objects
    std::string name;       // 8-bit texts, as the main window shows them
    std::string team;       // empty: on no team
    std::string status;     // "Waiting", "Ready", "Flying", ... ("New" without a record)
    std::string aircraft;
};

// Counters of the DirectPlay transport, read from its atomics.
struct NetworkReport {
    uint64_t machinesJoined = 0;  // now
    uint64_t joins = 0, vanished = 0;
    // [0] stream, [1] datagram
    std::array<uint64_t, 2> framesIn{}, framesOut{}, bytesIn{}, bytesOut{};
    uint64_t malformed = 0, refused = 0, overloaded = 0, impostors = 0, datagramsRefused = 0;
    // What the limits on strangers and peers turned away.
    uint64_t timedOut = 0, evicted = 0, missedAcks = 0, peersDropped = 0;
    uint64_t enumAnswered = 0, enumRateLimited = 0, enumNotMatching = 0, enumMalformed = 0, enumOverloaded = 0,
             enumEvicted = 0;
};

struct HostReport {
    std::string version, commit;
    double uptimeSeconds = 0;
    bool sessionOpen = false;
    std::string sessionName;
    std::string state;  // "idle", "launching", "in game", "no-fun hold"; "not open"
    bool settingsHold = false;  // the settings dialog holds the launch
    bool paused = false;
    uint32_t maxPlayers = 0;
    std::vector<PlayerReport> players;
    std::optional<NetworkReport> network;  // none while no transport runs
    uint64_t queuedMessages = 0, queuedBytes = 0, droppedMessages = 0;
};

// The console's own figures, added by the console's thread.
struct ConsoleReport {
    uint64_t connections = 0;
    uint64_t pages = 0;  // pages holding a live update socket
    uint64_t refusedFull = 0, evicted = 0, loginTimeouts = 0;
};

std::string StatusJson(const HostReport& report);
std::string MetricsText(const HostReport& report, const ConsoleReport& console);

}  // namespace qd::console
