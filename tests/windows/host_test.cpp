// The command-line runner's Windows host (cli/host_windows.cpp) and the
// import redirection under it, on the real window system (run under Wine by
// CTest). Also checks that the real dialog manager accepts the framework's
// in-memory template of the main dialog.
#include <gtest/gtest.h>

#include <windows.h>
#include <commctrl.h>

#include <atomic>
#include <chrono>
#include <string>
#include <type_traits>
#include <vector>

#include "cli/host.h"
#include "cli/import_hook.h"
#include "framework/afxwin.h"
#include "res/ids.h"

namespace {

// Captures what the process writes to stderr (the handle, not the C stream)
// while it lives, through a pipe.
class StderrCapture {
public:
    StderrCapture() {
        SECURITY_ATTRIBUTES sa{sizeof sa, nullptr, FALSE};
        EXPECT_TRUE(CreatePipe(&read_, &write_, &sa, 1 << 16));
        saved_ = GetStdHandle(STD_ERROR_HANDLE);
        SetStdHandle(STD_ERROR_HANDLE, write_);
    }
    ~StderrCapture() {
        SetStdHandle(STD_ERROR_HANDLE, saved_);
        CloseHandle(write_);
        CloseHandle(read_);
    }
    std::string Take() {
        std::string out;
        DWORD available = 0;
        while (PeekNamedPipe(read_, nullptr, 0, nullptr, &available, nullptr) && available > 0) {
            std::vector<char> buffer(available);
            DWORD got = 0;
            if (!ReadFile(read_, buffer.data(), available, &got, nullptr))
                break;
            out.append(buffer.data(), got);
        }
        return out;
    }

private:
    HANDLE read_ = nullptr;
    HANDLE write_ = nullptr;
    HANDLE saved_ = nullptr;
};

TEST(HostTrace, WideTraceReachesStderrAsUtf8Unchanged) {
    StderrCapture capture;
    cli::TraceToStderr();
    OutputDebugStringW(L"UpgradeInit\r\n");
    OutputDebugStringW(L"设备查找完毕\r\n");
    EXPECT_EQ(capture.Take(),
              "UpgradeInit\r\n\xE8\xAE\xBE\xE5\xA4\x87\xE6\x9F\xA5\xE6\x89\xBE\xE5\xAE\x8C\xE6\xAF\x95\r\n");
}

TEST(HostTrace, NarrowTraceIsReadAsCodePage936) {
    StderrCapture capture;
    cli::TraceToStderr();
    // "格式1应答错误" in code page 936, as the reply check writes it.
    OutputDebugStringA("\xB8\xF1\xCA\xBD\x31\xD3\xA6\xB4\xF0\xB4\xED\xCE\xF3[07H]\r\n");
    EXPECT_EQ(capture.Take(),
              "\xE6\xA0\xBC\xE5\xBC\x8F"
              "1"
              "\xE5\xBA\x94\xE7\xAD\x94\xE9\x94\x99\xE8\xAF\xAF[07H]\r\n");
}

TEST(HostTrace, SecondCallKeepsOneCopyOfEachLine) {
    StderrCapture capture;
    cli::TraceToStderr();
    cli::TraceToStderr();
    OutputDebugStringW(L"AppInit\r\n");
    EXPECT_EQ(capture.Take(), "AppInit\r\n");
}

DWORD WINAPI FixedTickCount() { return 4242; }
// It goes into the import table as void*: the type, stdcall included, is
// checked here.
static_assert(std::is_same_v<decltype(&FixedTickCount), decltype(&GetTickCount)>);

TEST(ImportHook, FunctionNotImportedIsLeftAlone) {
    EXPECT_EQ(cli::ReplaceImport("kernel32.dll", "NoSuchFunctionAnywhere", reinterpret_cast<void*>(&FixedTickCount)),
              nullptr);
    EXPECT_EQ(cli::ReplaceImport("nosuch.dll", "GetTickCount", reinterpret_cast<void*>(&FixedTickCount)), nullptr);
}

// A call through the import table each time: within one function the
// compiler may load an import's address once and keep it.
__attribute__((noinline)) DWORD TickCountThroughImport() { return GetTickCount(); }

TEST(ImportHook, RedirectsTheExecutablesCallsAndGivesBackTheSystemFunction) {
    void* system = cli::ReplaceImport("KERNEL32.DLL", "GetTickCount", reinterpret_cast<void*>(&FixedTickCount));
    ASSERT_NE(system, nullptr);
    EXPECT_EQ(TickCountThroughImport(), 4242u);
    const auto real = reinterpret_cast<DWORD(WINAPI*)()>(system);
    EXPECT_NE(real(), 4242u);
    EXPECT_EQ(cli::ReplaceImport("kernel32.dll", "GetTickCount", system), reinterpret_cast<void*>(&FixedTickCount));
    EXPECT_NE(TickCountThroughImport(), 4242u);
}

TEST(HostMessageBoxes, AnswerGetsTextAndTypeAndNoBoxIsShown) {
    std::wstring seenText;
    UINT seenType = 0;
    cli::AnswerMessageBoxes([&](const std::wstring& text, UINT type) {
        seenText = text;
        seenType = type;
        return IDYES;
    });
    EXPECT_EQ(MessageBoxW(nullptr, L"Quit?", L"Vantrel", MB_YESNO | MB_ICONQUESTION), IDYES);
    EXPECT_EQ(seenText, L"Quit?");
    EXPECT_EQ(seenType, static_cast<UINT>(MB_YESNO | MB_ICONQUESTION));
    EXPECT_EQ(FindWindowW(L"#32770", L"Vantrel"), nullptr);
    cli::AnswerMessageBoxes([](const std::wstring&, UINT) { return IDNO; });
    EXPECT_EQ(AfxMessageBox(L"STOP?", MB_YESNO, 0), IDNO);
    cli::AnswerMessageBoxes([](const std::wstring&, UINT) { return IDOK; });
}

// A parent window with a static text, a progress bar and a button, as the
// dialog's controls are seen by the runner.
class ControlsTest : public ::testing::Test {
protected:
    static LRESULT CALLBACK ParentProc(HWND h, UINT m, WPARAM w, LPARAM l) {
        if (m == WM_COMMAND) {
            auto* self = reinterpret_cast<ControlsTest*>(GetWindowLongPtrW(h, GWLP_USERDATA));
            if (self)
                self->commands_.push_back(w);
            return 0;
        }
        return DefWindowProcW(h, m, w, l);
    }

