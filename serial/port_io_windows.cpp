// The port's I/O on Windows: an overlapped handle (port_io.h says why), so
// that the receive watcher waits in WaitCommEvent(EV_RXCHAR) while the window
// thread reads and writes the same handle.
//
// Every operation is issued with an OVERLAPPED of the calling thread and
// completed before the call returns, so the callers see the synchronous
// results they always saw: a read or write that ran out of time succeeds
// with fewer bytes. The driver applies COMMTIMEOUTS to overlapped calls as
// to synchronous ones; should one not (a driver that never completes), the
// call is cancelled once that time and a grace have passed, with the same
// result. An OVERLAPPED whose cancelled operation still does not complete
// is left to the driver (never reused or freed), since the driver may yet
// write to it.
//
// Drivers that refuse WaitCommEvent (some USB-serial adapters fail it or
// end it at once with an error) or never signal EV_RXCHAR (the wait then
// runs to its bound with the bytes long queued) get a bounded poll instead,
// never a bare spin: passes that only yield for a few milliseconds after
// bytes came or a write went (a run's next reply follows its payload
// closely), then a 1 ms sleep per pass, and 10 ms once the line has been
// quiet for a while (a pause, an idle port). The trace says so.
#include <algorithm>
#include <atomic>
#include <memory>

#include "common/trace.h"
#include "serial/port_io.h"

namespace serial {
namespace {

// The longest one Wait blocks: as long as the Linux ClearCommError's wait,
// well inside the 50 ms a close pauses before the handle goes.
constexpr DWORD kWaitBoundMs = 20;
// How much longer than its COMMTIMEOUTS an operation may take before it is
// cancelled here, for a driver that does not complete it in time itself.
constexpr DWORD kDriverGraceMs = 500;
// A port that cannot report its timeouts: the engine's reply wait.
constexpr DWORD kUnknownTimeoutsMs = 5000;
// How long a cancelled operation may take to complete.
constexpr DWORD kCancelWaitMs = 1000;
// In the fallback poll, counted from the last bytes seen or written: yield
// only, then sleep 1 ms per pass, then kQuietSleepMs.
constexpr DWORD kYieldMs = 5;
constexpr DWORD kBriskMs = 200;
constexpr DWORD kQuietSleepMs = 10;
// Event waits that end before their bound with nothing queued, in a row,
// before the port is taken for one that refuses them.
constexpr int kFailedWaitsForFallback = 3;

// One overlapped operation's block and its manual-reset event.
struct Op {
    OVERLAPPED ov{};
    DWORD mask = 0;  // WaitCommEvent's result
    HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    Op() = default;
    Op(const Op&) = delete;
    Op& operator=(const Op&) = delete;
    ~Op() {
        if (event != nullptr)
            (void)CloseHandle(event);  // nothing to do about a failing close
    }
};

// The slot's operation block, made when there is none; null (last error
// set) when no event can be made.
Op* Ready(std::unique_ptr<Op>& slot) {
    if (!slot) {
        auto op = std::make_unique<Op>();
        if (op->event == nullptr)
            return nullptr;
        slot = std::move(op);
    }
    slot->ov = OVERLAPPED{};
    slot->ov.hEvent = slot->event;
    slot->mask = 0;
    return slot.get();
}

struct Completion {
    DWORD error = ERROR_SUCCESS;  // of the operation
    DWORD count = 0;              // bytes moved
    bool cancelled = false;       // cancelled here at its bound
};

// Completes an operation issued on port: pending, it is waited for up to
// boundMs (INFINITE: as long as the driver takes) and cancelled after that.
Completion Complete(HANDLE port, std::unique_ptr<Op>& slot, bool pending, DWORD boundMs) {
    Completion c;
    Op& op = *slot;
    if (pending && WaitForSingleObject(op.event, boundMs) != WAIT_OBJECT_0) {
        c.cancelled = true;
        // Cancels this thread's operations on the handle: only this one.
        // Its failure (the handle has just been closed) leaves the wait
        // below to decide.
        (void)CancelIo(port);
        if (WaitForSingleObject(op.event, kCancelWaitMs) != WAIT_OBJECT_0) {
            DebugTrace(
                L"port: an operation did not end within %lu ms of its cancel; its buffer is left to the driver\r\n",
                static_cast<unsigned long>(kCancelWaitMs));
            (void)slot.release();  // deliberately leaked: the driver may still write to it
            c.error = ERROR_OPERATION_ABORTED;
            return c;
        }
    }
    if (!GetOverlappedResult(port, &op.ov, &c.count, FALSE))
        c.error = GetLastError();
    return c;
}

// The longest the driver may take by the port's timeouts, plus the grace;
// INFINITE when the port has no total timeout for this direction, where the
// driver too waits as long as it takes.
DWORD OperationBound(HANDLE port, DWORD length, bool write) {
    COMMTIMEOUTS t{};
    if (!GetCommTimeouts(port, &t))
        return kUnknownTimeoutsMs;
    const ULONGLONG multiplier = write ? t.WriteTotalTimeoutMultiplier : t.ReadTotalTimeoutMultiplier;
    const ULONGLONG constant = write ? t.WriteTotalTimeoutConstant : t.ReadTotalTimeoutConstant;
    if (!write && t.ReadIntervalTimeout == MAXDWORD && multiplier == 0 && constant == 0)
        return kDriverGraceMs;
    if (multiplier == 0 && constant == 0)
        return INFINITE;
    const ULONGLONG total = multiplier * length + constant + kDriverGraceMs;
    return total >= INFINITE ? INFINITE - 1 : static_cast<DWORD>(total);
}

// A timed-out operation ends with one of these; like the synchronous call
// it counts as a success with what was moved.
bool IsTimeout(DWORD error) { return error == ERROR_SEM_TIMEOUT || error == WAIT_TIMEOUT || error == ERROR_TIMEOUT; }

// Reads and writes come from one thread at a time (the window thread);
// each thread has its own block.
thread_local std::unique_ptr<Op> t_op;

// GetTickCount when a write last completed, for the fallback poll: the
// terminal answers a payload within milliseconds, so the poll is brisk
// right after one. One for the process: a process runs one port, and a
// second port's writes would only make this poll brisker for a moment.
std::atomic<DWORD> g_lastWrite{0};

BOOL Transfer(HANDLE port, BYTE* read, const BYTE* write, DWORD length, DWORD* moved) {
    if (moved != nullptr)
        *moved = 0;
    const DWORD bound = OperationBound(port, length, write != nullptr);
    Op* op = Ready(t_op);
    if (op == nullptr)
        return FALSE;
    const BOOL done = write != nullptr ? WriteFile(port, write, length, nullptr, &op->ov)
                                       : ReadFile(port, read, length, nullptr, &op->ov);
    if (!done && GetLastError() != ERROR_IO_PENDING)
        return FALSE;  // the last error is the call's
    const Completion c = Complete(port, t_op, !done, bound);
    if (write != nullptr)
        g_lastWrite.store(GetTickCount());
    if (moved != nullptr)
        *moved = c.count;
    if (c.error == ERROR_SUCCESS || IsTimeout(c.error))
        return TRUE;
    // Cancelled here at its bound: the driver's own timeout did not come,
    // and the result is the one it would have given.
    if (c.cancelled && c.error == ERROR_OPERATION_ABORTED)
        return TRUE;
    SetLastError(c.error);
    return FALSE;
}

}  // namespace

struct InputWait::State {
    std::unique_ptr<Op> op;
    HANDLE port = nullptr;  // the handle the fields below are about
    // A WaitCommEvent issued on port and not yet completed: it is kept
    // from one Wait to the next rather than ended at each bound.
    bool pending = false;
    bool fallback = false;
    int emptyCompletions = 0;  // in a row: waits that ended with nothing queued
    int missedEvents = 0;      // in a row: bounds reached with bytes queued
    DWORD lastBytes = 0;       // GetTickCount when bytes were last seen queued

