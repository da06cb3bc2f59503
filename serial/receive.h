// The receive watcher and the receive buffer.
//
// The watcher is a worker thread that asks the open port how many bytes are
// waiting and sends WM_DEBUGREAD with that count to the main dialog. The
// dialog's handler (CVantrelDlg::OnDebugRead, defined in receive.cpp) reads
// them on the window thread, appends them to g_RxBuffer while a run is
// active and raises UPG_EVENT_REPLY. The watcher never reads data itself.
#pragma once

#include "platform/api.h"

// The watcher's thread procedure (AfxBeginThread, null parameter). Runs
// while g_PortOpen is set, then clears g_ReadThread and ends itself.
UINT DebugReadThread(LPVOID parameter);

// With the port closed (g_PortOpen clear) a watcher may still be on its way
// out. Waits, at most maxMs, for it to clear g_ReadThread, handling the
// calling thread's sent messages meanwhile: the watcher may be blocked in
// its WM_DEBUGREAD and can only leave once the window thread has handled
// it. True when no watcher is left. Called by OpenDebugDevice before it
// sets g_PortOpen again, so that an open right after a close ends with
// exactly one watcher instead of none.
bool WaitForLeavingWatcher(DWORD maxMs);

// Starts the watcher when none runs, storing its thread in g_ReadThread.
// Also arranges, once, that process end stops a running watcher before the
// process's objects go away.
void StartReceiveWatcher();

// Tests only: called by a watcher that has left its loop, just before it
// clears g_ReadThread, so that a test can hold it at that point. Null: none.
using WatcherLeavingHook = void (*)();
void SetWatcherLeavingHookForTest(WatcherLeavingHook hook);
