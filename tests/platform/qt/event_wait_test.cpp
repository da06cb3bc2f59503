// The back end's waits: a wake from another thread ends a long wait early,
// a timeout ends a wait on time, and the clock moves with real time.
#include <QElapsedTimer>
#include <atomic>
#include <thread>

#include "platform/posix/user32/window_driver.h"
#include "tests/platform/qt/dialog_fixture.h"

namespace qt_test {
namespace {

using QtEventWait = QtDialogTest;  // the dialog makes this thread Qt's GUI thread

void Drain() {
    // Wakes left over from creating the dialog end these at once.
    for (int i = 0; i < 3; ++i)
        user32::Driver().WaitForEvents(0);
}

TEST_F(QtEventWait, WakeFromAnotherThreadEndsALongWait) {
    Drain();
    const DWORD me = GetCurrentThreadId();
    std::thread waker([me] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        user32::Driver().Wake(me);
    });
    QElapsedTimer clock;
    clock.start();
    user32::Driver().WaitForEvents(5000);
    const qint64 took = clock.elapsed();
    waker.join();
    EXPECT_LT(took, 2000);
}

TEST_F(QtEventWait, WakeBeforeTheWaitIsNotLost) {
    Drain();
    user32::Driver().Wake(GetCurrentThreadId());
    QElapsedTimer clock;
    clock.start();
    user32::Driver().WaitForEvents(5000);
    EXPECT_LT(clock.elapsed(), 2000);
}

TEST_F(QtEventWait, TimeoutEndsTheWait) {
    Drain();
    QElapsedTimer clock;
    clock.start();
    user32::Driver().WaitForEvents(60);
    const qint64 took = clock.elapsed();
    EXPECT_GE(took, 50);
    EXPECT_LT(took, 2000);
}

TEST_F(QtEventWait, PostedMessageFromAWorkerIsDispatchedPromptly) {
    const HWND hwnd = Hwnd();
    std::thread poster([hwnd] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        PostMessageW(hwnd, kPostedMessage, 0, 0);
    });
    QElapsedTimer clock;
    clock.start();
    MSG msg;
    // The message loop as the dialog manager runs it.
    while (dlg->posted == 0 && clock.elapsed() < 3000) {
        if (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            DispatchMessageW(&msg);
        } else {
            user32::Driver().WaitForEvents(2000);
        }
    }
    poster.join();
    EXPECT_EQ(dlg->posted, 1);
    EXPECT_LT(clock.elapsed(), 1500);
}

TEST_F(QtEventWait, NowFollowsTheSteadyClock) {
    const DWORD before = user32::Driver().Now();
    user32::Driver().WaitForEvents(30);
    const DWORD after = user32::Driver().Now();
    EXPECT_GE(after - before, 25u);
    EXPECT_LT(after - before, 2000u);
}

}  // namespace
}  // namespace qt_test
