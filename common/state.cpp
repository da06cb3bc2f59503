// The one UpgradeState of the process.
#include "common/state.h"

#include <cstring>

#include "framework/afxwin.h"

namespace {
UpgradeState g_state;
}

UpgradeState& State() { return g_state; }

HWND MainWindow() { return AfxGetMainHwnd(); }

void ResetUpgradeStateForTest() {
    UpgradeState& s = g_state;
    s.g_PortHandle = nullptr;
    s.g_PortOpen = false;
    std::memset(s.g_DebugDevFileName, 0, sizeof s.g_DebugDevFileName);
    s.g_DevicePresent = false;
    s.g_Upgrading = false;
    s.g_PortWaitMode = PORT_WAIT_NONE;
    s.g_FirstOpen = false;
    s.upg_event = 0;
    s.g_TimerSeconds = 0;
    s.g_LastCmd = -1;
    std::memset(s.g_RxBuffer, 0, sizeof s.g_RxBuffer);
    s.g_RxCount = 0;
    s.script = UpgradeScript{};
    s.g_ListenState = LISTEN_STOP;
    s.g_ReadThread = nullptr;
    s.g_ListenThread = nullptr;
}
