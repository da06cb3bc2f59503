// Judging the terminal's reply frames and ending a run that failed.
//
// Format 1 (after CMD_WAIT and CMD_SEND_F1) is exactly 12 bytes with the
// status code at offset 6, 0 meaning success; format 2 (after CMD_SEND_F2)
// is exactly 5 bytes with '$' at offset 3. Nothing else in a frame is looked
// at.
#pragma once

#include <string>

#include "platform/api.h"

// Judges the bytes in g_RxBuffer against the reply that g_LastCmd expects:
// waits for more, fails the run, or accepts and takes the next record.
void CheckReply();

// Ends the run: closes the port, leaves the running state and reports the
// failure of kind (FAIL_*, common/state.h); code is the refused reply's
// byte, 0 where none applies.
void UpgradeFail(int kind, BYTE code);

// FAIL_PORT_OPEN for a port path that was never stored in
// g_DebugDevFileName (a typed name too long to fit it): the same ending,
// with the report naming path.
void UpgradeFailPortOpen(const std::wstring& path);

// A send's payload that did not reach the port whole: the common ending
// (port closed, running state left, the status line as it was), recorded as
// a failed write. The caller has traced the record and the cause.
void UpgradeFailWrite();
