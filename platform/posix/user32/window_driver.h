// The window back-end table: what the toolkit-independent window system
// (vantrel_user32) asks of whichever back end the executable links
// (vantrel_ui_headless, or a toolkit back end), and the few entry points of
// the window system a back end calls back into.
//
// The window system owns every window's state (class, text, style, rectangle,
// combo items, progress position) and every queue. A back end only shows that
// state, turns operator input into the calls below, waits for events on
// behalf of the message loops, runs message boxes and keeps the clock.
//
// Threading contract:
// - WindowCreated, WindowDestroyed, WindowChanged and MessageBox are called on
//   the window's own thread (the thread that created it), never with a lock of
//   the window system held, so a back end may call any Win32 function there.
// - Wake and Now may be called from any thread, with no lock held.
// - WaitForEvents is called on a thread that runs a message loop, with no lock
//   held; it returns when Wake(thread) was called since its last return, when
//   the timeout (in clock milliseconds) elapses, or earlier at will.
#pragma once

#include <string>

#include "platform/api.h"

namespace user32 {

class WindowDriver {
public:
    virtual ~WindowDriver() = default;

    // A window now exists, with its state complete. Children are announced
    // after their parent, in creation order (which is the tab order).
    virtual void WindowCreated(HWND hwnd) = 0;
    // The window is about to go; its state is still readable. Children are
    // announced before their parent.
    virtual void WindowDestroyed(HWND hwnd) = 0;
    // Something the operator sees changed. `message` says what:
    //   WM_SETTEXT      the text (for a combo box: its edit or selected text)
    //   WM_ENABLE       the enabled state
    //   WM_SHOWWINDOW   visibility, WM_SIZE minimised/restored
    //   WM_SETICON      the window's icon
    //   CB_ADDSTRING, CB_INSERTSTRING, CB_DELETESTRING, CB_RESETCONTENT
    //                   the combo box's list; CB_SETCURSEL its selection
    //   PBM_SETPOS      the progress position, PBM_SETRANGE32 its range
    //   WM_SETFOCUS     the keyboard focus moved to hwnd
    virtual void WindowChanged(HWND hwnd, UINT message) = 0;

    // Blocks the calling message loop until Wake for this thread, the timeout
    // (clock milliseconds, INFINITE allowed) or a back-end event. A toolkit
    // back end dispatches its own events here.
    virtual void WaitForEvents(DWORD timeoutMs) = 0;
    // Makes the thread's WaitForEvents return (now or, if it is not waiting,
    // at its next call).
    virtual void Wake(DWORD threadId) = 0;

    // Shows a modal message box owned by `owner` (may be null) and returns the
    // button pressed (IDOK, IDYES ...). While it is open the back end keeps
    // the calling thread's messages flowing by calling PumpReadyMessages.
    virtual int MessageBox(HWND owner, const std::wstring& text, const std::wstring& caption, UINT type) = 0;

    // Milliseconds of the clock that timers are due against (wraps at 2^32).
    virtual DWORD Now() = 0;
    // Screen size for GetSystemMetrics(SM_CXSCREEN / SM_CYSCREEN).
    virtual int ScreenWidth() { return 1024; }
    virtual int ScreenHeight() { return 768; }
};

// The linked back end's table. Defined by exactly one back-end library.
WindowDriver& Driver();

// ---- called by back ends

// Dispatches everything ready now on the calling thread: sent messages,
// posted messages, paint requests and due timers. Returns how many were
// handled. A WM_QUIT stays queued for the thread's own loop.
int PumpReadyMessages();
// Clock milliseconds until the calling thread's next timer is due: 0 when one
// is due now, INFINITE when it has none.
DWORD NextTimerDelay();
// Operator input. Each runs on the window's thread.
// A key pressed while `dlg` is active, with Alt held when `alt`: goes through
// the dialog keyboard interface (Esc, Enter, Tab, Alt+F4).
void OperatorKey(HWND dlg, UINT vk, bool alt);
// The operator asked to close the top-level window (close button, Alt+F4).
void OperatorClose(HWND hwnd);
// A combo box's list is about to open: CBN_DROPDOWN to its parent.
void OperatorDropDown(HWND combo);
// A combo box's list was closed on screen, with or without a choice (Esc, a
// click outside, a pick): it no longer counts as dropped.
void OperatorCloseUp(HWND combo);
// The operator picked list item `index` of a combo box.
void OperatorSelect(HWND combo, int index);
// The operator replaced the edit text of an editable combo box.
void OperatorType(HWND combo, const std::wstring& text);
// The operator clicked a button.
void OperatorClick(HWND button);
// The window was minimised (true) or restored (false) by the operator.
void OperatorMinimize(HWND hwnd, bool minimized);

}  // namespace user32
