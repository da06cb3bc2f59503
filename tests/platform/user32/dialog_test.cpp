// Dialogs from templates: the controls the main dialog template makes, the
// dialog procedure protocol, the modal loop and the dialog keys.
#include <array>
#include <cstring>
#include <string>

#include "tests/platform/user32/fixture.h"

namespace user32test {
namespace {

std::wstring Text(HWND h) {
    std::array<wchar_t, 256> buffer{};
    GetWindowTextW(h, buffer.data(), static_cast<int>(buffer.size()));
    return buffer.data();
}

std::wstring ClassOf(HWND h) {
    std::array<wchar_t, 64> buffer{};
    GetClassNameW(h, buffer.data(), static_cast<int>(buffer.size()));
    return buffer.data();
}

// Pixels from dialog units with the fixed 6 x 13 base units, rounded to nearest.
RECT Pixels(int x, int y, int cx, int cy) {
    auto h = [](int v) { return (v * 6 + 2) / 4; };
    auto v = [](int u) { return (u * 13 + 4) / 8; };
    return RECT{h(x), v(y), h(x) + h(cx), v(y) + v(cy)};
}

using DialogTest = User32Test;

TEST_F(DialogTest, MainTemplateMakesTheDialogWithCaptionClassAndStyles) {
    HWND dlg = CreateMainDialog();
    ASSERT_NE(dlg, nullptr) << GetLastError();
    EXPECT_EQ(Text(dlg), L"Vantrel");
    EXPECT_EQ(ClassOf(dlg), L"#32770");
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(dlg, GWL_STYLE)), 0x90C000C8u);
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(dlg, GWL_EXSTYLE)), 0x00040000u);
    RECT client{};
    ASSERT_TRUE(GetClientRect(dlg, &client));
    EXPECT_EQ(client.right, 386);   // 257 dialog units
    EXPECT_EQ(client.bottom, 241);  // 148 dialog units
    EXPECT_TRUE(IsWindowVisible(dlg));
}

TEST_F(DialogTest, EveryControlHasItsTemplateIdClassTextStylesAndRectangle) {
    HWND dlg = CreateMainDialog();
    ASSERT_NE(dlg, nullptr);
    const DialogTemplateData* data = FindDialogTemplate(IDD_MAIN_DIALOG);
    for (const auto& item : data->items) {
        if (item.id == IDC_STATIC)
            continue;  // several share it; checked below
        SCOPED_TRACE(item.id);
        HWND h = GetDlgItem(dlg, item.id);
        ASSERT_NE(h, nullptr);
        EXPECT_EQ(GetDlgCtrlID(h), item.id);
        EXPECT_EQ(GetParent(h), dlg);
        EXPECT_EQ(ClassOf(h), item.windowClass);
        EXPECT_EQ(Text(h), item.text);
        EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(h, GWL_STYLE)), item.style);
        EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(h, GWL_EXSTYLE)), item.exStyle);
        RECT r{};
        ASSERT_TRUE(GetWindowRect(h, &r));
        RECT want = Pixels(item.x, item.y, item.cx, item.cy);
        EXPECT_EQ(r.left, want.left);
        EXPECT_EQ(r.top, want.top);
        EXPECT_EQ(r.right, want.right);
        EXPECT_EQ(r.bottom, want.bottom);
    }
    // IDC_STATIC is stored as 0xFFFF: the first such control is the banner.
    HWND banner = GetDlgItem(dlg, 0xFFFF);
    ASSERT_NE(banner, nullptr);
    EXPECT_EQ(Text(banner), L"KORIMEX  upgrader v2.0");
    RECT loader{};
    GetWindowRect(GetDlgItem(dlg, IDC_BTN_LOADER), &loader);
    EXPECT_EQ(loader.left, 35);
    EXPECT_EQ(loader.top, 94);
    EXPECT_EQ(loader.right - loader.left, 87);
    EXPECT_EQ(loader.bottom - loader.top, 23);
}

TEST_F(DialogTest, InitDialogGetsTheInitParamAndTrueGivesFocusToFirstTabStop) {
    HWND dlg = CreateMainDialog(0x1234);
    ASSERT_NE(dlg, nullptr);
    auto init = Seen(WM_INITDIALOG);
    ASSERT_EQ(init.size(), 1u);
    EXPECT_EQ(init[0].lParam, 0x1234);
    EXPECT_EQ(reinterpret_cast<HWND>(init[0].wParam), GetDlgItem(dlg, IDC_BTN_LOADER));
    EXPECT_EQ(GetFocus(), GetDlgItem(dlg, IDC_BTN_LOADER));
    // WM_INITDIALOG is the first message the dialog procedure sees.
    EXPECT_EQ(received.front().message, static_cast<UINT>(WM_INITDIALOG));
}

