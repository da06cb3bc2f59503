// The main dialog as the operator first sees it: controls, texts, items,
// and the keys that must not end or start anything.
#include <gtest/gtest.h>

#include <string>

#include "common/state.h"
#include "platform/posix/user32/headless/harness.h"
#include "tests/engine/dialog_fixture.h"

namespace {

struct ExpectedControl {
    int id;
    const wchar_t* cls;
    const wchar_t* text;
    DWORD style;
    DWORD exStyle;
    RECT dlu;  // x, y, w, h in dialog units
};

// Template order, which is also the tab order.
const ExpectedControl kControls[] = {
    {IDC_BTN_LOADER, L"Button", L"loader", 0x50010000, 0, {23, 58, 58, 14}},
    {IDC_BTN_QUIT, L"Button", L"Quit", 0x50010000, 0, {105, 57, 58, 14}},
    {IDC_PROGRESS, L"msctls_progress32", L"", 0x50800000, 0, {7, 129, 243, 7}},
    {IDC_CONNECT_STATUS, L"Static", L"connected status", 0x50020001, 0x00020000, {176, 59, 70, 11}},
    {IDC_PROGRESS_STATUS, L"Static", L"Progress Status", 0x50020000, 0, {25, 114, 196, 10}},
    {IDC_PORT_LABEL, L"Static", L"Port:", 0x50020000, 0, {28, 90, 23, 8}},
    {IDC_PORT, L"ComboBox", L"Auto Detect", 0x50210002, 0, {50, 87, 54, 68}},
    {IDC_BAUD_LABEL, L"Static", L"Baud:", 0x50020000, 0, {138, 89, 24, 8}},
    {IDC_BAUD, L"ComboBox", L"3686400", 0x50210003, 0, {175, 86, 54, 68}},
};

class MainDialogTest : public DialogFixture {
protected:
    HWND Item(int id) const { return GetDlgItem(dlg_->GetSafeHwnd(), id); }
};

TEST_F(MainDialogTest, HasEveryControlOfTheTemplate) {
    for (const ExpectedControl& c : kControls) {
        SCOPED_TRACE(c.id);
        HWND h = Item(c.id);
        ASSERT_NE(h, nullptr);
        wchar_t cls[64] = {};
        GetClassNameW(h, cls, 64);
        EXPECT_STREQ(cls, c.cls);
        EXPECT_EQ(Text(c.id), c.text);
        EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(h, GWL_STYLE)), c.style);
        EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(h, GWL_EXSTYLE)), c.exStyle);
        // The dialog manager converts the width and height themselves, not the corners.
        RECT expected = {0, 0, c.dlu.right, c.dlu.bottom};
        MapDialogRect(dlg_->GetSafeHwnd(), &expected);
        RECT client{};
        GetClientRect(h, &client);
        EXPECT_EQ(client.right - client.left, expected.right - expected.left);
        EXPECT_EQ(client.bottom - client.top, expected.bottom - expected.top);
    }
}

TEST_F(MainDialogTest, CaptionAndStyleGiveNoCloseBox) {
    wchar_t caption[64] = {};
    GetWindowTextW(dlg_->GetSafeHwnd(), caption, 64);
    EXPECT_STREQ(caption, L"Vantrel");
    const DWORD style = static_cast<DWORD>(GetWindowLongW(dlg_->GetSafeHwnd(), GWL_STYLE));
    EXPECT_EQ(style & WS_SYSMENU, 0u);
    EXPECT_EQ(style & WS_CAPTION, static_cast<DWORD>(WS_CAPTION));
}

TEST_F(MainDialogTest, LineSpeedsAreListedInTemplateOrderWithTheFirstSelected) {
    ASSERT_EQ(dlg_->m_Baud.GetCount(), 2);
    CString first, second;
    dlg_->m_Baud.GetLBText(0, first);
    dlg_->m_Baud.GetLBText(1, second);
    EXPECT_EQ(first, L"3686400");
    EXPECT_EQ(second, L"115200");
    EXPECT_EQ(dlg_->m_Baud.GetCurSel(), 0);
    CString port;
    dlg_->m_Port.GetLBText(0, port);
    EXPECT_EQ(port, L"Auto Detect");
    EXPECT_EQ(dlg_->m_Port.GetCurSel(), 0);
}

