// The recording dialog's message map and the fixture's helpers.
#include "tests/platform/qt/dialog_fixture.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QTest>

#include "platform/posix/user32/qt/driver.h"
#include "platform/posix/user32/window_driver.h"

namespace qt_test {

BEGIN_MESSAGE_MAP(RecordingDialog, CDialog)
ON_BN_CLICKED(IDC_BTN_LOADER, &RecordingDialog::OnBtnLoader)
ON_BN_CLICKED(IDC_BTN_QUIT, &RecordingDialog::OnBtnQuit)
ON_CBN_DROPDOWN(IDC_PORT, &RecordingDialog::OnDropdownPort) {
    WM_COMMAND, CBN_SELCHANGE, IDC_BAUD, AFX_THUNK(self->OnBaudSelChange(); return 0;)
}
, { WM_COMMAND, CBN_EDITCHANGE, IDC_PORT, AFX_THUNK(self->OnPortEditChange(); return 0;) }
, ON_WM_SYSCOMMAND() ON_WM_TIMER() ON_MESSAGE(kPostedMessage, &RecordingDialog::OnPosted)
      ON_MESSAGE(kSentMessage, &RecordingDialog::OnSent) END_MESSAGE_MAP()

          bool PumpUntil(const std::function<bool()>& done, int maxMs) {
    QElapsedTimer clock;
    clock.start();
    while (!done()) {
        if (clock.elapsed() > maxMs)
            return done();
        user32::PumpReadyMessages();
        // A short wait that any window-system wake or Qt event ends early.
        user32::Driver().WaitForEvents(10);
    }
    return true;
}

void FlushDeletes() {
    if (QCoreApplication::instance())
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void QtDialogTest::SetUp() {
    dlg = std::make_unique<RecordingDialog>();
    ASSERT_TRUE(dlg->Create(IDD_MAIN_DIALOG));
    ASSERT_NE(Window(), nullptr);
    Window()->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(Window(), 3000));
}

void QtDialogTest::TearDown() {
    if (dlg && Hwnd())
        dlg->DestroyWindow();
    dlg.reset();
    user32::PumpReadyMessages();
    FlushDeletes();
}

QWidget* QtDialogTest::Window() const { return ui_qt::WidgetFor(Hwnd()); }

QWidget* QtDialogTest::Control(int id) const { return ui_qt::WidgetFor(Item(id)); }

}  // namespace qt_test
