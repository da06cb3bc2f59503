// The main dialog shown through the Qt back end, for the back end's tests:
// a framework dialog on IDD_MAIN_DIALOG that records what reaches it, and a
// fixture that creates it modeless, shows it, and pumps with hard limits.
#pragma once

#include <gtest/gtest.h>

#include <QWidget>
#include <functional>
#include <memory>

#include "framework/afxwin.h"
#include "res/ids.h"

namespace qt_test {

constexpr UINT kPostedMessage = WM_APP + 1;
constexpr UINT kSentMessage = WM_APP + 2;
constexpr UINT_PTR kTickTimer = 77;
constexpr LRESULT kSentAnswer = 42;

class RecordingDialog : public CDialog {
public:
    RecordingDialog() : CDialog(IDD_MAIN_DIALOG) {}

    // As the tool's dialog: OK and Cancel leave it open; they are only counted.
    void OnOK() override { ++oks; }
    void OnCancel() override { ++cancels; }

    void OnBtnLoader() { ++loaderClicks; }
    void OnBtnQuit() { ++quitClicks; }
    void OnDropdownPort() {
        ++dropDowns;
        if (onDropDown)
            onDropDown();
    }
    void OnBaudSelChange() { ++baudSelChanges; }
    void OnPortEditChange() { ++portEditChanges; }
    void OnSysCommand(UINT nID, LPARAM lParam) {
        if ((nID & 0xFFF0) == SC_CLOSE)
            ++closeCommands;
        CWnd::OnSysCommand(nID, lParam);
    }
    void OnTimer(UINT_PTR id) {
        if (id == kTickTimer)
            ++ticks;
    }
    LRESULT OnPosted(WPARAM, LPARAM) {
        ++posted;
        return 0;
    }
    LRESULT OnSent(WPARAM, LPARAM) {
        ++sent;
        return kSentAnswer;
    }

    int oks = 0, cancels = 0, closeCommands = 0, loaderClicks = 0, quitClicks = 0, dropDowns = 0;
    int baudSelChanges = 0, portEditChanges = 0, ticks = 0, posted = 0, sent = 0;
    std::function<void()> onDropDown;

    DECLARE_MESSAGE_MAP()
};

// Pumps the window system and Qt until done() or maxMs; returns done().
bool PumpUntil(const std::function<bool()>& done, int maxMs = 3000);
// Lets Qt delete what the back end handed to deleteLater.
void FlushDeletes();

class QtDialogTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    HWND Hwnd() const { return dlg->m_hWnd.load(); }
    HWND Item(int id) const { return GetDlgItem(Hwnd(), id); }
    QWidget* Window() const;
    QWidget* Control(int id) const;
    template <class T>
    T* ControlAs(int id) const {
        return qobject_cast<T*>(Control(id));
    }

    std::unique_ptr<RecordingDialog> dlg;
};

}  // namespace qt_test
