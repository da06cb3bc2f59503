// The built-in controls: combo boxes (editable drop-down and drop-down
// list), the progress bar, buttons, texts, enabled state, icons, and the
// window observer.
#include <array>
#include <string>

#include "tests/platform/user32/fixture.h"

namespace user32test {
namespace {

std::wstring Text(HWND h) {
    std::array<wchar_t, 256> buffer{};
    GetWindowTextW(h, buffer.data(), static_cast<int>(buffer.size()));
    return buffer.data();
}

LRESULT Add(HWND combo, const wchar_t* s) { return SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(s)); }

std::wstring Item(HWND combo, int i) {
    LRESULT len = SendMessageW(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
    if (len < 0)
        return L"<CB_ERR>";
    std::wstring out(static_cast<size_t>(len) + 1, L'\0');
    SendMessageW(combo, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(out.data()));
    out.resize(static_cast<size_t>(len));
    return out;
}

class ControlsTest : public User32Test {
protected:
    void SetUp() override {
        User32Test::SetUp();
        dlg = CreateMainDialog();
        ASSERT_NE(dlg, nullptr);
        port = GetDlgItem(dlg, IDC_PORT);
        baud = GetDlgItem(dlg, IDC_BAUD);
        progress = GetDlgItem(dlg, IDC_PROGRESS);
        loader = GetDlgItem(dlg, IDC_BTN_LOADER);
    }
    HWND dlg = nullptr, port = nullptr, baud = nullptr, progress = nullptr, loader = nullptr;
};

// ---------------------------------------------------------------- combo boxes

TEST_F(ControlsTest, AddStringAppendsInOrderWithoutSorting) {
    EXPECT_EQ(Add(port, L"Auto Detect"), 0);
    EXPECT_EQ(Add(port, L"COM9"), 1);
    EXPECT_EQ(Add(port, L"COM10"), 2);
    EXPECT_EQ(SendMessageW(port, CB_GETCOUNT, 0, 0), 3);
    EXPECT_EQ(Item(port, 0), L"Auto Detect");
    EXPECT_EQ(Item(port, 2), L"COM10");
    EXPECT_EQ(Item(port, 3), L"<CB_ERR>");
    EXPECT_EQ(SendMessageW(port, CB_GETLBTEXT, 7, reinterpret_cast<LPARAM>(L"")), CB_ERR);
}

TEST_F(ControlsTest, SortedComboInsertsInCaseInsensitiveOrder) {
    TemplateImage image = MakeDialog(L"Box", WS_POPUP, {{9, L"ComboBox", L"", WS_CHILD | CBS_DROPDOWNLIST | CBS_SORT}});
    HWND box = CreateFrom(image);
    ASSERT_NE(box, nullptr);
    HWND combo = GetDlgItem(box, 9);
    Add(combo, L"delta");
    Add(combo, L"Alpha");
    EXPECT_EQ(Add(combo, L"charlie"), 1);
    EXPECT_EQ(Item(combo, 0), L"Alpha");
    EXPECT_EQ(Item(combo, 2), L"delta");
}

TEST_F(ControlsTest, SetCurSelShowsTheItemAndMinusOneClears) {
    Add(port, L"Auto Detect");
    Add(port, L"COM3");
    EXPECT_EQ(SendMessageW(port, CB_GETCURSEL, 0, 0), CB_ERR);
    EXPECT_EQ(SendMessageW(port, CB_SETCURSEL, 1, 0), 1);
    EXPECT_EQ(SendMessageW(port, CB_GETCURSEL, 0, 0), 1);
    EXPECT_EQ(Text(port), L"COM3");
    EXPECT_EQ(SendMessageW(port, CB_SETCURSEL, static_cast<WPARAM>(-1), 0), CB_ERR);
    EXPECT_EQ(SendMessageW(port, CB_GETCURSEL, 0, 0), CB_ERR);
    EXPECT_EQ(Text(port), L"");
    EXPECT_EQ(SendMessageW(port, CB_SETCURSEL, 5, 0), CB_ERR);
}

TEST_F(ControlsTest, EditableComboKeepsSetTextAndDropsSelection) {
    Add(port, L"Auto Detect");
    SendMessageW(port, CB_SETCURSEL, 0, 0);
    EXPECT_TRUE(SetWindowTextW(port, L"\\\\.\\COM12"));
    EXPECT_EQ(Text(port), L"\\\\.\\COM12");
    EXPECT_EQ(GetWindowTextLengthW(port), 9);
    EXPECT_EQ(SendMessageW(port, CB_GETCURSEL, 0, 0), CB_ERR);
    // Even a text equal to an item leaves no selection, as typing does.
    SetWindowTextW(port, L"Auto Detect");
    EXPECT_EQ(SendMessageW(port, CB_GETCURSEL, 0, 0), CB_ERR);
}

TEST_F(ControlsTest, ResetContentEmptiesListAndEditText) {
    Add(port, L"Auto Detect");
    SendMessageW(port, CB_SETCURSEL, 0, 0);
    SetWindowTextW(port, L"typed");
    EXPECT_EQ(SendMessageW(port, CB_RESETCONTENT, 0, 0), CB_OKAY);
    EXPECT_EQ(SendMessageW(port, CB_GETCOUNT, 0, 0), 0);
    EXPECT_EQ(Text(port), L"");
    EXPECT_EQ(SendMessageW(port, CB_GETCURSEL, 0, 0), CB_ERR);
}

TEST_F(ControlsTest, FindStringExactIgnoresCaseAndSearchesAfterStartWrapping) {
    Add(port, L"COM1");
    Add(port, L"COM10");
    Add(port, L"com1");
    auto find = [&](int start, const wchar_t* s) {
        return SendMessageW(port, CB_FINDSTRINGEXACT, static_cast<WPARAM>(start), reinterpret_cast<LPARAM>(s));
    };
    EXPECT_EQ(find(-1, L"Com1"), 0);
    EXPECT_EQ(find(0, L"COM1"), 2);
    EXPECT_EQ(find(2, L"COM1"), 0);
    EXPECT_EQ(find(-1, L"COM"), CB_ERR);  // exact, not prefix
    EXPECT_EQ(find(-1, L"COM10"), 1);
}

TEST_F(ControlsTest, DropDownListTextIsAlwaysTheSelectedItem) {
    EXPECT_EQ(Text(baud), L"");
    Add(baud, L"3686400");
    Add(baud, L"115200");
    SendMessageW(baud, CB_SETCURSEL, 0, 0);
    EXPECT_EQ(Text(baud), L"3686400");
    // A text that is no item cannot be shown.
    EXPECT_FALSE(SetWindowTextW(baud, L"9600"));
    EXPECT_EQ(Text(baud), L"3686400");
    EXPECT_TRUE(SetWindowTextW(baud, L"115200"));
    EXPECT_EQ(SendMessageW(baud, CB_GETCURSEL, 0, 0), 1);
}

TEST_F(ControlsTest, TypingIntoEditableComboNotifiesParentAndClearsSelection) {
    Add(port, L"Auto Detect");
    SendMessageW(port, CB_SETCURSEL, 0, 0);
    received.clear();
    headless::TypeText(port, L"ttyUSB3");
    EXPECT_EQ(Text(port), L"ttyUSB3");
    EXPECT_EQ(SendMessageW(port, CB_GETCURSEL, 0, 0), CB_ERR);
    auto commands = Commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.back(), MAKEWPARAM(IDC_PORT, CBN_EDITCHANGE));
}

TEST_F(ControlsTest, TypingIntoDropDownListSelectsMatchingItem) {
    Add(baud, L"3686400");
    Add(baud, L"115200");
    headless::TypeText(baud, L"11");
    EXPECT_EQ(SendMessageW(baud, CB_GETCURSEL, 0, 0), 1);
    EXPECT_EQ(Text(baud), L"115200");
    headless::TypeText(baud, L"9");
    EXPECT_EQ(SendMessageW(baud, CB_GETCURSEL, 0, 0), 1);
}

TEST_F(ControlsTest, DropDownSendsCbnDropdownToParentWithIdAndHandle) {
    received.clear();
    headless::DropDown(port);
    auto commands = Seen(WM_COMMAND);
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].wParam, MAKEWPARAM(IDC_PORT, CBN_DROPDOWN));
    EXPECT_EQ(reinterpret_cast<HWND>(commands[0].lParam), port);
    // Opening it again, after it closed or not, asks again.
    headless::DropDown(port);
    EXPECT_EQ(Commands().back(), MAKEWPARAM(IDC_PORT, CBN_DROPDOWN));
}

