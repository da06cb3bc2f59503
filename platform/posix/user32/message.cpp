// Message queues, one per thread: posting, sending across threads, retrieval
// (GetMessageW, PeekMessageW and the modal loops' core), dispatch.
//
// Retrieval order is the Windows one: messages sent by other threads first,
// then posted messages in FIFO order, then WM_QUIT, then WM_PAINT, then
// WM_TIMER. A thread blocked in SendMessageW keeps handling messages sent to
// it, so two threads sending to each other do not deadlock. A send to a window
// that is destroyed, or whose thread has ended, completes with 0 instead of
// blocking forever.
//
// Not here: timers (timer.cpp), paint requests (paint.cpp), dialogs' modal
// loop (dialog.cpp).
#include <utility>

#include "platform/posix/kernel32/stage_trace.h"
#include "platform/posix/user32/window_driver.h"
#include "platform/posix/user32/window_state.h"

namespace user32 {

namespace {

// Ends the thread's part in the window system when the thread exits: as on
// Windows its windows go with it (without their procedures being called: the
// thread is already leaving), senders waiting for it are released with 0 and
// later sends fail at once.
struct ThreadExit {
    ~ThreadExit() {
        auto& reg = Reg();
        DWORD me = CurrentThread();
        std::vector<HWND> owned;
        {
            std::lock_guard<std::mutex> lock(reg.lock);
            for (auto& [hwnd, w] : reg.windows)
                if (w->thread == me)
                    owned.push_back(hwnd);
        }
        // Children were created after their parents: announce them first.
        for (auto it = owned.rbegin(); it != owned.rend(); ++it)
            Driver().WindowDestroyed(*it);
        {
            std::lock_guard<std::mutex> lock(reg.lock);
            for (HWND hwnd : owned) {
                auto w = FindLocked(hwnd);
                if (!w)
                    continue;
                if (auto p = FindLocked(w->parent))
                    std::erase(p->children, hwnd);
                PurgeWindowLocked(hwnd);
                reg.windows.erase(hwnd);
            }
            auto it = reg.queues.find(me);
            if (it != reg.queues.end()) {
                for (auto& sm : it->second->sent) {
                    sm->result = 0;
                    sm->done = true;
                }
                reg.queues.erase(it);
            }
            reg.focus.erase(me);
        }
        reg.sendDone.notify_all();
    }
};

thread_local int t_sentHandled = 0;

bool FilterMatchesLocked(const MSG& m, HWND filter, UINT filterMin, UINT filterMax) {
    if (filter && !IsSelfOrDescendantLocked(filter, m.hwnd))
        return false;
    if (filterMin == 0 && filterMax == 0)
        return true;
    return m.message >= filterMin && m.message <= filterMax;
}

bool RangeAllows(UINT message, UINT filterMin, UINT filterMax) {
    return (filterMin == 0 && filterMax == 0) || (message >= filterMin && message <= filterMax);
}

LRESULT SendCore(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam, std::function<LRESULT()> fn) {
    auto& reg = Reg();
    DWORD me = CurrentThread();
    DWORD owner = 0;
    std::shared_ptr<SentMessage> sm;
    {
        std::lock_guard<std::mutex> lock(reg.lock);
        auto w = FindLocked(hwnd);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        owner = w->thread;
        if (owner != me) {
            auto it = reg.queues.find(owner);
            if (it == reg.queues.end())
                return 0;  // the window's thread has ended
            sm = std::make_shared<SentMessage>();
            sm->hwnd = hwnd;
            sm->message = message;
            sm->wParam = wParam;
            sm->lParam = lParam;
            sm->call = std::move(fn);
            it->second->sent.push_back(sm);
        }
    }
    if (!sm)
        return fn ? fn() : CallWindow(hwnd, message, wParam, lParam);
    Driver().Wake(owner);
    reg.sendDone.notify_all();  // the owner may itself be blocked in a send
    std::unique_lock<std::mutex> lock(reg.lock);
    while (!sm->done) {
        auto it = reg.queues.find(me);
        if (it != reg.queues.end() && !it->second->sent.empty()) {
            lock.unlock();
            ProcessSentMessages();
            lock.lock();
            continue;
        }
        reg.sendDone.wait(lock);
    }
    return sm->result;
}

}  // namespace

ThreadQueue& MyQueueLocked() {
    thread_local ThreadExit exitGuard;
    (void)exitGuard;
    auto& slot = Reg().queues[CurrentThread()];
    if (!slot)
        slot = std::make_shared<ThreadQueue>();
    return *slot;
}

LRESULT CallWindow(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    WNDPROC proc = nullptr;
    {
        std::lock_guard<std::mutex> lock(Reg().lock);
        auto w = FindLocked(hwnd);
        if (!w)
            return 0;
        proc = w->proc;
    }
    return proc(hwnd, message, wParam, lParam);
}

LRESULT RunOnWindowThread(HWND hwnd, std::function<LRESULT()> fn) {
    return SendCore(hwnd, WM_NULL, 0, 0, std::move(fn));
}

int ProcessSentMessages() {
    auto& reg = Reg();
    DWORD me = CurrentThread();
    int handled = 0;
    for (;;) {
        std::shared_ptr<SentMessage> sm;
        {
            std::lock_guard<std::mutex> lock(reg.lock);
            auto it = reg.queues.find(me);
            if (it == reg.queues.end() || it->second->sent.empty())
                break;
            sm = it->second->sent.front();
            it->second->sent.pop_front();
        }
        // For the bench: how long the hand-off from the sending thread took.
        platform::stage::Stamp(platform::stage::Mark::SentTaken, sm->message);
        LRESULT r = sm->call ? sm->call() : CallWindow(sm->hwnd, sm->message, sm->wParam, sm->lParam);
        {
            std::lock_guard<std::mutex> lock(reg.lock);
            sm->result = r;
            sm->done = true;
        }
        reg.sendDone.notify_all();
        ++handled;
    }
    t_sentHandled += handled;
    return handled;
}

void PurgeWindowLocked(HWND hwnd) {
    auto& reg = Reg();
    for (auto& [thread, q] : reg.queues) {
        std::erase_if(q->posted, [hwnd](const MSG& m) { return m.hwnd == hwnd; });
        std::erase_if(q->sent, [hwnd](const std::shared_ptr<SentMessage>& sm) {
            if (sm->hwnd != hwnd)
                return false;
            sm->result = 0;
            sm->done = true;
            return true;
        });
    }
    KillWindowTimersLocked(hwnd);
}

bool NextMessage(MSG* msg, HWND filter, UINT filterMin, UINT filterMax, bool remove, bool wait,
                 const std::function<bool()>& stop) {
    auto& reg = Reg();
    DWORD me = CurrentThread();
    for (;;) {
        ProcessSentMessages();
        if (stop && stop())
            return false;
        DWORD delay = 0;
        {
            std::lock_guard<std::mutex> lock(reg.lock);
            ThreadQueue& q = MyQueueLocked();
            if (!q.sent.empty())
                continue;  // arrived meanwhile: they go first
            for (auto it = q.posted.begin(); it != q.posted.end(); ++it) {
                if (!FilterMatchesLocked(*it, filter, filterMin, filterMax))
                    continue;
                *msg = *it;
                if (remove)
                    q.posted.erase(it);
                return true;
            }
            // WM_QUIT passes every filter, as on Windows.
            if (q.quit) {
                *msg = MSG{nullptr, WM_QUIT, static_cast<WPARAM>(q.quitCode), 0, Driver().Now(), {0, 0}};
                if (remove)
                    q.quit = false;
                return true;
            }
            if (RangeAllows(WM_PAINT, filterMin, filterMax) && TakePaintLocked(me, filter, remove, msg))
                return true;
            if (RangeAllows(WM_TIMER, filterMin, filterMax) && TakeDueTimerLocked(me, filter, remove, msg))
                return true;
            if (!wait)
                return false;
            delay = NextTimerDelayLocked(me);
        }
        Driver().WaitForEvents(delay);
    }
}

int PumpReadyMessages() {
    int before = t_sentHandled;
    int dispatched = 0;
    MSG m;
    while (PeekMessageW(&m, nullptr, 0, 0, PM_REMOVE)) {
        if (m.message == WM_QUIT) {
            // The quit belongs to the thread's own loop: leave it queued.
            PostQuitMessage(static_cast<int>(m.wParam));
            break;
        }
        TranslateMessage(&m);
        DispatchMessageW(&m);
        ++dispatched;
    }
    ProcessSentMessages();
    return dispatched + (t_sentHandled - before);
}

DWORD NextTimerDelay() {
    std::lock_guard<std::mutex> lock(Reg().lock);
    return NextTimerDelayLocked(CurrentThread());
}

}  // namespace user32

