// The operator's input through the Qt widgets: the dialog manager's keys,
// the close request, clicks, opening a list, picking and typing.
#include <QAbstractItemView>
#include <QCloseEvent>
#include <QComboBox>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>

#include "tests/platform/qt/dialog_fixture.h"

namespace qt_test {
namespace {

using QtDialogInput = QtDialogTest;

TEST_F(QtDialogInput, EscapeLeavesTheDialogOpen) {
    SetFocus(Item(IDC_BTN_LOADER));
    QTest::keyClick(Control(IDC_BTN_LOADER), Qt::Key_Escape);
    PumpUntil([&] { return dlg->cancels > 0; }, 1000);
    EXPECT_EQ(dlg->cancels, 1) << "Esc reaches the dialog as its Cancel command";
    EXPECT_EQ(dlg->loaderClicks, 0);
    EXPECT_TRUE(IsWindow(Hwnd()));
    EXPECT_TRUE(Window()->isVisible());
}

// Without a system menu the close command asks nothing of the dialog: it
// reaches it as WM_SYSCOMMAND SC_CLOSE and goes no further.
TEST_F(QtDialogInput, CloseRequestLeavesTheDialogOpen) {
    EXPECT_FALSE(Window()->close()) << "the close event is refused";
    PumpUntil([&] { return dlg->closeCommands > 0; }, 1000);
    EXPECT_EQ(dlg->closeCommands, 1) << "the request reaches the window system";
    PumpUntil([&] { return dlg->cancels > 0; }, 100);
    EXPECT_EQ(dlg->cancels, 0);
    EXPECT_TRUE(IsWindow(Hwnd()));
    EXPECT_TRUE(Window()->isVisible());
}

TEST_F(QtDialogInput, AltF4LeavesTheDialogOpen) {
    QTest::keyClick(Window(), Qt::Key_F4, Qt::AltModifier);
    PumpUntil([&] { return dlg->closeCommands > 0; }, 1000);
    EXPECT_EQ(dlg->closeCommands, 1);
    PumpUntil([&] { return dlg->cancels > 0; }, 100);
    EXPECT_EQ(dlg->cancels, 0);
    EXPECT_TRUE(IsWindow(Hwnd()));
    EXPECT_TRUE(Window()->isVisible());
}

TEST_F(QtDialogInput, EnterClicksTheFocusedPushButton) {
    SetFocus(Item(IDC_BTN_QUIT));
    EXPECT_TRUE(Control(IDC_BTN_QUIT)->hasFocus()) << "the window system's focus is shown";
    QTest::keyClick(Control(IDC_BTN_QUIT), Qt::Key_Return);
    PumpUntil([&] { return dlg->quitClicks > 0; }, 1000);
    EXPECT_EQ(dlg->quitClicks, 1);
    EXPECT_EQ(dlg->loaderClicks, 0);
    EXPECT_EQ(dlg->oks, 0);
}

TEST_F(QtDialogInput, EnterOnTheComboBoxClicksNoButton) {
    SetFocus(Item(IDC_PORT));
    QWidget* target = ControlAs<QComboBox>(IDC_PORT)->lineEdit();
    QTest::keyClick(target, Qt::Key_Return);
    PumpUntil([&] { return dlg->oks > 0; }, 300);
    EXPECT_EQ(dlg->loaderClicks, 0);
    EXPECT_EQ(dlg->quitClicks, 0);
    EXPECT_TRUE(IsWindow(Hwnd()));
    EXPECT_TRUE(Window()->isVisible());
}

TEST_F(QtDialogInput, TabMovesTheWindowSystemsFocusAndQtFollows) {
    SetFocus(Item(IDC_BTN_LOADER));
    QTest::keyClick(Control(IDC_BTN_LOADER), Qt::Key_Tab);
    EXPECT_EQ(GetFocus(), Item(IDC_BTN_QUIT)) << "the next tab stop in template order";
    EXPECT_TRUE(Control(IDC_BTN_QUIT)->hasFocus());
    QTest::keyClick(Control(IDC_BTN_QUIT), Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_EQ(GetFocus(), Item(IDC_BTN_LOADER));
}

TEST_F(QtDialogInput, MouseClickOnAButtonClicksItAndTakesTheFocus) {
    SetFocus(Item(IDC_BTN_LOADER));
    QTest::mouseClick(Control(IDC_BTN_QUIT), Qt::LeftButton);
    PumpUntil([&] { return dlg->quitClicks > 0; }, 1000);
    EXPECT_EQ(dlg->quitClicks, 1);
    EXPECT_EQ(GetFocus(), Item(IDC_BTN_QUIT)) << "Enter must now act on the button the operator clicked";
}

TEST_F(QtDialogInput, DisabledButtonTakesNoClick) {
    EnableWindow(Item(IDC_BTN_LOADER), FALSE);
    QTest::mouseClick(Control(IDC_BTN_LOADER), Qt::LeftButton);
    PumpUntil([&] { return dlg->loaderClicks > 0; }, 200);
    EXPECT_EQ(dlg->loaderClicks, 0);
}

TEST_F(QtDialogInput, OpeningThePortListSendsDropDownBeforeTheListShows) {
    auto* combo = ControlAs<QComboBox>(IDC_PORT);
    bool shownAtDropDown = true;
    dlg->onDropDown = [&] {
        shownAtDropDown = combo->view()->isVisible();
        // As the tool does: the list is rebuilt when it is about to open.
        SendMessageW(Item(IDC_PORT), CB_RESETCONTENT, 0, 0);
        SendMessageW(Item(IDC_PORT), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"Auto Detect"));
        SendMessageW(Item(IDC_PORT), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"COM7"));
    };
    QTest::keyClick(combo, Qt::Key_Down, Qt::AltModifier);
    EXPECT_EQ(dlg->dropDowns, 1);
    EXPECT_FALSE(shownAtDropDown);
    EXPECT_TRUE(combo->view()->isVisible());
    ASSERT_EQ(combo->count(), 2);
    EXPECT_EQ(combo->itemText(0), QStringLiteral("Auto Detect"));
    EXPECT_EQ(combo->itemText(1), QStringLiteral("COM7"));
    combo->hidePopup();
}

TEST_F(QtDialogInput, PickingABaudItemSelectsItInTheWindow) {
    SendMessageW(Item(IDC_BAUD), CB_SETCURSEL, 0, 0);
    QTest::keyClick(Control(IDC_BAUD), Qt::Key_Down);
    PumpUntil([&] { return dlg->baudSelChanges > 0; }, 1000);
    EXPECT_EQ(SendMessageW(Item(IDC_BAUD), CB_GETCURSEL, 0, 0), 1);
    EXPECT_EQ(dlg->baudSelChanges, 1);
}

TEST_F(QtDialogInput, TypingAPortNameSetsTheWindowText) {
    QLineEdit* edit = ControlAs<QComboBox>(IDC_PORT)->lineEdit();
    QTest::keyClicks(edit, QStringLiteral("COM9"));
    PumpUntil([&] { return dlg->portEditChanges >= 4; }, 1000);
    wchar_t text[32] = {};
    GetWindowTextW(Item(IDC_PORT), text, 32);
    EXPECT_STREQ(text, L"COM9");
    EXPECT_GE(dlg->portEditChanges, 1);
    EXPECT_EQ(edit->text(), QStringLiteral("COM9"));
}

// A list dismissed without a choice is closed for the dialog manager too:
// Tab, Enter and Esc then act as with the list closed, not as keys the
// open list would take for itself.
class QtDismissedList : public QtDialogTest {
protected:
    QComboBox* OpenList(int id) {
        auto* combo = ControlAs<QComboBox>(id);
        // An empty list does not open: give the port list its entries as the
        // tool does when it is about to open.
        dlg->onDropDown = [this] {
            SendMessageW(Item(IDC_PORT), CB_RESETCONTENT, 0, 0);
            SendMessageW(Item(IDC_PORT), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"Auto Detect"));
            SendMessageW(Item(IDC_PORT), CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(L"COM7"));
        };
        SetFocus(Item(id));
        QTest::keyClick(combo, Qt::Key_Down, Qt::AltModifier);
        EXPECT_TRUE(combo->view()->isVisible());
        EXPECT_TRUE(SendMessageW(Item(id), CB_GETDROPPEDSTATE, 0, 0)) << "the open list counts as dropped";
        return combo;
    }
    // What stands for the focused control's keys: the port box's edit line.
    QWidget* KeyTarget(int id) {
        auto* combo = ControlAs<QComboBox>(id);
        return combo->lineEdit() ? static_cast<QWidget*>(combo->lineEdit()) : combo;
    }
};

