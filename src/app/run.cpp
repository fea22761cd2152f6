#include "app/run.h"

#include <iostream>

#include "app/autoboot.h"
#include "app/capture_dialog.h"
#include "app/eject_dialog.h"
#include "app/settings_dialog.h"
#include "app/host_session.h"
#include "app/main_window.h"
#include "app/startup.h"
#include "platform/dialog.h"
#include "platform/instance.h"
#include "platform/log.h"
#include "platform/msgbox.h"
#include "platform/window.h"
#include "session/engine.h"
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
    MessageBoxHandler previousHandler;
    if (!options.headless) previousHandler = SetMessageBoxHandler(WindowMessageBoxHandler(desktop));
    struct RestoreHandler {
        bool active;
        MessageBoxHandler previous;
        ~RestoreHandler() {
            if (active) SetMessageBoxHandler(previous);
        }
    } restore{!options.headless, previousHandler};
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

    ServiceFactory factory = options.factory;
    if (!factory) {
        const std::string hostAddress = setup.sideLink.hostAddressText();
        factory = [hostAddress]() -> std::shared_ptr<DirectPlayService> {
            EngineOptions engineOptions;
            engineOptions.hostAddress = hostAddress;
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

    int result = 0;
    if (SUCCEEDED(OpenHostSession(params))) {
        // 10. The main window until the exit question is answered Yes; a shutdown signal
        // answers it so.
        queue.BecomeSignalTarget([&mainWindow] { mainWindow.Shutdown(); });
        InstallShutdownSignalHandlers();
        const INT_PTR r = mainWindow.Run();
        result = r < 0 ? 0 : static_cast<int>(r);
    }
    // 11.
    CloseHostSession(context);
    link = nullptr;
    return result;
}

}  // namespace qd
