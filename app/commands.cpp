// The operator's commands and the upgrade timer's ticks, turned into calls
// of the run engine. A question stops the timer before it is shown; No sets
// it going again with the period and event stored at the moment of the answer.
#include "app/VantrelDlg.h"
#include "common/messages.h"
#include "common/state.h"
#include "common/trace.h"
#include "device/monitor.h"
#include "engine/run.h"

void CVantrelDlg::OnTimer(UINT_PTR nIDEvent) {
    DebugTrace(L"OnTimer\r\n");
    if (nIDEvent == UPGRADE_TIMER_ID) {
        // The tick does not stop the timer: the same event comes on every
        // tick until the engine arms or stops it.
        DebugTrace(L"upgrade_timer_process: upg_event = %d\r\n", State().upg_event);
        RunUpgradeEvent(State().upg_event);
    }
    CDialog::OnTimer(nIDEvent);
}

void CVantrelDlg::OnBtnLoader() {
    if (!State().g_Upgrading) {
        RunUpgradeEvent(UPG_EVENT_START);
        return;
    }
    StopUpgradeTimer();
    // The box's loop keeps handling replies, device messages and ticks.
    if (AfxMessageBox(L"STOP?", MB_YESNO | MB_ICONQUESTION, 0) == IDYES) {
        RunUpgradeEvent(UPG_EVENT_STOP);
    } else {
        ArmUpgradeTimer(State().g_TimerSeconds, State().upg_event);
    }
}

void CVantrelDlg::OnBtnQuit() {
    StopUpgradeTimer();
    if (AfxMessageBox(L"Quit?", MB_YESNO | MB_ICONQUESTION, 0) == IDYES) {
        AppUninit();
        CDialog::OnCancel();  // past our own empty OnCancel
    } else {
        ArmUpgradeTimer(State().g_TimerSeconds, State().upg_event);
    }
}
