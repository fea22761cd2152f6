// The real host for the console's browser tests: `quarneld run` as RunHost assembles it,
// with the session engine on scripted client machines driven by lines on stdin, each run
// on the window thread (as the transport's would) and answered "ok [VALUE]" or "error TEXT":
//   join NAME [AIRCRAFT]     a machine joins with player NAME (Waiting): ok DPID
//   status NAME LETTER       its status letter (E-H: no-fun flying, flying, waiting, ready)
//   team NAME TEAM NAME...   NET_JOIN_TEAM for the team of that name, to the host player
//   motion NAME LAT LON ALT ALTFRACTION HEADING   NET_MOTION to the host player: metres,
//                            longitude units, metres, 1/65536 m, the 10-bit heading field
// End of input shuts the host down as SIGTERM does.
// Usage: console_real_host --workdir DIR --console 127.0.0.1:0 --console-token-file FILE
#include <signal.h>
#include <unistd.h>

#include <future>
#include <iostream>
#include <map>
#include <mutex>
#include <sstream>

#include "app/main_window.h"
#include "app/run.h"
#include "protocol/messages.h"
#include "session/engine.h"
#include "session/scripted_peer.h"

namespace {

using namespace qd;

// Owned by the window thread; the queue pointer is guarded for the stdin thread.
struct Harness {
    std::mutex mutex;
    MessageQueue* queue = nullptr;
    MainWindow* window = nullptr;
    std::shared_ptr<Engine> engine;
    std::shared_ptr<ScriptedNetwork> network;
    std::map<std::string, std::pair<ScriptedPeer*, DPID>> clients;
    int nextAddress = 10;
} g;

std::string Run(const std::vector<std::string>& w) {
    if (!g.window || !g.window->dialog() || !g.network) return "error not ready";
    GameHost& game = g.window->game();
    if (w.size() < 2) return "error missing name";
    if (w[0] == "join") {
        ScriptedPeer& peer = g.network->AddPeer("10.0.0." + std::to_string(g.nextAddress++));
        const std::string aircraft = w.size() > 2 ? w[2] : "Spitfire";
        DPID id = 0;
        if (FAILED(peer.Join()) || FAILED(peer.CreatePlayer(WideCopy(w[1]), WideCopy("BJ[]" + aircraft + "[]G"), &id)))
            return "error join";
        g.clients[w[1]] = {&peer, id};
        return "ok " + std::to_string(id);
    }
    const auto it = g.clients.find(w[1]);
    if (it == g.clients.end()) return "error no client " + w[1];
    auto [peer, id] = it->second;
    HRESULT hr = E_INVALIDARG;
    if (w[0] == "status" && w.size() == 3 && w[2].size() == 1) {
        hr = peer->SetStatusLetter(id, static_cast<char16_t>(w[2][0]));
    } else if (w[0] == "team" && w.size() >= 3) {
        std::string team = w[2];
        for (std::size_t i = 3; i < w.size(); ++i) team += " " + w[i];
        hr = DPERR_INVALIDGROUP;
        for (const TeamDefinition* t : game.teams)
            if (t && t->name && *t->name == team)
                hr = peer->SendTo(id, game.hostPlayerId(), NetJoinTeam{t->groupId}.encode());
    } else if (w[0] == "motion" && w.size() == 7) {
        NetMotion m;
        m.sequence = 1;
        m.tick = 1000;
        m.position.latitude = {static_cast<int32_t>(std::stol(w[2])), 0};
        m.position.longitude = {static_cast<int32_t>(std::stol(w[3])), 0};
        m.position.altitude = {static_cast<int32_t>(std::stol(w[4])), static_cast<uint16_t>(std::stoul(w[5]))};
        m.position.attitude = (static_cast<uint32_t>(std::stoul(w[6])) & 0x3FF) << 2;
        hr = peer->SendTo(id, game.hostPlayerId(), m.encode());
    }
    return SUCCEEDED(hr) ? "ok" : "error " + w[0] + " " + std::to_string(static_cast<uint32_t>(hr));
}

// Reads commands until the end of input; each is answered once it ran on the window thread.
void ControlLoop() {
    for (std::string line; std::getline(std::cin, line);) {
        std::istringstream in(line);
        std::vector<std::string> w;
        for (std::string word; in >> word;) w.push_back(word);
        if (w.empty()) continue;
        auto done = std::make_shared<std::promise<std::string>>();
        auto answer = done->get_future();
        bool posted = false;
        {
            std::lock_guard lock(g.mutex);
            posted = g.queue && g.queue->PostTask([w, done] {
                try {
                    done->set_value(Run(w));
                } catch (const std::exception& e) {
                    done->set_value(std::string("error ") + e.what());
                }
            });
        }
        const bool ran = posted && answer.wait_for(std::chrono::seconds(5)) == std::future_status::ready;
        std::cout << (ran ? answer.get() : "error not ready") << std::endl;
    }
    ::kill(::getpid(), SIGTERM);
}

}  // namespace

int main(int argc, char** argv) {
    RunOptions options;
    options.instanceName = "quarneld-console-test-" + std::to_string(::getpid());
    options.consoleAddress = "127.0.0.1:0";
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--workdir") options.workDir = argv[i + 1];
        if (arg == "--console") options.consoleAddress = argv[i + 1];
        if (arg == "--console-token-file") options.consoleTokenFile = argv[i + 1];
    }
    options.factory = []() -> std::shared_ptr<DirectPlayService> {
        g.engine = std::make_shared<Engine>();
        g.network = ScriptedNetwork::Attach(*g.engine);
        return g.engine;
    };
    options.onDesktop = [](Desktop&, MessageQueue& queue) {
        std::lock_guard lock(g.mutex);
        g.queue = &queue;
    };
    options.onWindow = [](MainWindow& window) { g.window = &window; };
    options.onEnd = [] {
        std::lock_guard lock(g.mutex);
        g.queue = nullptr;
        g.window = nullptr;
    };
    std::thread(ControlLoop).detach();
    const int result = RunHost(options);
    // The control thread may still wait for input, holding stdin's lock: flush only stdout,
    // and leave without unwinding under it.
    std::fflush(stdout);
    ::_exit(result);
}
