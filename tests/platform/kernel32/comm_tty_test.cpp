// The comm calls on a real tty: a pty whose slave is the port and whose
// master plays the terminal.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <numeric>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/kernel32/error.h"
#include "platform/posix/kernel32/handle.h"
#include "platform/posix/kernel32/tty.h"
#include "platform/posix/win32.h"
#include "tests/platform/kernel32/pty_pair.h"

namespace {

using Clock = std::chrono::steady_clock;
using k32test::PtyPair;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

std::vector<uint8_t> AllByteValues() {
    std::vector<uint8_t> bytes(256);
    std::iota(bytes.begin(), bytes.end(), 0);
    return bytes;
}

class TtyPortTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(pty_.Ok()) << "no pseudo-terminal available"; }
    void TearDown() override {
        if (port_ != nullptr && port_ != INVALID_HANDLE_VALUE)
            CloseHandle(port_);
    }

    HANDLE OpenPort() {
        return CreateFileW(pty_.DeviceName().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0,
                           nullptr);
    }
    void OpenOrFail() {
        port_ = OpenPort();
        ASSERT_NE(port_, INVALID_HANDLE_VALUE) << platform::LastErrorCause();
    }
    void SetTimeouts(DWORD interval, DWORD multiplier, DWORD constant, DWORD write_multiplier = 0,
                     DWORD write_constant = 0) {
        COMMTIMEOUTS t{interval, multiplier, constant, write_multiplier, write_constant};
        ASSERT_TRUE(SetCommTimeouts(port_, &t));
    }
    // Waits (bounded) until the port reports count bytes waiting.
    DWORD WaitForInQueue(DWORD count) {
        COMSTAT stat{};
        DWORD errors = 0;
        const auto start = Clock::now();
        while (MsSince(start) < 2000) {
            if (!ClearCommError(port_, &errors, &stat))
                return 0xFFFFFFFF;
            if (stat.cbInQue >= count)
                return stat.cbInQue;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return stat.cbInQue;
    }
    void SetSpeed(DWORD speed) {
        DCB dcb{};
        ASSERT_TRUE(GetCommState(port_, &dcb));
        dcb.BaudRate = speed;
        ASSERT_TRUE(SetCommState(port_, &dcb)) << GetLastError();
    }

    PtyPair pty_;
    HANDLE port_ = nullptr;
};

TEST_F(TtyPortTest, FreshPortReportsWindowsDefaults) {
    OpenOrFail();
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port_, &dcb));
    EXPECT_EQ(dcb.DCBlength, sizeof(DCB));
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    EXPECT_EQ(dcb.fOutxCtsFlow, 0u);
    EXPECT_EQ(dcb.fOutxDsrFlow, 0u);
    EXPECT_EQ(dcb.fOutX, 0u);
    EXPECT_EQ(dcb.fInX, 0u);
    EXPECT_EQ(dcb.fDtrControl, static_cast<DWORD>(DTR_CONTROL_ENABLE));
    EXPECT_EQ(dcb.fRtsControl, static_cast<DWORD>(RTS_CONTROL_ENABLE));
    EXPECT_NE(dcb.BaudRate, 0u);
}

TEST_F(TtyPortTest, EveryByteValuePassesFromPortToTerminalUntouched) {
    OpenOrFail();
    std::vector<uint8_t> bytes = AllByteValues();
    const std::vector<uint8_t> tail = {'\r', '\n', '\n', '\r', 0x03, 0x1A, 0x11, 0x13, 0x7F, 0x00, 0xFF};
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(port_, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    EXPECT_EQ(written, bytes.size());
    EXPECT_EQ(pty_.Take(bytes.size()), bytes);
}

TEST_F(TtyPortTest, EveryByteValuePassesFromTerminalToPortUntouched) {
    OpenOrFail();
    SetTimeouts(0, 0, 2000);
    std::vector<uint8_t> bytes = AllByteValues();
    const std::vector<uint8_t> tail = {'\r', '\n', 0x03, 0x04, 0x11, 0x13, 0x1A, 0x7F, 0x00};
    bytes.insert(bytes.end(), tail.begin(), tail.end());
    ASSERT_TRUE(pty_.Send(bytes));
    std::vector<uint8_t> got(bytes.size());
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(port_, got.data(), static_cast<DWORD>(got.size()), &read, nullptr));
    got.resize(read);
    EXPECT_EQ(got, bytes);
}