TEST_F(MainDialogTest, EveryWrapperIsBoundToItsControl) {
    EXPECT_EQ(dlg_->m_ConnectStatus.m_hWnd.load(), Item(IDC_CONNECT_STATUS));
    EXPECT_EQ(dlg_->m_ProgressStatus.m_hWnd.load(), Item(IDC_PROGRESS_STATUS));
    EXPECT_EQ(dlg_->m_BtnLoader.m_hWnd.load(), Item(IDC_BTN_LOADER));
    EXPECT_EQ(dlg_->m_BtnQuit.m_hWnd.load(), Item(IDC_BTN_QUIT));
    EXPECT_EQ(dlg_->m_Progress.m_hWnd.load(), Item(IDC_PROGRESS));
    EXPECT_EQ(dlg_->m_Port.m_hWnd.load(), Item(IDC_PORT));
    EXPECT_EQ(dlg_->m_PortLabel.m_hWnd.load(), Item(IDC_PORT_LABEL));
    EXPECT_EQ(dlg_->m_Baud.m_hWnd.load(), Item(IDC_BAUD));
    EXPECT_EQ(dlg_->m_BaudLabel.m_hWnd.load(), Item(IDC_BAUD_LABEL));
}

TEST_F(MainDialogTest, EscapeLeavesTheDialogOpenAndStartsNothing) {
    headless::KeyPress(dlg_->GetSafeHwnd(), VK_ESCAPE);
    Pump();
    EXPECT_TRUE(IsWindow(dlg_->GetSafeHwnd()));
    EXPECT_TRUE(IsWindowVisible(dlg_->GetSafeHwnd()));
    EXPECT_FALSE(State().g_Upgrading);
    EXPECT_EQ(Text(IDC_PROGRESS_STATUS), L"Progress Status");
}

TEST_F(MainDialogTest, EnterOnAComboBoxDoesNothing) {
    SetFocus(Item(IDC_PORT));
    headless::KeyPress(dlg_->GetSafeHwnd(), VK_RETURN);
    Pump();
    EXPECT_TRUE(IsWindowVisible(dlg_->GetSafeHwnd()));
    EXPECT_FALSE(Traced("UpgradeInit\r\n"));
}

TEST_F(MainDialogTest, EnterOnTheFocusedStartButtonClicksIt) {
    SetFocus(Item(IDC_BTN_LOADER));
    headless::KeyPress(dlg_->GetSafeHwnd(), VK_RETURN);
    Pump();
    // No upgrader.asc in the test's directory: the start fails visibly.
    EXPECT_TRUE(Traced("UpgradeInit\r\n"));
    EXPECT_EQ(Text(IDC_PROGRESS_STATUS), L"Open Obj failed!");
    EXPECT_TRUE(IsWindowVisible(dlg_->GetSafeHwnd()));
}

TEST_F(MainDialogTest, AltF4DoesNotCloseIt) {
    headless::AltKeyPress(dlg_->GetSafeHwnd(), VK_F4);
    Pump();
    EXPECT_TRUE(IsWindowVisible(dlg_->GetSafeHwnd()));
}

TEST_F(MainDialogTest, TabVisitsTheTabStopsInTemplateOrder) {
    SetFocus(Item(IDC_BTN_LOADER));
    const int order[] = {IDC_BTN_QUIT, IDC_PORT, IDC_BAUD, IDC_BTN_LOADER};
    for (int id : order) {
        headless::KeyPress(dlg_->GetSafeHwnd(), VK_TAB);
        Pump();
        EXPECT_EQ(GetFocus(), Item(id)) << id;
    }
}

TEST_F(MainDialogTest, MinimisedPaintingDrawsTheIconWithoutFailing) {
    headless::Minimize(dlg_->GetSafeHwnd(), true);
    EXPECT_TRUE(dlg_->IsIconic());
    SendMessageW(dlg_->GetSafeHwnd(), WM_PAINT, 0, 0);
    EXPECT_EQ(reinterpret_cast<HICON>(SendMessageW(dlg_->GetSafeHwnd(), WM_QUERYDRAGICON, 0, 0)), dlg_->m_hIcon);
    EXPECT_NE(dlg_->m_hIcon, nullptr);
    headless::Minimize(dlg_->GetSafeHwnd(), false);
}

}  // namespace
