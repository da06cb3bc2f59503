// The port's Windows I/O (serial/port_io_windows.cpp) on a real Wine COM
// port, run by port_io_tests.sh: the port named by VANTREL_TEST_PORT leads
// to a simulated terminal that answers its first record (a 12-byte frame)
// and then reads nothing for a long while, so that the line fills.
#include <gtest/gtest.h>

#include <windows.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "serial/port_io.h"

namespace {

using Clock = std::chrono::steady_clock;

double SecondsSince(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

// Set by port_io_tests.sh when the port answers modem-status queries as a
// USB terminal's does, so that the waits must run on WaitCommEvent.
bool ExpectEvents() {
    const char* value = std::getenv("VANTREL_TEST_EXPECT_EVENTS");
    return value != nullptr && std::strcmp(value, "1") == 0;
}

class PortIoTest : public ::testing::Test {
protected:
    void SetUp() override {
        const char* name = std::getenv("VANTREL_TEST_PORT");
        ASSERT_NE(name, nullptr) << "VANTREL_TEST_PORT names no port (run through port_io_tests.sh)";
        const std::wstring path = L"\\\\.\\" + std::wstring(name, name + std::strlen(name));
        port_ = serial::OpenPortHandle(path.c_str());
        ASSERT_NE(port_, INVALID_HANDLE_VALUE) << "open " << name << ": error " << GetLastError();
        // Short write timeouts, so that a stalled line times out in
        // fractions of a second instead of the tool's 10 ms per byte.
        COMMTIMEOUTS timeouts{100, 0, 300, 0, 300};
        ASSERT_TRUE(SetCommTimeouts(port_, &timeouts));
    }
    void TearDown() override {
        if (port_ != INVALID_HANDLE_VALUE)
            CloseHandle(port_);
    }
    HANDLE port_ = INVALID_HANDLE_VALUE;
};

// One test, in order, since the simulated terminal plays one script: its
// answer first, then the stall.
TEST_F(PortIoTest, WaitsForTheAnswerThenTimesOutWritesOnAStalledLine) {
    // The terminal answers the open with a 12-byte frame: the wait returns
    // with it queued, and a read takes it whole.
    auto input = std::make_unique<serial::InputWait>();
    DWORD queued = 0;
    const auto start = Clock::now();
    while (queued < 12 && SecondsSince(start) < 10)
        ASSERT_TRUE(input->Wait(port_, queued));
    ASSERT_EQ(queued, 12u);
    BYTE frame[12] = {};
    DWORD got = 0;
    EXPECT_TRUE(serial::ReadPort(port_, frame, sizeof frame, &got));
    EXPECT_EQ(got, 12u);
    EXPECT_EQ(frame[0], 0xF1);

    // Nothing more comes: waits end at their bound with nothing queued, and
    // a read ends at its timeout with nothing read.
    const auto quiet = Clock::now();
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(input->Wait(port_, queued));
        EXPECT_EQ(queued, 0u);
    }
    EXPECT_LT(SecondsSince(quiet), 1.0);
    EXPECT_TRUE(serial::ReadPort(port_, frame, sizeof frame, &got));
    EXPECT_EQ(got, 0u);
    // On a port that signals its events the wait is still the event wait,
    // and going ends it: a handle takes one WaitCommEvent at a time, and the
    // watcher below issues its own, as the next watcher of a port does.
    const bool inputPolled = input->Polls();
    input.reset();

    // A write goes through while the watcher waits on the same handle (a
    // pending WaitCommEvent must not hold it), and a write larger than the
    // stalled line takes ends at its timeout with what went.
    std::atomic<bool> stop{false};
    std::atomic<int> waits{0};
    std::atomic<bool> watcherPolled{false};
    std::thread watcher([&] {
        serial::InputWait own;
        DWORD n = 0;
        while (!stop) {
            (void)own.Wait(port_, n);
            ++waits;
        }
        watcherPolled = own.Polls();
    });
    while (waits == 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const std::vector<BYTE> small(16, 0x55);
    DWORD written = 0;
    const auto write = Clock::now();
    EXPECT_TRUE(serial::WritePort(port_, small.data(), static_cast<DWORD>(small.size()), &written));
    EXPECT_EQ(written, small.size());
    EXPECT_LT(SecondsSince(write), 1.0);

    const std::vector<BYTE> big(1 << 20, 0xAA);
    const auto stalled = Clock::now();
    EXPECT_TRUE(serial::WritePort(port_, big.data(), static_cast<DWORD>(big.size()), &written));
    const double took = SecondsSince(stalled);
    EXPECT_LT(written, big.size());
    // The 300 ms timeout, at most its grace later, and not at once.
    EXPECT_GE(took, 0.25);
    EXPECT_LT(took, 3.0);
    stop = true;
    watcher.join();
    // On a port that signals its events, neither wait fell back to polling:
    // the first one's pending wait, ended as it went, left the port ready
    // for the watcher's.
    if (ExpectEvents()) {
        EXPECT_FALSE(inputPolled);
        EXPECT_FALSE(watcherPolled.load());
    }
}

}  // namespace