TEST_F(DialogTest, InitDialogReturningFalseLeavesFocusAlone) {
    handler = [](HWND, UINT, WPARAM, LPARAM) -> INT_PTR { return FALSE; };
    HWND dlg = CreateMainDialog();
    ASSERT_NE(dlg, nullptr);
    EXPECT_EQ(GetFocus(), nullptr);
}

TEST_F(DialogTest, TabMovesFocusAmongTabStopsInTemplateOrderAndWraps) {
    HWND dlg = CreateMainDialog();
    ASSERT_NE(dlg, nullptr);
    const int order[] = {IDC_BTN_QUIT, IDC_PORT, IDC_BAUD, IDC_BTN_LOADER};
    for (int id : order) {
        headless::KeyPress(dlg, VK_TAB);
        EXPECT_EQ(GetFocus(), GetDlgItem(dlg, id)) << id;
    }
}

TEST_F(DialogTest, TabSkipsDisabledControls) {
    HWND dlg = CreateMainDialog();
    ASSERT_NE(dlg, nullptr);
    EnableWindow(GetDlgItem(dlg, IDC_BTN_QUIT), FALSE);
    headless::KeyPress(dlg, VK_TAB);
    EXPECT_EQ(GetFocus(), GetDlgItem(dlg, IDC_PORT));
}

TEST_F(DialogTest, EscapeSendsCancelCommandAndEnterOnComboSendsOk) {
    HWND dlg = CreateMainDialog();
    ASSERT_NE(dlg, nullptr);
    headless::KeyPress(dlg, VK_ESCAPE);
    SetFocus(GetDlgItem(dlg, IDC_PORT));
    headless::KeyPress(dlg, VK_RETURN);
    ASSERT_EQ(Commands().size(), 2u);
    EXPECT_EQ(Commands()[0], MAKEWPARAM(IDCANCEL, BN_CLICKED));
    EXPECT_EQ(Commands()[1], MAKEWPARAM(IDOK, BN_CLICKED));
    EXPECT_TRUE(IsWindow(dlg));
}

TEST_F(DialogTest, EnterOnFocusedPushButtonClicksIt) {
    HWND dlg = CreateMainDialog();
    ASSERT_NE(dlg, nullptr);
    HWND quit = GetDlgItem(dlg, IDC_BTN_QUIT);
    SetFocus(quit);
    headless::KeyPress(dlg, VK_RETURN);
    auto commands = Seen(WM_COMMAND);
    ASSERT_EQ(commands.size(), 1u);
    EXPECT_EQ(commands[0].wParam, MAKEWPARAM(IDC_BTN_QUIT, BN_CLICKED));
    EXPECT_EQ(reinterpret_cast<HWND>(commands[0].lParam), quit);
}

TEST_F(DialogTest, EnterOnDisabledFocusedButtonDoesNothing) {
    HWND dlg = CreateMainDialog();
    ASSERT_NE(dlg, nullptr);
    HWND loader = GetDlgItem(dlg, IDC_BTN_LOADER);
    SetFocus(loader);
    EnableWindow(loader, FALSE);
    SetFocus(loader);  // programmatic focus is still possible
    headless::KeyPress(dlg, VK_RETURN);
    EXPECT_TRUE(Commands().empty());
}

TEST_F(DialogTest, AltF4WithoutSystemMenuReachesDialogButClosesNothing) {
    HWND dlg = CreateMainDialog();
    ASSERT_NE(dlg, nullptr);
    headless::AltKeyPress(dlg, VK_F4);
    headless::PumpMessages();
    auto sys = Seen(WM_SYSCOMMAND);
    ASSERT_EQ(sys.size(), 1u);
    EXPECT_EQ(sys[0].wParam, static_cast<WPARAM>(SC_CLOSE));
    EXPECT_TRUE(Commands().empty());
    EXPECT_TRUE(IsWindow(dlg));
}

TEST_F(DialogTest, CloseRequestWithSystemMenuBecomesCancelCommand) {
    TemplateImage image = MakeDialog(L"Box", WS_POPUP | WS_CAPTION | WS_SYSMENU | WS_VISIBLE, {});
    HWND dlg = CreateFrom(image);
    ASSERT_NE(dlg, nullptr);
    headless::AltKeyPress(dlg, VK_F4);
    headless::PumpMessages();
    ASSERT_EQ(Commands().size(), 1u);
    EXPECT_EQ(LOWORD(Commands()[0]), IDCANCEL);
}