TEST_F(ControlsTest, DisabledComboCannotBeOpenedOrTypedInto) {
    EnableWindow(port, FALSE);
    received.clear();
    headless::DropDown(port);
    headless::TypeText(port, L"x");
    EXPECT_TRUE(Commands().empty());
    EXPECT_EQ(Text(port), L"");
}

TEST_F(ControlsTest, SelectingFromTheListNotifiesSelChange) {
    Add(baud, L"3686400");
    Add(baud, L"115200");
    headless::DropDown(baud);
    received.clear();
    headless::SelectItem(baud, 1);
    EXPECT_EQ(Text(baud), L"115200");
    auto commands = Commands();
    ASSERT_FALSE(commands.empty());
    EXPECT_EQ(commands.front(), MAKEWPARAM(IDC_BAUD, CBN_SELCHANGE));
    EXPECT_FALSE(SendMessageW(baud, CB_GETDROPPEDSTATE, 0, 0));
}

// ---------------------------------------------------------------- progress bar

TEST_F(ControlsTest, ProgressStartsAtZeroOfHundred) {
    PBRANGE r{-1, -1};
    EXPECT_EQ(SendMessageW(progress, PBM_GETRANGE, TRUE, reinterpret_cast<LPARAM>(&r)), 0);
    EXPECT_EQ(r.iLow, 0);
    EXPECT_EQ(r.iHigh, 100);
    EXPECT_EQ(SendMessageW(progress, PBM_GETPOS, 0, 0), 0);
}

