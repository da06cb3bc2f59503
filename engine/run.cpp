// The run engine: UpgradeInit, the upgrade timer, RunUpgradeEvent and
// StepScript with the choice of port at the run's first CMD_OPEN_PORT.
//
// A run is a chain of events: each step executes at most one record and
// arms the timer with the event the next step should get; replies from the
// terminal arrive as UPG_EVENT_REPLY and are judged in engine/reply.cpp.
#include "engine/run.h"

#include <cstring>
#include <iterator>
#include <string>

#include "app/VantrelDlg.h"
#include "common/messages.h"
#include "common/state.h"
#include "common/trace.h"
#include "engine/outcome.h"
#include "engine/reply.h"
#include "engine/script.h"
#include "serial/port.h"

namespace {

constexpr int kRecordHeadBytes = 3;  // command, length high, length low
constexpr wchar_t kAutoDetect[] = L"Auto Detect";
constexpr wchar_t kDevicePrefix[] = L"\\\\.\\";
// The typed port name that still fits g_DebugDevFileName after the prefix.
constexpr size_t kMaxPortTextChars = kDevFileNameChars - 1 - (sizeof kDevicePrefix / sizeof(wchar_t) - 1);

void SetProgressStatus(const wchar_t* text) { MainDialog().m_ProgressStatus.SetWindowText(text); }

// A record that runs past the end of the data cannot be executed, and
// waiting on it would leave the run active with both buttons disabled and
// nothing left to fire; the run ends here instead.
void EndDamagedScript(long offset) {
    DebugTrace(L"script damaged at offset %d\r\n", static_cast<int>(offset));
    UpgradeClosePort();
    UpgradeInit(false);
    SetRunOutcome(RunOutcome::MalformedScript);
}

// The port choice of the run's first CMD_OPEN_PORT. Returns false when the
// run must not open anything now (waiting for the terminal, or a port text
// that cannot name a port); the caller then stops.
bool ChoosePort() {
    UpgradeState& s = State();
    s.g_FirstOpen = false;
    CString text;
    MainDialog().m_Port.GetWindowText(text);
    DebugTrace(L"serial port = %ls\r\n", text.c_str());

    if (text == kAutoDetect) {
        if (s.g_DevicePresent) {
            // Whatever g_DebugDevFileName last received is opened: normally the
            // terminal DeviceConnected last found.
            DebugTrace(L"已检测到串口: %ls, GO...\r\n", s.g_DebugDevFileName);
            s.g_PortWaitMode = PORT_WAIT_DETECTED;
            return true;
        }
        // DeviceConnected re-arms the timer with UPG_EVENT_OPEN_PORT when the
        // terminal appears within the wait.
        DebugTrace(L"等待连接: %ls\r\n", s.g_DebugDevFileName);
        s.g_PortWaitMode = PORT_WAIT_WAITING;
        ArmUpgradeTimer(kTerminalWaitSeconds, UPG_EVENT_WAIT_TIMEOUT);
        SetProgressStatus(L"waiting ...!");
        return false;
    }

    s.g_PortWaitMode = PORT_WAIT_NONE;
    const std::wstring path = std::wstring(kDevicePrefix) + text;
    if (text.size() > kMaxPortTextChars) {
        // Cutting the text to fit would open a different port than the one
        // typed; the run fails as for a port that cannot be opened, naming
        // what the operator typed.
        DebugTrace(L"port name too long (%d characters, at most %d): %ls\r\n", static_cast<int>(text.size()),
                   static_cast<int>(kMaxPortTextChars), text.c_str());
        UpgradeFailPortOpen(path);
        return false;
    }
    std::wmemcpy(s.g_DebugDevFileName, path.c_str(), path.size() + 1);
    DebugTrace(L"已指定串口: %ls\r\n", s.g_DebugDevFileName);
    return true;
}

// The system's words for error, without the line end Windows puts after them.
std::wstring SystemCause(DWORD error) {
    wchar_t text[256] = {};
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, error, 0, text,
                                   static_cast<DWORD>(std::size(text)), nullptr);
    std::wstring cause = n > 0 ? std::wstring(text, n) : L"error " + std::to_wstring(error);
    while (!cause.empty() &&
           (cause.back() == L'\r' || cause.back() == L'\n' || cause.back() == L' ' || cause.back() == L'.'))
        cause.pop_back();
    return cause;
}