TEST_F(DialogTest, EnterCommandsTheDefaultPushButton) {
    TemplateImage image = MakeDialog(L"Box", WS_POPUP | WS_VISIBLE,
                                     {{IDC_PORT, L"ComboBox", L"", WS_CHILD | WS_VISIBLE | WS_TABSTOP | CBS_DROPDOWN},
                                      {77, L"Button", L"Go", WS_CHILD | WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON}});
    HWND dlg = CreateFrom(image);
    ASSERT_NE(dlg, nullptr);
    SetFocus(GetDlgItem(dlg, IDC_PORT));
    headless::KeyPress(dlg, VK_RETURN);
    ASSERT_EQ(Commands().size(), 1u);
    EXPECT_EQ(Commands()[0], MAKEWPARAM(77, BN_CLICKED));
}

TEST_F(DialogTest, ResultOfHandledMessageComesFromMsgResult) {
    handler = [](HWND hwnd, UINT message, WPARAM, LPARAM) -> INT_PTR {
        if (message == WM_APP) {
            SetWindowLongPtrW(hwnd, DWLP_MSGRESULT, 4711);
            return TRUE;
        }
        return message == WM_INITDIALOG;
    };
    HWND dlg = CreateMainDialog();
    ASSERT_NE(dlg, nullptr);
    EXPECT_EQ(SendMessageW(dlg, WM_APP, 0, 0), 4711);
}

TEST_F(DialogTest, UnhandledMessageGetsDefaultProcessing) {
    HWND dlg = CreateMainDialog();
    ASSERT_NE(dlg, nullptr);
    // The recording procedure returns FALSE: DefDlgProcW stores the text.
    EXPECT_TRUE(SetWindowTextW(dlg, L"Renamed"));
    EXPECT_EQ(Text(dlg), L"Renamed");
    EXPECT_FALSE(Seen(WM_SETTEXT).empty());
}

TEST_F(DialogTest, DialogOnlyLongValuesAreKeptPerDialog) {
    HWND dlg = CreateMainDialog();
    ASSERT_NE(dlg, nullptr);
    SetWindowLongPtrW(dlg, DWLP_USER, 99);
    SetWindowLongPtrW(dlg, GWLP_USERDATA, 7);
    EXPECT_EQ(GetWindowLongPtrW(dlg, DWLP_USER), 99);
    EXPECT_EQ(GetWindowLongPtrW(dlg, GWLP_USERDATA), 7);
    EXPECT_EQ(reinterpret_cast<DLGPROC>(GetWindowLongPtrW(dlg, DWLP_DLGPROC)), &User32Test::RecordingProc);
    // A control is no dialog: the dialog slots do not exist there.
    SetLastError(0);
    EXPECT_EQ(GetWindowLongPtrW(GetDlgItem(dlg, IDC_PORT), DWLP_USER), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_INDEX));
}

TEST_F(DialogTest, ModalDialogIgnoresEscapeAndEnterAndEndsThroughItsCommand) {
    // The dialog procedure plays the operator once the modal loop runs, and
    // ends the dialog only when the quit button is clicked.
    HWND seenDialog = nullptr;
    bool openAfterKeys = false;
    handler = [&](HWND hwnd, UINT message, WPARAM wParam, LPARAM) -> INT_PTR {
        if (message == WM_INITDIALOG) {
            seenDialog = hwnd;
            SetTimer(hwnd, 1, 5000, nullptr);  // a stuck loop still ends
            PostMessageW(hwnd, WM_APP, 0, 0);
            return TRUE;
        }
        if (message == WM_APP) {
            headless::KeyPress(hwnd, VK_ESCAPE);
            SetFocus(GetDlgItem(hwnd, IDC_PORT));
            headless::KeyPress(hwnd, VK_RETURN);
            openAfterKeys = IsWindow(hwnd) && IsWindowVisible(hwnd);
            SetFocus(GetDlgItem(hwnd, IDC_BTN_QUIT));
            headless::KeyPress(hwnd, VK_RETURN);
            return TRUE;
        }
        if (message == WM_COMMAND && wParam == MAKEWPARAM(IDC_BTN_QUIT, BN_CLICKED)) {
            EndDialog(hwnd, 42);
            return TRUE;
        }
        if (message == WM_TIMER)
            EndDialog(hwnd, -7);
        return message == WM_COMMAND;  // IDOK and IDCANCEL are ignored
    };
    TemplateImage image(*FindDialogTemplate(IDD_MAIN_DIALOG));
    INT_PTR result = DialogBoxIndirectParamW(nullptr, image.Get(), nullptr, RecordingProc, 0);
    EXPECT_EQ(result, 42);
    EXPECT_TRUE(openAfterKeys);
    EXPECT_FALSE(IsWindow(seenDialog));
    auto commands = Commands();
    ASSERT_EQ(commands.size(), 3u);
    EXPECT_EQ(LOWORD(commands[0]), IDCANCEL);
    EXPECT_EQ(LOWORD(commands[1]), IDOK);
    EXPECT_EQ(LOWORD(commands[2]), IDC_BTN_QUIT);
}