TEST_F(TtyPortTest, LineSpeed115200ReadsBackThroughTermios2) {
    OpenOrFail();
    SetSpeed(CBR_115200);
    EXPECT_EQ(pty_.SlaveSpeed(), 115200u);
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port_, &dcb));
    EXPECT_EQ(dcb.BaudRate, 115200u);
}

TEST_F(TtyPortTest, LineSpeed3686400ReadsBackThroughTermios2) {
    OpenOrFail();
    SetSpeed(3686400);
    EXPECT_EQ(pty_.SlaveSpeed(), 3686400u);
    EXPECT_TRUE(pty_.SlaveUsesBother());
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port_, &dcb));
    EXPECT_EQ(dcb.BaudRate, 3686400u);
}

// A pty carries every byte as 8 bits without parity whatever it is told
// (the kernel forces CS8 and clears PARENB), so only the stop bits can be
// changed on it; other framings must be refused rather than reported as set.
TEST_F(TtyPortTest, StopBitsReadBackAsSet) {
    OpenOrFail();
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port_, &dcb));
    dcb.StopBits = TWOSTOPBITS;
    ASSERT_TRUE(SetCommState(port_, &dcb)) << GetLastError();
    DCB back{};
    ASSERT_TRUE(GetCommState(port_, &back));
    EXPECT_EQ(back.StopBits, TWOSTOPBITS);
    back.StopBits = ONESTOPBIT;
    ASSERT_TRUE(SetCommState(port_, &back));
    ASSERT_TRUE(GetCommState(port_, &dcb));
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
}

struct Framing {
    BYTE byte_size;
    BYTE parity;
    BYTE stop_bits;
};

class TtyFramingTest : public TtyPortTest, public ::testing::WithParamInterface<Framing> {};

TEST_P(TtyFramingTest, FramingTheLineCannotCarryIsRefused) {
    OpenOrFail();
    SetSpeed(CBR_115200);
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port_, &dcb));
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = GetParam().byte_size;
    dcb.Parity = GetParam().parity;
    dcb.StopBits = GetParam().stop_bits;
    EXPECT_FALSE(SetCommState(port_, &dcb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    DCB back{};
    ASSERT_TRUE(GetCommState(port_, &back));
    EXPECT_EQ(back.ByteSize, 8);
    EXPECT_EQ(back.Parity, NOPARITY);
    EXPECT_EQ(back.BaudRate, 115200u);  // nothing of the refused DCB stays
}

INSTANTIATE_TEST_SUITE_P(PtyFramings, TtyFramingTest,
                         ::testing::Values(Framing{7, EVENPARITY, ONESTOPBIT}, Framing{7, ODDPARITY, TWOSTOPBITS},
                                           Framing{8, MARKPARITY, ONESTOPBIT}, Framing{8, SPACEPARITY, TWOSTOPBITS},
                                           Framing{5, NOPARITY, ONE5STOPBITS}, Framing{6, EVENPARITY, ONESTOPBIT}));

TEST_F(TtyPortTest, RefusedSettingsLeaveTheLineAsItWas) {
    OpenOrFail();
    SetSpeed(CBR_115200);
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port_, &dcb));
    dcb.BaudRate = CBR_9600;
    dcb.ByteSize = 9;
    EXPECT_FALSE(SetCommState(port_, &dcb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    dcb.ByteSize = 8;
    dcb.StopBits = ONE5STOPBITS;  // 1.5 stop bits only exist with 5 data bits
    EXPECT_FALSE(SetCommState(port_, &dcb));
    EXPECT_EQ(pty_.SlaveSpeed(), 115200u);
}

TEST_F(TtyPortTest, FlowControlFlagsReadBack) {
    OpenOrFail();
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port_, &dcb));
    dcb.fOutxCtsFlow = 1;
    dcb.fOutX = 1;
    dcb.fInX = 1;
    ASSERT_TRUE(SetCommState(port_, &dcb));
    DCB back{};
    ASSERT_TRUE(GetCommState(port_, &back));
    EXPECT_EQ(back.fOutxCtsFlow, 1u);
    EXPECT_EQ(back.fOutX, 1u);
    EXPECT_EQ(back.fInX, 1u);
}

