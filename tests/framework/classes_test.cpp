// The framework over the Win32 subset: template encoding, initialisation
// data, message routing, exceptions, files, threads and message boxes.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "common/trace.h"
#include "framework/afxwin.h"
#include "framework/dialog_template.h"
#include "platform/posix/user32/headless/harness.h"
#include "platform/posix/kernel32/trace_sink.h"
#include "res/ids.h"

namespace {

bool WaitFor(const std::function<bool()>& done, int ms = 3000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (!done()) {
        if (std::chrono::steady_clock::now() > end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::wstring ReadString(const std::vector<WORD>& t, size_t& i) {
    std::wstring s;
    while (t.at(i) != 0)
        s.push_back(static_cast<wchar_t>(t[i++]));
    ++i;
    return s;
}

DWORD ReadDword(const std::vector<WORD>& t, size_t& i) {
    const DWORD v = t.at(i) | (static_cast<DWORD>(t.at(i + 1)) << 16);
    i += 2;
    return v;
}

// Records message boxes instead of showing them.
struct BoxRecorder {
    struct Box {
        std::wstring text, caption;
        UINT type;
    };
    std::vector<Box> boxes;
    int answer = IDOK;
    BoxRecorder() {
        headless::SetMessageBoxResponder(
            [this](HWND, const std::wstring& text, const std::wstring& caption, UINT type) {
                boxes.push_back({text, caption, type});
                return answer;
            });
    }
    ~BoxRecorder() { headless::SetMessageBoxResponder(nullptr); }
};

std::wstring ExecutableBaseName() {
    char path[4096] = {};
    const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    std::string name = n > 0 ? std::filesystem::path(std::string(path, static_cast<size_t>(n))).stem().string() : "";
    return std::wstring(name.begin(), name.end());
}

}  // namespace

TEST(DialogTemplate, EncodesTheMainDialogAsAnExtendedTemplate) {
    const DialogTemplateData* data = FindDialogTemplate(IDD_MAIN_DIALOG);
    ASSERT_NE(data, nullptr);
    const std::vector<WORD> t = framework::BuildDialogTemplate(*data);
    size_t i = 0;
    EXPECT_EQ(t[i++], 1);       // dlgVer
    EXPECT_EQ(t[i++], 0xFFFF);  // extended
    EXPECT_EQ(ReadDword(t, i), 0u);
    EXPECT_EQ(ReadDword(t, i), 0x00040000u);
    EXPECT_EQ(ReadDword(t, i), 0x90C000C8u);
    EXPECT_EQ(t[i++], 11);
    EXPECT_EQ(static_cast<short>(t[i++]), 0);
    EXPECT_EQ(static_cast<short>(t[i++]), 0);
    EXPECT_EQ(static_cast<short>(t[i++]), 257);
    EXPECT_EQ(static_cast<short>(t[i++]), 148);
    EXPECT_EQ(t[i++], 0);  // menu
    EXPECT_EQ(t[i++], 0);  // class
    EXPECT_EQ(ReadString(t, i), L"Vantrel");
    EXPECT_EQ(t[i++], 8);       // point size
    EXPECT_EQ(t[i++], 0);       // weight
    EXPECT_EQ(t[i++], 0x0100);  // not italic, DEFAULT_CHARSET
    EXPECT_EQ(ReadString(t, i), L"MS Shell Dlg");

    // Every item starts on a DWORD boundary.
    const struct {
        DWORD style;
        DWORD id;
        WORD atom;
        const wchar_t* text;
    } expected[] = {{0x50010000, 1000, 0x80, L"loader"}, {0x50010000, 1004, 0x80, L"Quit"}};
    for (const auto& e : expected) {
        if (i % 2) {
            EXPECT_EQ(t[i++], 0);
        }
        EXPECT_EQ(ReadDword(t, i), 0u);  // helpID
        EXPECT_EQ(ReadDword(t, i), 0u);  // exStyle
        EXPECT_EQ(ReadDword(t, i), e.style);
        i += 4;  // rectangle
        EXPECT_EQ(ReadDword(t, i), e.id);
        EXPECT_EQ(t[i++], 0xFFFF);
        EXPECT_EQ(t[i++], e.atom);
        EXPECT_EQ(ReadString(t, i), e.text);
        EXPECT_EQ(t[i++], 0);  // no creation data
    }
}

TEST(DialogTemplate, WritesCharactersOutsideTheBasicPlaneAsSurrogatePairs) {
    const DialogItemData items[] = {{7, L"Static", L"\U0001F600", 0x50000000, 0, 0, 0, 10, 10}};
    const DialogTemplateData data = {1, L"x", L"f", 8, 0, 0, 1, DS_SETFONT, 0, 0, 0, 10, 10, items, {}};
    const std::vector<WORD> t = framework::BuildDialogTemplate(data);
    bool found = false;
    for (size_t i = 0; i + 1 < t.size(); ++i)
        if (t[i] == 0xD83D && t[i + 1] == 0xDE00)
            found = true;
    EXPECT_TRUE(found);
}

class FrameworkDialogTest : public ::testing::Test {
protected:
    void SetUp() override { headless::UseManualClock(true); }
};

// A dialog with a small message map, to see what reaches which handler.
class ProbeDialog : public CDialog {
public:
    ProbeDialog() : CDialog(IDD_MAIN_DIALOG) {}
    std::vector<std::string> calls;
    bool throwOnClick = false;

    void OnOK() override { calls.push_back("OnOK"); }
    void OnCancel() override { calls.push_back("OnCancel"); }
    void OnLoader() {
        calls.push_back("OnLoader");
        if (throwOnClick)
            throw CFileException(CFileException::fileNotFound, ERROR_FILE_NOT_FOUND, L"upgrader.asc");
    }
    void OnDrop() { calls.push_back("OnDrop"); }
    LRESULT OnPrivate(WPARAM w, LPARAM l) {
        calls.push_back("OnPrivate " + std::to_string(w) + " " + std::to_string(l));
        return 42;
    }
    void OnTimer(UINT_PTR id) {
        calls.push_back("OnTimer " + std::to_string(id));
        CDialog::OnTimer(id);
    }

    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(ProbeDialog, CDialog)
ON_BN_CLICKED(IDC_BTN_LOADER, &ProbeDialog::OnLoader)
ON_CBN_DROPDOWN(IDC_PORT, &ProbeDialog::OnDrop)
ON_MESSAGE(WM_USER + 77, &ProbeDialog::OnPrivate)
ON_WM_TIMER()
END_MESSAGE_MAP()

TEST_F(FrameworkDialogTest, AppliesInitialisationDataBeforeTheDialogIsUsed) {
    ProbeDialog dlg;
    ASSERT_TRUE(dlg.Create(IDD_MAIN_DIALOG));
    HWND baud = GetDlgItem(dlg.m_hWnd, IDC_BAUD);
    ASSERT_EQ(SendMessageW(baud, CB_GETCOUNT, 0, 0), 2);
    wchar_t text[32] = {};
    SendMessageW(baud, CB_GETLBTEXT, 0, reinterpret_cast<LPARAM>(text));
    EXPECT_STREQ(text, L"3686400");
    SendMessageW(baud, CB_GETLBTEXT, 1, reinterpret_cast<LPARAM>(text));
    EXPECT_STREQ(text, L"115200");
    dlg.DestroyWindow();
}

TEST_F(FrameworkDialogTest, DamagedInitialisationDataAddsNothingPastTheDamage) {
    const BYTE damaged[] = {0xF8, 0x03, 0x03, 0x04, 0x04, 0x00, 0x00, 0x00, 'a',  'b', 'c',
                            0x00, 0xF8, 0x03, 0x03, 0x04, 0x50, 0x00, 0x00, 0x00, 'x'};
    const DialogItemData items[] = {{1016, L"ComboBox", L"", 0x50210003, 0, 0, 0, 50, 50}};
    const DialogTemplateData data = {5,   L"t", L"MS Shell Dlg", 8,      0, 0, 1, 0x90C000C8, 0, 0, 0,
                                     100, 100,  items,           damaged};
    const std::vector<WORD> bytes = framework::BuildDialogTemplate(data);
    HWND dlg = CreateDialogIndirectParamW(
        nullptr, reinterpret_cast<LPCDLGTEMPLATEW>(bytes.data()), nullptr,
        [](HWND, UINT, WPARAM, LPARAM) -> INT_PTR { return FALSE; }, 0);
    ASSERT_NE(dlg, nullptr);
    EXPECT_FALSE(framework::ApplyDialogInit(dlg, data));
    EXPECT_EQ(SendDlgItemMessageW(dlg, 1016, CB_GETCOUNT, 0, 0), 1);
    DestroyWindow(dlg);
}

TEST_F(FrameworkDialogTest, RoutesCommandsByControlAndNotificationCode) {
    ProbeDialog dlg;
    ASSERT_TRUE(dlg.Create(IDD_MAIN_DIALOG));
    HWND h = dlg.m_hWnd;
    SendMessageW(h, WM_COMMAND, MAKEWPARAM(IDC_BTN_LOADER, BN_CLICKED), 0);
    SendMessageW(h, WM_COMMAND, MAKEWPARAM(IDC_PORT, CBN_SELCHANGE), 0);  // not in the map
    SendMessageW(h, WM_COMMAND, MAKEWPARAM(IDC_PORT, CBN_DROPDOWN), 0);
    SendMessageW(h, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);      // CDialog's map, virtual OnOK
    SendMessageW(h, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED), 0);  // and OnCancel
    const LRESULT r = SendMessageW(h, WM_USER + 77, 5, 6);
    EXPECT_EQ(r, 42);  // the dialog manager gives back DWLP_MSGRESULT
    EXPECT_EQ(dlg.calls, (std::vector<std::string>{"OnLoader", "OnDrop", "OnOK", "OnCancel", "OnPrivate 5 6"}));
    EXPECT_TRUE(IsWindow(h));  // our OnOK and OnCancel ended nothing
    dlg.DestroyWindow();
}

TEST_F(FrameworkDialogTest, TimerTicksReachTheMapAndTheDefaultProcessing) {
    ProbeDialog dlg;
    ASSERT_TRUE(dlg.Create(IDD_MAIN_DIALOG));
    dlg.SetTimer(9, 100);
    headless::AdvanceClock(100);
    headless::PumpMessages();
    headless::AdvanceClock(100);
    headless::PumpMessages();
    EXPECT_EQ(dlg.calls, (std::vector<std::string>{"OnTimer 9", "OnTimer 9"}));
    dlg.KillTimer(9);
    dlg.DestroyWindow();
}

TEST_F(FrameworkDialogTest, ReportsAFrameworkExceptionFromAHandlerAndGoesOn) {
    BoxRecorder boxes;
    ProbeDialog dlg;
    ASSERT_TRUE(dlg.Create(IDD_MAIN_DIALOG));
    dlg.throwOnClick = true;
    SendMessageW(dlg.m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_BTN_LOADER, BN_CLICKED), 0);
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_NE(boxes.boxes[0].text.find(L"upgrader.asc"), std::wstring::npos);
    dlg.throwOnClick = false;
    SendMessageW(dlg.m_hWnd, WM_COMMAND, MAKEWPARAM(IDC_BTN_LOADER, BN_CLICKED), 0);
    EXPECT_EQ(dlg.calls.size(), 2u);
    dlg.DestroyWindow();
}

// Ends itself from a posted command, as the quit command ends the tool.
class EndingDialog : public CDialog {
public:
    EndingDialog() : CDialog(IDD_MAIN_DIALOG) {}
    BOOL OnInitDialog() override {
        CDialog::OnInitDialog();
        PostMessage(WM_COMMAND, MAKEWPARAM(IDC_BTN_QUIT, BN_CLICKED), 0);
        return TRUE;
    }
    void OnCancel() override {}  // Esc must not end it
    void OnQuit() { EndDialog(5); }
    DECLARE_MESSAGE_MAP()
};

BEGIN_MESSAGE_MAP(EndingDialog, CDialog)
ON_BN_CLICKED(IDC_BTN_QUIT, &EndingDialog::OnQuit)
END_MESSAGE_MAP()

TEST_F(FrameworkDialogTest, DoModalRunsUntilEndDialogAndReturnsItsResult) {
    EndingDialog dlg;
    EXPECT_EQ(dlg.DoModal(), 5);
    EXPECT_EQ(dlg.m_hWnd.load(), nullptr);  // the window is gone and the wrapper knows it
}

// Message boxes: the application's name as caption, the default icons.
TEST(AfxMessageBoxTest, CaptionIsTheExecutableNameAndMbOkGetsTheExclamationIcon) {
    BoxRecorder boxes;
    EXPECT_EQ(AfxMessageBox(L"hello"), IDOK);
    boxes.answer = IDYES;
    EXPECT_EQ(AfxMessageBox(L"STOP?", MB_YESNO), IDYES);
    ASSERT_EQ(boxes.boxes.size(), 2u);
    EXPECT_EQ(boxes.boxes[0].caption, ExecutableBaseName());
    EXPECT_EQ(boxes.boxes[0].type, static_cast<UINT>(MB_OK | MB_ICONEXCLAMATION));
    EXPECT_EQ(boxes.boxes[1].type, static_cast<UINT>(MB_YESNO | MB_ICONQUESTION));
}

TEST(AfxMessageBoxTest, AnApplicationNamedInItsConstructorCaptionsTheBoxes) {
    BoxRecorder boxes;
    {
        CWinApp app(L"Renamed");
        AfxMessageBox(L"x", MB_OK | MB_ICONHAND);
    }
    ASSERT_EQ(boxes.boxes.size(), 1u);
    EXPECT_EQ(boxes.boxes[0].caption, L"Renamed");
    EXPECT_EQ(boxes.boxes[0].type, static_cast<UINT>(MB_OK | MB_ICONHAND));
}

// Files.
class CFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        path_ = std::filesystem::temp_directory_path() / ("vantrel-cfile-" + std::to_string(getpid()));
        std::ofstream(path_, std::ios::binary) << "0123456789";
        wpath_ = path_.wstring();
    }
    void TearDown() override { std::filesystem::remove(path_); }
    std::filesystem::path path_;
    std::wstring wpath_;
};

