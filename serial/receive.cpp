// The receive watcher DebugReadThread and the dialog's WM_DEBUGREAD handler.
//
// The watcher waits for input, one bounded wait per pass (serial/port_io.h:
// ClearCommError's own wait on Linux, WaitCommEvent on Windows), and sends
// (not posts) a notification whenever bytes wait, so at most one
// WM_DEBUGREAD is in flight and the watcher looks again only after the
// window has read. Every read of the port happens on the window thread.
#include "serial/receive.h"

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "app/VantrelDlg.h"
#include "common/messages.h"
#include "common/state.h"
#include "common/trace.h"
#include "engine/run.h"
#include "serial/port_io.h"

namespace {

// Set when the process ends: pending notifications are then answered
// without touching the port or the engine, which are going away.
std::atomic<bool> g_exiting{false};
std::atomic<bool> g_exitGuardInstalled{false};
std::atomic<WatcherLeavingHook> g_leavingHook{nullptr};

constexpr DWORD kExitWaitMs = 1000;

// Process end with the port open: the watcher would go on polling objects
// that static destruction is tearing down. Stop its loop and let it leave
// first. atexit handlers registered after an object was built run before
// that object is destroyed, and the guard is installed after the port's
// first open.
void StopWatcherAtExit() {
    g_exiting = true;
    State().g_PortOpen = false;
    if (State().g_ReadThread.load() == nullptr)
        return;
    const int before = AfxRunningThreadCount();
    if (!WaitForLeavingWatcher(kExitWaitMs))
        return;
    // The watcher has cleared g_ReadThread; give it the moment it needs to
    // finish ending its thread.
    const DWORD start = GetTickCount();
    while (AfxRunningThreadCount() >= before && before > 0 && GetTickCount() - start < 200)
        Sleep(1);
}

}  // namespace

UINT DebugReadThread(LPVOID) {
    UpgradeState& s = State();
    DebugTrace(L"DebugReadThread\r\n");
    serial::InputWait input;
    while (s.g_PortOpen) {
        DWORD queued = 0;
        // A failing port (handle closed or replaced, terminal unplugged) just
        // starts the next pass; the wait has paused before it fails.
        if (!input.Wait(s.g_PortHandle.load(), queued))
            continue;
        if (queued != 0) {
            // Returns once the window thread has read and the engine has run.
            (void)SendMessageW(AfxGetMainHwnd(), WM_DEBUGREAD, static_cast<WPARAM>(queued), 0);
        }
    }
    if (WatcherLeavingHook hook = g_leavingHook.load())
        hook();
    s.g_ReadThread = nullptr;
    AfxEndThread(0);
}

bool WaitForLeavingWatcher(DWORD maxMs) {
    UpgradeState& s = State();
    if (s.g_ReadThread.load() == nullptr)
        return true;
    if (s.g_PortOpen)
        return false;  // the watcher is running, not leaving
    const DWORD start = GetTickCount();
    while (s.g_ReadThread.load() != nullptr) {
        if (GetTickCount() - start >= maxMs) {
            DebugTrace(L"receive watcher did not end within %d ms\r\n", static_cast<int>(maxMs));
            return false;
        }
        // Handles the messages other threads have sent to this thread's
        // windows, the watcher's WM_DEBUGREAD among them; posted messages
        // stay queued for the message loop.
        MSG msg;
        (void)PeekMessageW(&msg, nullptr, 0, 0, PM_NOREMOVE);
        Sleep(1);
    }
    return true;
}

void StartReceiveWatcher() {
    UpgradeState& s = State();
    if (s.g_ReadThread.load() != nullptr)
        return;
    if (!g_exitGuardInstalled.exchange(true))
        std::atexit(StopWatcherAtExit);
    // The result is not examined further: without a watcher g_ReadThread
    // stays null and the next open tries again.
    s.g_ReadThread = AfxBeginThread(DebugReadThread, nullptr, THREAD_PRIORITY_NORMAL, 0, 0, nullptr);
}

void SetWatcherLeavingHookForTest(WatcherLeavingHook hook) { g_leavingHook = hook; }

LRESULT CVantrelDlg::OnDebugRead(WPARAM wParam, LPARAM) {
    if (g_exiting)
        return 1;
    UpgradeState& s = State();
    const auto announced = static_cast<DWORD>(wParam);
    auto chunk = std::make_unique<BYTE[]>(announced);
    DWORD got = 0;
    // Only the count read matters: a failed read, or one that timed out,
    // counts as 0 bytes.
    (void)serial::ReadPort(s.g_PortHandle.load(), chunk.get(), announced, &got);
    if (got > announced)
        got = 0;  // a count the buffer cannot hold is no data
    if (got == 0 || !s.g_Upgrading)
        return 1;  // read and dropped while idle

    // A chunk is taken only whole and only while the count stays below the
    // buffer's size, so the buffer holds at most 2047 bytes.
    if (static_cast<uint64_t>(s.g_RxCount) + got < kRxBufferBytes) {
        std::memcpy(s.g_RxBuffer + s.g_RxCount, chunk.get(), got);
        s.g_RxCount += got;
    }
    RunUpgradeEvent(UPG_EVENT_REPLY);
    return 1;
}
