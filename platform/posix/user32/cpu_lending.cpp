// Lending a CPU between the two threads of a send (cpu_lending.h says why).
#include "platform/posix/user32/cpu_lending.h"

#include <sched.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <mutex>

namespace user32 {
namespace {

using Clock = std::chrono::steady_clock;

// How long a thread keeps a lent CPU after the last send that lent it. Sends
// come in bursts (a run sends one for every reply of the terminal), and
// giving the CPUs back and taking one again would cost two system calls per
// send; a thread whose sends have stopped gets its CPUs back at its next wait.
constexpr std::chrono::milliseconds kKeepLent{100};

// The CPUs the process was started with (taskset), read before main, before
// any thread was lent a CPU. Every thread gets these back.
struct Home {
    cpu_set_t cpus{};
    bool known = false;
    Home() { known = ::sched_getaffinity(0, sizeof cpus, &cpus) == 0; }
};
const Home g_home;

}  // namespace

struct CpuLending::State {
    std::mutex lock;
    pid_t tid = 0;
    bool idle = false;  // inside an IdleWait
    int lentCpu = -1;   // the CPU it is limited to, or -1: the process's CPUs
    Clock::time_point lastLend;
    std::atomic<unsigned long> lends{0};
};

CpuLending::CpuLending(std::unique_ptr<State> state) : state_(std::move(state)) {}
CpuLending::~CpuLending() = default;

std::shared_ptr<CpuLending> CpuLending::Mine() {
    thread_local std::shared_ptr<CpuLending> mine = [] {
        auto state = std::make_unique<State>();
        state->tid = static_cast<pid_t>(::syscall(SYS_gettid));
        // A thread inherits its creator's CPUs, and the creator may have
        // been lent one at the time: start from the process's.
        cpu_set_t now;
        if (g_home.known && ::sched_getaffinity(0, sizeof now, &now) == 0 && !CPU_EQUAL(&now, &g_home.cpus))
            (void)::sched_setaffinity(0, sizeof g_home.cpus, &g_home.cpus);
        return std::make_shared<CpuLending>(std::move(state));
    }();
    return mine;
}

bool CpuLending::LendCallersCpu() {
    State& s = *state_;
    const int cpu = ::sched_getcpu();
    if (cpu < 0 || cpu >= CPU_SETSIZE || !g_home.known || !CPU_ISSET(cpu, &g_home.cpus)) return false;
    std::lock_guard<std::mutex> guard(s.lock);
    // A running thread would have to be moved at once, which costs more
    // than it saves.
    if (!s.idle) return false;
    s.lastLend = Clock::now();
    if (s.lentCpu == cpu) return true;  // still there from the last send
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    if (::sched_setaffinity(s.tid, sizeof one, &one) != 0) return false;  // e.g. the thread has just ended
    s.lentCpu = cpu;
    s.lends.fetch_add(1, std::memory_order_relaxed);
    return true;
}

unsigned long CpuLending::Lends() const { return state_->lends.load(std::memory_order_relaxed); }

int CpuLending::LentCpu() const {
    std::lock_guard<std::mutex> guard(state_->lock);
    return state_->lentCpu;
}

IdleWait::IdleWait() : mine_(CpuLending::Mine()) {
    CpuLending::State& s = *mine_->state_;
    std::lock_guard<std::mutex> guard(s.lock);
    if (s.lentCpu >= 0 && Clock::now() - s.lastLend >= kKeepLent) {
        (void)::sched_setaffinity(0, sizeof g_home.cpus, &g_home.cpus);
        s.lentCpu = -1;
    }
    s.idle = true;
}

IdleWait::~IdleWait() {
    CpuLending::State& s = *mine_->state_;
    std::lock_guard<std::mutex> guard(s.lock);
    s.idle = false;
}

}  // namespace user32