    ~State() { EndPendingWait(); }

    // Ends the pending wait, if any, before its block may go. Setting the
    // mask again completes a pending WaitCommEvent at once; a cancel would
    // do on Windows, but Wine finds no serial wait to cancel. A handle
    // already closed has ended it. One that still does not end is left to
    // the driver, which may yet write to it.
    void EndPendingWait() {
        if (!pending)
            return;
        pending = false;
        if (WaitForSingleObject(op->event, 0) == WAIT_OBJECT_0)
            return;
        (void)SetCommMask(port, EV_RXCHAR);  // a failure: the handle is gone, and with it the wait
        if (WaitForSingleObject(op->event, kCancelWaitMs) != WAIT_OBJECT_0) {
            DebugTrace(
                L"port: a wait did not end within %lu ms of the mask set again; its buffer is left to the "
                L"driver\r\n",
                static_cast<unsigned long>(kCancelWaitMs));
            (void)op.release();  // deliberately leaked: the driver may still write to it
        }
    }
};

HANDLE OpenPortHandle(const wchar_t* path) {
    HANDLE port =
        CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE)
        return port;
    // Set before the handle is published to the watcher, so that its first
    // wait has the mask. A driver that refuses the mask fails the watcher's
    // WaitCommEvent, which then polls instead.
    if (!SetCommMask(port, EV_RXCHAR))
        DebugTrace(L"port: SetCommMask(EV_RXCHAR) failed (error %lu)\r\n", static_cast<unsigned long>(GetLastError()));
    return port;
}

BOOL ReadPort(HANDLE port, BYTE* buffer, DWORD length, DWORD* got) {
    return Transfer(port, buffer, nullptr, length, got);
}

