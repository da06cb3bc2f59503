// The window-system test fixture (fixture.h).
#include "tests/platform/user32/fixture.h"

namespace user32test {

User32Test* User32Test::current_ = nullptr;

void User32Test::SetUp() {
    headless::UseManualClock(false);
    headless::SetMessageBoxResponder({});
    headless::SetWindowObserver({});
    current_ = this;
}

void User32Test::TearDown() {
    for (HWND h : created_)
        if (IsWindow(h))
            DestroyWindow(h);
    headless::SetMessageBoxResponder({});
    headless::SetWindowObserver({});
    headless::UseManualClock(false);
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
    }
    current_ = nullptr;
    EXPECT_EQ(headless::WindowCount(), 0) << "a test left windows behind";
}

HWND User32Test::CreateMainDialog(LPARAM init) {
    const DialogTemplateData* data = FindDialogTemplate(IDD_MAIN_DIALOG);
    EXPECT_NE(data, nullptr);
    return data ? CreateFrom(TemplateImage(*data), init) : nullptr;
}

HWND User32Test::CreateFrom(const TemplateImage& image, LPARAM init) {
    HWND dlg = CreateDialogIndirectParamW(nullptr, image.Get(), nullptr, RecordingProc, init);
    if (dlg)
        created_.push_back(dlg);
    return dlg;
}

std::vector<Received> User32Test::Seen(UINT message) const {
    std::vector<Received> out;
    for (const auto& r : received)
        if (r.message == message)
            out.push_back(r);
    return out;
}

std::vector<WPARAM> User32Test::Commands() const {
    std::vector<WPARAM> out;
    for (const auto& r : received)
        if (r.message == WM_COMMAND)
            out.push_back(r.wParam);
    return out;
}

INT_PTR CALLBACK User32Test::RecordingProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    User32Test* t = current_;
    if (!t)
        return FALSE;
    t->received.push_back(Received{hwnd, message, wParam, lParam, GetCurrentThreadId()});
    if (t->handler)
        return t->handler(hwnd, message, wParam, lParam);
    return message == WM_INITDIALOG ? TRUE : FALSE;
}

}  // namespace user32test
