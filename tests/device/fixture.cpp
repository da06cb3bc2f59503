// The device test fixture.
#include "tests/device/fixture.h"

#include <algorithm>
#include <chrono>
#include <thread>

#include "common/state.h"
#include "device/monitor.h"
#include "framework/afxwin.h"
#include "platform/posix/user32/headless/harness.h"
#include "tools/text/utf8.h"
#include "platform/posix/kernel32/trace_sink.h"
#include "tests/fakes/setupapi.h"

bool WaitReal(const std::function<bool()>& done, unsigned maxMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

std::string Utf8(const std::wstring& text) { return text::WideToUtf8(text); }

std::wstring PortName(const std::wstring& suffix) { return std::wstring(PLATFORM_PORT_NAME_OPENER).substr(1) + suffix; }

std::wstring FriendlyName(const std::wstring& description, const std::wstring& suffix) {
    return description + L" (" + PortName(suffix) + L")";
}

void DeviceTest::SetUp() {
    ResetUpgradeStateForTest();
    fake::ResetFakeSetupApi();
    SetTraceSink([this](const std::string& utf8) {
        std::lock_guard<std::mutex> lock(mutex_);
        trace_.push_back(utf8);
    });
    headless::UseManualClock(true);
}

void DeviceTest::TearDown() {
    EXPECT_TRUE(StopMonitor()) << "presence monitor did not end";
    fake::SetFakeScanHook(nullptr);
    if (dlg_) {
        dlg_->DestroyWindow();
        AfxSetMainWnd(nullptr);
        dlg_.reset();
    }
    headless::UseManualClock(false);
    SetTraceSink(nullptr);
    EXPECT_EQ(fake::FakeOpenDeviceSets(), 0) << "a device set was not destroyed";
    fake::ResetFakeSetupApi();
}

void DeviceTest::OpenDialog(bool keepMonitor) {
    dlg_ = std::make_unique<CVantrelDlg>();
    AfxSetMainWnd(dlg_.get());
    ASSERT_TRUE(dlg_->Create(IDD_MAIN_DIALOG, nullptr));
    if (!keepMonitor) {
        ASSERT_TRUE(StopMonitor()) << "presence monitor did not end";
        ClearTrace();
    }
}

bool DeviceTest::StopMonitor() {
    if (State().g_ListenThread.load() != nullptr || State().g_ListenState.load() != LISTEN_STOP) {
        State().g_ListenState.store(LISTEN_STOP);
        State().g_ListenThread.store(nullptr);
    }
    return WaitReal([] { return AfxRunningThreadCount() == 0; }, 3000);
}

std::vector<std::string> DeviceTest::Trace() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return trace_;
}

int DeviceTest::CountTraced(const std::string& line) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<int>(std::count(trace_.begin(), trace_.end(), line));
}

void DeviceTest::ClearTrace() {
    std::lock_guard<std::mutex> lock(mutex_);
    trace_.clear();
}

std::vector<std::wstring> DeviceTest::PortItems() const {
    std::vector<std::wstring> items;
    const int count = dlg_->m_Port.GetCount();
    for (int i = 0; i < count; ++i) {
        const auto length = dlg_->m_Port.SendMessage(CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
        std::wstring text(static_cast<size_t>(std::max<LRESULT>(length, 0)) + 1, L'\0');
        dlg_->m_Port.SendMessage(CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(text.data()));
        text.resize(std::wcslen(text.c_str()));
        items.push_back(text);
    }
    return items;
}

std::wstring DeviceTest::Text(int id) const {
    wchar_t text[256] = {};
    GetWindowTextW(GetDlgItem(dlg_->GetSafeHwnd(), id), text, 256);
    return text;
}

bool DeviceTest::PumpUntil(const std::function<bool()>& done, unsigned maxMs) {
    return WaitReal(
        [&] {
            headless::PumpMessages();
            return done();
        },
        maxMs);
}

void DeviceTest::PumpFor(unsigned ms) {
    PumpUntil([] { return false; }, ms);
}
