// The presence monitor thread, AppInit / AppUninit around it, and
// DeviceConnected, which hands a found terminal's port to the run.
//
// g_ListenState is the one field both threads write: the window thread sets
// LISTEN_INIT and LISTEN_STOP, the monitor LISTEN_PRESENT and LISTEN_ABSENT.
// The monitor stores its new state with a compare-and-exchange against the
// value it read after the scan, and only then posts, so a LISTEN_STOP that
// AppUninit writes while a scan runs is never overwritten and no message
// follows it.
#include "device/monitor.h"

#include <cwchar>

#include "app/VantrelDlg.h"
#include "common/messages.h"
#include "common/state.h"
#include "common/trace.h"
#include "device/lookup.h"
#include "engine/run.h"
#include "framework/afxwin.h"
#include "serial/port.h"

namespace {

constexpr DWORD kPollMilliseconds = 50;
// A run waiting for the terminal opens its port this long after it appears,
// giving the terminal's USB stack time to settle.
constexpr int kOpenDelaySeconds = 3;

bool FindAnyTerminal(wchar_t (&path)[kDevFileNameChars]) {
    return FindDevicePort(g_DeviceIdTable[0], path) || FindDevicePort(g_DeviceIdTable[1], path);
}

// "Disconnect" is shown only for runs that chose their port by detection;
// a typed port's status line belongs to the serial link.
void ShowDisconnectIfDetecting() {
    const UpgradeState& st = State();
    if (st.g_Upgrading && st.g_PortWaitMode != PORT_WAIT_NONE)
        MainDialog().m_ConnectStatus.SetWindowText(L"Disconnect");
}

}  // namespace

bool AppInit() {
    DebugTrace(L"AppInit\r\n");
    UpgradeState& st = State();
    st.g_ListenState.store(LISTEN_INIT);
    if (st.g_ListenThread.load() == nullptr) {
        // A failed start leaves the reference null: presence at start is
        // still recorded below, later changes go unnoticed.
        st.g_ListenThread.store(
            AfxBeginThread(MyThreadListenDeviceExist, nullptr, THREAD_PRIORITY_NORMAL, 0, 0, nullptr));
    }
    RefreshPortList();
    MainDialog().m_Baud.SetCurSel(0);
    DeviceConnected();
    return true;
}

void AppUninit() {
    DebugTrace(L"AppUninit\r\n");
    UpgradeState& st = State();
    // Not waited for: the thread sees the stop at its next check and ends,
    // deleting its own thread object.
    st.g_ListenState.store(LISTEN_STOP);
    st.g_ListenThread.store(nullptr);
    st.g_DevicePresent = false;
    ShowDisconnectIfDetecting();
    DebugTrace(L"设备未连接\r\n");
}

void DeviceConnected() {
    DebugTrace(L"DeviceConnected\r\n");
    UpgradeState& st = State();
    if (!FindAnyTerminal(st.g_DebugDevFileName))
        return;
    st.g_DevicePresent = true;
    if (st.g_Upgrading) {
        if (st.g_PortWaitMode != PORT_WAIT_NONE) {
            wchar_t text[kTraceChars];
            // The short name is at most 63 characters, so this never cuts.
            std::swprintf(text, kTraceChars, L"%ls: Connected", PortShortName(st.g_DebugDevFileName).c_str());
            MainDialog().m_ConnectStatus.SetWindowText(text);
        }
        if (st.g_PortWaitMode == PORT_WAIT_WAITING) {
            // Replaces the pending 15-second wait timeout.
            st.g_PortWaitMode = PORT_WAIT_DETECTED;
            StopUpgradeTimer();
            ArmUpgradeTimer(kOpenDelaySeconds, UPG_EVENT_OPEN_PORT);
        }
    }
    DebugTrace(L"设备已连接\r\n");
}

UINT MyThreadListenDeviceExist(LPVOID /*parameter*/) {
    DebugTrace(L"MyThreadListenDeviceExist\r\n");
    std::atomic<int>& listen = State().g_ListenState;
    // The path found is not used: presence alone drives the messages, and
    // DeviceConnected looks the port up again on the window thread.
    wchar_t path[kDevFileNameChars] = {};
    while (listen.load() != LISTEN_STOP) {
        const bool found = FindAnyTerminal(path);
        int seen = listen.load();
        if (seen != LISTEN_STOP) {
            const int next = found ? LISTEN_PRESENT : LISTEN_ABSENT;
            UINT message = 0;
            if (seen == LISTEN_PRESENT && !found)
                message = WM_DEVREMOVED;
            else if (seen == LISTEN_ABSENT && found)
                message = WM_DEVARRIVAL;
            // The first scan after LISTEN_INIT never posts: AppInit's own
            // DeviceConnected established the presence at start.
            const bool stored = next == seen || listen.compare_exchange_strong(seen, next);
            if (stored && message != 0) {
                // A post to a window that is gone fails; nothing to do then.
                PostMessageW(AfxGetMainHwnd(), message, 0, 0);
            }
        }
        if (listen.load() == LISTEN_STOP)
            break;
        Sleep(kPollMilliseconds);
    }
    AfxEndThread(0, TRUE);
}