TEST_F(QtDismissedList, PortListDismissedWithEscapeIsClosed) {
    QComboBox* combo = OpenList(IDC_PORT);
    QTest::keyClick(combo->view(), Qt::Key_Escape);
    ASSERT_TRUE(PumpUntil([&] { return !combo->view()->isVisible(); }, 1000));
    EXPECT_FALSE(SendMessageW(Item(IDC_PORT), CB_GETDROPPEDSTATE, 0, 0));
    EXPECT_EQ(dlg->cancels, 0) << "the Esc that closed the list reaches no further";
    // Esc now goes to the dialog, as with a closed list.
    QTest::keyClick(KeyTarget(IDC_PORT), Qt::Key_Escape);
    PumpUntil([&] { return dlg->cancels > 0; }, 1000);
    EXPECT_EQ(dlg->cancels, 1);
}

TEST_F(QtDismissedList, BaudListDismissedByAClickOutsideIsClosed) {
    QComboBox* combo = OpenList(IDC_BAUD);
    QWidget* popup = combo->view()->window();
    ASSERT_NE(popup, Window());
    // A press outside the popup closes it, as a click elsewhere on the screen does.
    QTest::mouseClick(popup, Qt::LeftButton, Qt::NoModifier, QPoint(-20, -20));
    ASSERT_TRUE(PumpUntil([&] { return !combo->view()->isVisible(); }, 1000));
    EXPECT_FALSE(SendMessageW(Item(IDC_BAUD), CB_GETDROPPEDSTATE, 0, 0));
    EXPECT_EQ(dlg->baudSelChanges, 0) << "no choice was made";
    // Tab moves on to the next control, as with a closed list.
    SetFocus(Item(IDC_BAUD));
    QTest::keyClick(KeyTarget(IDC_BAUD), Qt::Key_Tab);
    EXPECT_NE(GetFocus(), Item(IDC_BAUD));
}

TEST_F(QtDismissedList, EnterAfterADismissedListGoesToTheDialog) {
    QComboBox* combo = OpenList(IDC_BAUD);
    QTest::keyClick(combo->view(), Qt::Key_Escape);
    ASSERT_TRUE(PumpUntil([&] { return !combo->view()->isVisible(); }, 1000));
    // Enter on the closed list is the dialog's: its default command, not a
    // key the list keeps.
    QTest::keyClick(KeyTarget(IDC_BAUD), Qt::Key_Return);
    PumpUntil([&] { return dlg->oks > 0; }, 1000);
    EXPECT_EQ(dlg->oks, 1);
}

}  // namespace
}  // namespace qt_test