// Writes a send record's payload. A payload that did not reach the port
// whole (the terminal gone, a write that timed out) can never be answered as
// the script means it, and a format-2 send would let the run go on to
// "loader Success!" without it: the run fails here, naming the record.
bool WritePayload(long offset, const BYTE* payload, int length) {
    DWORD written = 0;
    const BOOL ok = PortWrite(payload, static_cast<DWORD>(length), &written);
    if (ok && written == static_cast<DWORD>(length))
        return true;
    // Taken before the failure path's own calls overwrite the last error.
    const std::wstring cause = ok ? std::wstring(L"the write timed out") : SystemCause(GetLastError());
    DebugTrace(L"payload not written at offset %d (%d of %d bytes): %ls\r\n", static_cast<int>(offset),
               static_cast<int>(written), length, cause.c_str());
    UpgradeFailWrite();
    return false;
}

void OpenPortRecord() {
    if (State().g_FirstOpen && !ChoosePort())
        return;
    if (UpgradeOpenPort())
        ArmUpgradeTimer(kPortPauseSeconds, UPG_EVENT_NEXT);
    else
        UpgradeFail(FAIL_PORT_OPEN, 0);
}

}  // namespace

bool UpgradeInit(bool enter) {
    UpgradeState& s = State();
    DebugTrace(L"UpgradeInit\r\n");
    SetUpgradeScriptName(L"upgrader.asc");
    if (enter) {
        if (!LoadUpgradeScript())
            return false;
    } else {
        FreeUpgradeScript();
    }
    s.g_Upgrading = enter;
    s.g_PortWaitMode = PORT_WAIT_NONE;

    CVantrelDlg& dlg = MainDialog();
    dlg.m_BtnLoader.EnableWindow(!enter);
    dlg.m_BtnQuit.EnableWindow(!enter);
    if (enter) {
        DebugTrace(L"UpgradeInit - TRUE\r\n");
        dlg.m_Progress.SetPos(0);
        dlg.m_Progress.SetRange32(0, s.script.total);
        return true;
    }
    StopUpgradeTimer();
    DebugTrace(L"UpgradeInit - FALSE\r\n");
    dlg.m_BtnLoader.SetWindowText(L"loader");
    return true;
}

void ArmUpgradeTimer(int seconds, int event) {
    UpgradeState& s = State();
    s.g_TimerSeconds = seconds;
    s.upg_event = event;
    MainDialog().SetTimer(UPGRADE_TIMER_ID, static_cast<UINT>(seconds) * 1000u, nullptr);
}

void StopUpgradeTimer() { MainDialog().KillTimer(UPGRADE_TIMER_ID); }

