// The fixture of the window-system tests: a fresh headless back end state per
// test (steady clock, no responder, no observer), a dialog procedure that
// records what reaches it and lets a test add behaviour, and cleanup that
// leaves no window behind.
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "platform/api.h"
#include "platform/posix/user32/headless/harness.h"
#include "framework/dialog_template.h"
#include "res/ids.h"
#include "tests/platform/user32/template_builder.h"

namespace user32test {

struct Received {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD thread;
};

class User32Test : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // The tool's main dialog, modeless, on the recording procedure.
    HWND CreateMainDialog(LPARAM init = 0);
    // Any template, modeless, on the recording procedure.
    HWND CreateFrom(const TemplateImage& image, LPARAM init = 0);

    // Messages the recording procedure saw, in order.
    std::vector<Received> Seen(UINT message) const;
    // WM_COMMAND wParams the dialog saw.
    std::vector<WPARAM> Commands() const;

    // Runs first for every message; its result is the procedure's (FALSE: default processing).
    std::function<INT_PTR(HWND, UINT, WPARAM, LPARAM)> handler;
    std::vector<Received> received;

    static INT_PTR CALLBACK RecordingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);

private:
    static User32Test* current_;
    std::vector<HWND> created_;
};

}  // namespace user32test
