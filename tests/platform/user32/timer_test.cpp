// Window timers on the manual clock: period, re-arming, killing, the
// shortest period, several ids, no pile-up, and priority below posted messages.
#include <atomic>
#include <chrono>
#include <map>
#include <thread>

#include "tests/platform/user32/fixture.h"

namespace user32test {
namespace {

class TimerTest : public User32Test {
protected:
    void SetUp() override {
        User32Test::SetUp();
        headless::UseManualClock(true);
        dlg = CreateMainDialog();
        ASSERT_NE(dlg, nullptr);
        headless::PumpMessages();
        received.clear();
    }

    // Moves the clock and handles what became due; returns the ticks per id.
    std::map<UINT_PTR, int> Advance(DWORD ms) {
        headless::AdvanceClock(ms);
        headless::PumpMessages();
        std::map<UINT_PTR, int> ticks;
        for (const auto& r : Seen(WM_TIMER))
            ++ticks[r.wParam];
        received.clear();
        return ticks;
    }

    HWND dlg = nullptr;
};

TEST_F(TimerTest, TicksRepeatAtThePeriod) {
    ASSERT_EQ(SetTimer(dlg, 2054, 100, nullptr), 2054u);
    EXPECT_EQ(Advance(99)[2054], 0);
    EXPECT_EQ(Advance(1)[2054], 1);
    EXPECT_EQ(Advance(99)[2054], 0);
    EXPECT_EQ(Advance(1)[2054], 1);
}

TEST_F(TimerTest, TickArrivesAsWmTimerWithTheIdAndNoProcedure) {
    SetTimer(dlg, 7, 50, nullptr);
    headless::AdvanceClock(50);
    headless::PumpMessages();
    auto ticks = Seen(WM_TIMER);
    ASSERT_EQ(ticks.size(), 1u);
    EXPECT_EQ(ticks[0].hwnd, dlg);
    EXPECT_EQ(ticks[0].wParam, 7u);
    EXPECT_EQ(ticks[0].lParam, 0);
}

TEST_F(TimerTest, MissedPeriodsFireOnceAndKeepTheSchedule) {
    SetTimer(dlg, 1, 100, nullptr);
    EXPECT_EQ(Advance(350)[1], 1);
    EXPECT_EQ(Advance(49)[1], 0);
    EXPECT_EQ(Advance(1)[1], 1);  // due at 400 on the original schedule
}

TEST_F(TimerTest, RearmingRestartsTheCount) {
    SetTimer(dlg, 1, 100, nullptr);
    EXPECT_EQ(Advance(60)[1], 0);
    SetTimer(dlg, 1, 100, nullptr);
    EXPECT_EQ(Advance(60)[1], 0);
    EXPECT_EQ(Advance(40)[1], 1);
}

TEST_F(TimerTest, RearmingReplacesThePeriod) {
    SetTimer(dlg, 1, 1000, nullptr);
    SetTimer(dlg, 1, 30, nullptr);
    EXPECT_EQ(Advance(30)[1], 1);
    EXPECT_EQ(Advance(30)[1], 1);
}

TEST_F(TimerTest, KillTimerStopsTicksAndFailsForUnknownTimer) {
    SetTimer(dlg, 1, 100, nullptr);
    EXPECT_EQ(Advance(100)[1], 1);
    EXPECT_TRUE(KillTimer(dlg, 1));
    EXPECT_EQ(Advance(500)[1], 0);
    EXPECT_FALSE(KillTimer(dlg, 1));
    EXPECT_FALSE(KillTimer(dlg, 99));
}

TEST_F(TimerTest, PeriodZeroRunsAtTheShortestInterval) {
    SetTimer(dlg, 1, 0, nullptr);
    EXPECT_EQ(Advance(9)[1], 0);
    EXPECT_EQ(Advance(1)[1], 1);
    EXPECT_EQ(Advance(10)[1], 1);
}

TEST_F(TimerTest, SeveralIdsTickIndependently) {
    SetTimer(dlg, 20, 20, nullptr);
    SetTimer(dlg, 50, 50, nullptr);
    std::map<UINT_PTR, int> total;
    for (int step = 0; step < 10; ++step)
        for (auto [id, n] : Advance(10))
            total[id] += n;
    EXPECT_EQ(total[20], 5);
    EXPECT_EQ(total[50], 2);
}

TEST_F(TimerTest, BothDueTimersFireInOnePump) {
    SetTimer(dlg, 1, 40, nullptr);
    SetTimer(dlg, 2, 40, nullptr);
    auto ticks = Advance(40);
    EXPECT_EQ(ticks[1], 1);
    EXPECT_EQ(ticks[2], 1);
}

TEST_F(TimerTest, PostedMessagesGoBeforeADueTimer) {
    SetTimer(dlg, 1, 10, nullptr);
    headless::AdvanceClock(10);
    PostMessageW(dlg, WM_APP, 0, 0);
    headless::PumpMessages();
    std::vector<UINT> order;
    for (const auto& r : received)
        if (r.message == WM_APP || r.message == WM_TIMER)
            order.push_back(r.message);
    EXPECT_EQ(order, (std::vector<UINT>{WM_APP, WM_TIMER}));
}

TEST_F(TimerTest, RunUntilJumpsTheManualClockToEachTick) {
    SetTimer(dlg, 1, 1000, nullptr);
    DWORD start = headless::Now();
    DWORD realStart = GetTickCount();
    EXPECT_TRUE(headless::RunUntil([&] { return Seen(WM_TIMER).size() >= 3; }, 10000));
    EXPECT_EQ(headless::Now() - start, 3000u);
    EXPECT_LT(GetTickCount() - realStart, 1000u);
}

TEST_F(TimerTest, RunUntilGivesUpAfterMaxClockTime) {
    SetTimer(dlg, 1, 1000, nullptr);
    DWORD start = headless::Now();
    EXPECT_FALSE(headless::RunUntil([] { return false; }, 2500));
    EXPECT_EQ(Seen(WM_TIMER).size(), 2u);
    EXPECT_EQ(headless::Now() - start, 2500u);
}

TEST_F(TimerTest, TimerProceduresAndThreadTimersAreRefused) {
    auto proc = [](HWND, UINT, UINT_PTR, DWORD) {};
    EXPECT_EQ(SetTimer(dlg, 1, 10, proc), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
    EXPECT_EQ(SetTimer(nullptr, 1, 10, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
}

TEST_F(TimerTest, DestroyedWindowsTimersStop) {
    SetTimer(dlg, 1, 10, nullptr);
    DestroyWindow(dlg);
    headless::AdvanceClock(100);
    EXPECT_EQ(headless::PumpMessages(), 0);
    EXPECT_EQ(SetTimer(dlg, 1, 10, nullptr), 0u);
}

TEST_F(TimerTest, GetMessageWaitsForTheTimerWhenTheClockIsAdvancedFromAnotherThread) {
    SetTimer(dlg, 1, 500, nullptr);
    std::atomic<bool> stop{false};
    std::thread clock([&] {
        for (int i = 0; i < 200 && !stop; ++i) {
            headless::AdvanceClock(50);
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        // Should the tick never come, this ends the wait and fails the test.
        PostMessageW(dlg, WM_APP, 0, 0);
    });
    MSG m{};
    BOOL got = GetMessageW(&m, nullptr, 0, 0);
    stop = true;
    clock.join();
    EXPECT_TRUE(got);
    EXPECT_EQ(m.message, static_cast<UINT>(WM_TIMER));
    EXPECT_EQ(m.wParam, 1u);
}

}  // namespace
}  // namespace user32test
