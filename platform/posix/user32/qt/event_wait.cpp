// The waits of the message loops and the pump behind message boxes.
#include "platform/posix/user32/qt/event_wait.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <chrono>
#include <climits>

#include "platform/posix/user32/qt/application.h"
#include "platform/posix/user32/window_driver.h"

namespace ui_qt {
namespace {

int TimerInterval(DWORD ms) { return ms > static_cast<DWORD>(INT_MAX) ? INT_MAX : static_cast<int>(ms); }

}  // namespace

EventWait::EventWait() = default;

EventWait::~EventWait() = default;

EventWait::ThreadWaiter& EventWait::WaiterFor(DWORD threadId) {
    std::lock_guard<std::mutex> lock(waitersLock_);
    auto& slot = waiters_[threadId];
    if (!slot)
        slot = std::make_unique<ThreadWaiter>();
    return *slot;
}

void EventWait::EnsurePumpTimer() {
    if (pumpTimer_)
        return;
    // Owned by the application, which outlives every wait (application.cpp).
    pumpTimer_ = new QTimer(QCoreApplication::instance());
    pumpTimer_->setSingleShot(true);
    QObject::connect(pumpTimer_, &QTimer::timeout, pumpTimer_, [this] { Pump(); });
}

void EventWait::Wait(DWORD timeoutMs) {
    if (!OnGuiThread()) {
        WaitOffGui(timeoutMs);
        return;
    }
    EnsurePumpTimer();
    // A look without waiting (PeekMessageW asks so before every look): the
    // events already queued are delivered; what woke the thread is in the
    // window system's queues, which the caller reads next.
    if (timeoutMs == 0) {
        guiWoken_ = false;
        QCoreApplication::processEvents();
        return;
    }
    // A wake that came before this wait must end it at once; the input that
    // is already queued is still delivered.
    if (guiWoken_.exchange(false)) {
        QCoreApplication::processEvents();
        return;
    }
    QEventLoop loop;
    QEventLoop* outer = activeLoop_;
    activeLoop_ = &loop;
    QTimer timeout;
    timeout.setSingleShot(true);
    QObject::connect(&timeout, &QTimer::timeout, &loop, &QEventLoop::quit);
    if (timeoutMs != INFINITE)
        timeout.start(TimerInterval(timeoutMs));
    // A wake between the check above and exec() is delivered inside exec()
    // as the queued call of Wake, which quits `loop`.
    if (!guiWoken_.exchange(false))
        loop.exec();
    activeLoop_ = outer;
}

void EventWait::WaitOffGui(DWORD timeoutMs) {
    ThreadWaiter& w = WaiterFor(GetCurrentThreadId());
    std::unique_lock<std::mutex> lock(w.lock);
    if (timeoutMs == INFINITE) {
        w.cv.wait(lock, [&] { return w.woken; });
    } else {
        w.cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return w.woken; });
    }
    w.woken = false;
}

void EventWait::Wake(DWORD threadId) {
    {
        // Always, also for the GUI thread: it waits here until its QApplication exists.
        ThreadWaiter& w = WaiterFor(threadId);
        std::lock_guard<std::mutex> lock(w.lock);
        w.woken = true;
        w.cv.notify_all();
    }
    if (threadId != GuiThreadId() || GuiThreadId() == 0)
        return;
    guiWoken_ = true;
    if (wakePosted_.exchange(true))
        return;  // one queued call at a time is enough
    QCoreApplication* app = QCoreApplication::instance();
    if (!app) {
        wakePosted_ = false;
        return;
    }
    // Queued to the application object, which lives on the GUI thread; the
    // call is dropped harmlessly if the application goes first.
    QMetaObject::invokeMethod(
        app, [this] { OnWoken(); }, Qt::QueuedConnection);
}

void EventWait::OnWoken() {
    wakePosted_ = false;
    if (activeLoop_)
        activeLoop_->quit();
    if (pumpDepth_ > 0 && pumpTimer_)
        pumpTimer_->start(0);
}

void EventWait::InputHandled() {
    if (activeLoop_)
        activeLoop_->quit();
    if (pumpDepth_ > 0 && pumpTimer_)
        pumpTimer_->start(0);
}

void EventWait::BeginModalPump() {
    EnsurePumpTimer();
    ++pumpDepth_;
    pumpTimer_->start(0);
}

void EventWait::EndModalPump() {
    if (pumpDepth_ > 0)
        --pumpDepth_;
    if (pumpDepth_ == 0 && pumpTimer_)
        pumpTimer_->stop();
}

void EventWait::Pump() {
    if (pumpDepth_ == 0)
        return;
    if (pumpingLevel_ == pumpDepth_) {
        // Reached again from Qt events delivered while pumping for the same
        // box (PeekMessageW lets the back end deliver its events): the pump
        // running looks again when it is done instead of nesting. A box
        // opened by a handler meanwhile is a deeper level and pumps itself.
        pumpAgain_ = true;
        return;
    }
    const int outerLevel = pumpingLevel_;
    pumpingLevel_ = pumpDepth_;
    do {
        pumpAgain_ = false;
        // The wake-up flag is consumed here: what woke the thread is dispatched now.
        guiWoken_ = false;
        user32::PumpReadyMessages();
    } while (pumpAgain_ && pumpDepth_ > 0);
    pumpingLevel_ = outerLevel;
    // A handler may have closed the last box meanwhile.
    if (pumpDepth_ == 0)
        return;
    const DWORD next = user32::NextTimerDelay();
    if (next != INFINITE && !pumpTimer_->isActive())
        pumpTimer_->start(TimerInterval(next));
}

}  // namespace ui_qt