using namespace user32;

LRESULT WINAPI SendMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    return SendCore(hWnd, Msg, wParam, lParam, nullptr);
}

BOOL WINAPI PostMessageW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    auto& reg = Reg();
    DWORD owner = 0;
    {
        std::lock_guard<std::mutex> lock(reg.lock);
        ThreadQueue* q = nullptr;
        if (!hWnd) {
            // No window: a message for the calling thread itself, as on Windows.
            owner = CurrentThread();
            q = &MyQueueLocked();
        } else {
            auto w = FindLocked(hWnd);
            if (!w) {
                SetLastError(ERROR_INVALID_WINDOW_HANDLE);
                return FALSE;
            }
            owner = w->thread;
            auto it = reg.queues.find(owner);
            if (it == reg.queues.end()) {
                SetLastError(ERROR_INVALID_WINDOW_HANDLE);
                return FALSE;
            }
            q = it->second.get();
        }
        q->posted.push_back(MSG{hWnd, Msg, wParam, lParam, Driver().Now(), {0, 0}});
    }
    Driver().Wake(owner);
    return TRUE;
}

BOOL WINAPI GetMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax) {
    if (!lpMsg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    NextMessage(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, true, true, nullptr);
    return lpMsg->message == WM_QUIT ? FALSE : TRUE;
}

BOOL WINAPI PeekMessageW(LPMSG lpMsg, HWND hWnd, UINT wMsgFilterMin, UINT wMsgFilterMax, UINT wRemoveMsg) {
    if (!lpMsg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    // Give a toolkit back end the chance to turn its pending events into ours.
    Driver().WaitForEvents(0);
    return NextMessage(lpMsg, hWnd, wMsgFilterMin, wMsgFilterMax, (wRemoveMsg & PM_REMOVE) != 0, false, nullptr)
               ? TRUE
               : FALSE;
}

// Keys reach the controls as WM_KEYDOWN only; nothing needs WM_CHAR, so no
// translation happens and the call says so.
BOOL WINAPI TranslateMessage(const MSG* /*lpMsg*/) { return FALSE; }

LRESULT WINAPI DispatchMessageW(const MSG* lpMsg) {
    if (!lpMsg) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    // Thread messages have no window to go to. A WM_TIMER's lParam would name
    // a timer procedure; none are supported, so it is never called.
    if (!lpMsg->hwnd)
        return 0;
    if (!IsWindow(lpMsg->hwnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return CallWindow(lpMsg->hwnd, lpMsg->message, lpMsg->wParam, lpMsg->lParam);
}

void WINAPI PostQuitMessage(int nExitCode) {
    std::lock_guard<std::mutex> lock(Reg().lock);
    ThreadQueue& q = MyQueueLocked();
    q.quit = true;
    q.quitCode = nExitCode;
}