    void SetUp() override {
        INITCOMMONCONTROLSEX icc{sizeof icc, ICC_WIN95_CLASSES};
        InitCommonControlsEx(&icc);
        WNDCLASSW wc{};
        wc.lpfnWndProc = &ParentProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"VantrelHostTestParent";
        RegisterClassW(&wc);  // a second registration fails harmlessly
        parent_ = CreateWindowExW(0, L"VantrelHostTestParent", L"parent", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100, nullptr,
                                  nullptr, GetModuleHandleW(nullptr), nullptr);
        ASSERT_NE(parent_, nullptr);
        SetWindowLongPtrW(parent_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
        text_ = CreateWindowExW(0, L"Static", L"connected status", WS_CHILD, 0, 0, 100, 20, parent_,
                                reinterpret_cast<HMENU>(1012), nullptr, nullptr);
        progress_ = CreateWindowExW(0, PROGRESS_CLASSW, L"", WS_CHILD, 0, 20, 100, 10, parent_,
                                    reinterpret_cast<HMENU>(1005), nullptr, nullptr);
        button_ = CreateWindowExW(0, L"Button", L"loader", WS_CHILD | BS_PUSHBUTTON, 0, 30, 50, 20, parent_,
                                  reinterpret_cast<HMENU>(1000), nullptr, nullptr);
        ASSERT_NE(text_, nullptr);
        ASSERT_NE(progress_, nullptr);
        ASSERT_NE(button_, nullptr);
    }
    void TearDown() override {
        cli::WatchControls(nullptr);
        if (parent_)
            DestroyWindow(parent_);
    }

    HWND parent_ = nullptr;
    HWND text_ = nullptr;
    HWND progress_ = nullptr;
    HWND button_ = nullptr;
    std::vector<WPARAM> commands_;
};

TEST_F(ControlsTest, ObserverSeesTextAndProgressAfterTheyChanged) {
    std::vector<std::pair<UINT, std::wstring>> seen;
    cli::WatchControls([&](HWND control, UINT message) {
        wchar_t text[64] = {};
        GetWindowTextW(control, text, 64);
        if (control == progress_)
            swprintf(text, 64, L"%d", static_cast<int>(SendMessageW(progress_, PBM_GETPOS, 0, 0)));
        seen.emplace_back(message, text);
    });
    SetWindowTextW(text_, L"COM5: Open");
    SendMessageW(progress_, PBM_SETRANGE32, 0, 1000);
    SendMessageW(progress_, PBM_SETPOS, 250, 0);
    SendMessageW(progress_, PBM_GETPOS, 0, 0);  // a question changes nothing: not reported
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0], std::make_pair(static_cast<UINT>(WM_SETTEXT), std::wstring(L"COM5: Open")));
    EXPECT_EQ(seen[1].first, static_cast<UINT>(PBM_SETRANGE32));
    EXPECT_EQ(seen[2], std::make_pair(static_cast<UINT>(PBM_SETPOS), std::wstring(L"250")));
    EXPECT_FALSE(IsWindowVisible(parent_));
}

