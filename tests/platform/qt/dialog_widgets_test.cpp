// The main dialog as widgets: kinds, texts, editability, state, layout and
// the caption's decorations.
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPointer>
#include <QPushButton>

#include "tests/platform/qt/dialog_fixture.h"

namespace qt_test {
namespace {

using QtDialogWidgets = QtDialogTest;

// The base units of the dialog's font, measured as the dialog manager does.
struct Units {
    int x, y;
};
Units UnitsOf(const QWidget* w) {
    const QFontMetrics m(w->font());
    const int width = m.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    return Units{(width / 26 + 1) / 2, m.height()};
}
int Round(int du, int unit, int div) { return (du * unit + div / 2) / div; }

TEST_F(QtDialogWidgets, CaptionIsVantrelWithoutCloseOrMinimiseBox) {
    QWidget* w = Window();
    EXPECT_EQ(w->windowTitle(), QStringLiteral("Vantrel"));
    const Qt::WindowFlags flags = w->windowFlags();
    EXPECT_TRUE(flags & Qt::CustomizeWindowHint);
    EXPECT_TRUE(flags & Qt::WindowTitleHint);
    EXPECT_FALSE(flags & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(flags & Qt::WindowSystemMenuHint);
    EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_TRUE(w->isVisible());
}

TEST_F(QtDialogWidgets, ButtonsArePushButtonsThatAreNeverDefault) {
    auto* loader = ControlAs<QPushButton>(IDC_BTN_LOADER);
    auto* quit = ControlAs<QPushButton>(IDC_BTN_QUIT);
    ASSERT_NE(loader, nullptr);
    ASSERT_NE(quit, nullptr);
    EXPECT_EQ(loader->text(), QStringLiteral("loader"));
    EXPECT_EQ(quit->text(), QStringLiteral("Quit"));
    for (QPushButton* b : {loader, quit}) {
        EXPECT_FALSE(b->isDefault());
        EXPECT_FALSE(b->autoDefault());
        EXPECT_TRUE(b->isEnabled());
        EXPECT_TRUE(b->isVisible());
    }
}

TEST_F(QtDialogWidgets, StaticsAreLabelsWithTheirAlignmentAndFrame) {
    auto* connect = ControlAs<QLabel>(IDC_CONNECT_STATUS);
    auto* progress = ControlAs<QLabel>(IDC_PROGRESS_STATUS);
    auto* port = ControlAs<QLabel>(IDC_PORT_LABEL);
    auto* baud = ControlAs<QLabel>(IDC_BAUD_LABEL);
    ASSERT_TRUE(connect && progress && port && baud);
    EXPECT_EQ(connect->text(), QStringLiteral("connected status"));
    EXPECT_EQ(progress->text(), QStringLiteral("Progress Status"));
    EXPECT_EQ(port->text(), QStringLiteral("Port:"));
    EXPECT_EQ(baud->text(), QStringLiteral("Baud:"));
    EXPECT_TRUE(connect->alignment() & Qt::AlignHCenter);
    EXPECT_TRUE(progress->alignment() & Qt::AlignLeft);
    // WS_EX_STATICEDGE: a sunken frame; the others have none.
    EXPECT_EQ(connect->frameShadow(), QFrame::Sunken);
    EXPECT_NE(connect->frameShape(), QFrame::NoFrame);
    EXPECT_EQ(progress->frameShape(), QFrame::NoFrame);
}

TEST_F(QtDialogWidgets, BannerIsCentredInsideTheGroupBox) {
    QLabel* banner = nullptr;
    QGroupBox* group = nullptr;
    for (QObject* child : Window()->children()) {
        if (auto* l = qobject_cast<QLabel*>(child); l && l->text() == QStringLiteral("KORIMEX  upgrader v2.0"))
            banner = l;
        if (auto* g = qobject_cast<QGroupBox*>(child))
            group = g;
    }
    ASSERT_NE(banner, nullptr) << "the banner keeps its two spaces";
    ASSERT_NE(group, nullptr);
    EXPECT_TRUE(banner->alignment() & Qt::AlignHCenter);
    EXPECT_TRUE(group->title().isEmpty());
    EXPECT_TRUE(group->geometry().contains(banner->geometry()));
    // The frame is drawn behind what it frames.
    const QObjectList& order = Window()->children();
    EXPECT_LT(order.indexOf(group), order.indexOf(banner));
}

TEST_F(QtDialogWidgets, PortIsEditableAndBaudIsAListWithItsTwoSpeeds) {
    auto* port = ControlAs<QComboBox>(IDC_PORT);
    auto* baud = ControlAs<QComboBox>(IDC_BAUD);
    ASSERT_TRUE(port && baud);
    EXPECT_TRUE(port->isEditable());
    EXPECT_FALSE(baud->isEditable());
    ASSERT_EQ(baud->count(), 2);
    EXPECT_EQ(baud->itemText(0), QStringLiteral("3686400"));
    EXPECT_EQ(baud->itemText(1), QStringLiteral("115200"));
    EXPECT_EQ(port->count(), 0);
}

TEST_F(QtDialogWidgets, ProgressBarShowsNoText) {
    auto* bar = ControlAs<QProgressBar>(IDC_PROGRESS);
    ASSERT_NE(bar, nullptr);
    EXPECT_FALSE(bar->isTextVisible());
    EXPECT_LT(bar->minimum(), bar->maximum()) << "an empty range would show a busy bar";
}

TEST_F(QtDialogWidgets, LayoutFollowsTheTemplateInDialogUnitsOfTheFont) {
    const Units u = UnitsOf(Window());
    ASSERT_GT(u.x, 0);
    EXPECT_EQ(Window()->width(), Round(257, u.x, 4));
    EXPECT_EQ(Window()->height(), Round(148, u.y, 8));
    const QRect loader = Control(IDC_BTN_LOADER)->geometry();
    EXPECT_EQ(loader.left(), Round(23, u.x, 4));
    EXPECT_EQ(loader.top(), Round(58, u.y, 8));
    // Sizes map on their own, as the dialog manager maps cx and cy.
    EXPECT_EQ(loader.width(), Round(58, u.x, 4));
    EXPECT_EQ(loader.height(), Round(14, u.y, 8));
    const QRect progress = Control(IDC_PROGRESS)->geometry();
    EXPECT_EQ(progress.left(), Round(7, u.x, 4));
    EXPECT_EQ(progress.top(), Round(129, u.y, 8));
    EXPECT_EQ(progress.width(), Round(243, u.x, 4));
    EXPECT_EQ(progress.height(), Round(7, u.y, 8));
}

TEST_F(QtDialogWidgets, ControlsKeepTheirPlacesRelativeToEachOther) {
    const QRect loader = Control(IDC_BTN_LOADER)->geometry();
    const QRect quit = Control(IDC_BTN_QUIT)->geometry();
    const QRect connect = Control(IDC_CONNECT_STATUS)->geometry();
    const QRect portLabel = Control(IDC_PORT_LABEL)->geometry();
    const QRect port = Control(IDC_PORT)->geometry();
    const QRect baudLabel = Control(IDC_BAUD_LABEL)->geometry();
    const QRect baud = Control(IDC_BAUD)->geometry();
    const QRect status = Control(IDC_PROGRESS_STATUS)->geometry();
    const QRect progress = Control(IDC_PROGRESS)->geometry();
    EXPECT_LT(loader.right(), quit.left());
    EXPECT_LT(quit.right(), connect.left());
    EXPECT_LE(portLabel.right(), port.left() + 1);
    EXPECT_LT(port.right(), baudLabel.left());
    EXPECT_LE(baudLabel.right(), baud.left() + 1);
    EXPECT_LT(loader.bottom(), port.top());
    EXPECT_LT(port.bottom(), status.top());
    EXPECT_LT(status.bottom(), progress.top());
    // A closed combo box is as tall as its font, not as its list.
    EXPECT_LT(port.height(), Window()->height() / 4);
    const QRect client = Window()->rect();
    for (const QRect& r : {loader, quit, connect, port, baud, status, progress})
        EXPECT_TRUE(client.contains(r));
}

TEST_F(QtDialogWidgets, TextEnabledStateAndProgressFollowTheWindows) {
    SetWindowTextW(Item(IDC_CONNECT_STATUS), L"COM3 connected");
    SetWindowTextW(Item(IDC_BTN_LOADER), L"STOP");
    EnableWindow(Item(IDC_BTN_QUIT), FALSE);
    SendMessageW(Item(IDC_PROGRESS), PBM_SETRANGE32, 0, 1000);
    SendMessageW(Item(IDC_PROGRESS), PBM_SETPOS, 250, 0);
    EXPECT_EQ(ControlAs<QLabel>(IDC_CONNECT_STATUS)->text(), QStringLiteral("COM3 connected"));
    EXPECT_EQ(ControlAs<QPushButton>(IDC_BTN_LOADER)->text(), QStringLiteral("STOP"));
    EXPECT_FALSE(Control(IDC_BTN_QUIT)->isEnabled());
    auto* bar = ControlAs<QProgressBar>(IDC_PROGRESS);
    EXPECT_EQ(bar->maximum(), 1000);
    EXPECT_EQ(bar->value(), 250);
    EnableWindow(Item(IDC_BTN_QUIT), TRUE);
    EXPECT_TRUE(Control(IDC_BTN_QUIT)->isEnabled());
}

TEST_F(QtDialogWidgets, EmptyProgressRangeShowsAnEmptyBarNotABusyOne) {
    SendMessageW(Item(IDC_PROGRESS), PBM_SETRANGE32, 0, 0);
    auto* bar = ControlAs<QProgressBar>(IDC_PROGRESS);
    EXPECT_LT(bar->minimum(), bar->maximum());
    EXPECT_EQ(bar->value(), bar->minimum());
}

TEST_F(QtDialogWidgets, ComboListAndSelectionFollowTheWindow) {
    CComboBox port;
    port.Attach(Item(IDC_PORT));
    port.ResetContent();
    port.AddString(L"Auto Detect");
    port.AddString(L"COM3");
    port.SetCurSel(0);
    auto* combo = ControlAs<QComboBox>(IDC_PORT);
    ASSERT_EQ(combo->count(), 2);
    EXPECT_EQ(combo->itemText(1), QStringLiteral("COM3"));
    EXPECT_EQ(combo->currentIndex(), 0);
    EXPECT_EQ(combo->lineEdit()->text(), QStringLiteral("Auto Detect"));
    SendMessageW(Item(IDC_BAUD), CB_SETCURSEL, 1, 0);
    EXPECT_EQ(ControlAs<QComboBox>(IDC_BAUD)->currentText(), QStringLiteral("115200"));
    port.Detach();
}

TEST_F(QtDialogWidgets, IconIsSetByWmSetIcon) {
    EXPECT_TRUE(Window()->windowIcon().isNull());
    HICON icon = LoadIconW(AfxGetInstanceHandle(), MAKEINTRESOURCEW(IDR_MAINFRAME));
    SendMessageW(Hwnd(), WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon));
    EXPECT_FALSE(Window()->windowIcon().isNull());
    EXPECT_FALSE(Window()->windowIcon().pixmap(16, 16).isNull());
}

TEST_F(QtDialogWidgets, DestroyedWindowTakesItsWidgetsAway) {
    QPointer<QWidget> window = Window();
    QPointer<QWidget> button = Control(IDC_BTN_LOADER);
    dlg->DestroyWindow();
    EXPECT_TRUE(window.isNull() || !window->isVisible());
    FlushDeletes();
    EXPECT_TRUE(window.isNull());
    EXPECT_TRUE(button.isNull());
}

}  // namespace
}  // namespace qt_test
