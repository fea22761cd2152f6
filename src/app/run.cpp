#include "app/run.h"

#include <iostream>
#include <mutex>

#include "app/autoboot.h"
#include "app/capture_dialog.h"
#include "app/eject_dialog.h"
#include "app/settings_dialog.h"
#include "app/host_session.h"
#include "app/main_window.h"
#include "app/monitor.h"
#include "app/startup.h"
#include "console/server.h"
#include "platform/dialog.h"
#include "platform/instance.h"
#include "platform/log.h"
#include "platform/msgbox.h"
#include "platform/systemd.h"
#include "platform/window.h"
#include "session/engine.h"
#include "session/dplay/transport.h"
#include "session/pump.h"
#include "sidelink/settings_link.h"
#include "sidelink/settings_message.h"

namespace qd {

namespace {

// The side link's view of the host: records, teams, the session and the window queue.
SettingsLinkHooks MakeLinkHooks(GameHost& game, SideLinkState& sideLink) {
    SettingsLinkHooks h;
    h.readPlayerRecord = [&game](DPID p) { return game.data.GetPlayerRecord(p); };
    h.writePlayerRecord = [&game](DPID p, const PlayerRecord& r) { return SUCCEEDED(game.data.PutPlayerRecord(p, r)); };
    h.readTeamGroupRecord = [&game](DPID g) { return game.data.GetTeamGroupRecord(g); };
    h.team = [&game](uint32_t index) -> const TeamDefinition* {
        return index >= 1 && index <= game.teams.size() ? game.teams[index - 1] : nullptr;
    };
    h.sessionDesc = [&game]() -> std::optional<SessionDesc> {
        SessionDesc desc;
        if (FAILED(game.dp().GetSessionDesc(desc))) return std::nullopt;
        return desc;
    };
    h.playerAddress = [&game](DPID p, std::vector<uint8_t>& out) { return game.dp().GetPlayerAddress(p, out); };
    h.sendPlayerText = [&game](DPID p, const std::string& text) { SendPlayerText(game, text, p); };
    h.postSendPlayerSettings = [&game](DPID p, uint32_t win) { game.window.PostSendPlayerSettings(p, win); };
    h.portList = [&sideLink]() { return RefreshLinkPorts(sideLink); };
    h.hostState = [&game, &sideLink]() {
        SettingsHostState s;
        s.hostPlayerId = game.hostPlayerId();
        const uint32_t state = game.state.gameState & ~256u;  // without the settings dialog's hold
        s.gameRunning = state == kGameLaunching || state == kGameInGame || game.state.flyingCount != 0;
        s.unrestrictAllTeams = game.unrestrictAllTeams != 0;
        s.simulatorVersion = game.simulatorVersion();
        s.hostPort1 = sideLink.hostPort1();
        return s;
    };
    return h;
}

void ErrorBox(const std::string& text) {
    ShowMessageBox(MessageBoxRequest{text, std::string("Error"), MbButtons::Ok, MbIcon::Error, false});
}
}  // namespace

int RunHost(const RunOptions& options) {
    std::error_code ec;
    const auto workDir = std::filesystem::absolute(options.workDir, ec);
    if (ec || !std::filesystem::is_directory(workDir, ec)) {
        std::cerr << "quarneld run: working directory " << options.workDir.string() << " does not exist\n";
        return 1;
    }
    SetErrorLogPath(workDir / "quarneld/qdlerror.txt");

    MessageQueue queue;
    Desktop desktop(queue);

    // The console's view of the session, read on the console's thread.
    std::mutex statusMutex;
    console::ConsoleStatus status;
    auto setStatus = [&](std::string name, std::string address) {
        std::lock_guard lock(statusMutex);
        status = console::ConsoleStatus{std::move(name), std::move(address)};
    };
    HostMonitor monitor(options.version, options.commit);
    std::unique_ptr<console::ConsoleServer> consoleServer;
    if (options.console) {
        console::ConsoleOptions consoleOptions;
        std::string error;
        if (!console::ParseConsoleAddress(options.consoleAddress, consoleOptions, error)) {
            std::cerr << "quarneld run: --console " << options.consoleAddress << ": " << error << "\n";
            return 2;
        }
        consoleOptions.tokenFile = options.consoleTokenFile;
        consoleOptions.report = [&monitor] { return monitor.Report(); };
        consoleOptions.printToken = !IsJournalStream(1);
        consoleServer = std::make_unique<console::ConsoleServer>(desktop, queue, consoleOptions, [&] {
            std::lock_guard lock(statusMutex);
            return status;
        });
        if (!consoleServer->Start(std::cout, error)) {
            std::cerr << "quarneld run: the console cannot start: " << error << "\n";
            return 1;
        }
    }
    const bool headless = options.headless && !options.console;
    MessageBoxHandler previousHandler;
    if (!headless) previousHandler = SetMessageBoxHandler(WindowMessageBoxHandler(desktop));
    struct RestoreHandler {
        bool active;
        MessageBoxHandler previous;
        console::ConsoleServer* server;
        ~RestoreHandler() {
            if (server) server->Stop();
            if (active) SetMessageBoxHandler(previous);
        }
    } restore{!headless, previousHandler, consoleServer.get()};
    if (options.onDesktop) options.onDesktop(desktop, queue);
    struct EndHook {
        const std::function<void()>& f;
        ~EndHook() {
            if (f) f();
        }
    } endHook{options.onEnd};

    // 1. One host per machine.
    InstanceMarker marker;
    switch (marker.create(options.instanceName.empty() ? kInstanceMarkerName : options.instanceName)) {
    case InstanceMarker::Result::Created: break;
    case InstanceMarker::Result::AlreadyExists:
        ErrorBox("Previous instance of QUARNELD running.\n\tShut it down an try again.");
        return 0;
    case InstanceMarker::Result::Failed: ErrorBox("Error checking for previous instance of QUARNELD"); return 0;
    }

    // 3-6. Adapters, preferences, targets.
    LinuxNetTables tables;
    HostSetup setup(workDir, tables);
    setup.LoadAdaptersAndPrefs();
    if (!setup.LoadTargets()) {
        ErrorBox("Config error, no objects found");
        return 0;
    }

    // 7-9. The session.
    HostContext context;
    DataAccess data(context);
    AutobootList autoboot(workDir);
    OperatorDialogs dialogs;
    MainWindow* window = nullptr;
    dialogs.eject = [&](const std::string& name) {
        return EjectDialog(desktop, window ? window->hwnd() : kNoWindow, name, autoboot);
    };
    dialogs.capture = [&](DPID player, const MotionBuffer* lastMotion) {
        MotionCopy atCommand{};
        if (lastMotion) atCommand = *lastMotion;
        CaptureLocation(desktop, workDir, atCommand, [&]() -> std::optional<CaptureSource> {
            // The player flies on while the operator types: read it again now.
            const auto record = data.GetPlayerRecord(player);
            DpName names;
            if (!record || FAILED(data.GetPlayerNames(player, names))) return std::nullopt;
            CaptureSource source;
            if (const MotionBuffer* motion = data.Motion(record->lastMotion)) source.lastMotion = *motion;
            if (names.longName) source.longName = NarrowCopy(*names.longName);
            return source;
        });
    };
    dialogs.settings = [&] {
        if (!window || !context.directPlay) return;
        GameHost& game = window->game();
        SettingsDialogContext settings{*context.directPlay, setup.config, game.unrestrictAllTeams,
                                       [&game](uint32_t mode) { StatusCensus(game, mode); },
                                       [&](const SessionDesc& desc) { window->ShowOptionsSummary(desc); }};
        SettingsDialog(desktop, settings);
    };
    MainWindow mainWindow(desktop, setup, context, data, dialogs);
    window = &mainWindow;
    mainWindow.game().autoboot = &autoboot;
    mainWindow.game().isAutobooted = [&autoboot](const std::string& name) { return autoboot.IsAutobooted(name); };
    if (options.onWindow) options.onWindow(mainWindow);

    ServiceFactory factory = options.factory;
    std::shared_ptr<dplay::Transport> transport;
    const auto watching = monitor.Watch(mainWindow.game(), transport);
    if (!factory) {
        const std::string hostAddress = setup.sideLink.hostAddressText();
        factory = [&, hostAddress]() -> std::shared_ptr<DirectPlayService> {
            EngineOptions engineOptions;
            engineOptions.hostAddress = hostAddress;
            if (options.network) {
                // The transport's sockets open with the session, as DirectPlay's did in Open,
                // so the connection lists taken around it see the host's own ports.
                engineOptions.onOpen = [&](Engine& engine) -> HRESULT {
                    dplay::TransportConfig config;
                    boost::system::error_code ec;
                    config.bindAddress = boost::asio::ip::make_address_v4(options.bindAddress, ec);
                    if (ec) {
                        std::cerr << "quarneld: --bind " << options.bindAddress << " is not an IPv4 address\n";
                        return DPERR_CANNOTCREATESERVER;
                    }
                    if (!options.publicAddress.empty()) {
                        config.publicAddress = boost::asio::ip::make_address_v4(options.publicAddress, ec);
                        if (ec) {
                            std::cerr << "quarneld: --public-address " << options.publicAddress
                                      << " is not an IPv4 address\n";
                            return DPERR_CANNOTCREATESERVER;
                        }
                    }
                    config.streamPort = options.streamPort;
                    config.enumPort = options.enumPort;
                    transport = dplay::Transport::create(engine, config);
                    std::string error;
                    if (!transport->start(error)) {
                        std::cerr << "quarneld: cannot open the session's network ports: " << error << "\n";
                        LogError("Network error, " + error);
                        transport.reset();
                        return DPERR_CANNOTCREATESERVER;
                    }
                    std::cout << "quarneld: session open; DirectPlay enumeration on " << options.bindAddress << ":"
                              << transport->enumUdpPort() << ", stream port " << transport->streamPort()
                              << ", datagram port " << transport->datagramPort() << std::endl;
                    return S_OK;
                };
                engineOptions.onClose = [&](Engine&) {
                    if (transport) transport->stop();
                };
            }
            return std::make_shared<Engine>(engineOptions);
        };
    }
    HostSessionParams params{context,   data, setup.config, setup.sideLink, setup.targets, desktop, options.lobby,
                             factory, [&mainWindow] { mainWindow.PostReceive(); }};
    // The side link: connects complete on the watcher thread and are handed to the window thread.
    SettingsLink* link = nullptr;
    PosixLinkSockets sockets([&queue, &link](LinkHandle h, int error) {
        queue.PostTask([&link, h, error] {
            if (link) link->OnConnectComplete(h, error);
        });
    });
    SettingsLink settingsLink(MakeLinkHooks(mainWindow.game(), setup.sideLink), sockets, TeamParserStepBasis());
    link = &settingsLink;
    mainWindow.game().settingsLink = &settingsLink;

    setStatus("", setup.sideLink.hostAddressText());
    int result = 0;
    if (SUCCEEDED(OpenHostSession(params))) {
        SessionDesc desc;
        if (SUCCEEDED(context.directPlay->GetSessionDesc(desc)))
            setStatus(NarrowCopy(desc.sessionName.value_or(u"")), setup.sideLink.hostAddressText());
        // The session is open and its ports listen: systemd may call the service started.
        NotifyServiceManager("READY=1\nSTATUS=Hosting the session");
        // 10. The main window until the exit question is answered Yes; a shutdown signal
        // answers it so.
        queue.BecomeSignalTarget([&mainWindow] { mainWindow.Shutdown(); });
        InstallShutdownSignalHandlers();
        const INT_PTR r = mainWindow.Run();
        NotifyServiceManager("STOPPING=1\nSTATUS=Closing the session");
        result = r < 0 ? 0 : static_cast<int>(r);
    }
    // 11.
    CloseHostSession(context);
    if (transport) transport->stop();
    link = nullptr;
    return result;
}

}  // namespace qd
