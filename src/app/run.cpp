#include "app/run.h"

#include <iostream>

#include "app/autoboot.h"
#include "app/capture_dialog.h"
#include "app/eject_dialog.h"
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

namespace qd {

namespace {
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
    return result;
}

}  // namespace qd
