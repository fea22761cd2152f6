#pragma once
// A desktop whose modal loops cannot hang a test: the queue is quit after 5 s.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "platform/dialog.h"

namespace qd::testing {

// The check states of the given buttons, 'x' for checked.
inline std::string Checks(const Dialog& d, std::initializer_list<int> ids) {
    std::string out;
    for (int id : ids) out += d.IsDlgButtonChecked(id) == BST_CHECKED ? 'x' : '.';
    return out;
}

class DeskTest : public ::testing::Test {
protected:
    DeskTest() : desk(q) {
        desk.SetEchoToStderr(false);
        watchdog = q.CreateWindow([](HWND, UINT, WPARAM, LPARAM) -> LRESULT { return 0; });
        SetTimer(watchdog, 1, 5000, [this](HWND, UINT) { q.PostQuitMessage(99); });
    }
    // The operator's input, run inside the modal loop of the dialog made from templateId.
    void Operator(int templateId, std::function<void(Dialog&, HWND)> act) {
        q.PostTask([this, templateId, act] {
            Dialog* d = desk.FindTemplate(templateId);
            ASSERT_NE(d, nullptr);
            act(*d, d->hwnd());
        });
    }
    MessageQueue q;
    Desktop desk;
    HWND watchdog = kNoWindow;
};

}  // namespace qd::testing
