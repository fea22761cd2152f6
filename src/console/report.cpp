#include "console/report.h"

#include <cmath>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "platform/text.h"

namespace qd::console {

namespace {

// The statuses the main window shows, each reported even when nobody has it, so a
// dashboard's series never disappear.
constexpr const char* kStatuses[] = {"New", "Unk", "Waiting", "Ready", "Flying", "Wait2", "NFRdy", "NFFly", "Unk2"};
constexpr const char* kStates[] = {"idle", "launching", "in game", "no-fun hold", "not open"};

std::string LabelValue(std::string_view text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n') {
            out += "\\n";
            continue;
        }
        out += c;
    }
    return out;
}

class Writer {
public:
    void Family(const char* name, const char* type, const char* help) {
        family_ = name;
        out_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void Sample(double value, std::initializer_list<std::pair<const char*, std::string>> labels = {}) {
        out_ += family_;
        if (labels.size()) {
            out_ += '{';
            bool first = true;
            for (const auto& [key, val] : labels) {
                if (!first) out_ += ',';
                first = false;
                out_ += std::string(key) + "=\"" + LabelValue(val) + "\"";
            }
            out_ += '}';
        }
        char number[64];
        if (value == std::floor(value) && std::fabs(value) < 1e15)
            std::snprintf(number, sizeof number, " %.0f\n", value);
        else
            std::snprintf(number, sizeof number, " %.3f\n", value);
        out_ += number;
    }
    std::string Take() { return std::move(out_); }

private:
    std::string family_;
    std::string out_;
};

}  // namespace

std::string StatusJson(const HostReport& r) {
    using nlohmann::json;
    json players = json::array();
    for (const PlayerReport& p : r.players) {
        players.push_back({{"id", p.id},
                           {"kind", p.client ? "client" : "object"},
                           {"name", Win1252ToUtf8(p.name)},
                           {"team", p.team.empty() ? json(nullptr) : json(Win1252ToUtf8(p.team))},
                           {"status", p.status},
                           {"aircraft", Win1252ToUtf8(p.aircraft)}});
    }
    json j = {{"version", r.version},
              {"commit", r.commit},
              {"uptimeSeconds", static_cast<uint64_t>(r.uptimeSeconds)},
              {"session",
               {{"open", r.sessionOpen},
                {"name", Win1252ToUtf8(r.sessionName)},
                {"state", r.state},
                {"settingsHold", r.settingsHold},
                {"paused", r.paused},
                {"maxPlayers", r.maxPlayers}}},
              {"players", players}};
    j["machinesJoined"] = r.network ? json(r.network->machinesJoined) : json(nullptr);
    return j.dump() + "\n";
}

