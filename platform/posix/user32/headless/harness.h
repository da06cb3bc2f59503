// Controls of the headless window back end (vantrel_ui_headless), for tests
// and the command-line runner.
//
// The headless back end shows nothing. Windows exist only as the window
// system's state; the operator is simulated by the calls below; message boxes
// are answered by a responder; the clock is either the steady clock or a
// manual test clock that moves only when told to.
//
// Default answers when no responder is installed: IDOK for MB_OK, IDNO for
// MB_YESNO, IDCANCEL for MB_OKCANCEL, MB_YESNOCANCEL and MB_RETRYCANCEL,
// IDABORT for MB_ABORTRETRYIGNORE. They are the answers that change nothing.
#pragma once

#include <functional>
#include <string>

#include "platform/api.h"

namespace headless {

using MessageBoxResponder =
    std::function<int(HWND owner, const std::wstring& text, const std::wstring& caption, UINT type)>;
// Installs the responder that answers every MessageBoxW (on the thread that
// called MessageBoxW). It may pump messages (PumpMessages, RunUntil) before it
// answers: that is the message box's modal loop. An empty function restores
// the default answers.
void SetMessageBoxResponder(MessageBoxResponder responder);

// Switches between the steady clock (false, the default) and the manual
// clock (true). The manual clock starts where the steady clock stands.
void UseManualClock(bool manual);
// Moves the manual clock forward and wakes every waiting message loop. Any
// thread. Ignored on the steady clock.
void AdvanceClock(DWORD ms);
// The clock that timers are due against.
DWORD Now();

// Dispatches everything ready now on the calling thread (sent messages,
// posted messages, paint requests, due timers); returns how many.
int PumpMessages();
// Pumps until done() is true or maxMs milliseconds have passed. On the manual
// clock, when nothing is ready, the clock jumps to the calling thread's next
// due timer while that is within maxMs of clock time, and otherwise to the
// end of maxMs, so the call never waits in real time (other threads' work
// that has not arrived yet is not waited for: use the steady clock for that).
// On the steady clock it waits for messages up to maxMs real time, looking at
// done() after every wake and at least every checkMs: a condition that
// another thread (or a signal handler) changes without sending or posting a
// message is seen that late. Each such look wakes the thread, so a runner
// that idles long passes a larger checkMs. Returns done().
bool RunUntil(std::function<bool()> done, DWORD maxMs, DWORD checkMs = 10);

// Called on the window's thread after a window's text, enabled state, combo
// list or selection, or progress position or range changed; `message` says
// which (WM_SETTEXT, WM_ENABLE, CB_ADDSTRING, CB_RESETCONTENT, CB_SETCURSEL,
// PBM_SETPOS, PBM_SETRANGE32 ...). An empty function removes it.
void SetWindowObserver(std::function<void(HWND, UINT message)> observer);

// The simulated operator. Call on the window's thread.
// Opens a combo box's list: its parent gets WM_COMMAND CBN_DROPDOWN.
void DropDown(HWND combo);
// Picks item `index` of a combo box's list (CBN_SELCHANGE to the parent).
void SelectItem(HWND combo, int index);
// Presses a key in dialog `dlg`: Esc, Enter and Tab as the dialog manager
// takes them (the focused control receives the key).
void KeyPress(HWND dlg, UINT vk);
// Presses Alt plus a key: Alt+F4 asks the dialog to close (WM_SYSCOMMAND SC_CLOSE).
void AltKeyPress(HWND dlg, UINT vk);
// Replaces an editable combo box's text as if typed (CBN_EDITCHANGE to the
// parent); in a drop-down list it selects the first item starting with it.
void TypeText(HWND combo, const wchar_t* text);
// Clicks a button with the mouse (nothing happens when it is disabled).
void Click(HWND button);
// Minimises or restores a top-level window (IsIconic follows).
void Minimize(HWND hwnd, bool minimized);

// How many windows exist (created and not yet destroyed), on all threads.
int WindowCount();

}  // namespace headless
