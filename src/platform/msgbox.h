#pragma once
// Message boxes go through a port: the console shows them to the operator; without a
// console they are written to standard error and the error log. OK-only boxes never
// block; question boxes wait for an answer (a nested modal loop on the window thread).
#include <functional>
#include <optional>
#include <string>

#include "platform/systemd.h"

namespace qd {

enum class MbButtons { Ok, OkCancel, YesNo };
enum class MbIcon { None, Error, Warning, Information, Question };

constexpr int IDOK = 1;
constexpr int IDCANCEL = 2;
constexpr int IDYES = 6;
constexpr int IDNO = 7;

struct MessageBoxRequest {
    std::string text;                  // 8-bit (Windows-1252)
    std::optional<std::string> caption;  // nullopt: the platform's default title ("Error" in the original)
    MbButtons buttons = MbButtons::Ok;
    MbIcon icon = MbIcon::None;
    bool owned = false;                // owned by the main window (else no owner)
    int defaultButton = 0;             // the button Enter answers (IDYES, IDNO, ...); 0: the first
};

using MessageBoxHandler = std::function<int(const MessageBoxRequest&)>;

// Replaces the port; returns the previous handler. An empty handler restores the default.
MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler);

// The level a box's text is logged at: errors, warnings, the rest as notices.
LogLevel BoxLogLevel(const MessageBoxRequest& request);

// Shows a box through the current port and returns the button pressed (IDOK, IDYES, ...).
int ShowMessageBox(const MessageBoxRequest& request);

}  // namespace qd
