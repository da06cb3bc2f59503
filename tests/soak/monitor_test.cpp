// The presence monitor soaked in real time: a terminal that appears and
// disappears every 200 ms, changed by a thread of the test while the
// monitor polls every 50 ms. Every change must reach the window exactly once
// (WM_DEVARRIVAL or WM_DEVREMOVED), and the process must not grow.
//
// 20 s by default; VANTREL_SOAK_SECONDS=600 runs the ten-minute soak by hand.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "common/state.h"
#include "device/monitor.h"
#include "framework/afxwin.h"
#include "platform/posix/user32/headless/harness.h"
#include "platform/posix/kernel32/trace_sink.h"
#include "tests/engine/dialog_fixture.h"
#include "tests/fakes/setupapi.h"
#include "tests/soak/process_resources.h"

namespace {

constexpr auto kTogglePeriod = std::chrono::milliseconds(200);

int SoakSeconds() {
    const char* text = std::getenv("VANTREL_SOAK_SECONDS");
    const int seconds = text != nullptr ? std::atoi(text) : 0;
    return seconds > 0 ? seconds : 20;
}

fake::FakeDevice Terminal() {
    return fake::PortDevice({L"USB\\VID_03EB&PID_6133&REV_0100&MI_00"}, L"Terminal (ttyACM4)");
}

using MonitorSoakTest = DialogFixture;

}  // namespace

TEST_F(MonitorSoakTest, EveryChangeIsSeenOnceAndMemoryStaysFlat) {
    // The fixture stopped the monitor; the real clock drives its polls here.
    headless::UseManualClock(false);
    fake::ResetFakeSetupApi();
    // Counted, not kept: ten minutes of trace lines would be the only thing
    // growing in the process.
    // Static: the sink outlives the test body when an assertion ends it early.
    static std::atomic<int> postedArrivals{0};
    static std::atomic<int> postedRemovals{0};
    postedArrivals = 0;
    postedRemovals = 0;
    SetTraceSink([](const std::string& line) {
        if (line == "OnDevArrival\r\n")
            ++postedArrivals;
        if (line == "OnDevRemoved\r\n")
            ++postedRemovals;
    });
    AppInit();
    ASSERT_TRUE(PumpUntil([] { return State().g_ListenState.load() == LISTEN_ABSENT; }, 3000))
        << "the monitor's first scan did not come";

    const int seconds = SoakSeconds();
    // The window thread and the monitor; the toggler is gone again when the
    // end is measured.
    const int threadsBefore = ReadProcessResources().threads;
    std::atomic<bool> done{false};
    std::atomic<int> arrivals{0};
    std::atomic<int> removals{0};
    ProcessResources atStart{};
    std::atomic<bool> startTaken{false};
    std::thread toggler([&] {
        auto next = std::chrono::steady_clock::now();
        const auto end = next + std::chrono::seconds(seconds);
        bool present = false;
        while (std::chrono::steady_clock::now() < end) {
            next += kTogglePeriod;
            std::this_thread::sleep_until(next);
            present = !present;
            fake::SetFakeDevices(present ? std::vector<fake::FakeDevice>{Terminal()} : std::vector<fake::FakeDevice>{});
            ++(present ? arrivals : removals);
            // A change the monitor could not have polled yet (the machine
            // stalled for a whole period) is waited for, so the count stays
            // exact; the monitor asks for the set once or twice a cycle.
            const int from = fake::FakeClassDevsCalls();
            const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(5);
            while (fake::FakeClassDevsCalls() < from + 3 && std::chrono::steady_clock::now() < limit)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            if (!startTaken && arrivals + removals == 10) {
                atStart = ReadProcessResources();
                startTaken = true;
            }
        }
        done = true;
    });

    // The window thread handles the monitor's messages all along.
    const bool ended = PumpUntil([&] { return done.load(); }, static_cast<unsigned>(seconds) * 1000u + 60000u);
    toggler.join();
    ASSERT_TRUE(ended);
    // The last change is seen within two polls.
    PumpUntil([&] { return postedArrivals.load() == arrivals && postedRemovals.load() == removals; }, 2000);
    const ProcessResources atEnd = ReadProcessResources();

    std::printf("%d s: %d arrivals, %d removals posted for %d and %d changes; %s at the start, %s at the end\n",
                seconds, postedArrivals.load(), postedRemovals.load(), arrivals.load(), removals.load(),
                Describe(atStart).c_str(), Describe(atEnd).c_str());
    EXPECT_GE(arrivals + removals, seconds * 4) << "the changes came too slowly to soak anything";
    EXPECT_EQ(postedArrivals.load(), arrivals);
    EXPECT_EQ(postedRemovals.load(), removals);
    ASSERT_TRUE(startTaken);
    EXPECT_EQ(atEnd.fds, atStart.fds);
    EXPECT_EQ(atEnd.threads, threadsBefore);
    EXPECT_LE(atEnd.residentKiB, atStart.residentKiB + FlatMemoryBoundKiB());
    EXPECT_EQ(fake::FakeOpenDeviceSets(), 0);

    AppUninit();
    EXPECT_TRUE(PumpUntil([] { return AfxRunningThreadCount() == 0; }, 3000)) << "the monitor did not end";
    SetTraceSink(nullptr);
}
