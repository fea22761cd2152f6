#include "app/capture_dialog.h"

#include "app/templates.h"

namespace qd {

DialogProc MakeCaptureDialogProc(CaptureChoice& choice) {
    return [&choice](Dialog& d, UINT msg, WPARAM wParam, LPARAM) -> INT_PTR {
        if (msg == WM_INITDIALOG) {
            choice.description.clear();
            d.SetDlgItemText(IDC_CAPTURE_DESCRIPTION, "No description");
            d.EditSetSel(IDC_CAPTURE_DESCRIPTION, 0, -1);
            d.CheckRadioButton(IDC_TARGET_PLACEMENT, IDC_TEAM_LOCATION, IDC_TARGET_PLACEMENT);
            return 1;
        }
        if (msg != WM_COMMAND) return 0;
        switch (LOWORD(wParam)) {
            case IDOK: {
                std::string text = d.GetDlgItemText(IDC_CAPTURE_DESCRIPTION);
                text = text.substr(0, text.find('\0'));
                if (text.size() > kMaxCaptureDescription) text.resize(kMaxCaptureDescription);
                choice.description = std::move(text);
                choice.purpose = d.IsDlgButtonChecked(IDC_TARGET_PLACEMENT) == BST_CHECKED ? kCaptureTarget : kCaptureTeam;
                d.End(1);
                return 1;
            }
            case IDCANCEL:
                d.End(0);
                return 1;
            default:
                return 0;
        }
    };
}

int CaptureDialog(Desktop& desktop, CaptureChoice& choice) {
    return desktop.DialogBoxParam(CaptureDialogTemplate(), kNoWindow, MakeCaptureDialogProc(choice), 0) == 1 ? 1 : 0;
}

bool CaptureLocation(Desktop& desktop, const std::filesystem::path& workDir, const MotionCopy& atCommand,
                     const std::function<std::optional<CaptureSource>()>& player) {
    CaptureChoice choice;
    if (CaptureDialog(desktop, choice) != 1) return false;
    std::optional<CaptureSource> now = player ? player() : std::nullopt;
    if (!now) now = CaptureSource{atCommand, std::nullopt};
    return WriteCapture(workDir, now->lastMotion, choice.description, choice.purpose, now->longName.value_or(""));
}

}  // namespace qd
