// UpgradeState: the process-wide state of the tool, one instance, no lock.
//
// Fields that two threads touch are std::atomic: g_PortOpen and g_PortHandle
// (window thread writes, receive watcher reads), g_ReadThread (the watcher
// clears it), g_ListenState (both write), g_ListenThread, and the main
// window pointer the workers read. Everything else is the window thread's.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "platform/api.h"

class CWinThread;

// Upgrade events: values of upg_event and the argument of RunUpgradeEvent.
enum UpgradeEvent : int {
    UPG_EVENT_START = 1,
    UPG_EVENT_NEXT = 2,
    UPG_EVENT_OPEN_PORT = 3,
    UPG_EVENT_REPLY = 4,
    UPG_EVENT_WAIT_TIMEOUT = 5,
    UPG_EVENT_REPLY_TIMEOUT = 6,
    UPG_EVENT_STOP = 7,
};

// Record commands of upgrader.asc.
enum ScriptCommand : int {
    CMD_WAIT = 0x01,
    CMD_DELAY = 0x02,
    CMD_OPEN_PORT = 0x03,
    CMD_CLOSE_PORT = 0x04,
    CMD_SEND_F1 = 0x11,
    CMD_SEND_F2 = 0x12,
};

// Failure kinds of UpgradeFail.
enum FailKind : int {
    FAIL_WAIT_TIMEOUT = 1,
    FAIL_REPLY_TIMEOUT = 2,
    FAIL_FORMAT1_REPLY = 3,
    FAIL_FORMAT2_REPLY = 4,
    FAIL_PORT_OPEN = 5,
};

// Presence monitor states.
enum ListenState : int {
    LISTEN_INIT = 1,
    LISTEN_PRESENT = 2,
    LISTEN_ABSENT = 3,
    LISTEN_STOP = 4,
};

// How this run's port was chosen.
enum PortWaitMode : int {
    PORT_WAIT_NONE = 0,      // typed or listed
    PORT_WAIT_WAITING = 1,   // waiting for the terminal
    PORT_WAIT_DETECTED = 2,  // terminal detected
};

constexpr int kScriptHeaderBytes = 32;
constexpr int kDevFileNameChars = 64;
constexpr uint32_t kRxBufferBytes = 2048;

// The loaded upgrade script and its reading position.
struct UpgradeScript {
    std::unique_ptr<BYTE[]> buffer;  // the whole file, header included; null when none is held
    BYTE* cursor = nullptr;          // start of the next record
    int32_t total = 0;               // file length minus the header: the bytes of all records
    int32_t remaining = 0;           // record bytes not yet consumed
};

struct UpgradeState {
    std::atomic<HANDLE> g_PortHandle{nullptr};  // never INVALID_HANDLE_VALUE
    std::atomic<bool> g_PortOpen{false};
    wchar_t g_DebugDevFileName[kDevFileNameChars] = {};
    bool g_DevicePresent = false;
    bool g_Upgrading = false;
    int g_PortWaitMode = PORT_WAIT_NONE;
    bool g_FirstOpen = false;
    int upg_event = 0;
    int g_TimerSeconds = 0;
    int g_LastCmd = -1;
    BYTE g_RxBuffer[kRxBufferBytes] = {};
    uint32_t g_RxCount = 0;
    UpgradeScript script;
    std::atomic<int> g_ListenState{LISTEN_STOP};
    std::atomic<CWinThread*> g_ReadThread{nullptr};
    std::atomic<CWinThread*> g_ListenThread{nullptr};
};

// The one instance.
UpgradeState& State();

// The main dialog's window, read by the worker threads; null before the
// dialog exists and after it is gone.
HWND MainWindow();

// Puts the process-wide state back to its values at process start. Tests
// only: the tool itself never resets.
void ResetUpgradeStateForTest();
