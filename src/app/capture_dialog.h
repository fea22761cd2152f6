#pragma once
// Dialog 114 "Capture" and the capture command behind "Capture location": asks for a
// description and a purpose, then appends the block to quarneld/capture.txt.
#include <filesystem>
#include <functional>
#include <optional>
#include <string>

#include "app/capture.h"
#include "platform/dialog.h"

namespace qd {

struct CaptureChoice {
    std::string description;  // at most 253 characters
    int purpose = kCaptureTarget;
};

// The procedure of one opening; fills choice on OK.
DialogProc MakeCaptureDialogProc(CaptureChoice& choice);

// Runs the dialog modally (it has no owner). 1 after OK with choice filled, 0 after
// Cancel or when the program is quitting.
int CaptureDialog(Desktop& desktop, CaptureChoice& choice);

// What the capture reads of the player once the dialog has closed.
struct CaptureSource {
    MotionCopy lastMotion{};
    std::optional<std::string> longName;  // none when it cannot be read
};

// The "Capture location" command once the player is checked: the dialog, then the block
// appended to the file. The player flies on while the operator types, so player() is
// asked after the dialog for its motion copy and long name as they are then; when it
// answers none (the player has left), the position of the command's moment is written,
// without aircraft. True when a block was written.
bool CaptureLocation(Desktop& desktop, const std::filesystem::path& workDir, const MotionCopy& atCommand,
                     const std::function<std::optional<CaptureSource>()>& player);

}  // namespace qd
