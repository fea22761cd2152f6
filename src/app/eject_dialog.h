#pragma once
// Dialog 103 "Eject player": asks how a client leaves (may rejoin, kept out for this run,
// kept out for good) and records the choice in the autoboot list.
#include <string_view>

#include "app/autoboot.h"
#include "platform/dialog.h"

namespace qd {

// The procedure of one opening; the option starts at "allow rejoin" every time.
DialogProc MakeEjectDialogProc(std::string_view name, AutobootList& autoboot);

// Runs the dialog modally over owner. 1 when the operator confirmed (the caller then
// destroys the player), 0 when cancelled or when the program is quitting.
int EjectDialog(Desktop& desktop, HWND owner, std::string_view name, AutobootList& autoboot);

}  // namespace qd
