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
class MainWindow;
class MessageQueue;

struct RunOptions {
    std::filesystem::path workDir = ".";
    std::optional<LobbySettings> lobby;
    std::string instanceName;  // the single-instance marker; empty: the machine-wide default
    // Answers question boxes without an operator (no console): the default answers No.
    bool headless = true;
    // Makes the DirectPlay object; empty: the session engine with the DirectPlay transport
    // configured below.
    ServiceFactory factory;
    bool network = true;                 // false: the engine alone, nobody can join
    std::string bindAddress = "0.0.0.0";
    std::string publicAddress;           // the address announced to clients behind NAT
    uint16_t streamPort = 0;             // 0: the first free one from 2300
    uint16_t enumPort = 47624;
    // Called on the window thread once the queue and desktop exist (the console starts here)
    // and when the run ends.
    std::function<void(Desktop&, MessageQueue&)> onDesktop;
    std::function<void()> onEnd;
    // Called on the window thread once the main window object exists, before the session
    // opens (test hosts drive their scripted clients through it).
    std::function<void(MainWindow&)> onWindow;

    // The operator console; without it the host is headless (boxes go to stderr and the
    // error log, questions are answered No).
    bool console = true;
    std::string consoleAddress = "127.0.0.1:8470";
    std::string consoleTokenFile;

    // Named by the console's /status.json and /metrics.
    std::string version;
    std::string commit;
};

int RunHost(const RunOptions& options);

}  // namespace qd
