// Private window messages of the main dialog, and the upgrade timer's id.
#pragma once

#include "platform/api.h"

// Posted by the presence monitor (and OnDeviceChange) when a known terminal
// appears or the last one goes. No parameters.
constexpr UINT WM_DEVARRIVAL = 0x0801;
constexpr UINT WM_DEVREMOVED = 0x0802;
// Sent (never posted) by the receive watcher: wParam is the number of bytes
// waiting in the port's input queue, never 0.
constexpr UINT WM_DEBUGREAD = 0x0803;

// The one window timer that drives a run.
constexpr UINT_PTR UPGRADE_TIMER_ID = 2054;
