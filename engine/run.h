// The run engine: entering and leaving a run, the upgrade timer, and the
// step over the script that executes one record at a time.
//
// Everything here runs on the window thread. The engine is driven by
// upgrade events (UPG_EVENT_*, common/state.h) from the operator's
// commands, the timer's ticks, the receive path and the presence monitor.
#pragma once

// The engine's one entry: acts on event while a run is active; while idle
// only UPG_EVENT_START acts.
void RunUpgradeEvent(int event);

// enter: loads the script and enters the running state (false when the
// script cannot be loaded, nothing else changed). !enter: leaves it; always
// true.
bool UpgradeInit(bool enter);

// The upgrade timer's periods, in seconds: the wait for the terminal
// (CMD_WAIT's reply, or its appearing when the port is auto-detected), the
// wait for a send's reply, and the pause after opening or closing the port.
constexpr int kTerminalWaitSeconds = 15;
constexpr int kReplyWaitSeconds = 5;
constexpr int kPortPauseSeconds = 1;

// Stores the period and the event its ticks deliver, then (re)starts window
// timer UPGRADE_TIMER_ID on the main dialog.
void ArmUpgradeTimer(int seconds, int event);

// Kills the upgrade timer; the stored period and event stay.
void StopUpgradeTimer();

// Takes and executes the next record, or ends the run when none is left.
void StepScript();
