// The dialog-based fuzzers' shared process setup and per-input reset.
//
// The close's settle pause (50 ms in CloseDebugDevice) is shortened to 1 ms
// here through the linker's --wrap of Sleep: every run closes the port at
// least once, and the real pause would hold a fuzzer to about twenty
// executions a second. Handles are never reused and a call in flight keeps
// its object alive (platform/posix/kernel32/handle.h), so a watcher still between two
// passes cannot reach a freed object in the shorter pause either.
#include "fuzz/harness.h"

#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <memory>
#include <thread>

#include "common/state.h"
#include "device/monitor.h"
#include "engine/outcome.h"
#include "engine/run.h"
#include "framework/afxwin.h"
#include "platform/posix/user32/headless/harness.h"
#include "platform/posix/kernel32/trace_sink.h"
#include "serial/port.h"
#include "tests/fakes/comm.h"
#include "tests/fakes/setupapi.h"

extern "C" void __real__Z5Sleepj(DWORD ms);
extern "C" void __wrap__Z5Sleepj(DWORD ms) { __real__Z5Sleepj(ms > 1 ? 1 : ms); }

namespace fuzzharness {

namespace {

std::atomic<int> g_ticks{0};
std::function<int(const std::wstring&)> g_boxHook;
std::filesystem::path g_dir;

bool WaitReal(const std::function<bool()>& done, unsigned maxMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
    while (!done()) {
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::yield();
    }
    return true;
}

void RemoveDir() {
    std::error_code ignored;
    std::filesystem::current_path("/", ignored);
    std::filesystem::remove_all(g_dir, ignored);
}

CVantrelDlg* Create() {
    char pattern[] = "/tmp/vantrel-fuzz-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
        Fail("cannot create the working directory");
    g_dir = pattern;
    std::filesystem::current_path(g_dir);
    std::atexit(RemoveDir);

    // Only the timer's trace line is of interest; the rest is dropped
    // without formatting it again.
    SetTraceSink([](const std::string& utf8) {
        if (utf8.rfind("upgrade_timer_process", 0) == 0)
            ++g_ticks;
    });
    headless::UseManualClock(true);
    headless::SetMessageBoxResponder(
        [](HWND, const std::wstring& text, const std::wstring&, UINT) { return g_boxHook ? g_boxHook(text) : IDOK; });
    fake::ResetFakeSetupApi();
    ResetUpgradeStateForTest();

    // Lives to the end of the process: libFuzzer never returns from its loop
    // in a way that would let the dialog be destroyed in order.
    static CVantrelDlg dlg;
    AfxSetMainWnd(&dlg);
    if (!dlg.Create(IDD_MAIN_DIALOG, nullptr))
        Fail("the main dialog cannot be created");
    // The presence monitor would poll the device set in real time; the
    // fuzzers want the receive watcher as the only other thread.
    AppUninit();
    if (!WaitReal([] { return AfxRunningThreadCount() == 0; }, 5000))
        Fail("the presence monitor did not end");
    return &dlg;
}

}  // namespace

CVantrelDlg& Dialog() {
    static CVantrelDlg* dlg = Create();
    return *dlg;
}

void Fail(const std::string& what) {
    std::fprintf(stderr, "INVARIANT BROKEN: %s\n", what.c_str());
    std::fflush(stderr);
    std::abort();
}

bool PumpUntil(const std::function<bool()>& done, unsigned maxMs) {
    return WaitReal(
        [&] {
            headless::PumpMessages();
            return done();
        },
        maxMs);
}

void ResetBetweenInputs() {
    Dialog();
    if (State().g_Upgrading)
        RunUpgradeEvent(UPG_EVENT_STOP);
    UpgradeClosePort();
    if (!PumpUntil([] { return State().g_ReadThread.load() == nullptr; }, 5000))
        Fail("the receive watcher did not leave after the port was closed");
    if (!WaitReal([] { return AfxRunningThreadCount() == 0; }, 5000))
        Fail("a worker thread did not end");
    headless::PumpMessages();
    ResetUpgradeStateForTest();
    SetRunOutcome(RunOutcome::None);
    fakecomm::Reset();
    fake::ResetFakeSetupApi();
    g_boxHook = nullptr;
}

void WriteScript(const unsigned char* data, size_t size) {
    std::ofstream out(g_dir / "upgrader.asc", std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    if (!out.good())
        Fail("cannot write upgrader.asc");
}

int UpgradeTicks() { return g_ticks.load(); }

std::wstring Text(int id) {
    wchar_t text[256] = {};
    GetWindowTextW(GetDlgItem(Dialog().GetSafeHwnd(), id), text, 256);
    return text;
}

bool Enabled(int id) { return IsWindowEnabled(GetDlgItem(Dialog().GetSafeHwnd(), id)) != FALSE; }

void SetBoxHook(std::function<int(const std::wstring&)> hook) { g_boxHook = std::move(hook); }

}  // namespace fuzzharness
