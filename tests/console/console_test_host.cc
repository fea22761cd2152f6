// A small host for the console's browser tests: the main window (dialog 101) with fixed
// rows and a stand-in procedure (Send appends the entry to the chat pane; Eject pilot
// without a selection shows its notice), a desktop and a console server on loopback.
//
//   console_test_host [--console ADDR:PORT] [--console-token-file FILE]
#include <iostream>
#include <string>

#include "app/templates.h"
#include "console/server.h"
#include "platform/dialog.h"
#include "platform/msgbox.h"
#include "platform/window.h"

namespace {

using namespace qd;

INT_PTR MainProc(Dialog& d, UINT msg, WPARAM wParam, LPARAM) {
    if (msg == WM_INITDIALOG) {
        d.SetDlgItemText(IDC_HOST_ADDRESS, "127.0.0.1");
        for (const char* row : {"\tJ\tWaiting\tQUARNELD\tTarget \tF-16 Fighting Falcon",
                                "\tC\tWaiting\tQUARNELD 2\tTarget2\tMiG-29",
                                "\tC\tReady\tP\xe9ter the pilot\tRed\tSpitfire Mk IX"})
            d.AddString(IDC_PLAYER_LIST, row);
        for (const char* team : {"Target ", "Target2", "Red", "Blue"}) d.AddString(IDC_TEAM_LIST, team);
        d.SetDlgItemText(IDC_OPTIONS_SUMMARY, "Realism: full\r\nStores: unlimited\r\nVisuals: clouds on\r\n");
        return 1;
    }
    if (msg == WM_COMMAND && LOWORD(wParam) == IDC_SEND) {
        const std::string line = d.GetDlgItemText(IDC_CHAT_ENTRY);
        d.SetDlgItemText(IDC_CHAT_ENTRY, "");
        const int end = d.GetWindowTextLength(IDC_CHAT_PANE);
        d.EditSetSel(IDC_CHAT_PANE, end, end);
        if (!line.empty()) d.EditReplaceSel(IDC_CHAT_PANE, "Host: " + line + "\r\n");
        return 1;
    }
    if (msg == WM_COMMAND && LOWORD(wParam) == IDC_EJECT && d.GetCurSel(IDC_PLAYER_LIST) < 0) {
        MessageBoxRequest n;
        n.text = "You need to select a player to eject";
        n.caption = "ERROR";
        n.owned = true;
        ShowMessageBox(n);
        return 1;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    console::ConsoleOptions options;
    options.port = 0;
    for (int i = 1; i < argc; i += 2) {
        const std::string arg = argv[i];
        std::string error;
        if (i + 1 < argc && arg == "--console-token-file") {
            options.tokenFile = argv[i + 1];
        } else if (i + 1 == argc || arg != "--console" || !console::ParseConsoleAddress(argv[i + 1], options, error)) {
            std::cerr << (error.empty() ? "usage: console_test_host [--console ADDR:PORT] [--console-token-file FILE]"
                                        : error)
                      << "\n";
            return 2;
        }
    }
    InstallShutdownSignalHandlers();
    MessageQueue queue;
    queue.BecomeSignalTarget({});
    Desktop desktop(queue);
    SetMessageBoxHandler(WindowMessageBoxHandler(desktop));
    console::ConsoleServer server(desktop, queue, options, [] {
        return console::ConsoleStatus{"Test session \xe9t\xe9", "127.0.0.1"};
    });
    std::string error;
    if (!server.Start(std::cout, error)) {
        std::cerr << error << "\n";
        return 1;
    }
    // The first dispatch inside the main window's loop publishes it to the console.
    queue.PostTask([] {});
    desktop.DialogBoxParam(MainWindowTemplate(), kNoWindow, MainProc, 0);
    server.Stop();
    SetMessageBoxHandler({});
    return 0;
}
