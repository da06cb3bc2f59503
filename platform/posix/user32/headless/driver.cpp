// The headless window back end: the driver table with nothing on screen, a
// steady or manual clock, message boxes answered by a responder, and the
// test/runner controls of headless/harness.h.
//
// Waiting: each thread that runs a message loop has a wake flag. Wake sets it
// and WaitForEvents consumes it, so a wake that comes between a loop's last
// look at its queue and its wait is never lost. On the manual clock waits
// have no real-time deadline (the clock moves only by AdvanceClock, which
// wakes every waiting thread); on the steady clock they end at the timeout.
#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>

#include "platform/posix/user32/headless/harness.h"
#include "platform/posix/user32/window_driver.h"
#include "platform/posix/user32/window_state.h"

namespace {

DWORD SteadyNow() {
    using namespace std::chrono;
    return static_cast<DWORD>(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

int DefaultAnswer(UINT type) {
    switch (type & MB_TYPEMASK) {
        case MB_OK:
            return IDOK;
        case MB_YESNO:
            return IDNO;
        case MB_ABORTRETRYIGNORE:
            return IDABORT;
        default:
            return IDCANCEL;  // MB_OKCANCEL, MB_YESNOCANCEL, MB_RETRYCANCEL
    }
}

class HeadlessDriver final : public user32::WindowDriver {
public:
    void WindowCreated(HWND) override {}
    void WindowDestroyed(HWND) override {}

    void WindowChanged(HWND hwnd, UINT message) override {
        std::function<void(HWND, UINT)> observer;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            observer = observer_;
        }
        if (observer)
            observer(hwnd, message);
    }

    void WaitForEvents(DWORD timeoutMs) override {
        DWORD me = GetCurrentThreadId();
        std::unique_lock<std::mutex> lock(mutex_);
        bool& woken = wakeFlags_[me];
        if (!woken && timeoutMs != 0) {
            if (manual_ || timeoutMs == INFINITE) {
                cv_.wait(lock, [&] { return woken; });
            } else {
                cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return woken; });
            }
        }
        woken = false;
    }

    // Waits in real time for a wake, whichever clock runs (RunUntil's wait for other threads).
    void WaitRealTime(DWORD ms) {
        DWORD me = GetCurrentThreadId();
        std::unique_lock<std::mutex> lock(mutex_);
        bool& woken = wakeFlags_[me];
        cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return woken; });
        woken = false;
    }

    void Wake(DWORD threadId) override {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            wakeFlags_[threadId] = true;
        }
        cv_.notify_all();
    }

    int MessageBox(HWND owner, const std::wstring& text, const std::wstring& caption, UINT type) override {
        headless::MessageBoxResponder responder;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            responder = responder_;
        }
        return responder ? responder(owner, text, caption, type) : DefaultAnswer(type);
    }

    DWORD Now() override {
        std::lock_guard<std::mutex> lock(mutex_);
        return manual_ ? manualNow_ : SteadyNow();
    }

    void UseManualClock(bool manual) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (manual && !manual_)
                manualNow_ = SteadyNow();
            manual_ = manual;
        }
        WakeAll();
    }

    bool IsManual() {
        std::lock_guard<std::mutex> lock(mutex_);
        return manual_;
    }

    void AdvanceClock(DWORD ms) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!manual_)
                return;
            manualNow_ += ms;
        }
        WakeAll();
    }

    void SetResponder(headless::MessageBoxResponder responder) {
        std::lock_guard<std::mutex> lock(mutex_);
        responder_ = std::move(responder);
    }

    void SetObserver(std::function<void(HWND, UINT)> observer) {
        std::lock_guard<std::mutex> lock(mutex_);
        observer_ = std::move(observer);
    }

private:
    void WakeAll() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            for (auto& [thread, woken] : wakeFlags_)
                woken = true;
        }
        cv_.notify_all();
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    std::map<DWORD, bool> wakeFlags_;
    bool manual_ = false;
    DWORD manualNow_ = 0;
    headless::MessageBoxResponder responder_;
    std::function<void(HWND, UINT)> observer_;
};

HeadlessDriver& Headless() {
    static HeadlessDriver driver;
    return driver;
}

}  // namespace

namespace user32 {

WindowDriver& Driver() { return Headless(); }

}  // namespace user32

namespace headless {

void SetMessageBoxResponder(MessageBoxResponder responder) { Headless().SetResponder(std::move(responder)); }

void UseManualClock(bool manual) { Headless().UseManualClock(manual); }

void AdvanceClock(DWORD ms) { Headless().AdvanceClock(ms); }

DWORD Now() { return Headless().Now(); }

int PumpMessages() { return user32::PumpReadyMessages(); }

bool RunUntil(std::function<bool()> done, DWORD maxMs, DWORD checkMs) {
    DWORD clockStart = Now();
    DWORD realStart = SteadyNow();
    for (;;) {
        PumpMessages();
        if (done())
            return true;
        DWORD clockUsed = Now() - clockStart;
        DWORD realUsed = SteadyNow() - realStart;
        if (clockUsed >= maxMs || realUsed >= maxMs)
            return done();
        DWORD timer = user32::NextTimerDelay();
        if (Headless().IsManual()) {
            if (timer != INFINITE && timer <= maxMs - clockUsed) {
                AdvanceClock(timer);  // nothing to wait for in real time: jump to the tick
                continue;
            }
            // No tick within the budget: the budget passes at once.
            AdvanceClock(maxMs - clockUsed);
            PumpMessages();
            return done();
        } else {
            DWORD wait = std::min(maxMs - std::max(clockUsed, realUsed), timer);
            Headless().WaitRealTime(std::min<DWORD>(wait, std::max<DWORD>(checkMs, 1)));
        }
    }
}

void SetWindowObserver(std::function<void(HWND, UINT message)> observer) {
    Headless().SetObserver(std::move(observer));
}

void DropDown(HWND combo) { user32::OperatorDropDown(combo); }

void SelectItem(HWND combo, int index) { user32::OperatorSelect(combo, index); }

void KeyPress(HWND dlg, UINT vk) { user32::OperatorKey(dlg, vk, false); }

void AltKeyPress(HWND dlg, UINT vk) { user32::OperatorKey(dlg, vk, true); }

void TypeText(HWND combo, const wchar_t* text) { user32::OperatorType(combo, text ? text : L""); }

void Click(HWND button) { user32::OperatorClick(button); }

void Minimize(HWND hwnd, bool minimized) { user32::OperatorMinimize(hwnd, minimized); }

int WindowCount() {
    std::lock_guard<std::mutex> lock(user32::Reg().lock);
    return static_cast<int>(user32::Reg().windows.size());
}

}  // namespace headless
