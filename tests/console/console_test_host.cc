// A small host for the console's browser tests: the main window (dialog 101) with a
// stand-in procedure, a desktop and a console server on loopback. It keeps the main
// window's operator-facing behaviour that the tests look at: the exit question, the
// chat entry and Send (Enter only from the entry or the button), the 1,500-character
// chat pane, and Eject pilot: the refusals as notices, and the real eject dialog (103)
// run modally over the main window for a client row.
//
//   console_test_host --console 127.0.0.1:0 --console-token-file FILE --workdir DIR
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>

#include "app/eject_dialog.h"
#include "app/templates.h"
#include "console/server.h"
#include "platform/dialog.h"
#include "platform/msgbox.h"
#include "platform/window.h"

namespace {

using namespace qd;

constexpr std::size_t kChatPaneLimit = 1500;
constexpr LPARAM kFirstClientId = 103;  // rows before it are the host's own objects

AutobootList* g_autoboot = nullptr;

void Notice(const char* text) {
    MessageBoxRequest n;
    n.text = text;
    n.caption = "ERROR";
    n.owned = true;
    ShowMessageBox(n);
}

// The player name column of a row ("\tC\tstatus\tname\tteam\taircraft").
std::string RowName(const std::string& row) {
    std::size_t start = 0;
    for (int tab = 0; tab < 3 && start != std::string::npos; ++tab) {
        start = row.find('\t', start);
        if (start != std::string::npos) ++start;
    }
    if (start == std::string::npos) return {};
    return row.substr(start, row.find('\t', start) - start);
}

void AppendChat(Dialog& d, const std::string& text) {
    while (d.GetWindowTextLength(IDC_CHAT_PANE) > static_cast<int>(kChatPaneLimit)) {
        const int first = d.EditLineLength(IDC_CHAT_PANE, 0);
        d.EditSetSel(IDC_CHAT_PANE, 0, first + 2);
        d.EditReplaceSel(IDC_CHAT_PANE, "");
    }
    const int end = d.GetWindowTextLength(IDC_CHAT_PANE);
    d.EditSetSel(IDC_CHAT_PANE, end, end);
    d.EditReplaceSel(IDC_CHAT_PANE, text);
}

INT_PTR MainProc(Dialog& d, UINT msg, WPARAM wParam, LPARAM) {
    if (msg == WM_INITDIALOG) {
        d.SetDlgItemText(IDC_HOST_ADDRESS, "127.0.0.1");
        const char* rows[] = {
            "\tJ\tWaiting\tQUARNELD\tTarget \tF-16 Fighting Falcon",
            "\tC\tWaiting\tQUARNELD 2\tTarget2\tMiG-29",
            "\tC\tReady\tP\xe9ter the pilot\tRed\tSpitfire Mk IX",
        };
        LPARAM id = 101;
        for (const char* row : rows) d.SetItemData(IDC_PLAYER_LIST, d.AddString(IDC_PLAYER_LIST, row), id++);
        for (const char* team : {"Target ", "Target2", "Red", "Blue"}) d.AddString(IDC_TEAM_LIST, team);
        d.SetDlgItemText(IDC_OPTIONS_SUMMARY, "Realism: full\r\nStores: unlimited\r\nVisuals: clouds on\r\n");
        return 1;
    }
    if (msg != WM_COMMAND) return 0;
    switch (LOWORD(wParam)) {
    case IDCANCEL: {
        MessageBoxRequest q;
        q.text = "Are you sure you want to exit Quarneld?";
        q.caption = " ";
        q.buttons = MbButtons::YesNo;
        q.icon = MbIcon::Question;
        q.owned = true;
        if (ShowMessageBox(q) == IDYES) d.End(0);
        return 1;
    }
    case IDC_SEND: {
        if (d.GetFocus() != IDC_CHAT_ENTRY && d.GetFocus() != IDC_SEND) return 1;
        const std::string line = d.GetDlgItemText(IDC_CHAT_ENTRY);
        d.SetDlgItemText(IDC_CHAT_ENTRY, "");
        if (!line.empty()) AppendChat(d, "Host: " + line + "\r\n");
        return 1;
    }
    case IDC_EJECT: {
        const int row = d.GetCurSel(IDC_PLAYER_LIST);
        if (row < 0) {
            Notice("You need to select a player to eject");
        } else if (d.GetItemData(IDC_PLAYER_LIST, row) < kFirstClientId) {
            Notice("QUARNELD objects cannot be ejected");
        } else {
            const LPARAM player = d.GetItemData(IDC_PLAYER_LIST, row);
            const std::string name = RowName(d.GetItemText(IDC_PLAYER_LIST, row).value_or(""));
            if (EjectDialog(d.desktop(), d.hwnd(), name, *g_autoboot) == 1) {
                const int now = d.FindItemData(IDC_PLAYER_LIST, player);
                if (now >= 0) d.DeleteString(IDC_PLAYER_LIST, now);
            }
        }
        return 1;
    }
    default:
        return 0;
    }
}

}  // namespace

int main(int argc, char** argv) {
    console::ConsoleOptions options;
    options.port = 0;
    std::string workDir = ".";
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        std::string error;
        if (arg == "--console" && i + 1 < argc) {
            if (!console::ParseConsoleAddress(argv[++i], options, error)) {
                std::cerr << error << "\n";
                return 2;
            }
        } else if (arg == "--console-token-file" && i + 1 < argc) {
            options.tokenFile = argv[++i];
        } else if (arg == "--workdir" && i + 1 < argc) {
            workDir = argv[++i];
        } else {
            std::cerr << "usage: console_test_host [--console ADDR:PORT] [--console-token-file FILE] [--workdir DIR]\n";
            return 2;
        }
    }

    AutobootList autoboot(workDir);
    g_autoboot = &autoboot;
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
