// Window timers: SetTimer / KillTimer and the WM_TIMER messages they produce.
//
// As on Windows, WM_TIMER is not queued: a loop generates it when the
// thread's queue has nothing else (lowest priority), one per due timer per
// look, and a timer that missed several periods fires once. The next due time
// stays on the timer's own schedule (start + n * period), so ticks do not drift
// with the loop's delays. Timers are due against the back end's clock, which
// in tests is a manual clock.
//
// Timer procedures are not supported: ticks always arrive as WM_TIMER.
#include <algorithm>

#include "platform/posix/user32/window_driver.h"
#include "platform/posix/user32/window_state.h"

namespace user32 {

namespace {

// Clock values wrap after 49 days: compare them by signed distance.
bool IsDue(DWORD due, DWORD now) { return static_cast<int32_t>(now - due) >= 0; }

}  // namespace

bool TakeDueTimerLocked(DWORD thread, HWND filter, bool remove, MSG* msg) {
    auto& reg = Reg();
    DWORD now = Driver().Now();
    for (auto& [key, timer] : reg.timers) {
        if (timer.thread != thread || !IsDue(timer.due, now))
            continue;
        if (filter && !IsSelfOrDescendantLocked(filter, key.first))
            continue;
        *msg = MSG{key.first, WM_TIMER, static_cast<WPARAM>(key.second), 0, now, {0, 0}};
        if (remove) {
            DWORD missed = (now - timer.due) / timer.period;
            timer.due += (missed + 1) * timer.period;
        }
        return true;
    }
    return false;
}

DWORD NextTimerDelayLocked(DWORD thread) {
    auto& reg = Reg();
    DWORD now = Driver().Now();
    DWORD best = INFINITE;
    for (auto& [key, timer] : reg.timers) {
        if (timer.thread != thread)
            continue;
        if (IsDue(timer.due, now))
            return 0;
        best = std::min(best, timer.due - now);
    }
    return best;
}

void KillWindowTimersLocked(HWND hwnd) {
    std::erase_if(Reg().timers, [hwnd](const auto& entry) { return entry.first.first == hwnd; });
}

}  // namespace user32

using namespace user32;

UINT_PTR WINAPI SetTimer(HWND hWnd, UINT_PTR nIDEvent, UINT uElapse, TIMERPROC lpTimerFunc) {
    if (lpTimerFunc || !hWnd) {
        // Only window timers delivering WM_TIMER exist here: no timer
        // procedures and no thread timers.
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return 0;
    }
    // Windows runs shorter periods at USER_TIMER_MINIMUM and longer ones at
    // USER_TIMER_MAXIMUM (0x7FFFFFFF).
    DWORD period = std::clamp<DWORD>(uElapse, USER_TIMER_MINIMUM, 0x7FFFFFFFu);
    auto& reg = Reg();
    DWORD owner = 0;
    {
        std::lock_guard<std::mutex> lock(reg.lock);
        auto w = FindLocked(hWnd);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        owner = w->thread;
        // Re-arming an existing id replaces its period and starts the count afresh.
        reg.timers[{hWnd, nIDEvent}] = Timer{owner, period, Driver().Now() + period};
    }
    // A waiting loop must recompute how long to sleep. The thread that sets
    // its own timer is not waiting, and its loop looks at the timers before
    // it next waits; waking it would only cost it an idle pass, which after
    // every record the run engine sends would compete with the terminal for
    // the processor.
    if (owner != CurrentThread())
        Driver().Wake(owner);
    return nIDEvent ? nIDEvent : 1;
}

BOOL WINAPI KillTimer(HWND hWnd, UINT_PTR uIDEvent) {
    std::lock_guard<std::mutex> lock(Reg().lock);
    if (!FindLocked(hWnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (Reg().timers.erase({hWnd, uIDEvent}) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}