TEST_F(TtyPortTest, SecondOpenIsRefusedAsInUse) {
    OpenOrFail();
    HANDLE second = OpenPort();
    EXPECT_EQ(second, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_NE(platform::LastErrorCause().find("in use"), std::string::npos) << platform::LastErrorCause();
}

TEST_F(TtyPortTest, PortOpensAgainAfterClose) {
    OpenOrFail();
    ASSERT_TRUE(CloseHandle(port_));
    port_ = OpenPort();
    EXPECT_NE(port_, INVALID_HANDLE_VALUE) << platform::LastErrorCause();
}

TEST_F(TtyPortTest, MissingPortFailsWithFileNotFound) {
    HANDLE h =
        CreateFileW(L"\\\\.\\ttyNoSuchPort99", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(platform::LastErrorCause(), "no such port");
}

TEST_F(TtyPortTest, DeviceThatIsNoTtyIsNoPort) {
    HANDLE h = CreateFileW(L"\\\\.\\/dev/null", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    EXPECT_EQ(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(platform::LastErrorCause(), "not a serial port");
}

TEST_F(TtyPortTest, UnplugMakesClearCommErrorFail) {
    OpenOrFail();
    DWORD errors = 0;
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
    pty_.CloseMaster();
    EXPECT_FALSE(ClearCommError(port_, &errors, &stat));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_UNIT));
}

TEST_F(TtyPortTest, UnplugMakesWriteFileFail) {
    OpenOrFail();
    pty_.CloseMaster();
    const BYTE payload[4] = {1, 2, 3, 4};
    DWORD written = 99;
    EXPECT_FALSE(WriteFile(port_, payload, sizeof payload, &written, nullptr));
    EXPECT_EQ(written, 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_UNIT));
}

TEST_F(TtyPortTest, UnplugMakesWaitingReadFail) {
    OpenOrFail();
    SetTimeouts(0, 0, 1000);
    pty_.CloseMaster();
    BYTE buffer[8];
    DWORD read = 99;
    const auto start = Clock::now();
    EXPECT_FALSE(ReadFile(port_, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(read, 0u);
    EXPECT_LT(MsSince(start), 500);  // the hang-up ends the wait, not the timeout
}

TEST_F(TtyPortTest, IntervalTimeoutEndsReadAfterBurst) {
    OpenOrFail();
    SetTimeouts(20, 0, 0);
    ASSERT_TRUE(pty_.Send({1, 2, 3, 4, 5}));
    BYTE buffer[100];
    DWORD read = 0;
    const auto start = Clock::now();
    ASSERT_TRUE(ReadFile(port_, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(read, 5u);
    EXPECT_LT(MsSince(start), 500);
}

TEST_F(TtyPortTest, IntervalTimerRestartsWithEachByte) {
    OpenOrFail();
    SetTimeouts(150, 0, 0);
    std::thread terminal([this] {
        for (uint8_t b = 0; b < 4; ++b) {
            pty_.Send({b});
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
        }
    });
    BYTE buffer[100];
    DWORD read = 0;
    const BOOL ok = ReadFile(port_, buffer, sizeof buffer, &read, nullptr);
    terminal.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(read, 4u);  // gaps of 40 ms never reach the 150 ms interval
}

TEST_F(TtyPortTest, TotalTimeoutWithNoDataReturnsTrueWithNothing) {
    OpenOrFail();
    SetTimeouts(0, 0, 50);
    BYTE buffer[16];
    DWORD read = 99;
    const auto start = Clock::now();
    EXPECT_TRUE(ReadFile(port_, buffer, sizeof buffer, &read, nullptr));
    const long long elapsed = MsSince(start);
    EXPECT_EQ(read, 0u);
    EXPECT_GE(elapsed, 45);
    EXPECT_LT(elapsed, 500);
}

TEST_F(TtyPortTest, TotalTimeoutGrowsWithTheCount) {
    OpenOrFail();
    SetTimeouts(0, 5, 20);  // 5 x 16 + 20 = 100 ms
    BYTE buffer[16];
    DWORD read = 99;
    const auto start = Clock::now();
    EXPECT_TRUE(ReadFile(port_, buffer, sizeof buffer, &read, nullptr));
    const long long elapsed = MsSince(start);
    EXPECT_EQ(read, 0u);
    EXPECT_GE(elapsed, 95);
    EXPECT_LT(elapsed, 600);
}

TEST_F(TtyPortTest, ToolTimeoutsEndEmptyReadAfterTotal) {
    OpenOrFail();
    SetTimeouts(100, 10, 1000);
    BYTE buffer[12];
    DWORD read = 99;
    const auto start = Clock::now();
    EXPECT_TRUE(ReadFile(port_, buffer, sizeof buffer, &read, nullptr));
    const long long elapsed = MsSince(start);
    EXPECT_EQ(read, 0u);
    EXPECT_GE(elapsed, 1110);  // 10 x 12 + 1000
    EXPECT_LT(elapsed, 1400);
}

TEST_F(TtyPortTest, ToolTimeoutsEndShortReplyAfterInterval) {
    OpenOrFail();
    SetTimeouts(100, 10, 1000);
    ASSERT_TRUE(pty_.Send({0xAA, 0x55, 0x01}));
    BYTE buffer[12];
    DWORD read = 0;
    const auto start = Clock::now();
    EXPECT_TRUE(ReadFile(port_, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(read, 3u);
    EXPECT_LT(MsSince(start), 600);
}

TEST_F(TtyPortTest, ReadReturnsAsSoonAsTheCountArrived) {
    OpenOrFail();
    SetTimeouts(0, 0, 5000);
    ASSERT_TRUE(pty_.Send({9, 8, 7, 6, 5}));
    ASSERT_EQ(WaitForInQueue(5), 5u);
    BYTE buffer[4];
    DWORD read = 0;
    const auto start = Clock::now();
    EXPECT_TRUE(ReadFile(port_, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(read, 4u);
    EXPECT_LT(MsSince(start), 500);
    EXPECT_EQ(WaitForInQueue(1), 1u);  // the fifth byte stays queued
}

TEST_F(TtyPortTest, AllZeroTimeoutsWaitForTheWholeCount) {
    OpenOrFail();
    SetTimeouts(0, 0, 0);
    std::thread terminal([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        pty_.Send({1, 2, 3});
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
        pty_.Send({4, 5});
    });
    BYTE buffer[5] = {};
    DWORD read = 0;
    const BOOL ok = ReadFile(port_, buffer, sizeof buffer, &read, nullptr);
    terminal.join();
    EXPECT_TRUE(ok);
    EXPECT_EQ(read, 5u);
    EXPECT_EQ(buffer[4], 5);
}

TEST_F(TtyPortTest, MaxIntervalReadReturnsAtOnce) {
    OpenOrFail();
    SetTimeouts(0xFFFFFFFF, 0, 0);
    BYTE buffer[8];
    DWORD read = 99;
    const auto start = Clock::now();
    EXPECT_TRUE(ReadFile(port_, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(read, 0u);
    EXPECT_LT(MsSince(start), 100);
}

TEST_F(TtyPortTest, InQueueCountsWaitingBytes) {
    OpenOrFail();
    SetTimeouts(0, 0, 1000);
    DWORD errors = 1;
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);
    EXPECT_EQ(errors, 0u);
    ASSERT_TRUE(pty_.Send({1, 2, 3, 4, 5, 6, 7}));
    EXPECT_EQ(WaitForInQueue(7), 7u);
    BYTE buffer[7];
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(port_, buffer, sizeof buffer, &read, nullptr));
    ASSERT_TRUE(ClearCommError(port_, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);
}

TEST_F(TtyPortTest, WriteTimeoutEndsStalledWriteWithCountWritten) {
    OpenOrFail();
    SetTimeouts(0, 0, 0, 0, 50);
    // The terminal reads nothing, so the pty fills up and the write stalls.
    std::vector<BYTE> big(1 << 20, 0x5A);
    DWORD written = 0;
    const auto start = Clock::now();
    EXPECT_TRUE(WriteFile(port_, big.data(), static_cast<DWORD>(big.size()), &written, nullptr));
    EXPECT_LT(written, big.size());
    EXPECT_LT(MsSince(start), 1000);
}

TEST_F(TtyPortTest, EmptyWriteSucceeds) {
    OpenOrFail();
    DWORD written = 99;
    EXPECT_TRUE(WriteFile(port_, "", 0, &written, nullptr));
    EXPECT_EQ(written, 0u);
}

TEST_F(TtyPortTest, TimeoutsReadBackAsSet) {
    OpenOrFail();
    SetTimeouts(100, 10, 1000, 10, 1000);
    COMMTIMEOUTS t{};
    ASSERT_TRUE(GetCommTimeouts(port_, &t));
    EXPECT_EQ(t.ReadIntervalTimeout, 100u);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 10u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 1000u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 10u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);
}

TEST_F(TtyPortTest, SetupCommAcceptsTheQueueSizes) {
    OpenOrFail();
    EXPECT_TRUE(SetupComm(port_, 1024, 1024));
}

TEST_F(TtyPortTest, ClosedHandleFailsWithInvalidHandle) {
    OpenOrFail();
    HANDLE old = port_;
    ASSERT_TRUE(CloseHandle(port_));
    port_ = nullptr;
    DWORD errors = 0;
    COMSTAT stat{};
    EXPECT_FALSE(ClearCommError(old, &errors, &stat));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    DCB dcb{};
    EXPECT_FALSE(GetCommState(old, &dcb));
    EXPECT_FALSE(CloseHandle(old));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(TtyPortTest, FileCallsRefuseACommHandle) {
    OpenOrFail();
    EXPECT_EQ(GetFileSize(port_, nullptr), INVALID_FILE_SIZE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(TtyPortTest, WatcherPollingWhileWindowThreadClosesSeesInvalidHandle) {
    OpenOrFail();
    ASSERT_TRUE(pty_.Send({1, 2, 3}));
    std::atomic<HANDLE> shared{port_};
    std::atomic<bool> polled{false};
    std::atomic<DWORD> final_error{0};
    std::thread watcher([&] {
        const auto start = Clock::now();
        while (MsSince(start) < 3000) {
            DWORD errors = 0;
            COMSTAT stat{};
            if (ClearCommError(shared.load(), &errors, &stat)) {
                polled = true;
                continue;
            }
            final_error = GetLastError();
            return;
        }
    });
    const auto start = Clock::now();
    while (!polled && MsSince(start) < 2000)
        std::this_thread::yield();
    EXPECT_TRUE(polled);
    ASSERT_TRUE(CloseHandle(port_));
    port_ = nullptr;
    watcher.join();
    EXPECT_EQ(final_error.load(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(TtyPortTest, PortOpensAgainAtOnceWhileAWatcherStillPollsTheOldHandle) {
    // The tool closes and reopens a port while its receive watcher is still
    // polling: the close must give the port up at once, not when the
    // watcher's last call returns.
    OpenOrFail();
    std::atomic<HANDLE> shared{port_};
    std::atomic<bool> stop{false};
    std::atomic<long> polls{0};
    // Each pass on an empty queue waits for input; a short wait keeps the
    // 300 rounds quick without changing what is tested.
    platform::SetInputWaitForTest(1);
    std::thread watcher([&] {
        while (!stop) {
            DWORD errors = 0;
            COMSTAT stat{};
            ClearCommError(shared.load(), &errors, &stat);
            polls.fetch_add(1);
        }
    });
    int refused = 0;
    for (int i = 0; i < 300; ++i) {
        const long before = polls.load();
        while (polls.load() < before + 2)
            std::this_thread::yield();
        ASSERT_TRUE(CloseHandle(port_));
        port_ = OpenPort();
        if (port_ == INVALID_HANDLE_VALUE) {
            ++refused;
            port_ = nullptr;
            break;
        }
        shared = port_;
    }
    stop = true;
    watcher.join();
    platform::SetInputWaitForTest(-1);
    EXPECT_EQ(refused, 0) << "a reopen found the port still busy";
}

TEST_F(TtyPortTest, ReadOnOneThreadWhileAnotherClosesEndsCleanly) {
    OpenOrFail();
    SetTimeouts(0, 0, 200);
    std::atomic<bool> started{false};
    std::thread reader([&] {
        BYTE buffer[4];
        DWORD read = 0;
        started = true;
        ReadFile(port_, buffer, sizeof buffer, &read, nullptr);  // either outcome is fine; it must not crash
    });
    while (!started)
        std::this_thread::yield();
    ASSERT_TRUE(CloseHandle(port_));
    reader.join();
    port_ = nullptr;
    // The port is free again once the read that held it returned.
    port_ = OpenPort();
    EXPECT_NE(port_, INVALID_HANDLE_VALUE);
}

// ClearCommError's wait for input. With the bound raised far beyond the
// tests' hard timeouts, a call that returns tells by itself that something
// other than the bound ended its wait: no timing is asserted.
class TtyInputWaitTest : public TtyPortTest {
protected:
    static constexpr int kLongWaitMs = 60000;
    static constexpr auto kHardLimit = std::chrono::seconds(5);

    void SetUp() override {
        TtyPortTest::SetUp();
        platform::SetInputWaitForTest(kLongWaitMs);
    }
    void TearDown() override {
        // A call still waiting (a failed test) ends with the handle's close.
        TtyPortTest::TearDown();
        if (call_.valid())
            call_.wait();
        platform::SetInputWaitForTest(-1);
    }

    struct Result {
        BOOL ok = FALSE;
        DWORD inQueue = 0;
        DWORD error = 0;
    };
    // ClearCommError on another thread; returns once that thread is blocked
    // in the call (or has already returned).
    void StartCall(HANDLE handle) {
        std::promise<pid_t> tid;
        auto started = tid.get_future();
        call_ = std::async(std::launch::async, [handle, &tid] {
            tid.set_value(static_cast<pid_t>(::syscall(SYS_gettid)));
            Result r;
            COMSTAT stat{};
            DWORD errors = 0;
            r.ok = ClearCommError(handle, &errors, &stat);
            r.inQueue = stat.cbInQue;
            r.error = r.ok ? 0 : GetLastError();
            return r;
        });
        blocked_ = WaitUntilBlocked(started.get());
    }
    // True once the thread sleeps in the kernel; false if it returned first
    // or did not block within the hard limit.
    bool WaitUntilBlocked(pid_t tid) {
        const auto end = Clock::now() + kHardLimit;
        while (Clock::now() < end) {
            if (call_.wait_for(std::chrono::seconds(0)) == std::future_status::ready)
                return false;
            std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
            std::string line;
            std::getline(stat, line);
            const auto close = line.rfind(')');
            if (close != std::string::npos && close + 2 < line.size() && line[close + 2] == 'S')
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return false;
    }
    // The call's result, or nothing if it has not returned within the limit.
    std::optional<Result> Finish() {
        if (call_.wait_for(kHardLimit) != std::future_status::ready)
            return std::nullopt;
        return call_.get();
    }

    std::future<Result> call_;
    bool blocked_ = false;
};

TEST_F(TtyInputWaitTest, BytesThatArriveDuringTheWaitEndItWithTheirCount) {
    OpenOrFail();
    StartCall(port_);
    ASSERT_TRUE(blocked_) << "ClearCommError returned at once on an empty queue";
    ASSERT_TRUE(pty_.Send({1, 2, 3, 4, 5, 6, 7}));
    const auto result = Finish();
    ASSERT_TRUE(result.has_value()) << "the bytes did not end the wait";
    EXPECT_TRUE(result->ok);
    EXPECT_EQ(result->inQueue, 7u);
}

TEST_F(TtyInputWaitTest, BytesAlreadyWaitingAreReportedWithoutAWait) {
    OpenOrFail();
    ASSERT_TRUE(pty_.Send({1, 2, 3}));
    ASSERT_EQ(WaitForInQueue(3), 3u);
    StartCall(port_);
    EXPECT_FALSE(blocked_);
    const auto result = Finish();
    ASSERT_TRUE(result.has_value());
    EXPECT_EQ(result->inQueue, 3u);
}

TEST_F(TtyInputWaitTest, ClosingTheHandleEndsTheWait) {
    // An open that replaces the port closes the old handle while the
    // watcher waits on it; the watcher must move on to the new one.
    OpenOrFail();
    StartCall(port_);
    ASSERT_TRUE(blocked_);
    ASSERT_TRUE(CloseHandle(port_));
    port_ = nullptr;
    const auto result = Finish();
    ASSERT_TRUE(result.has_value()) << "the close did not end the wait";
    if (result->ok) {
        EXPECT_EQ(result->inQueue, 0u);
    }
    port_ = OpenPort();
    EXPECT_NE(port_, INVALID_HANDLE_VALUE) << platform::LastErrorCause();
}

TEST_F(TtyInputWaitTest, UnpluggedPortWaitsBeforeItFails) {
    // A hung-up descriptor polls ready at once: a call that failed at once
    // would keep the watcher spinning until the port is closed.
    OpenOrFail();
    pty_.CloseMaster();
    StartCall(port_);
    EXPECT_TRUE(blocked_) << "ClearCommError failed without waiting";
    ASSERT_TRUE(CloseHandle(port_));
    port_ = nullptr;
    const auto result = Finish();
    ASSERT_TRUE(result.has_value()) << "the close did not end the wait";
    EXPECT_FALSE(result->ok);
    EXPECT_EQ(result->error, static_cast<DWORD>(ERROR_BAD_UNIT));
}

}  // namespace
