// What the command-line runner needs of the platform beyond the Win32 API:
// a window system that shows nothing, with hooks to watch the controls and
// answer message boxes, and a trace that goes to stderr. POSIX: the headless
// window back end (host_posix.cpp).
#pragma once

#include <functional>
#include <string>

#include "platform/api.h"

namespace cli {

// Called after a control's text or progress changed (WM_SETTEXT, PBM_SETPOS, PBM_SETRANGE32).
void WatchControls(std::function<void(HWND control, UINT message)> observer);
// Answers every message box; the answer function gets the text and type.
void AnswerMessageBoxes(std::function<int(const std::wstring& text, UINT type)> answer);
// Writes every trace line to stderr as UTF-8, exactly as produced.
void TraceToStderr();
// Clicks a button as the operator would.
void ClickButton(HWND button);
// Handles the window thread's messages for up to ms milliseconds, returning
// early once done() holds.
bool RunFor(const std::function<bool()>& done, DWORD ms);
// Plain words for why the calling thread's last port open failed.
std::string LastPortErrorCause();
// Text as UTF-8 for stdout, and arguments (UTF-8) as text.
std::string Utf8(const std::wstring& text);
std::wstring Wide(const char* utf8);

// Has handler called when the run is asked to stop as a confirmed "STOP?"
// would stop it: SIGINT and SIGTERM, and on Windows SIGBREAK too (a
// Ctrl+Break; vantrel-station stops a run that way, since the run's own
// console process group takes no Ctrl+C).
void CatchStopSignals(void (*handler)(int));

// Whether stdout is a terminal that takes "\r" and ESC [ K, and its width in
// columns (80 when it does not say).
bool StdoutIsTerminal();
int TerminalColumns();

// Whether this user can open a port, found by opening it for reading and
// writing (not as the controlling terminal, not waiting for a carrier) and
// closing it again. The port is named as in the port box ("ttyACM0", "COM7")
// or, here, by its path. When it cannot be opened: the cause and, where
// there is one, what to do, in one sentence.
struct OpenCheck {
    bool opens = false;
    std::string cause;
};
OpenCheck CheckPortOpens(const std::wstring& port);

}  // namespace cli