TEST_F(ControlsTest, ProgressSetRange32ReturnsOldRangeAndGetRangeAnswersBothEnds) {
    EXPECT_EQ(SendMessageW(progress, PBM_SETRANGE32, 0, 5000), MAKELONG(0, 100));
    EXPECT_EQ(SendMessageW(progress, PBM_GETRANGE, TRUE, 0), 0);
    EXPECT_EQ(SendMessageW(progress, PBM_GETRANGE, FALSE, 0), 5000);
    PBRANGE r{};
    SendMessageW(progress, PBM_GETRANGE, FALSE, reinterpret_cast<LPARAM>(&r));
    EXPECT_EQ(r.iHigh, 5000);
}

TEST_F(ControlsTest, ProgressSetPosReturnsPreviousAndClampsToRange) {
    SendMessageW(progress, PBM_SETRANGE32, 10, 200);
    EXPECT_EQ(SendMessageW(progress, PBM_GETPOS, 0, 0), 10);  // the old position lay below the new range
    EXPECT_EQ(SendMessageW(progress, PBM_SETPOS, 150, 0), 10);
    EXPECT_EQ(SendMessageW(progress, PBM_SETPOS, 999, 0), 150);
    EXPECT_EQ(SendMessageW(progress, PBM_GETPOS, 0, 0), 200);
    SendMessageW(progress, PBM_SETPOS, static_cast<WPARAM>(-5), 0);
    EXPECT_EQ(SendMessageW(progress, PBM_GETPOS, 0, 0), 10);
    SendMessageW(progress, PBM_SETRANGE32, 0, 50);
    EXPECT_EQ(SendMessageW(progress, PBM_GETPOS, 0, 0), 10);
    SendMessageW(progress, PBM_SETPOS, 40, 0);
    SendMessageW(progress, PBM_SETRANGE32, 0, 20);
    EXPECT_EQ(SendMessageW(progress, PBM_GETPOS, 0, 0), 20);
}

// ---------------------------------------------------------------- buttons, texts, state

TEST_F(ControlsTest, ButtonClickSendsBnClickedOnlyWhenEnabled) {
    received.clear();
    SendMessageW(loader, BM_CLICK, 0, 0);
    auto commands = Seen(WM_COMMAND);
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].wParam, MAKEWPARAM(IDC_BTN_LOADER, BN_CLICKED));
    EXPECT_EQ(reinterpret_cast<HWND>(commands[0].lParam), loader);
    EnableWindow(loader, FALSE);
    SendMessageW(loader, BM_CLICK, 0, 0);
    headless::Click(loader);
    EXPECT_EQ(Seen(WM_COMMAND).size(), 1u);
}

TEST_F(ControlsTest, GroupBoxTakesNoClick) {
    TemplateImage image = MakeDialog(L"Box", WS_POPUP, {{3, L"Button", L"", WS_CHILD | BS_GROUPBOX}});
    HWND box = CreateFrom(image);
    ASSERT_NE(box, nullptr);
    received.clear();
    SendMessageW(GetDlgItem(box, 3), BM_CLICK, 0, 0);
    EXPECT_TRUE(Commands().empty());
}