BOOL WritePort(HANDLE port, const BYTE* data, DWORD length, DWORD* written) {
    return Transfer(port, nullptr, data, length, written);
}

InputWait::InputWait() : state_(std::make_unique<State>()) {}
InputWait::~InputWait() = default;

namespace {

// A failing port: wait the bound, so that a port that is gone costs no core
// until the run closes it.
bool Failed() {
    Sleep(kWaitBoundMs);
    return false;
}

// The error bits are not examined: the call clears the port's error
// condition, so framing, parity or overrun errors never stop reception.
bool Queued(HANDLE port, DWORD& queued) {
    DWORD errors = 0;
    COMSTAT stat{};
    if (!ClearCommError(port, &errors, &stat))
        return false;
    queued = stat.cbInQue;
    return true;
}

bool PollWithPauses(HANDLE port, DWORD& queued, DWORD& lastBytes) {
    const DWORD start = GetTickCount();
    for (;;) {
        if (!Queued(port, queued))
            return Failed();
        const DWORD now = GetTickCount();
        if (queued != 0) {
            lastBytes = now;
            return true;
        }
        if (now - start >= kWaitBoundMs)
            return true;
        const DWORD quiet = std::min(now - lastBytes, now - g_lastWrite.load());
        if (quiet < kYieldMs) {
            (void)SwitchToThread();  // whether another thread ran changes nothing here
        } else {
            Sleep(quiet < kBriskMs ? 1 : kQuietSleepMs);
        }
    }
}

}  // namespace

bool InputWait::Polls() const { return state_->fallback; }

bool InputWait::Wait(HANDLE port, DWORD& queued) {
    State& s = *state_;
    queued = 0;
    if (port != s.port) {
        s.EndPendingWait();  // of the handle before, closed by now
        s.port = port;
        s.fallback = false;
        s.emptyCompletions = 0;
        s.missedEvents = 0;
    }
    if (s.fallback)
        return PollWithPauses(port, queued, s.lastBytes);

    bool completed = false;
    if (!s.pending) {
        Op* op = Ready(s.op);
        const BOOL done = op != nullptr && WaitCommEvent(port, &op->mask, &op->ov);
        const DWORD issueError = done ? ERROR_SUCCESS : GetLastError();
        if (!done && issueError != ERROR_IO_PENDING) {
            if (!Queued(port, queued))
                return Failed();  // the port itself failed
            s.fallback = true;
            DebugTrace(L"receive watcher: the port refuses WaitCommEvent (error %lu); it polls with pauses instead\r\n",
                       static_cast<unsigned long>(issueError));
            return true;
        }
        s.pending = !done;
        completed = done;
        if (s.pending) {
            // Bytes queued before the wait began raise no event: look once
            // now. The wait stays pending for the next call.
            if (!Queued(port, queued))
                return Failed();
            if (queued != 0) {
                s.lastBytes = GetTickCount();
                s.emptyCompletions = 0;
                return true;
            }
        }
    }
    if (s.pending) {
        if (WaitForSingleObject(s.op->event, kWaitBoundMs) != WAIT_OBJECT_0) {
            // The bound, the wait still pending. A driver that never
            // signals EV_RXCHAR shows here with bytes queued: once is a race
            // with the bound; in a row, every reply would wait for it.
            if (!Queued(port, queued))
                return Failed();
            if (queued != 0) {
                s.lastBytes = GetTickCount();
                s.emptyCompletions = 0;
                if (++s.missedEvents >= kFailedWaitsForFallback) {
                    s.EndPendingWait();
                    s.fallback = true;
                    DebugTrace(
                        L"receive watcher: the port does not signal received bytes (EV_RXCHAR); it polls with "
                        L"pauses instead\r\n");
                }
            }
            return true;
        }
        s.pending = false;
        completed = true;
    }
    DWORD error = ERROR_SUCCESS;
    DWORD count = 0;
    if (completed && !GetOverlappedResult(port, &s.op->ov, &count, FALSE))
        error = GetLastError();
    if (!Queued(port, queued))
        return Failed();
    if (queued != 0) {
        s.lastBytes = GetTickCount();
        s.emptyCompletions = 0;
        s.missedEvents = 0;
        return true;
    }
    // The wait ended with nothing queued. Once after bytes is the event of
    // bytes already read (they came while an earlier look found them). In a
    // row, on a port that still answers, the driver ends every wait at once
    // (with an error, or with an event on a line that has hung up), and
    // waiting again at once would be the spin this avoids.
    if (++s.emptyCompletions >= kFailedWaitsForFallback) {
        s.fallback = true;
        DebugTrace(
            L"receive watcher: the port ends WaitCommEvent at once (error %lu); it polls with pauses "
            L"instead\r\n",
            static_cast<unsigned long>(error));
        return PollWithPauses(port, queued, s.lastBytes);
    }
    return true;
}

}  // namespace serial
