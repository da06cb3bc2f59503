// Port open, configure, close and write for the run engine.
//
// Everything here runs on the window thread and blocks it: the open with
// its configuration, a write for up to 10 ms per byte plus a second, and a
// close for at least 50 ms. The only other thread that touches the port is
// the receive watcher (serial/receive.cpp), which reads g_PortOpen and
// g_PortHandle at every pass.
#include "serial/port.h"

#include "app/VantrelDlg.h"
#include "common/state.h"
#include "common/trace.h"
#include "serial/port_io.h"
#include "serial/receive.h"

namespace {

constexpr DWORD kQueueBytes = 1024;
// Between clearing g_PortOpen and closing the handle: a watcher between two
// passes sees the flag cleared and leaves before the handle goes away.
constexpr DWORD kCloseSettleMs = 50;
// How long an open waits for the previous watcher to leave.
constexpr DWORD kWatcherLeaveMs = 2000;

}  // namespace

PortSettings DefaultPortSettings(DWORD baudRate) {
    return PortSettings{baudRate, 8, ONESTOPBIT, NOPARITY, 100, 10, 1000, 10, 1000};
}

bool UpgradeOpenPort() {
    DebugTrace(L"UpgradeOpenPort\r\n");
    // On failure the connection status is left alone: UpgradeFail reports it.
    if (!OpenDebugDevice())
        return false;
    const std::wstring status = PortShortName(State().g_DebugDevFileName) + L": Open";
    MainDialog().m_ConnectStatus.SetWindowText(status.c_str());
    DebugTrace(L"串口打开成功\r\n");
    return true;
}

void UpgradeClosePort() {
    DebugTrace(L"UpgradeClosePort\r\n");
    CloseDebugDevice();
}

bool OpenDebugDevice() {
    UpgradeState& s = State();
    DebugTrace(L"OpenDebugDevice\r\n");
    // g_PortOpen is not touched: a watcher that runs goes on and polls the
    // new handle from its next pass.
    if (s.g_PortHandle.load() != nullptr)
        CloseDevice();
    if (!s.g_PortOpen)
        (void)WaitForLeavingWatcher(kWatcherLeaveMs);

    s.g_PortHandle = OpenDevice();
    if (s.g_PortHandle.load() == nullptr)
        return false;

    DWORD baudRate = 0;
    switch (MainDialog().m_Baud.GetCurSel()) {
        case 0:
            baudRate = 3686400;
            break;
        case 1:
            baudRate = 115200;
            break;
        default:
            // The new handle stays open; the caller's failure path closes it.
            DebugTrace(L"BAUDRATE ERROR\r\n");
            return false;
    }
    if (!ConfigDevice(DefaultPortSettings(baudRate))) {
        CloseDevice();
        return false;
    }
    s.g_PortOpen = true;
    // A watcher that cannot be started leaves the port open without one;
    // the run's reply timeouts then decide the run.
    StartReceiveWatcher();
    return true;
}

void CloseDebugDevice() {
    UpgradeState& s = State();
    DebugTrace(L"CloseDebugDevice\r\n");
    s.g_PortOpen = false;
    Sleep(kCloseSettleMs);
    if (s.g_PortHandle.load() != nullptr)
        CloseDevice();
}

HANDLE OpenDevice() {
    UpgradeState& s = State();
    DebugTrace(L"OpenDevice\r\n");
    HANDLE handle = serial::OpenPortHandle(s.g_DebugDevFileName);
    if (handle == INVALID_HANDLE_VALUE) {
        DebugTrace(L"通讯口[%ls]打开失败\r\n", s.g_DebugDevFileName);
        return nullptr;
    }
    DebugTrace(L"设备已打开\r\n");
    return handle;
}

bool ConfigDevice(const PortSettings& settings) {
    HANDLE handle = State().g_PortHandle.load();
    DebugTrace(L"ConfigDevice\r\n");
    DebugTrace(L"波特率设置\r\n");
    DCB dcb{};
    dcb.DCBlength = sizeof dcb;
    if (!GetCommState(handle, &dcb))
        return false;
    // Only these four change; flow control, modem lines and the special
    // characters stay as the driver has them.
    dcb.BaudRate = settings.baudRate;
    dcb.ByteSize = settings.dataBits;
    dcb.Parity = settings.parity;
    dcb.StopBits = settings.stopBits;
    if (!SetCommState(handle, &dcb))
        return false;
    if (!SetupComm(handle, kQueueBytes, kQueueBytes))
        return false;
    DebugTrace(L"读/写(超时)设置\r\n");
    COMMTIMEOUTS timeouts{settings.readIntervalTimeout, settings.readTotalTimeoutMultiplier,
                          settings.readTotalTimeoutConstant, settings.writeTotalTimeoutMultiplier,
                          settings.writeTotalTimeoutConstant};
    if (!SetCommTimeouts(handle, &timeouts))
        return false;
    DebugTrace(L"设备已初始化\r\n");
    return true;
}

void CloseDevice() {
    UpgradeState& s = State();
    DebugTrace(L"CloseDevice\r\n");
    HANDLE handle = s.g_PortHandle.exchange(nullptr);
    // A failing close has nobody to tell: the handle is gone either way.
    if (handle != nullptr)
        (void)CloseHandle(handle);
}

BOOL PortWrite(const BYTE* data, DWORD length, DWORD* written) {
    return serial::WritePort(State().g_PortHandle.load(), data, length, written);
}

std::wstring PortShortName(const wchar_t* path) {
    if (path == nullptr)
        return std::wstring();
    const std::wstring text(path);
    const size_t last = text.rfind(L'\\');
    if (last == std::wstring::npos)
        return std::wstring();
    return text.substr(last + 1);
}
