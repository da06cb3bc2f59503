// The two threads of a send across threads share one CPU: the window thread
// handles a worker's message on the worker's CPU, the worker gets the
// answer on the window thread's, both get the process's CPUs back once the
// sends stop, a thread started meanwhile starts with them, and a thread that
// is not waiting is never moved. Needs two CPUs; every wait is bounded.
#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <string>
#include <thread>

#include "platform/posix/user32/cpu_lending.h"
#include "tests/platform/user32/fixture.h"

namespace user32test {
namespace {

using namespace std::chrono_literals;

constexpr UINT kWork = WM_APP + 7;

cpu_set_t Cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    EXPECT_EQ(::sched_getaffinity(0, sizeof set, &set), 0);
    return set;
}

int OnlyCpu(const cpu_set_t& set) {
    if (CPU_COUNT(&set) != 1) return -1;
    for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
        if (CPU_ISSET(cpu, &set)) return cpu;
    return -1;
}

// The state letter of a thread of this process ('S': asleep in a wait).
char ThreadState(pid_t tid) {
    std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    return close == std::string::npos || close + 2 >= line.size() ? '?' : line[close + 2];
}

// Returns once the thread sleeps in a wait (at most 2 s): only an idle
// thread is lent a CPU.
void AwaitAsleep(pid_t tid) {
    const auto deadline = std::chrono::steady_clock::now() + 2s;
    while (ThreadState(tid) != 'S' && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(1ms);
}

// Limits the calling thread to one CPU. Its lending state is made first:
// making it gives a new thread the process's CPUs, which would undo the pin
// at the thread's first send.
bool PinCallerTo(int cpu) {
    (void)user32::CpuLending::Mine();
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    return ::sched_setaffinity(0, sizeof one, &one) == 0;
}

class CpuLendingTest : public User32Test {
protected:
    void SetUp() override {
        User32Test::SetUp();
        // An earlier test's sends may have lent this thread a CPU: let it
        // give it back, so that the test starts from the process's CPUs.
        std::this_thread::sleep_for(150ms);
        { user32::IdleWait back; }
        home = Cpus();
        windowThread = static_cast<pid_t>(::syscall(SYS_gettid));
        if (CPU_COUNT(&home) < 2) GTEST_SKIP() << "needs two CPUs to tell a lent one from the process's";
        dlg = CreateMainDialog();
        ASSERT_NE(dlg, nullptr);
    }


    // Returns once this (the window) thread sleeps in its wait for events.
    // Called by the workers.
    void AwaitWindowThreadAsleep() const { AwaitAsleep(windowThread); }

    // Runs the window thread's message loop until `sent` is ready; its waits
    // are long, so that a worker's send finds it asleep.
    template <class T>
    bool PumpUntil(std::future<T>& sent) {
        return headless::RunUntil([&] { return sent.wait_for(0s) == std::future_status::ready; }, 3000, 1000);
    }

    // A CPU of the process other than the one this thread runs on now.
    int OtherCpu() const {
        const int here = ::sched_getcpu();
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
            if (CPU_ISSET(cpu, &home) && cpu != here) return cpu;
        return -1;
    }

    cpu_set_t home{};
    pid_t windowThread = 0;
    HWND dlg = nullptr;
};

TEST_F(CpuLendingTest, TheWindowThreadHandlesAWorkersSendOnTheWorkersCpuAndGetsItsCpusBackAfterwards) {
    const int workerCpu = OtherCpu();
    ASSERT_GE(workerCpu, 0);
    std::atomic<int> handlerOnly{-2};
    std::atomic<int> handlerRanOn{-2};
    handler = [&](HWND, UINT message, WPARAM, LPARAM) -> INT_PTR {
        if (message != kWork) return FALSE;
        handlerOnly = OnlyCpu(Cpus());
        handlerRanOn = ::sched_getcpu();
        return TRUE;
    };
    auto sent = std::async(std::launch::async, [&] {
        EXPECT_TRUE(PinCallerTo(workerCpu));
        AwaitWindowThreadAsleep();
        return SendMessageW(dlg, kWork, 0, 0);
    });
    ASSERT_TRUE(PumpUntil(sent));
    sent.get();
    EXPECT_EQ(handlerOnly.load(), workerCpu);
    EXPECT_EQ(handlerRanOn.load(), workerCpu);

    // No send for a while: the next wait gives back the process's CPUs.
    headless::RunUntil([] { return false; }, 300, 20);
    const cpu_set_t after = Cpus();
    EXPECT_TRUE(CPU_EQUAL(&after, &home)) << "still limited to " << OnlyCpu(after);
}

TEST_F(CpuLendingTest, TheWorkerGetsTheAnswerOnTheWindowThreadsCpu) {
    std::atomic<pid_t> worker{0};
    std::atomic<int> windowCpu{-2};
    handler = [&](HWND, UINT message, WPARAM, LPARAM) -> INT_PTR {
        if (message != kWork) return FALSE;
        // Answer only once the worker sleeps in its wait for the answer.
        AwaitAsleep(worker.load());
        windowCpu = OnlyCpu(Cpus());  // lent by the worker's send
        return TRUE;
    };
    std::atomic<int> workerOnlyAfter{-2};
    auto sent = std::async(std::launch::async, [&] {
        worker = static_cast<pid_t>(::syscall(SYS_gettid));
        AwaitWindowThreadAsleep();
        SendMessageW(dlg, kWork, 0, 0);
        workerOnlyAfter = OnlyCpu(Cpus());
        // Its sends over, the worker too gets its CPUs back at its next wait.
        std::this_thread::sleep_for(150ms);
        { user32::IdleWait wait; }
        return Cpus();
    });
    ASSERT_TRUE(PumpUntil(sent));
    const cpu_set_t workerAtTheEnd = sent.get();
    ASSERT_GE(windowCpu.load(), 0) << "the window thread was not lent the worker's CPU";
    EXPECT_EQ(workerOnlyAfter.load(), windowCpu.load());
    EXPECT_TRUE(CPU_EQUAL(&workerAtTheEnd, &home));
}

TEST_F(CpuLendingTest, SendsThatGoOnDoNotKeepTheWindowThreadOnOneCpuForEver) {
    // A lend is kept from send to send, but for a bounded time: past it the
    // window thread handles a send with the process's CPUs, where the
    // scheduler may move it, before the sends lend it a CPU again.
    std::atomic<int> lent{0};
    std::atomic<int> free{0};
    handler = [&](HWND, UINT message, WPARAM, LPARAM) -> INT_PTR {
        if (message != kWork) return FALSE;
        const cpu_set_t now = Cpus();
        (CPU_COUNT(&now) == 1 ? lent : free)++;
        return TRUE;
    };
    auto sent = std::async(std::launch::async, [&] {
        AwaitWindowThreadAsleep();
        const auto end = std::chrono::steady_clock::now() + 400ms;
        while (std::chrono::steady_clock::now() < end) {
            SendMessageW(dlg, kWork, 0, 0);
            std::this_thread::sleep_for(2ms);
        }
        return 0;
    });
    ASSERT_TRUE(PumpUntil(sent));
    sent.get();
    EXPECT_GT(lent.load(), 0);
    EXPECT_GT(free.load(), 0) << lent.load() << " sends, all handled on one lent CPU";
}

TEST_F(CpuLendingTest, AThreadStartedWhileLentStartsWithTheProcessCpus) {
    std::atomic<int> handlerOnly{-2};
    std::atomic<int> startedCount{-2};
    handler = [&](HWND, UINT message, WPARAM, LPARAM) -> INT_PTR {
        if (message != kWork) return FALSE;
        handlerOnly = OnlyCpu(Cpus());
        // A thread inherits its creator's CPUs: it must not inherit a lent one.
        std::thread([&] {
            (void)user32::CpuLending::Mine();
            const cpu_set_t mine = Cpus();
            startedCount = CPU_COUNT(&mine);
        }).join();
        return TRUE;
    };
    auto sent = std::async(std::launch::async, [&] {
        AwaitWindowThreadAsleep();
        return SendMessageW(dlg, kWork, 0, 0);
    });
    ASSERT_TRUE(PumpUntil(sent));
    sent.get();
    ASSERT_GE(handlerOnly.load(), 0) << "the window thread was not lent the worker's CPU";
    EXPECT_EQ(startedCount.load(), CPU_COUNT(&home));
}

TEST_F(CpuLendingTest, AThreadThatIsNotWaitingIsNeverMoved) {
    auto mine = user32::CpuLending::Mine();
    const unsigned long before = mine->Lends();
    // This thread runs (it is in no wait): a lend from another CPU is refused.
    const int other = OtherCpu();
    ASSERT_GE(other, 0);
    std::thread([&] {
        ASSERT_TRUE(PinCallerTo(other));
        EXPECT_FALSE(mine->LendCallersCpu());
    }).join();
    EXPECT_EQ(mine->Lends(), before);
    EXPECT_EQ(mine->LentCpu(), -1);
    const cpu_set_t now = Cpus();
    EXPECT_TRUE(CPU_EQUAL(&now, &home));
}

}  // namespace
}  // namespace user32test
