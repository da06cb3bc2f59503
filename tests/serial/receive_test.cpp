// The receive watcher on a real pseudo-terminal with the headless message
// loop: delivery of replies, the watcher's lifecycle, and process end.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "common/state.h"
#include "engine/outcome.h"
#include "engine/run.h"
#include "framework/afxwin.h"
#include "platform/posix/kernel32/tty.h"
#include "serial/port.h"
#include "serial/receive.h"
#include "tests/engine/dialog_fixture.h"
#include "tests/serial/pty_terminal.h"

namespace {

// Holds a leaving watcher between the end of its loop and the clearing of
// g_ReadThread until released (at most 3 s, so a fault cannot hang the test).
std::atomic<bool> g_watcherHeld{false};
std::atomic<bool> g_releaseWatcher{false};

void HoldLeavingWatcher() {
    g_watcherHeld = true;
    const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    while (!g_releaseWatcher && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// Whether a leaving watcher left its loop while the port's handle was still
// open, i.e. within the close's pause.
std::atomic<int> g_leftWithHandle{0};
std::atomic<int> g_leftWithoutHandle{0};

void NoteHowTheWatcherLeft() {
    (State().g_PortHandle.load() != nullptr ? g_leftWithHandle : g_leftWithoutHandle).fetch_add(1);
}

class ReceiveTest : public DialogFixture {
protected:
    void SetUp() override {
        DialogFixture::SetUp();
        ASSERT_TRUE(pty_.Ok());
        dlg_->m_Port.SetWindowText(pty_.SlaveWide().c_str());
        const std::wstring path = L"\\\\.\\" + pty_.SlaveWide();
        std::wcscpy(State().g_DebugDevFileName, path.c_str());
    }
    bool WatcherCountStaysOne() {
        // A watcher that has left its loop still counts until its thread has
        // ended; on a loaded machine that can take a while after the new one
        // starts. A second running watcher never ends (it polls while the port
        // is open), so once the count has come down to one it must stay there.
        if (!PumpUntil([] { return AfxRunningThreadCount() <= 1; }))
            return false;
        for (int i = 0; i < 20; ++i) {
            Pump();
            if (AfxRunningThreadCount() != 1 || State().g_ReadThread.load() == nullptr)
                return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        return true;
    }

    PtyTerminal pty_;
};

TEST_F(ReceiveTest, ReplyInTwoPiecesIsJudgedAfterTheSecond) {
    WriteScript(ScriptBuilder().OpenPort().Wait().Bytes());
    RunUpgradeEvent(UPG_EVENT_START);
    ASSERT_TRUE(State().g_PortOpen);
    Advance(1000);
    ASSERT_EQ(State().g_LastCmd, CMD_WAIT);

    const std::vector<unsigned char> frame = Format1Reply(0);
    ASSERT_TRUE(pty_.Send(std::vector<unsigned char>(frame.begin(), frame.begin() + 7)));
    ASSERT_TRUE(PumpUntil([] { return State().g_RxCount == 7; }));
    EXPECT_TRUE(State().g_Upgrading);
    ASSERT_TRUE(pty_.Send(std::vector<unsigned char>(frame.begin() + 7, frame.end())));
    ASSERT_TRUE(PumpUntil([] { return LastRunOutcome() == RunOutcome::Success; }));
    EXPECT_EQ(State().g_RxCount, 0u);
    EXPECT_EQ(Text(IDC_PROGRESS_STATUS), L"loader Success!");
}

TEST_F(ReceiveTest, SentPayloadAndRepliesMakeAWholeRun) {
    const std::vector<BYTE> payload = {0x00, 0x11, 0xFF, 0x0D, 0x0A, 0x03};
    WriteScript(ScriptBuilder().OpenPort().SendF1(payload).SendF2({0x24}).ClosePort().Bytes());
    RunUpgradeEvent(UPG_EVENT_START);
    Advance(1000);
    EXPECT_EQ(pty_.Take(payload.size()), payload);
    ASSERT_TRUE(pty_.Send(Format1Reply(0)));
    ASSERT_TRUE(PumpUntil([] { return State().g_LastCmd == CMD_SEND_F2; }));
    EXPECT_EQ(pty_.Take(1), std::vector<unsigned char>{0x24});
    ASSERT_TRUE(pty_.Send(Format2Reply('$')));
    ASSERT_TRUE(PumpUntil([] { return State().g_LastCmd == CMD_CLOSE_PORT; }));
    Advance(1000);
    EXPECT_EQ(LastRunOutcome(), RunOutcome::Success);
}

TEST_F(ReceiveTest, BytesWhileIdleAreConsumedAndLost) {
    ASSERT_TRUE(UpgradeOpenPort());
    ASSERT_TRUE(pty_.Send({1, 2, 3, 4}));
    ASSERT_TRUE(PumpUntil([] {
        DWORD errors = 0;
        COMSTAT stat{};
        return ClearCommError(State().g_PortHandle.load(), &errors, &stat) && stat.cbInQue == 0;
    }));
    EXPECT_EQ(State().g_RxCount, 0u);
}

TEST_F(ReceiveTest, WatcherClearsItsReferenceAfterClose) {
    ASSERT_TRUE(UpgradeOpenPort());
    ASSERT_NE(State().g_ReadThread.load(), nullptr);
    EXPECT_EQ(AfxRunningThreadCount(), 1);
    UpgradeClosePort();
    ASSERT_TRUE(PumpUntil([] { return State().g_ReadThread.load() == nullptr; }));
    ASSERT_TRUE(PumpUntil([] { return AfxRunningThreadCount() == 0; }));
    // The next open starts a new watcher.
    ASSERT_TRUE(UpgradeOpenPort());
    EXPECT_NE(State().g_ReadThread.load(), nullptr);
    EXPECT_EQ(AfxRunningThreadCount(), 1);
}

TEST_F(ReceiveTest, ReopenRightAfterCloseEndsWithExactlyOneWatcher) {
    for (int round = 0; round < 5; ++round) {
        ASSERT_TRUE(UpgradeOpenPort()) << "round " << round;
        UpgradeClosePort();
        // No return to the message loop between the close and the open.
        ASSERT_TRUE(UpgradeOpenPort()) << "round " << round;
        EXPECT_TRUE(WatcherCountStaysOne()) << "round " << round << ": " << AfxRunningThreadCount() << " watchers";
        UpgradeClosePort();
    }
}

TEST_F(ReceiveTest, ReopenWhileTheOldWatcherIsLeavingStartsANewOne) {
    g_watcherHeld = false;
    g_releaseWatcher = false;
    SetWatcherLeavingHookForTest(HoldLeavingWatcher);
    ASSERT_TRUE(UpgradeOpenPort());
    UpgradeClosePort();
    ASSERT_TRUE(PumpUntil([] { return g_watcherHeld.load(); }));
    // The old watcher has seen the close but still holds g_ReadThread; let
    // it go a little later, while the open below is under way.
    std::thread releaser([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        g_releaseWatcher = true;
    });
    SetWatcherLeavingHookForTest(nullptr);
    const bool opened = UpgradeOpenPort();
    releaser.join();
    ASSERT_TRUE(opened);
    EXPECT_TRUE(WatcherCountStaysOne()) << AfxRunningThreadCount() << " watchers";
}

TEST_F(ReceiveTest, ReopenWhileTheOldWatcherWaitsInItsNotification) {
    ASSERT_TRUE(UpgradeOpenPort());
    // The watcher sends WM_DEBUGREAD and waits: this thread is not pumping.
    ASSERT_TRUE(pty_.Send({9, 9, 9}));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    UpgradeClosePort();
    ASSERT_TRUE(UpgradeOpenPort());
    EXPECT_TRUE(WatcherCountStaysOne());
    // The open handled the old watcher's notification while it waited.
    EXPECT_FALSE(Traced("receive watcher did not end within 2000 ms\r\n"));
}

TEST_F(ReceiveTest, CloseWhileANotificationIsPendingReadsNothing) {
    WriteScript(ScriptBuilder().OpenPort().Wait().Bytes());
    RunUpgradeEvent(UPG_EVENT_START);
    Advance(1000);
    ASSERT_TRUE(pty_.Send({1, 2, 3}));
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // the notification is now pending
    RunUpgradeEvent(UPG_EVENT_STOP);
    EXPECT_EQ(State().g_PortHandle.load(), nullptr);
    // The pending notification is handled now and finds no handle.
    ASSERT_TRUE(PumpUntil([] { return State().g_ReadThread.load() == nullptr; }));
    EXPECT_EQ(State().g_RxCount, 0u);
    EXPECT_EQ(LastRunOutcome(), RunOutcome::Stopped);
}

TEST_F(ReceiveTest, UnpluggedTerminalKeepsTheWatcherPollingUntilClose) {
    ASSERT_TRUE(UpgradeOpenPort());
    pty_.Unplug();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    Pump();
    EXPECT_NE(State().g_ReadThread.load(), nullptr);
    UpgradeClosePort();
    ASSERT_TRUE(PumpUntil([] { return State().g_ReadThread.load() == nullptr; }));
}

TEST_F(ReceiveTest, WatcherLeavesWithinTheClosesPause) {
    // The watcher waits for input inside ClearCommError; the wait's bound
    // must let it see g_PortOpen cleared before the close takes the handle.
    g_leftWithHandle = 0;
    g_leftWithoutHandle = 0;
    SetWatcherLeavingHookForTest(NoteHowTheWatcherLeft);
    for (int round = 0; round < 3; ++round) {
        ASSERT_TRUE(UpgradeOpenPort()) << "round " << round;
        std::this_thread::sleep_for(std::chrono::milliseconds(30));  // the watcher is in its wait
        UpgradeClosePort();
        ASSERT_TRUE(PumpUntil([] { return State().g_ReadThread.load() == nullptr; })) << "round " << round;
    }
    SetWatcherLeavingHookForTest(nullptr);
    EXPECT_EQ(g_leftWithHandle.load(), 3);
    EXPECT_EQ(g_leftWithoutHandle.load(), 0);
}

TEST_F(ReceiveTest, ReplyDuringTheWatchersWaitIsDeliveredAtOnce) {
    // With the wait's bound far beyond the hard limit below, a reply that is
    // delivered at all was delivered because it ended the wait.
    platform::SetInputWaitForTest(60000);
    WriteScript(ScriptBuilder().OpenPort().Wait().Bytes());
    RunUpgradeEvent(UPG_EVENT_START);
    Advance(1000);
    ASSERT_EQ(State().g_LastCmd, CMD_WAIT);
    std::this_thread::sleep_for(std::chrono::milliseconds(30));  // the watcher is in its wait
    const bool sent = pty_.Send(Format1Reply(0));
    const bool judged = PumpUntil([] { return LastRunOutcome() == RunOutcome::Success; }, 5000);
    // The close ends any wait still running, whatever the bound.
    platform::SetInputWaitForTest(-1);
    ASSERT_TRUE(sent);
    EXPECT_TRUE(judged) << "the reply was not delivered while the watcher waited";
}

using ReceiveDeathTest = ReceiveTest;

TEST_F(ReceiveDeathTest, ProcessEndWhileTheWatcherRunsIsClean) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            alarm(5);  // a hang ends the child with SIGALRM, failing the test
            // Runs after every handler registered later, the port's among
            // them: by then the watcher must have left.
            std::atexit([] {
                if (State().g_ReadThread.load() != nullptr || AfxRunningThreadCount() != 0)
                    std::_Exit(4);
            });
            if (!UpgradeOpenPort())
                std::_Exit(3);
            // Leave the watcher blocked in its notification to this thread.
            pty_.Send({1, 2, 3});
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
            std::exit(0);
        },
        ::testing::ExitedWithCode(0), "");
}

}  // namespace
