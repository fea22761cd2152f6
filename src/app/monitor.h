#pragma once
// The host's figures for the console's /status.json and /metrics, gathered on the window
// thread from the game state, the engine and the transport's counters.
#include <chrono>
#include <memory>
#include <string>

#include "console/report.h"

namespace qd {

struct GameHost;
namespace dplay {
class Transport;
}

class HostMonitor {
public:
    HostMonitor(std::string version, std::string commit);

    // While it lives, reports read this host and the transport the pointer holds (the
    // transport comes and goes with the session).
    class Watching {
    public:
        explicit Watching(HostMonitor& monitor) : monitor_(monitor) {}
        Watching(const Watching&) = delete;
        Watching& operator=(const Watching&) = delete;
        ~Watching() {
            monitor_.game_ = nullptr;
            monitor_.transport_ = nullptr;
        }

    private:
        HostMonitor& monitor_;
    };
    [[nodiscard]] Watching Watch(GameHost& game, const std::shared_ptr<dplay::Transport>& transport);

    // Window thread only.
    console::HostReport Report() const;

private:
    std::string version_, commit_;
    std::chrono::steady_clock::time_point started_ = std::chrono::steady_clock::now();
    GameHost* game_ = nullptr;
    const std::shared_ptr<dplay::Transport>* transport_ = nullptr;
};

}  // namespace qd
