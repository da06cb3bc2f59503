// CheckReply and UpgradeFail: the reply frames and the five failure kinds.
//
// A frame may arrive in pieces; every piece raises its own check and the
// frame is judged when the count reaches the expected length exactly. A
// count that passes it never matches, and the pending reply timeout then
// decides the run.
#include "engine/reply.h"

#include <cstdio>

#include "app/VantrelDlg.h"
#include "common/state.h"
#include "common/trace.h"
#include "engine/outcome.h"
#include "engine/run.h"
#include "serial/port.h"

namespace {

constexpr uint32_t kFormat1Bytes = 12;
constexpr size_t kFormat1StatusOffset = 6;
constexpr uint32_t kFormat2Bytes = 5;
constexpr size_t kFormat2MarkOffset = 3;
constexpr BYTE kFormat2Success = 0x24;  // '$'

// The two reply-failure lines are 8-bit texts in code page 936 (GBK),
// formatted into 128 bytes, unlike every other trace line, which is wide.
// "格式1应答错误: 错误码[%02XH]\r\n" (format-1 reply error, error code)
constexpr char kFormat1Error[] =
    "\xB8\xF1\xCA\xBD\x31\xD3\xA6\xB4\xF0\xB4\xED\xCE\xF3\x3A\x20\xB4\xED\xCE\xF3\xC2\xEB\x5B"
    "%02XH]\r\n";
// "格式2应答错误: 错误码[%02XH]\r\n" (format-2 reply error, error code)
constexpr char kFormat2Error[] =
    "\xB8\xF1\xCA\xBD\x32\xD3\xA6\xB4\xF0\xB4\xED\xCE\xF3\x3A\x20\xB4\xED\xCE\xF3\xC2\xEB\x5B"
    "%02XH]\r\n";

constexpr size_t kNarrowTraceBytes = 128;

void TraceReplyError(const char* format, BYTE code) {
    char text[kNarrowTraceBytes];
    std::snprintf(text, sizeof text, format, static_cast<unsigned>(code));
    OutputDebugStringA(text);
}

// Leaves the running state after a failure; the report follows.
void EndFailedRun() {
    UpgradeClosePort();
    UpgradeInit(false);
}

// The report of a port that cannot be opened, after the buttons are usable
// again: trace, connection status and a modal box. The name is shown whole,
// as ": Open" and ": Connected" show it: Linux names such as
// /dev/serial/by-id/usb-...-if00-port0 differ only near their end.
void ReportPortOpenFailed(const std::wstring& path) {
    const std::wstring shortName = PortShortName(path.c_str());
    DebugTrace(L"g_DebugDevFileName = %ls\r\n", path.c_str());
    MainDialog().m_ConnectStatus.SetWindowText((shortName + L": Open Failed").c_str());
    DebugMessage(L"设备打开失败[%ls]", shortName.c_str());
}

}  // namespace

void CheckReply() {
    UpgradeState& s = State();
    switch (s.g_LastCmd) {
        case CMD_WAIT:
        case CMD_SEND_F1: {
            if (s.g_RxCount != kFormat1Bytes)
                return;
            const BYTE status = s.g_RxBuffer[kFormat1StatusOffset];
            if (status != 0) {
                UpgradeFail(FAIL_FORMAT1_REPLY, status);
                return;
            }
            break;
        }
        case CMD_SEND_F2: {
            if (s.g_RxCount != kFormat2Bytes)
                return;
            const BYTE mark = s.g_RxBuffer[kFormat2MarkOffset];
            if (mark != kFormat2Success) {
                UpgradeFail(FAIL_FORMAT2_REPLY, mark);
                return;
            }
            break;
        }
        default:
            // No reply is expected now: the bytes stay and count toward the next one.
            return;
    }
    StopUpgradeTimer();
    s.g_RxCount = 0;
    StepScript();
}

void UpgradeFail(int kind, BYTE code) {
    switch (kind) {
        case FAIL_WAIT_TIMEOUT:
            EndFailedRun();
            SetRunOutcome(RunOutcome::WaitTimeout);
            return;
        case FAIL_REPLY_TIMEOUT:
            EndFailedRun();
            SetRunOutcome(RunOutcome::ReplyTimeout);
            return;
        case FAIL_FORMAT1_REPLY:
            EndFailedRun();
            SetRunOutcome(RunOutcome::Format1Refused);
            TraceReplyError(kFormat1Error, code);
            return;
        case FAIL_FORMAT2_REPLY:
            EndFailedRun();
            SetRunOutcome(RunOutcome::Format2Refused);
            TraceReplyError(kFormat2Error, code);
            return;
        case FAIL_PORT_OPEN:
            UpgradeFailPortOpen(State().g_DebugDevFileName);
            return;
        default:
            // Only the five kinds are ever raised; an unknown one still ends the run.
            EndFailedRun();
            DebugTrace(L"UpgradeFail: unknown kind %d\r\n", kind);
            return;
    }
}

void UpgradeFailPortOpen(const std::wstring& path) {
    EndFailedRun();
    SetRunOutcome(RunOutcome::PortOpenFailed);
    ReportPortOpenFailed(path);
}

void UpgradeFailWrite() {
    EndFailedRun();
    SetRunOutcome(RunOutcome::WriteFailed);
}
