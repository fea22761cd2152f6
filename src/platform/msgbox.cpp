#include "platform/msgbox.h"

#include <mutex>

#include "platform/log.h"

namespace qd {

namespace {

// Without an operator console a box is written to standard error and the error log.
// A question cannot be answered here, so it takes the answer that changes nothing.
int headlessBox(const MessageBoxRequest& r) {
    const std::string caption = r.caption.value_or("Error");
    LogLine(BoxLogLevel(r), "[" + caption + "] " + r.text);
    LogError("[" + caption + "] " + r.text);
    switch (r.buttons) {
    case MbButtons::Ok: return IDOK;
    case MbButtons::OkCancel: return IDCANCEL;
    case MbButtons::YesNo: return IDNO;
    }
    return IDOK;
}

std::mutex g_mutex;
MessageBoxHandler g_handler;

}  // namespace

LogLevel BoxLogLevel(const MessageBoxRequest& request) {
    switch (request.icon) {
    case MbIcon::Error: return LogLevel::Error;
    case MbIcon::Warning: return LogLevel::Warning;
    case MbIcon::Information:
    case MbIcon::Question: return LogLevel::Notice;
    case MbIcon::None: break;
    }
    // Without an icon the caption tells; the platform's default caption is "Error".
    const std::string caption = request.caption.value_or("Error");
    return caption == "Error" || caption == "ERROR" ? LogLevel::Error : LogLevel::Notice;
}

MessageBoxHandler SetMessageBoxHandler(MessageBoxHandler handler) {
    std::lock_guard lock(g_mutex);
    auto previous = std::move(g_handler);
    g_handler = std::move(handler);
    return previous;
}

int ShowMessageBox(const MessageBoxRequest& request) {
    MessageBoxHandler handler;
    {
        std::lock_guard lock(g_mutex);
        handler = g_handler;
    }
    return handler ? handler(request) : headlessBox(request);
}

}  // namespace qd
