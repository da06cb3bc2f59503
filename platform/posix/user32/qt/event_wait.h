// Waiting for events on behalf of the window system's message loops.
//
// On the GUI thread a wait runs Qt's own event processing, so the widgets
// stay alive while the window system waits: it ends at the timeout, when
// another thread (or the window system itself) wakes the thread, or after the
// operator did something the window system must look at. Other threads that
// run message loops wait on a condition variable instead.
//
// While a message box is open, the window system's messages of the GUI
// thread keep flowing through a pump driven from the same wake-ups and from
// the thread's next timer.
#pragma once

#include <QObject>
#include <QTimer>
#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

#include "platform/api.h"

class QEventLoop;

namespace ui_qt {

class EventWait {
public:
    EventWait();
    ~EventWait();
    EventWait(const EventWait&) = delete;
    EventWait& operator=(const EventWait&) = delete;

    // WindowDriver::WaitForEvents and Wake.
    void Wait(DWORD timeoutMs);
    void Wake(DWORD threadId);

    // Ends the innermost wait of the GUI thread: the operator's input was
    // handed to the window system. GUI thread only.
    void InputHandled();

    // Brackets a modal loop of Qt's (a message box) during which the window
    // system's ready messages and due timers are dispatched. GUI thread only;
    // nests.
    void BeginModalPump();
    void EndModalPump();

private:
    struct ThreadWaiter {
        std::mutex lock;
        std::condition_variable cv;
        bool woken = false;
    };
    ThreadWaiter& WaiterFor(DWORD threadId);
    void WaitOffGui(DWORD timeoutMs);
    void EnsurePumpTimer();  // GUI thread
    void OnWoken();          // GUI thread
    void Pump();             // GUI thread

    std::mutex waitersLock_;
    std::map<DWORD, std::unique_ptr<ThreadWaiter>> waiters_;

    // GUI thread side. `guiWoken_` and `wakePosted_` are touched by any thread.
    std::atomic<bool> guiWoken_{false};
    std::atomic<bool> wakePosted_{false};
    QEventLoop* activeLoop_ = nullptr;
    int pumpDepth_ = 0;
    int pumpingLevel_ = 0;  // the box depth a running Pump() serves, 0 when none
    bool pumpAgain_ = false;
    QTimer* pumpTimer_ = nullptr;  // GUI thread; a child of the application
};

// The driver's one instance.
EventWait& Waiter();
// Waiter().InputHandled(), for widgets and filters.
void InputHandled();

}  // namespace ui_qt
