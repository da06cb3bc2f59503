// What the dialog-based fuzzers share: the tool's main dialog, created once
// per process modeless on the headless back end with the manual clock, the
// presence monitor stopped, a private working directory for upgrader.asc,
// and the reset that puts the process back between two inputs.
//
// libFuzzer runs every input in the same process, so everything a run can
// leave behind (an open port, a leaving receive watcher, an armed timer,
// queued bytes) is cleared by ResetBetweenInputs before the next one.
#pragma once

#include <atomic>
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "app/VantrelDlg.h"

namespace fuzzharness {

// Creates the dialog and the working directory on the first call.
CVantrelDlg& Dialog();

// Reports a broken invariant on stderr and aborts, so that libFuzzer keeps
// the input as a crash.
[[noreturn]] void Fail(const std::string& what);
inline void Check(bool holds, const std::string& what) {
    if (!holds)
        Fail(what);
}

// Ends a run left active, closes the port and waits (bounded) for the
// receive watcher to leave, then resets the process-wide state and both
// fakes. Aborts when the watcher does not leave.
void ResetBetweenInputs();

// Writes upgrader.asc into the working directory.
void WriteScript(const unsigned char* data, size_t size);

// Pumps the window thread until done() holds, at most maxMs of real time
// (the receive watcher is a real thread). False on timeout.
bool PumpUntil(const std::function<bool()>& done, unsigned maxMs);

// Timer ticks of the upgrade timer seen so far (counted from the trace).
int UpgradeTicks();

// The text of a control of the dialog.
std::wstring Text(int id);
bool Enabled(int id);

// Called for every message box, on the window thread; returns the answer.
// Empty: IDOK for every box.
void SetBoxHook(std::function<int(const std::wstring& text)> hook);

}  // namespace fuzzharness
