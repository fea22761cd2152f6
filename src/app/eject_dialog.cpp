#include "app/eject_dialog.h"

#include <memory>
#include <string>

#include "app/templates.h"

namespace qd {

DialogProc MakeEjectDialogProc(std::string_view name, AutobootList& autoboot) {
    struct State {
        std::string name;
        int option = IDC_ALLOW_REJOIN;
    };
    auto state = std::make_shared<State>();
    state->name = std::string(name);
    return [state, &autoboot](Dialog& d, UINT msg, WPARAM wParam, LPARAM) -> INT_PTR {
        if (msg == WM_INITDIALOG) {
            d.SetDlgItemText(IDC_EJECT_NAME, state->name);
            d.CheckRadioButton(IDC_ALLOW_REJOIN, IDC_AUTOBOOT, IDC_ALLOW_REJOIN);
            state->option = IDC_ALLOW_REJOIN;
            return 1;
        }
        if (msg != WM_COMMAND) return 0;
        switch (LOWORD(wParam)) {
            case IDC_ALLOW_REJOIN:
            case IDC_NO_REJOIN:
            case IDC_AUTOBOOT:
                state->option = static_cast<int>(LOWORD(wParam));
                return 1;
            case IDC_EJECT_OK:
                if (state->option == IDC_NO_REJOIN)
                    autoboot.AddAutobootName(state->name);
                else if (state->option == IDC_AUTOBOOT)
                    autoboot.RememberAutobootName(state->name);
                d.End(1);
                return 1;
            case IDC_EJECT_CANCEL:
            case IDCANCEL:
                d.End(0);
                return 1;
            default:
                // Enter arrives as IDOK, which no control of this dialog carries.
                return 0;
        }
    };
}

int EjectDialog(Desktop& desktop, HWND owner, std::string_view name, AutobootList& autoboot) {
    return desktop.DialogBoxParam(EjectDialogTemplate(), owner, MakeEjectDialogProc(name, autoboot), 0) == 1 ? 1 : 0;
}

}  // namespace qd