TEST_F(CFileTest, ReadsLengthAndBytesAfterASeek) {
    CFile file;
    ASSERT_TRUE(file.Open(wpath_.c_str(), CFile::modeRead | CFile::shareExclusive | CFile::typeBinary));
    EXPECT_EQ(file.GetLength(), 10u);
    file.Seek(4, CFile::begin);
    char buf[16] = {};
    EXPECT_EQ(file.Read(buf, sizeof buf), 6u);
    EXPECT_STREQ(buf, "456789");
    file.Close();
}

TEST_F(CFileTest, AnExclusiveOpenKeepsOthersOut) {
    CFile first;
    ASSERT_TRUE(first.Open(wpath_.c_str(), CFile::modeRead | CFile::shareExclusive));
    CFile second;
    CFileException error;
    EXPECT_FALSE(second.Open(wpath_.c_str(), CFile::modeRead | CFile::shareExclusive, &error));
    EXPECT_NE(error.m_cause, CFileException::none);
    first.Close();
    EXPECT_TRUE(second.Open(wpath_.c_str(), CFile::modeRead | CFile::shareExclusive));
}

TEST_F(CFileTest, AMissingFileFailsWithItsCauseAndTheConstructorThrows) {
    const std::wstring missing = wpath_ + L".missing";
    CFile file;
    CFileException error;
    EXPECT_FALSE(file.Open(missing.c_str(), CFile::modeRead, &error));
    EXPECT_EQ(error.m_cause, CFileException::fileNotFound);
    EXPECT_THROW(CFile(missing.c_str(), CFile::modeRead), CFileException);
}

// Threads.
namespace {
std::atomic<int> g_released{0};
struct Releases {
    ~Releases() { g_released.fetch_add(1); }
};
std::atomic<int> g_seenParam{0};
UINT EndsItself(LPVOID param) {
    Releases r;
    g_seenParam = *static_cast<int*>(param);
    AfxEndThread(0);
}
}  // namespace

TEST(AfxThreadTest, AThreadThatEndsItselfUnwindsAndIsCounted) {
    static int param = 17;
    g_released = 0;
    CWinThread* t = AfxBeginThread(EndsItself, &param);
    ASSERT_NE(t, nullptr);
    EXPECT_TRUE(WaitFor([] { return AfxRunningThreadCount() == 0; }));
    EXPECT_EQ(g_seenParam.load(), 17);
    EXPECT_EQ(g_released.load(), 1);
}

TEST(AfxThreadTest, SuspendedStartsAreRefusedNotFaked) {
    EXPECT_EQ(AfxBeginThread(EndsItself, nullptr, THREAD_PRIORITY_NORMAL, 0, CREATE_SUSPENDED), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
}
