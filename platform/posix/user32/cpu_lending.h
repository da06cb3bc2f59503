// The two threads of a send across threads share one CPU.
//
// A send to a window of another thread is a hand-off: the sender blocks until
// the window's thread has handled the message, and the window's thread then
// goes back to its wait, so the two never need a CPU at the same time. Left
// to itself the scheduler wakes each on the CPU it last ran on, which is idle
// and so, on a virtual machine, halted: waking a thread there takes an
// interrupt to a sleeping virtual CPU, 10 us and more, and a receive path
// pays it twice per reply of the terminal. Woken on the CPU of the thread
// that wakes it, a thread costs a context switch instead. So:
// - a sender limits the receiver to the sender's CPU just before waking it,
//   when the receiver is idle in a wait for events;
// - the receiver, having handled the message, does the same for the sender
//   before it answers;
// - a thread keeps a lent CPU from send to send, but gets back the process's
//   CPUs at its first wait once it has been lent it for a while (kKeepLent),
//   so that the scheduler can still move the pair; a new thread starts with
//   them.
//
// This only ever narrows where a thread runs, for as long as sends go back
// and forth; nothing depends on it for correctness, and every failure (a
// thread gone, a CPU outside the process's) just leaves the scheduler's own
// choice. A running thread is never moved: only one inside an IdleWait.
#pragma once

#include <sys/types.h>

#include <memory>

namespace user32 {

// One thread's part: kept in its queue, shared with the threads that send to it.
class CpuLending {
public:
    // The calling thread's own, made on its first call.
    static std::shared_ptr<CpuLending> Mine();

    // Limits this thread to the calling thread's CPU if this thread is idle
    // (inside an IdleWait); called by the thread about to wake it.
    // True when this thread now runs on the caller's CPU only.
    bool LendCallersCpu();

    // For tests: how often this thread was moved to a lent CPU, and the CPU
    // it is limited to now (-1: the process's CPUs).
    unsigned long Lends() const;
    int LentCpu() const;

    struct State;
    explicit CpuLending(std::unique_ptr<State> state);
    ~CpuLending();

private:
    friend class IdleWait;
    std::unique_ptr<State> state_;
};

// Marks the calling thread as idle in a wait for its lifetime, after giving
// it back the process's CPUs if it has been lent one for a while (it then
// takes no lend during this wait). Held around each wait of a message loop
// and a sender's wait for its answer.
class IdleWait {
public:
    IdleWait();
    ~IdleWait();
    IdleWait(const IdleWait&) = delete;
    IdleWait& operator=(const IdleWait&) = delete;

private:
    std::shared_ptr<CpuLending> mine_;
};

}  // namespace user32
