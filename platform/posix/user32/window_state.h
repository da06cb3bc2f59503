// The shared state of the window system and the internal calls between its
// files: windows, per-thread queues, timers and focus, all under one lock.
//
// One lock keeps the cross-thread rules simple: every field below is read and
// written with Registry::lock held, and the lock is never held while a window
// procedure, a back-end call or an observer runs, so procedures may call any
// Win32 function. Window objects are shared_ptr so that a procedure that is
// running while its window is destroyed still holds valid memory.
//
// Not here: the public Win32 entry points (window.cpp, message.cpp, ...).
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "platform/api.h"

namespace user32 {

struct Window {
    HWND hwnd = nullptr;
    DWORD thread = 0;  // the creating thread, which alone runs the procedure
    std::wstring className;
    WNDPROC proc = nullptr;
    LONG_PTR id = 0;
    std::wstring text;
    DWORD style = 0;
    DWORD exStyle = 0;
    RECT rect{};  // pixels; relative to the parent's client area, screen for top-level windows
    HWND parent = nullptr;
    std::vector<HWND> children;  // creation order, which is the tab order
    bool destroying = false;
    bool needsPaint = false;
    LONG_PTR userData = 0;
    HICON iconBig = nullptr;
    HICON iconSmall = nullptr;
    HFONT font = nullptr;

    // Dialogs
    bool isDialog = false;
    DLGPROC dlgProc = nullptr;
    LONG_PTR msgResult = 0;
    LONG_PTR dlgUser = 0;
    bool ended = false;
    INT_PTR endResult = 0;
    HWND lastFocus = nullptr;

    // ComboBox
    std::vector<std::wstring> items;
    int curSel = -1;
    bool dropped = false;

    // msctls_progress32
    int pbLow = 0;
    int pbHigh = 100;
    int pbPos = 0;
    int pbStep = 10;
};

// A message sent from another thread, waiting for the owner thread.
struct SentMessage {
    HWND hwnd = nullptr;
    UINT message = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
    std::function<LRESULT()> call;  // instead of the window procedure, when set
    LRESULT result = 0;
    bool done = false;
};

struct ThreadQueue {
    std::deque<MSG> posted;
    std::deque<std::shared_ptr<SentMessage>> sent;
    bool quit = false;
    int quitCode = 0;
};

struct Timer {
    DWORD thread = 0;
    DWORD period = 0;
    DWORD due = 0;
};

struct Registry {
    std::mutex lock;
    std::map<HWND, std::shared_ptr<Window>> windows;  // handles only grow, so this is creation order
    uintptr_t nextHandle = 0x10000;
    std::map<DWORD, std::shared_ptr<ThreadQueue>> queues;  // threads that have touched the window system
    std::condition_variable sendDone;  // a sent message completed, or one arrived for a waiting sender
    std::map<std::pair<HWND, UINT_PTR>, Timer> timers;
    std::map<DWORD, HWND> focus;  // keyboard focus, per thread
};

Registry& Reg();

DWORD CurrentThread();
// Lock held. The window, or null when the handle is not (or no longer) a window.
std::shared_ptr<Window> FindLocked(HWND hwnd);
// Lock held. The calling thread's queue, created on first use.
ThreadQueue& MyQueueLocked();
// Lock held. True when `child` is `ancestor` or lies below it.
bool IsSelfOrDescendantLocked(HWND ancestor, HWND child);

// Creates a window of a built-in class on the calling thread, announces it to
// the back end and sends WM_NCCREATE / WM_CREATE. Null when the creation was
// refused (the last error says why).
HWND CreateWindowInternal(const std::wstring& className, const std::wstring& text, DWORD style, DWORD exStyle,
                          const RECT& rect, HWND parent, LONG_PTR id, DLGPROC dlgProc);
// Tells the back end (and so the observer) that something visible changed. Any thread.
void NotifyChanged(HWND hwnd, UINT what);

// Calls the window's procedure on the calling thread; 0 when the window is gone.
LRESULT CallWindow(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
// Runs `fn` on the window's thread (directly when that is the caller) and
// returns its result; 0 when the window goes or its thread has stopped.
LRESULT RunOnWindowThread(HWND hwnd, std::function<LRESULT()> fn);
// Handles every message other threads have sent to the calling thread.
// Returns how many.
int ProcessSentMessages();
// The message-retrieval core of GetMessageW / PeekMessageW and the modal
// loops: sent messages are handled first, then posted messages, WM_QUIT,
// paint requests and due timers are looked for, in that order. With `wait`
// it blocks until one is there or stop() turns true (checked whenever the
// thread wakes). Returns false when nothing was retrieved.
bool NextMessage(MSG* msg, HWND filter, UINT filterMin, UINT filterMax, bool remove, bool wait,
                 const std::function<bool()>& stop);
// Lock held. Removes what the queues and timers hold for a window being destroyed and
// completes its pending sent messages with 0. Returns the threads to wake.
void PurgeWindowLocked(HWND hwnd);

// Timers (timer.cpp). Lock held.
bool TakeDueTimerLocked(DWORD thread, HWND filter, bool remove, MSG* msg);
DWORD NextTimerDelayLocked(DWORD thread);
void KillWindowTimersLocked(HWND hwnd);

// Painting (paint.cpp). Lock held.
bool TakePaintLocked(DWORD thread, HWND filter, bool remove, MSG* msg);

// Built-in classes (controls.cpp, dialog.cpp).
// The built-in class of that (case-insensitive) name: its registered spelling and procedure.
bool LookupClass(const std::wstring& name, std::wstring* canonical, WNDPROC* proc);
LRESULT CALLBACK DialogWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
extern const wchar_t kDialogClass[];

// Dialog keyboard and focus helpers (dialog.cpp).
HWND NextTabStop(HWND dlg, HWND from, bool backwards);

// Text helpers shared by the controls and DefWindowProcW.
LRESULT CopyTextOut(const std::wstring& text, WPARAM bufferChars, LPARAM buffer);

}  // namespace user32