std::string MetricsText(const HostReport& r, const ConsoleReport& c) {
    Writer w;
    w.Family("quarneld_build_info", "gauge", "The version and commit of the running program.");
    w.Sample(1, {{"version", r.version}, {"commit", r.commit}});
    w.Family("quarneld_uptime_seconds", "gauge", "Seconds since the program started.");
    w.Sample(std::floor(r.uptimeSeconds));
    w.Family("quarneld_session_open", "gauge", "1 while the DirectPlay session is open.");
    w.Sample(r.sessionOpen ? 1 : 0);
    w.Family("quarneld_game_state", "gauge", "1 for the state the game is in.");
    for (const char* s : kStates) w.Sample(r.state == s ? 1 : 0, {{"state", s}});

    w.Family("quarneld_players", "gauge", "Players by kind (client or the host's own object) and status.");
    for (const char* kind : {"client", "object"}) {
        for (const char* status : kStatuses) {
            double n = 0;
            for (const PlayerReport& p : r.players)
                if (p.client == (kind[0] == 'c') && p.status == status) ++n;
            w.Sample(n, {{"kind", kind}, {"status", status}});
        }
    }

    w.Family("quarneld_receive_queue_messages", "gauge", "Messages waiting in the host players' receive queues.");
    w.Sample(static_cast<double>(r.queuedMessages));
    w.Family("quarneld_receive_queue_bytes", "gauge", "Bytes waiting in the host players' receive queues.");
    w.Sample(static_cast<double>(r.queuedBytes));
    w.Family("quarneld_receive_queue_dropped_total", "counter", "Messages dropped because a receive queue was full.");
    w.Sample(static_cast<double>(r.droppedMessages));

    if (r.network) {
        const NetworkReport& n = *r.network;
        w.Family("quarneld_machines_joined", "gauge", "Client machines in the session now.");
        w.Sample(static_cast<double>(n.machinesJoined));
        w.Family("quarneld_machine_joins_total", "counter", "Client machines that completed a join.");
        w.Sample(static_cast<double>(n.joins));
        w.Family("quarneld_machines_vanished_total", "counter", "Joined machines that went silent or lost their stream.");
        w.Sample(static_cast<double>(n.vanished));
        const char* kinds[] = {"stream", "datagram"};
        w.Family("quarneld_frames_total", "counter", "DirectPlay frames received and sent, by transport.");
        for (int k = 0; k < 2; ++k) {
            w.Sample(static_cast<double>(n.framesIn[k]), {{"direction", "in"}, {"kind", kinds[k]}});
            w.Sample(static_cast<double>(n.framesOut[k]), {{"direction", "out"}, {"kind", kinds[k]}});
        }
        w.Family("quarneld_bytes_total", "counter", "DirectPlay bytes received and sent, by transport.");
        for (int k = 0; k < 2; ++k) {
            w.Sample(static_cast<double>(n.bytesIn[k]), {{"direction", "in"}, {"kind", kinds[k]}});
            w.Sample(static_cast<double>(n.bytesOut[k]), {{"direction", "out"}, {"kind", kinds[k]}});
        }
        w.Family("quarneld_frames_rejected_total", "counter",
                 "Frames dropped: malformed, refused (not allowed to the sender), or over a limit.");
        w.Sample(static_cast<double>(n.malformed), {{"reason", "malformed"}});
        w.Sample(static_cast<double>(n.refused), {{"reason", "refused"}});
        w.Sample(static_cast<double>(n.overloaded), {{"reason", "overloaded"}});
        w.Sample(static_cast<double>(n.impostors), {{"reason", "impostor"}});
        w.Sample(static_cast<double>(n.datagramsRefused), {{"reason", "datagram_refused"}});
        w.Family("quarneld_streams_closed_total", "counter",
                 "Streams closed by a limit: no complete frame in time, or ended to make room for a new source.");
        w.Sample(static_cast<double>(n.timedOut), {{"reason", "timed_out"}});
        w.Sample(static_cast<double>(n.evicted), {{"reason", "evicted"}});
        w.Family("quarneld_acknowledgements_missed_total", "counter",
                 "Joins a peer did not acknowledge in time.");
        w.Sample(static_cast<double>(n.missedAcks));
        w.Family("quarneld_peers_dropped_total", "counter",
                 "Machines removed for leaving acknowledgement after acknowledgement unanswered.");
        w.Sample(static_cast<double>(n.peersDropped));
        w.Family("quarneld_enumeration_requests_total", "counter",
                 "Session enumeration requests, answered or refused by reason.");
        w.Sample(static_cast<double>(n.enumAnswered), {{"result", "answered"}});
        w.Sample(static_cast<double>(n.enumRateLimited), {{"result", "rate_limited"}});
        w.Sample(static_cast<double>(n.enumNotMatching), {{"result", "not_matching"}});
        w.Sample(static_cast<double>(n.enumMalformed), {{"result", "malformed"}});
        w.Sample(static_cast<double>(n.enumOverloaded), {{"result", "overloaded"}});
        w.Sample(static_cast<double>(n.enumEvicted), {{"result", "evicted"}});
    }

    w.Family("quarneld_console_connections", "gauge", "Open connections to the operator console.");
    w.Sample(static_cast<double>(c.connections));
    w.Family("quarneld_console_sessions", "gauge", "Console pages open with a live update socket.");
    w.Sample(static_cast<double>(c.pages));
    w.Family("quarneld_console_connections_dropped_total", "counter",
             "Console connections closed unserved: the limit was reached, an idle one made room, or no "
             "request came in time.");
    w.Sample(static_cast<double>(c.refusedFull), {{"reason", "full"}});
    w.Sample(static_cast<double>(c.evicted), {{"reason", "evicted"}});
    w.Sample(static_cast<double>(c.loginTimeouts), {{"reason", "request_timeout"}});
    return w.Take();
}

}  // namespace qd::console
