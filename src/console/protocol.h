#pragma once
// What travels between the console page and the host: snapshots of the dialog model as
// JSON (UTF-8) one way, operator commands the other. Texts turn from Windows-1252 into
// UTF-8 here and back, nowhere else.
#include <optional>
#include <string>
#include <string_view>

#include "platform/dialog.h"

namespace qd::console {

// Shown in the page title; supplied by the application (8-bit texts).
struct ConsoleStatus {
    std::string sessionName;
    std::string hostAddress;
    bool operator==(const ConsoleStatus&) const = default;
};

// The page's view of the desktop; a missing snapshot is an empty desktop.
std::string SnapshotJson(const DesktopSnapshot* snapshot, const ConsoleStatus& status);

struct Command {
    enum class Op { Click, Type, Select, Focus, Enter, Escape, Close, Answer, Dismiss };
    Op op = Op::Click;
    HWND hwnd = kNoWindow;
    int control = 0;
    int index = 0;
    int box = 0;
    int button = 0;
    std::string text;  // Windows-1252, already converted
};

// A command from the page, or nothing when it is malformed, unknown or out of range.
std::optional<Command> ParseCommand(std::string_view json);

// Window thread only: hands the command to the desktop's operator input.
bool ApplyCommand(Desktop& desktop, const Command& command);

}  // namespace qd::console