TEST_F(ControlsTest, NothingIsReportedOnceTheObserverIsRemoved) {
    int calls = 0;
    cli::WatchControls([&](HWND, UINT) { ++calls; });
    cli::WatchControls(nullptr);
    SetWindowTextW(text_, L"loading ...");
    EXPECT_EQ(calls, 0);
    wchar_t text[32] = {};
    GetWindowTextW(text_, text, 32);
    EXPECT_STREQ(text, L"loading ...");
}

TEST_F(ControlsTest, ClickReachesTheParentOnlyWhenTheButtonIsEnabled) {
    cli::ClickButton(button_);
    ASSERT_EQ(commands_.size(), 1u);
    EXPECT_EQ(commands_[0], MAKEWPARAM(1000, BN_CLICKED));
    EnableWindow(button_, FALSE);
    cli::ClickButton(button_);
    EXPECT_EQ(commands_.size(), 1u);
}

TEST(HostRunFor, ReturnsFalseAtTheDeadlineWhenNeverDone) {
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(cli::RunFor([] { return false; }, 60));
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    EXPECT_GE(ms, 50);
    EXPECT_LT(ms, 2000);
}

int g_ticks = 0;
// Timer and thread procedures are stdcall on 32-bit Windows, which a lambda is not.
void CALLBACK CountTick(HWND, UINT, UINT_PTR, DWORD) { ++g_ticks; }

TEST(HostRunFor, DispatchesTimerTicksAndReturnsOnceDone) {
    g_ticks = 0;
    const UINT_PTR timer = SetTimer(nullptr, 0, 10, &CountTick);
    ASSERT_NE(timer, 0u);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(cli::RunFor([] { return g_ticks >= 2; }, 5000));
    KillTimer(nullptr, timer);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(3));
}

struct SendJob {
    HWND target;
    std::atomic<bool> sent{false};
};

DWORD WINAPI SendFromWorker(LPVOID p) {
    auto* job = static_cast<SendJob*>(p);
    SendMessageW(job->target, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"after"));
    job->sent = true;
    return 0;
}