void RunUpgradeEvent(int event) {
    UpgradeState& s = State();
    if (!s.g_Upgrading && event != UPG_EVENT_START)
        return;

    switch (event) {
        case UPG_EVENT_START:
            // Until the script is in memory the outcome is "no script": an
            // exception from the loader (a file error, an exhausted heap) leaves
            // this handler through the framework, and the run never started.
            SetRunOutcome(RunOutcome::NoScript);
            if (!UpgradeInit(true)) {
                UpgradeClosePort();
                UpgradeInit(false);
                SetProgressStatus(L"Open Obj failed!");
                SetRunOutcome(RunOutcome::NoScript);
                return;
            }
            SetRunOutcome(RunOutcome::Running);
            // Bytes left from an earlier run would otherwise be judged as part of
            // this run's first reply.
            s.g_RxCount = 0;
            s.g_FirstOpen = true;
            StepScript();
            return;
        case UPG_EVENT_OPEN_PORT:
            if (UpgradeOpenPort())
                StepScript();
            else
                UpgradeFail(FAIL_PORT_OPEN, 0);
            return;
        case UPG_EVENT_REPLY:
            CheckReply();
            return;
        case UPG_EVENT_WAIT_TIMEOUT:
            UpgradeFail(FAIL_WAIT_TIMEOUT, 0);
            return;
        case UPG_EVENT_REPLY_TIMEOUT:
            // A format-2 reply is optional: without one the run goes on.
            if (s.g_LastCmd == CMD_SEND_F2)
                StepScript();
            else
                UpgradeFail(FAIL_REPLY_TIMEOUT, 0);
            return;
        case UPG_EVENT_STOP:
            UpgradeClosePort();
            UpgradeInit(false);
            SetRunOutcome(RunOutcome::Stopped);
            return;
        default:  // UPG_EVENT_NEXT and every other value
            StepScript();
            return;
    }
}

void StepScript() {
    UpgradeState& s = State();
    UpgradeScript& script = s.script;
    if (script.remaining == 0) {
        UpgradeClosePort();
        UpgradeInit(false);
        SetProgressStatus(L"loader Success!");
        SetRunOutcome(RunOutcome::Success);
        return;
    }

    const long offset = static_cast<long>(script.cursor - script.buffer.get());
    if (script.remaining < kRecordHeadBytes) {
        EndDamagedScript(offset);
        return;
    }
    const BYTE* record = script.cursor;
    const int command = record[0];
    const int length = record[1] * 256 + record[2];
    if (script.remaining - kRecordHeadBytes < length) {
        EndDamagedScript(offset);
        return;
    }

    const BYTE* payload = record + kRecordHeadBytes;
    script.cursor += kRecordHeadBytes + length;
    script.remaining -= kRecordHeadBytes + length;
    MainDialog().m_Progress.SetPos(script.total - script.remaining);
    s.g_LastCmd = command;

    switch (command) {
        case CMD_WAIT:
            // The terminal's format-1 reply advances the run (CheckReply).
            SetProgressStatus(L"waiting ...!");
            ArmUpgradeTimer(kTerminalWaitSeconds, UPG_EVENT_WAIT_TIMEOUT);
            return;
        case CMD_DELAY: {
            if (length < 2) {
                // The delay would otherwise be taken from the next record's bytes.
                EndDamagedScript(offset);
                return;
            }
            SetProgressStatus(L"ready loader!");
            const int seconds = payload[0] * 256 + payload[1];
            ArmUpgradeTimer(seconds, UPG_EVENT_NEXT);
            DebugTrace(L"%d秒后下载\r\n", seconds);
            return;
        }
        case CMD_OPEN_PORT:
            OpenPortRecord();
            return;
        case CMD_CLOSE_PORT:
            UpgradeClosePort();
            ArmUpgradeTimer(kPortPauseSeconds, UPG_EVENT_NEXT);
            return;
        case CMD_SEND_F1:
            if (!WritePayload(offset, payload, length))
                return;
            ArmUpgradeTimer(kReplyWaitSeconds, UPG_EVENT_REPLY_TIMEOUT);
            SetProgressStatus(L"loading ...");
            return;
        case CMD_SEND_F2:
            // Written whole, a format-2 send that gets no reply still goes on
            // when its timeout comes.
            if (!WritePayload(offset, payload, length))
                return;
            ArmUpgradeTimer(kReplyWaitSeconds, UPG_EVENT_REPLY_TIMEOUT);
            return;
        default:
            UpgradeClosePort();
            UpgradeInit(false);
            DebugTrace(L"instruction: %d\r\n", command);
            SetRunOutcome(RunOutcome::BadCommand);
            return;
    }
}
