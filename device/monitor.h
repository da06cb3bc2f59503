// The presence monitor and the connection of a found terminal to a run.
//
// AppInit starts the monitor thread when the main dialog initialises and
// AppUninit stops it just before the dialog closes. The thread polls the
// device table every 50 ms and posts WM_DEVARRIVAL / WM_DEVREMOVED to the
// main window when presence changes; DeviceConnected runs on the window
// thread and ties the terminal's port to the run.
#pragma once

#include "platform/api.h"

// Starts the monitor, fills the port box, selects the first line speed and
// looks once for a terminal. Always returns true.
bool AppInit();
// Stops the monitor (without waiting for it) and forgets the terminal.
void AppUninit();
// Looks for a terminal; when found, stores its path in g_DebugDevFileName and
// moves a run that waits for it on.
void DeviceConnected();
// The monitor thread's procedure; the parameter is ignored. Exit code 0.
UINT MyThreadListenDeviceExist(LPVOID parameter);