TEST(HostRunFor, HandlesMessagesSentFromAnotherThread) {
    HWND target = CreateWindowExW(0, L"Static", L"before", 0, 0, 0, 10, 10, HWND_MESSAGE, nullptr, nullptr, nullptr);
    ASSERT_NE(target, nullptr);
    SendJob job{target};
    HANDLE worker = CreateThread(nullptr, 0, &SendFromWorker, &job, 0, nullptr);
    ASSERT_NE(worker, nullptr);
    EXPECT_TRUE(cli::RunFor([&] { return job.sent.load(); }, 5000));
    WaitForSingleObject(worker, 5000);
    CloseHandle(worker);
    wchar_t text[16] = {};
    GetWindowTextW(target, text, 16);
    EXPECT_STREQ(text, L"after");
    DestroyWindow(target);
}

std::string CauseOf(DWORD error) {
    SetLastError(error);
    return cli::LastPortErrorCause();
}

TEST(HostText, PortErrorNamesTheCodeAndAdvises) {
    const std::string notFound = CauseOf(ERROR_FILE_NOT_FOUND);
    EXPECT_NE(notFound.find("(error 2)"), std::string::npos) << notFound;
    EXPECT_NE(notFound.find("check the port name"), std::string::npos) << notFound;
    const std::string busy = CauseOf(ERROR_ACCESS_DENIED);
    EXPECT_NE(busy.find("in use"), std::string::npos) << busy;
    const std::string unknown = CauseOf(0x20001234);
    EXPECT_NE(unknown.find("error 536875572"), std::string::npos) << unknown;
    EXPECT_EQ(unknown.find(';'), std::string::npos) << unknown;
}

TEST(HostText, TextForAPipeIsUtf8) {
    // Under CTest stdout is a pipe, not a console.
    EXPECT_EQ(cli::Utf8(L"设备打开失败[COM5]"),
              "\xE8\xAE\xBE\xE5\xA4\x87\xE6\x89\x93\xE5\xBC\x80\xE5\xA4\xB1\xE8\xB4\xA5[COM5]");
    EXPECT_EQ(cli::Utf8(L""), "");
}

// The framework's in-memory template, given to the real dialog manager.
class PlainMainDialog : public CDialog {
public:
    PlainMainDialog() : CDialog(IDD_MAIN_DIALOG) {}
};

TEST(WindowsDialog, MainTemplateMakesTheSpecifiedControls) {
    INITCOMMONCONTROLSEX icc{sizeof icc, ICC_WIN95_CLASSES};
    InitCommonControlsEx(&icc);
    PlainMainDialog dlg;
    ASSERT_TRUE(dlg.Create(IDD_MAIN_DIALOG));
    HWND h = dlg.GetSafeHwnd();
    ASSERT_NE(h, nullptr);
    wchar_t text[64] = {};
    GetWindowTextW(h, text, 64);
    EXPECT_STREQ(text, L"Vantrel");
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongW(h, GWL_STYLE)) & WS_SYSMENU, 0u);
    for (int id : {IDC_BTN_LOADER, IDC_BTN_QUIT, IDC_PROGRESS, IDC_CONNECT_STATUS, IDC_PROGRESS_STATUS, IDC_PORT,
                   IDC_PORT_LABEL, IDC_BAUD, IDC_BAUD_LABEL})
        EXPECT_NE(GetDlgItem(h, id), nullptr) << "control " << id;
    GetDlgItemTextW(h, IDC_CONNECT_STATUS, text, 64);
    EXPECT_STREQ(text, L"connected status");
    GetClassNameW(GetDlgItem(h, IDC_PROGRESS), text, 64);
    EXPECT_EQ(lstrcmpiW(text, L"msctls_progress32"), 0);
    // The line speeds from the template's initialisation data, in order.
    HWND baud = GetDlgItem(h, IDC_BAUD);
    ASSERT_EQ(SendMessageW(baud, CB_GETCOUNT, 0, 0), 2);
    SendMessageW(baud, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(text));
    EXPECT_STREQ(text, L"3686400");
    SendMessageW(baud, CB_GETLBTEXT, 1, reinterpret_cast<LPARAM>(text));
    EXPECT_STREQ(text, L"115200");
    dlg.DestroyWindow();
}

}  // namespace
