#pragma once
// The program's dialog resources as data: the main window, the connection dialog, the
// eject dialog and the capture dialog, with their controls' ids, texts, positions in
// dialog units and initial states.
#include "platform/dialog.h"

namespace qd {

constexpr int IDD_MAIN = 101;
constexpr int IDD_CONNECTION = 102;
constexpr int IDD_EJECT = 103;
constexpr int IDD_CAPTURE = 114;
constexpr int IDI_MAIN = 112;

// Main window (101).
constexpr int IDC_CHAT_PANE = 1000;
constexpr int IDC_CHAT_ENTRY = 1001;
constexpr int IDC_SEND = 1002;
constexpr int IDC_TEAM_LIST = 1017;
constexpr int IDC_EJECT = 1022;
constexpr int IDC_OPTIONS_SUMMARY = 1023;
constexpr int IDC_READY = 1026;
constexpr int IDC_TARGETS_TO_READY_ROOM = 1057;
constexpr int IDC_PLAYER_LIST = 1076;
constexpr int IDC_TARGETS_INTO_GAME = 1085;
constexpr int IDC_CAPTURE = 1100;
constexpr int IDC_HOST_ADDRESS = 1104;
constexpr int IDC_NF_LAUNCH = 1114;
constexpr int IDC_CHANGE_OPTIONS = 1115;
constexpr int IDC_SEND_EFFECT = 1161;
constexpr int IDC_EFFECT_NUMBER = 1162;

// Connection dialog (102).
constexpr int IDC_PROVIDER_LIST = 1003;
constexpr int IDC_SESSION_LIST = 1004;
constexpr int IDC_HOST = 1005;

// Eject dialog (103).
constexpr int IDC_EJECT_OK = 1108;
constexpr int IDC_EJECT_CANCEL = 1109;
constexpr int IDC_EJECT_NAME = 1110;
constexpr int IDC_ALLOW_REJOIN = 1111;
constexpr int IDC_NO_REJOIN = 1112;
constexpr int IDC_AUTOBOOT = 1113;

// Capture dialog (114); OK and Cancel are IDOK and IDCANCEL.
constexpr int IDC_CAPTURE_DESCRIPTION = 1135;
constexpr int IDC_TARGET_PLACEMENT = 1138;
constexpr int IDC_TEAM_LOCATION = 1139;

// One control of a template, positions in dialog units.
ControlTemplate MakeControl(int id, ControlKind kind, const char* text, int x, int y, int w, int h,
                            uint32_t style = 0);

const DialogTemplate& MainWindowTemplate();
const DialogTemplate& ConnectionDialogTemplate();
const DialogTemplate& EjectDialogTemplate();
const DialogTemplate& CaptureDialogTemplate();

}  // namespace qd
