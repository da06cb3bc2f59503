// The dialog fixture shared by the engine and serial tests.
#include "tests/engine/dialog_fixture.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <random>
#include <thread>

#include "common/state.h"
#include "device/monitor.h"
#include "engine/outcome.h"
#include "engine/run.h"
#include "framework/afxwin.h"
#include "platform/posix/user32/headless/harness.h"
#include "tools/text/utf8.h"
#include "platform/posix/kernel32/trace_sink.h"
#include "serial/port.h"
#include "serial/receive.h"

namespace {

bool WaitReal(const std::function<bool()>& done, unsigned maxMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

}  // namespace

std::string Utf8(const std::wstring& text) { return text::WideToUtf8(text); }

void DialogFixture::SetUp() {
    ResetUpgradeStateForTest();
    SetRunOutcome(RunOutcome::None);

    std::random_device random;
    oldDir_ = std::filesystem::current_path();
    dir_ = std::filesystem::temp_directory_path() /
           ("vantrel-test-" + std::to_string(getpid()) + "-" + std::to_string(random()));
    std::filesystem::create_directories(dir_);
    std::filesystem::current_path(dir_);

    SetTraceSink([this](const std::string& utf8) {
        std::lock_guard<std::mutex> lock(mutex_);
        trace_.push_back(utf8);
    });
    headless::UseManualClock(true);
    headless::SetMessageBoxResponder([this](HWND, const std::wstring& text, const std::wstring& caption, UINT type) {
        ShownBox box{text, caption, type, Enabled(IDC_BTN_LOADER)};
        {
            std::lock_guard<std::mutex> lock(mutex_);
            boxes_.push_back(box);
        }
        return (type & MB_TYPEMASK) == MB_YESNO ? IDNO : IDOK;
    });

    dlg_ = std::make_unique<CVantrelDlg>();
    AfxSetMainWnd(dlg_.get());
    ASSERT_TRUE(dlg_->Create(IDD_MAIN_DIALOG, nullptr));
    // Only the receive watcher should run in these tests.
    AppUninit();
    ASSERT_TRUE(WaitReal([] { return AfxRunningThreadCount() == 0; }, 3000)) << "presence monitor did not end";
    ClearTrace();
}

void DialogFixture::CloseEverything() {
    if (!dlg_)
        return;
    if (State().g_Upgrading)
        RunUpgradeEvent(UPG_EVENT_STOP);
    UpgradeClosePort();
    EXPECT_TRUE(PumpUntil([] { return State().g_ReadThread.load() == nullptr; }, 3000)) << "watcher did not leave";
    EXPECT_TRUE(WaitReal([] { return AfxRunningThreadCount() == 0; }, 3000));
}

void DialogFixture::TearDown() {
    CloseEverything();
    if (dlg_) {
        dlg_->DestroyWindow();
        AfxSetMainWnd(nullptr);
        dlg_.reset();
    }
    headless::SetMessageBoxResponder(nullptr);
    SetTraceSink(nullptr);
    std::error_code ignored;
    std::filesystem::current_path(oldDir_, ignored);
    std::filesystem::remove_all(dir_, ignored);
}

std::vector<std::string> DialogFixture::Trace() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return trace_;
}

bool DialogFixture::Traced(const std::string& line) const { return CountTraced(line) > 0; }

int DialogFixture::CountTraced(const std::string& line) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(std::count(trace_.begin(), trace_.end(), line));
}

void DialogFixture::ClearTrace() {
    std::lock_guard<std::mutex> lock(mutex_);
    trace_.clear();
}

std::vector<ShownBox> DialogFixture::Boxes() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return boxes_;
}

std::wstring DialogFixture::Text(int id) const {
    wchar_t text[256] = {};
    GetWindowTextW(GetDlgItem(dlg_->GetSafeHwnd(), id), text, 256);
    return text;
}

bool DialogFixture::Enabled(int id) const { return IsWindowEnabled(GetDlgItem(dlg_->GetSafeHwnd(), id)) != FALSE; }

int DialogFixture::ProgressPos() const { return dlg_->m_Progress.GetPos(); }

int DialogFixture::ProgressHigh() const {
    return static_cast<int>(dlg_->m_Progress.SendMessage(PBM_GETRANGE, FALSE, 0));
}

void DialogFixture::WriteScript(const std::vector<unsigned char>& bytes) const {
    std::ofstream out(dir_ / "upgrader.asc", std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good());
}

void DialogFixture::Pump() { headless::PumpMessages(); }

bool DialogFixture::PumpUntil(const std::function<bool()>& done, unsigned maxMs) {
    return WaitReal(
        [&] {
            headless::PumpMessages();
            return done();
        },
        maxMs);
}

void DialogFixture::Advance(unsigned ms) {
    headless::AdvanceClock(ms);
    headless::PumpMessages();
}

ScriptBuilder::ScriptBuilder() : bytes_(32, 0xA5) {}

ScriptBuilder& ScriptBuilder::Record(unsigned char command, const std::vector<unsigned char>& payload) {
    bytes_.push_back(command);
    bytes_.push_back(static_cast<unsigned char>(payload.size() >> 8));
    bytes_.push_back(static_cast<unsigned char>(payload.size() & 0xFF));
    bytes_.insert(bytes_.end(), payload.begin(), payload.end());
    return *this;
}

ScriptBuilder& ScriptBuilder::Raw(const std::vector<unsigned char>& bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
}

std::vector<unsigned char> Format1Reply(unsigned char status) {
    return {0x02, 0x00, 0x0C, 0x81, 0x11, 0x22, status, 0x33, 0x44, 0x55, 0x66, 0x03};
}

std::vector<unsigned char> Format2Reply(unsigned char mark) { return {0x55, 0x66, 0x77, mark, 0x88}; }