TEST_F(DialogTest, ModalLoopEndsOnQuitAndLeavesQuitQueued) {
    handler = [](HWND hwnd, UINT message, WPARAM, LPARAM) -> INT_PTR {
        if (message == WM_INITDIALOG)
            PostQuitMessage(3);
        (void)hwnd;
        return message == WM_INITDIALOG;
    };
    TemplateImage image(*FindDialogTemplate(IDD_MAIN_DIALOG));
    EXPECT_EQ(DialogBoxIndirectParamW(nullptr, image.Get(), nullptr, RecordingProc, 0), -1);
    MSG m{};
    ASSERT_TRUE(PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE));
    EXPECT_EQ(m.message, static_cast<UINT>(WM_QUIT));
    EXPECT_EQ(m.wParam, 3u);
}

TEST_F(DialogTest, ModelessEndDialogHidesButKeepsTheWindow) {
    HWND dlg = CreateMainDialog();
    ASSERT_NE(dlg, nullptr);
    EXPECT_TRUE(EndDialog(dlg, 5));
    EXPECT_TRUE(IsWindow(dlg));
    EXPECT_FALSE(IsWindowVisible(dlg));
}

TEST_F(DialogTest, OldTemplateFormAndMenusAreRefused) {
    DLGTEMPLATE old{WS_POPUP, 0, 0, 0, 0, 10, 10};
    std::vector<WORD> words(sizeof old / 2 + 3, 0);
    std::memcpy(words.data(), &old, sizeof old);
    EXPECT_EQ(
        CreateDialogIndirectParamW(nullptr, reinterpret_cast<LPCDLGTEMPLATEW>(words.data()), nullptr, RecordingProc, 0),
        nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));

    TemplateImage image = MakeDialog(L"Box", WS_POPUP, {});
    auto& w = image.Words();
    // The menu field follows the 13 header words: name menu ordinal 5.
    w[13] = 0xFFFF;
    w.insert(w.begin() + 14, 5);
    EXPECT_EQ(CreateFrom(image), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
    EXPECT_EQ(headless::WindowCount(), 0);
}

TEST_F(DialogTest, UnknownControlClassFailsCreationWithoutLeavingWindows) {
    TemplateImage image =
        MakeDialog(L"Box", WS_POPUP, {{5, L"Button", L"ok", WS_CHILD}, {6, L"NoSuchClass", L"", WS_CHILD}});
    EXPECT_EQ(CreateFrom(image), nullptr);
    EXPECT_EQ(headless::WindowCount(), 0);
}

TEST_F(DialogTest, MapDialogRectUsesTheFixedBaseUnits) {
    HWND dlg = CreateMainDialog();
    ASSERT_NE(dlg, nullptr);
    RECT r{4, 8, 8, 16};
    ASSERT_TRUE(MapDialogRect(dlg, &r));
    EXPECT_EQ(r.left, 6);
    EXPECT_EQ(r.top, 13);
    EXPECT_EQ(r.right, 12);
    EXPECT_EQ(r.bottom, 26);
    EXPECT_FALSE(MapDialogRect(GetDlgItem(dlg, IDC_PORT), &r));
}

TEST_F(DialogTest, DestroyingTheDialogDestroysItsControls) {
    HWND dlg = CreateMainDialog();
    ASSERT_NE(dlg, nullptr);
    HWND port = GetDlgItem(dlg, IDC_PORT);
    ASSERT_TRUE(DestroyWindow(dlg));
    EXPECT_FALSE(IsWindow(dlg));
    EXPECT_FALSE(IsWindow(port));
    EXPECT_EQ(GetFocus(), nullptr);
    EXPECT_EQ(Seen(WM_DESTROY).size(), 1u);
}

}  // namespace
}  // namespace user32test
