// The main dialog's device handlers: the system's device-change broadcasts,
// the presence monitor's arrival and removal messages, and the opening of
// the port box's list.
//
// The window never registers for device-interface notifications, so the
// arrivals and removals that drive a run come from the presence monitor;
// broadcasts only leave trace lines unless they carry a device interface.
#include <cwchar>

#include "app/VantrelDlg.h"
#include "common/messages.h"
#include "common/state.h"
#include "common/trace.h"
#include "device/lookup.h"
#include "device/monitor.h"

LRESULT CVantrelDlg::OnDeviceChange(WPARAM wParam, LPARAM lParam) {
    const unsigned eventType = static_cast<unsigned>(wParam);
    DebugTrace(L"OnDeviceChange, nEventType = %02XH\r\n", eventType);
    // Arrival and removal broadcasts always carry a header; a null one (a
    // stray or synthetic message) is treated as not a device interface
    // rather than dereferenced.
    const auto* header = reinterpret_cast<const DEV_BROADCAST_HDR*>(lParam);
    const bool isInterface = header != nullptr && header->dbch_devicetype == DBT_DEVTYP_DEVICEINTERFACE;
    switch (eventType) {
        case DBT_DEVICEARRIVAL:
            if (isInterface)
                PostMessage(WM_DEVARRIVAL, 0, 0);
            break;
        case DBT_DEVICEREMOVECOMPLETE:
            if (isInterface)
                PostMessage(WM_DEVREMOVED, 0, 0);
            break;
        default:
            DebugTrace(L"unknown event: %02XH\r\n", eventType);
            break;
    }
    return TRUE;
}

LRESULT CVantrelDlg::OnDevArrival(WPARAM /*wParam*/, LPARAM /*lParam*/) {
    DebugTrace(L"OnDevArrival\r\n");
    DeviceConnected();
    return 1;
}

LRESULT CVantrelDlg::OnDevRemoved(WPARAM /*wParam*/, LPARAM /*lParam*/) {
    DebugTrace(L"OnDevRemoved\r\n");
    UpgradeState& st = State();
    // The run goes on and g_DebugDevFileName keeps the old path: a run that
    // still needs the terminal fails through its own timeouts.
    st.g_DevicePresent = false;
    if (st.g_Upgrading && st.g_PortWaitMode != PORT_WAIT_NONE)
        m_ConnectStatus.SetWindowText(L"Disconnect");
    DebugTrace(L"设备未连接\r\n");
    return 1;
}

void CVantrelDlg::OnDropdownPort() { RefreshPortList(); }
