#pragma once
// `quarneld run`: start-up, the session, the main window until the operator leaves (or
// SIGINT/SIGTERM answers the exit question Yes), then the session closes in order.
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "session/lobby.h"
#include "session/service.h"

namespace qd {

class Desktop;
class MessageQueue;

struct RunOptions {
    std::filesystem::path workDir = ".";
    std::optional<LobbySettings> lobby;
    std::string instanceName;  // the single-instance marker; empty: the machine-wide default
    // Answers question boxes without an operator (no console): the default answers No.
    bool headless = true;
    // Makes the DirectPlay object; empty: the session engine alone (nobody can join over
    // the network).
    ServiceFactory factory;
    // Called on the window thread once the queue and desktop exist (the console starts here)
    // and when the run ends.
    std::function<void(Desktop&, MessageQueue&)> onDesktop;
    std::function<void()> onEnd;
};

int RunHost(const RunOptions& options);

}  // namespace qd
