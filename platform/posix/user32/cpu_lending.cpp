// Lending a CPU between the two threads of a send (cpu_lending.h says why).
#include "platform/posix/user32/cpu_lending.h"

#include <sched.h>

#include <atomic>
#include <chrono>
#include <mutex>

#include "platform/api.h"

namespace user32 {
namespace {

using Clock = std::chrono::steady_clock;

// How long a thread keeps a lent CPU. Sends come in bursts (a run sends one
// for every reply of the terminal), and giving the CPUs back and taking one
// again would cost two system calls per send, so a lent CPU is kept from
// send to send; but never longer than this, counted from the lend, or the
// scheduler could not move a busy pair of threads off a CPU that other
// programs crowd for the whole of a run. At its first wait past it, a thread
// gets the process's CPUs back and takes no lend during that wait: it wakes
// where the scheduler puts it, and the next sends lend that CPU.
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
    bool idle = false;      // inside an IdleWait
    bool refusing = false;  // takes no lend until the end of this IdleWait
    int lentCpu = -1;       // the CPU it is limited to, or -1: the process's CPUs
    Clock::time_point lentAt;
    std::atomic<unsigned long> lends{0};
};

CpuLending::CpuLending(std::unique_ptr<State> state) : state_(std::move(state)) {}
CpuLending::~CpuLending() = default;

namespace {

std::shared_ptr<CpuLending> MakeMine() {
    auto state = std::make_unique<CpuLending::State>();
    state->tid = static_cast<pid_t>(GetCurrentThreadId());
    // A thread inherits its creator's CPUs, and the creator may have been
    // lent one at the time: start from the process's.
    cpu_set_t now;
    if (g_home.known && ::sched_getaffinity(0, sizeof now, &now) == 0 && !CPU_EQUAL(&now, &g_home.cpus))
        (void)::sched_setaffinity(0, sizeof g_home.cpus, &g_home.cpus);
    return std::make_shared<CpuLending>(std::move(state));
}

// Set once the thread's own has been destroyed: the thread is ending, or it
// is the main thread running the process's exit handlers, which come after
// its thread-locals are gone.
thread_local bool t_mineGone = false;

struct MineHolder {
    std::shared_ptr<CpuLending> mine = MakeMine();
    ~MineHolder() { t_mineGone = true; }
};

}  // namespace

std::shared_ptr<CpuLending> CpuLending::Mine() {
    // An ending thread gets a fresh one each time; it is never lent a CPU.
    if (t_mineGone) return MakeMine();
    thread_local MineHolder holder;
    return holder.mine;
}

bool CpuLending::LendCallersCpu() {
    State& s = *state_;
    const int cpu = ::sched_getcpu();
    if (cpu < 0 || cpu >= CPU_SETSIZE || !g_home.known || !CPU_ISSET(cpu, &g_home.cpus)) return false;
    std::lock_guard<std::mutex> guard(s.lock);
    // A running thread would have to be moved at once, which costs more
    // than it saves.
    if (!s.idle || s.refusing) return false;
    if (s.lentCpu == cpu) return true;  // still there from the last send
    cpu_set_t one;
    CPU_ZERO(&one);
    CPU_SET(cpu, &one);
    if (::sched_setaffinity(s.tid, sizeof one, &one) != 0) return false;  // e.g. the thread has just ended
    s.lentCpu = cpu;
    s.lentAt = Clock::now();
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
    if (s.lentCpu >= 0 && Clock::now() - s.lentAt >= kKeepLent) {
        (void)::sched_setaffinity(0, sizeof g_home.cpus, &g_home.cpus);
        s.lentCpu = -1;
        s.refusing = true;
    }
    s.idle = true;
}

IdleWait::~IdleWait() {
    CpuLending::State& s = *mine_->state_;
    std::lock_guard<std::mutex> guard(s.lock);
    s.idle = false;
    s.refusing = false;
}

}  // namespace user32