TEST_F(ControlsTest, GetWindowTextTruncatesToTheBuffer) {
    wchar_t buffer[4] = {L'x', L'x', L'x', L'x'};
    EXPECT_EQ(GetWindowTextW(loader, buffer, 4), 3);
    EXPECT_EQ(std::wstring(buffer), L"loa");
    EXPECT_EQ(GetWindowTextW(loader, buffer, 0), 0);
    EXPECT_EQ(GetWindowTextW(nullptr, buffer, 4), 0);
    EXPECT_EQ(buffer[0], L'\0');
}

TEST_F(ControlsTest, EnableWindowReportsWhetherItWasDisabled) {
    EXPECT_FALSE(EnableWindow(loader, FALSE));
    EXPECT_FALSE(IsWindowEnabled(loader));
    EXPECT_TRUE(EnableWindow(loader, FALSE));
    EXPECT_TRUE(EnableWindow(loader, TRUE));
    EXPECT_TRUE(IsWindowEnabled(loader));
    EXPECT_EQ(GetWindowLongW(loader, GWL_STYLE) & WS_DISABLED, 0);
}

TEST_F(ControlsTest, SetIconReturnsThePreviousIcon) {
    HICON icon = LoadIconW(nullptr, MAKEINTRESOURCEW(IDR_MAINFRAME));
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(SendMessageW(dlg, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(icon)), 0);
    EXPECT_EQ(SendMessageW(dlg, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(icon)), 0);
    EXPECT_EQ(reinterpret_cast<HICON>(SendMessageW(dlg, WM_SETICON, ICON_BIG, 0)), icon);
    EXPECT_EQ(reinterpret_cast<HICON>(SendMessageW(dlg, WM_GETICON, ICON_SMALL, 0)), icon);
}

TEST_F(ControlsTest, SendDlgItemMessageReachesTheControl) {
    SendDlgItemMessageW(dlg, IDC_PROGRESS, PBM_SETPOS, 33, 0);
    EXPECT_EQ(SendMessageW(progress, PBM_GETPOS, 0, 0), 33);
    EXPECT_EQ(SendDlgItemMessageW(dlg, 4242, PBM_GETPOS, 0, 0), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CONTROL_ID_NOT_FOUND));
}

TEST_F(ControlsTest, StaleHandlesFailCleanly) {
    HWND stale = port;
    DestroyWindow(dlg);
    EXPECT_FALSE(IsWindow(stale));
    EXPECT_EQ(SendMessageW(stale, CB_GETCOUNT, 0, 0), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_WINDOW_HANDLE));
    EXPECT_FALSE(PostMessageW(stale, WM_APP, 0, 0));
    EXPECT_FALSE(SetWindowTextW(stale, L"x"));
    EXPECT_FALSE(DestroyWindow(stale));
}

// ---------------------------------------------------------------- observer

TEST_F(ControlsTest, ObserverSeesEveryVisibleChangeOnTheWindowThread) {
    std::vector<std::pair<HWND, UINT>> seen;
    DWORD me = GetCurrentThreadId();
    bool offThread = false;
    headless::SetWindowObserver([&](HWND h, UINT what) {
        if (GetCurrentThreadId() != me)
            offThread = true;
        seen.emplace_back(h, what);
    });
    HWND status = GetDlgItem(dlg, IDC_PROGRESS_STATUS);
    SetWindowTextW(status, L"Downloading...");
    SetWindowTextW(status, L"Downloading...");  // no change, no report
    EnableWindow(loader, FALSE);
    Add(port, L"Auto Detect");
    SendMessageW(port, CB_SETCURSEL, 0, 0);
    SendMessageW(progress, PBM_SETPOS, 50, 0);
    SendMessageW(port, CB_RESETCONTENT, 0, 0);
    std::vector<std::pair<HWND, UINT>> want = {{status, WM_SETTEXT}, {loader, WM_ENABLE},    {port, CB_ADDSTRING},
                                               {port, CB_SETCURSEL}, {progress, PBM_SETPOS}, {port, CB_RESETCONTENT}};
    EXPECT_EQ(seen, want);
    EXPECT_FALSE(offThread);
}

}  // namespace
}  // namespace user32test
