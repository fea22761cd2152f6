#pragma once
// Dialog 113 "Settings for current session": the operator changes the realism options,
// victory requirement and pause permission carried in the session description, and the
// host-wide "No fun" flags, start time and team-restriction override, while the session
// runs. Nothing is applied before "Use new settings", and then only the group that
// changed: host values stay on the host, session values go out with SetSessionDesc and
// are pushed to the players by a status census.
#include <cstdint>
#include <functional>

#include "config/context.h"
#include "platform/dialog.h"
#include "session/service.h"

namespace qd {

constexpr int IDD_SETTINGS = 113;

constexpr int IDC_UNRESTRICT_TEAMS = 1116;
constexpr int IDC_ALLOW_PAUSE = 1117;
constexpr int IDC_VICTORY_NONE = 1118;
constexpr int IDC_VICTORY_LAST_ALIVE = 1119;
constexpr int IDC_UNLIMITED_FUEL = 1120;
constexpr int IDC_UNLIMITED_AMMO = 1121;
constexpr int IDC_SUN_GLARE = 1122;
constexpr int IDC_G_EFFECTS = 1123;
constexpr int IDC_FLIGHT_MODEL = 1125;
constexpr int IDC_WEAPON_STRENGTH = 1126;
constexpr int IDC_START_TIME = 1132;
constexpr int IDC_NO_FUN_PLAYERS = 1133;
constexpr int IDC_NO_FUN_TARGETS = 1134;
constexpr int IDC_USE_NEW_SETTINGS = 1136;
constexpr int IDC_SETTINGS_CANCEL = 1137;

// The start-time list: 48 half hours, then the blank entry that stands for a start time
// off the half-hour grid.
constexpr int kHalfHourEntries = 48;
constexpr int kBlankTimeEntry = kHalfHourEntries;

const DialogTemplate& SettingsDialogTemplate();

// What the dialog reads and changes. Everything is used on the window thread only and
// must outlive the dialog.
struct SettingsDialogContext {
    DirectPlayService& dp;
    ConfigContext& config;            // NO_LOCK_OR_RADAR_*, WIN_CRITERIA, TIME_OF_DAY
    uint32_t& unrestrictAllTeams;     // the side link leaves bit 3 clear while set
    std::function<void(uint32_t mode)> statusCensus;          // StatusCensus(host, mode)
    std::function<void(const SessionDesc&)> showSummary;      // MainWindow::ShowOptionsSummary
};

// The procedure of one opening.
DialogProc MakeSettingsDialogProc(SettingsDialogContext& ctx);

// Runs the dialog modally without an owner: 1 after "Use new settings", 0 after Cancel,
// Escape or when the program is quitting.
int SettingsDialog(Desktop& desktop, SettingsDialogContext& ctx);

}  // namespace qd
