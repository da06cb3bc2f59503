// The real comm device: a tty (USB CDC-ACM, USB serial adapter, pty) behind
// a comm handle. The opener of vantrel_comm_tty.
//
// Windows semantics carried over: the port is opened exclusively (share mode
// 0), the line is binary (every byte 0x00-0xFF passes both ways untouched),
// reads and writes honour COMMTIMEOUTS, and a vanished device makes
// ClearCommError fail. Framing and parity errors are not reported: the raw
// line delivers such bytes as data.
//
// One difference in timing, none in results: when the input queue is empty,
// ClearCommError (BytesWaiting) waits on the descriptor for input, for at
// most kInputWaitMs, before it reports the count. The tool's only caller of
// ClearCommError is its receive watcher, which calls it in a loop with
// nothing else to do between passes; without the wait that loop keeps one
// core busy for as long as the port is open. The wait is sound for it:
// - it ends the moment bytes arrive, so no notification comes later than
//   with an immediate call;
// - it is bounded well inside the 50 ms a close pauses between clearing
//   g_PortOpen and closing the handle, so the watcher still sees the flag and
//   leaves its loop before the handle goes;
// - closing the handle (CloseHandle, also when an open replaces the port)
//   ends a wait at once, so the watcher takes up the new handle on its next
//   pass as before;
// - the count is read (FIONREAD) after the wait, so it is exact;
// - a device that has gone fails the call as before, but only after the
//   bound, so a watcher on an unplugged terminal waits instead of spinning
//   until the run's reply timeout closes the port.
// Windows' own ClearCommError never waits; there the watcher waits in
// WaitCommEvent instead (serial/port_io_windows.cpp). The scripted port of
// the tests (tests/fakes) does not wait, so that tests stay deterministic.
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <optional>

#include "platform/posix/kernel32/comm_device.h"
#include "platform/posix/kernel32/errno_map.h"
#include "platform/posix/kernel32/termios2.h"
#include "platform/posix/kernel32/tty.h"
#include "platform/posix/kernel32/unique_fd.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;
constexpr DWORD kMaxDword = 0xFFFFFFFFu;

// The longest an empty input queue makes ClearCommError wait (see the top).
constexpr int kInputWaitMs = 20;
std::atomic<int> g_inputWaitMs{kInputWaitMs};

DWORD PortError(int err) { return ErrorFromErrno(err, ErrorObject::Port); }

// A device that is gone shows as a hang-up or an error on poll.
bool Vanished(short revents) { return (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0; }

// Milliseconds until deadline for poll, rounded up so a wait never ends early.
int PollTimeout(Clock::time_point deadline, Clock::time_point now) {
    if (deadline <= now)
        return 0;
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now).count();
    return static_cast<int>(std::min<long long>((us + 999) / 1000, 1 << 30));
}

class TtyDevice final : public CommDevice {
public:
    TtyDevice(UniqueFd fd, bool exclusive, DCB dcb)
        : fd_(std::move(fd)), closed_(::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)), exclusive_(exclusive), dcb_(dcb) {}

    ~TtyDevice() override { ReleaseExclusive(); }

    void ReleaseExclusive() override {
        // The handle is closed: end a watcher's wait in BytesWaiting now, so
        // that it moves on to whatever handle it finds next. Without the
        // eventfd (none could be made) the wait just runs to its bound.
        if (closed_.Get() >= 0) {
            const uint64_t one = 1;
            (void)!::write(closed_.Get(), &one, sizeof one);  // only fails when already signalled to the limit
        }
        // The exclusive flag belongs to the tty, not to our descriptor: a pty
        // keeps it after we close, and the next open would find it busy. The
        // flock goes too, though a watcher's last ClearCommError may still
        // hold the descriptor for a moment.
        if (!exclusive_.exchange(false))
            return;
        tty::SetExclusive(fd_.Get(), false);
        ::flock(fd_.Get(), LOCK_UN);
    }

    DWORD GetState(DCB& dcb) override {
        tty::LineSettings line;
        if (const int err = tty::ReadLineSettings(fd_.Get(), line))
            return PortError(err);
        std::lock_guard<std::mutex> lock(mutex_);
        dcb = dcb_;
        // The line itself is the truth for what termios holds.
        dcb.BaudRate = line.baud_rate;
        dcb.ByteSize = line.byte_size;
        dcb.Parity = line.parity;
        dcb.StopBits = line.stop_bits;
        dcb.fOutxCtsFlow = line.cts_flow;
        dcb.fOutX = line.xon_xoff_out;
        dcb.fInX = line.xon_xoff_in;
        dcb.XonChar = line.xon_char;
        dcb.XoffChar = line.xoff_char;
        return ERROR_SUCCESS;
    }

    DWORD SetState(const DCB& dcb) override {
        if (const DWORD error = Validate(dcb))
            return error;
        tty::LineSettings before;
        if (const int err = tty::ReadLineSettings(fd_.Get(), before))
            return PortError(err);
        tty::LineSettings line;
        line.baud_rate = dcb.BaudRate;
        line.byte_size = dcb.ByteSize;
        line.parity = dcb.Parity;
        line.stop_bits = dcb.StopBits;
        line.cts_flow = dcb.fOutxCtsFlow || dcb.fRtsControl == RTS_CONTROL_HANDSHAKE;
        line.xon_xoff_out = dcb.fOutX;
        line.xon_xoff_in = dcb.fInX;
        line.xon_char = dcb.XonChar;
        line.xoff_char = dcb.XoffChar;
        std::lock_guard<std::mutex> lock(mutex_);
        if (const int err = tty::WriteLineSettings(fd_.Get(), line))
            return PortError(err);
        // Drivers adjust what they cannot do without failing (a pty always
        // runs 8 bits without parity); Windows refuses such a DCB, so do we.
        // The speed is not compared: drivers round it to what their clock
        // divides, as Windows drivers do too.
        tty::LineSettings after;
        if (const int err = tty::ReadLineSettings(fd_.Get(), after))
            return PortError(err);
        if (after.byte_size != line.byte_size || after.parity != line.parity || after.stop_bits != line.stop_bits) {
            tty::WriteLineSettings(fd_.Get(), before);
            return ERROR_INVALID_PARAMETER;
        }
        if (const int err = SetModemLines(dcb)) {
            tty::WriteLineSettings(fd_.Get(), before);  // all or nothing; the restore's own failure adds nothing
            return PortError(err);
        }
        dcb_ = dcb;
        dcb_.DCBlength = sizeof(DCB);
        return ERROR_SUCCESS;
    }

    // The kernel's tty buffers have fixed sizes; the sizes are kept so that
    // the call succeeds as it does on Windows, where they are only a hint.
    DWORD SetQueues(DWORD in_queue, DWORD out_queue) override {
        std::lock_guard<std::mutex> lock(mutex_);
        in_queue_ = in_queue;
        out_queue_ = out_queue;
        return ERROR_SUCCESS;
    }

    DWORD GetTimeouts(COMMTIMEOUTS& timeouts) override {
        std::lock_guard<std::mutex> lock(mutex_);
        timeouts = timeouts_;
        return ERROR_SUCCESS;
    }

    DWORD SetTimeouts(const COMMTIMEOUTS& timeouts) override {
        // Windows refuses both intervals at MAXDWORD together with a total
        // constant of MAXDWORD; every other combination is valid.
        if (timeouts.ReadIntervalTimeout == kMaxDword && timeouts.ReadTotalTimeoutMultiplier == kMaxDword &&
            timeouts.ReadTotalTimeoutConstant == kMaxDword)
            return ERROR_INVALID_PARAMETER;
        std::lock_guard<std::mutex> lock(mutex_);
        timeouts_ = timeouts;
        return ERROR_SUCCESS;
    }

    DWORD Read(BYTE* buffer, DWORD count, DWORD& done) override;
    DWORD Write(const BYTE* buffer, DWORD count, DWORD& done) override;

    // One poll and one ioctl: the poll returns at once when bytes are
    // already waiting or the device has gone, and otherwise waits for input
    // (see the top of the file for why, and why that is sound).
    DWORD BytesWaiting(DWORD& count) override {
        pollfd p[2] = {{fd_.Get(), POLLIN, 0}, {closed_.Get(), POLLIN, 0}};
        const nfds_t n = closed_.Get() >= 0 ? 2 : 1;
        const int wait_ms = g_inputWaitMs.load(std::memory_order_relaxed);
        if (::poll(p, n, wait_ms) < 0 && errno != EINTR)
            return PortError(errno);
        if (Vanished(p[0].revents)) {
            // A hung-up descriptor polls ready at once; wait the bound on the
            // close alone before failing, or the watcher would spin until
            // the port is closed.
            if (n == 2 && (p[1].revents & POLLIN) == 0) {
                p[1].revents = 0;
                (void)::poll(&p[1], 1, wait_ms);  // woken early or not, the answer is the same
            } else if (n == 1) {
                (void)::poll(nullptr, 0, wait_ms);
            }
            return ERROR_BAD_UNIT;
        }
        int waiting = 0;
        if (::ioctl(fd_.Get(), FIONREAD, &waiting) != 0)
            return PortError(errno);
        count = static_cast<DWORD>(std::max(waiting, 0));
        return ERROR_SUCCESS;
    }

private:
    static DWORD Validate(const DCB& dcb) {
        if (dcb.BaudRate == 0)
            return ERROR_INVALID_PARAMETER;
        if (dcb.ByteSize < 5 || dcb.ByteSize > 8)
            return ERROR_INVALID_PARAMETER;
        if (dcb.Parity > SPACEPARITY)
            return ERROR_INVALID_PARAMETER;
        // Windows' own rules: 1.5 stop bits only with 5 data bits, 2 never with 5.
        if (dcb.StopBits > TWOSTOPBITS)
            return ERROR_INVALID_PARAMETER;
        if (dcb.StopBits == ONE5STOPBITS && dcb.ByteSize != 5)
            return ERROR_INVALID_PARAMETER;
        if (dcb.StopBits == TWOSTOPBITS && dcb.ByteSize == 5)
            return ERROR_INVALID_PARAMETER;
        if ((dcb.fOutX || dcb.fInX) && dcb.XonChar == dcb.XoffChar)
            return ERROR_INVALID_PARAMETER;
        // What a tty cannot do is refused rather than silently dropped: DSR
        // handshakes, DTR handshake, RTS toggling, and stripping NUL bytes.
        if (dcb.fOutxDsrFlow || dcb.fDsrSensitivity || dcb.fDtrControl == DTR_CONTROL_HANDSHAKE ||
            dcb.fRtsControl == RTS_CONTROL_TOGGLE || dcb.fNull)
            return ERROR_NOT_SUPPORTED;
        return ERROR_SUCCESS;
    }

    // Returns 0 or an errno.
    int SetModemLines(const DCB& dcb) {
        int raise = 0;
        int drop = 0;
        (dcb.fDtrControl == DTR_CONTROL_ENABLE ? raise : drop) |= TIOCM_DTR;
        // Under RTS handshake the driver drives RTS itself.
        if (dcb.fRtsControl == RTS_CONTROL_ENABLE)
            raise |= TIOCM_RTS;
        if (dcb.fRtsControl == RTS_CONTROL_DISABLE)
            drop |= TIOCM_RTS;
        for (auto [request, bits] : {std::pair{TIOCMBIS, raise}, std::pair{TIOCMBIC, drop}}) {
            if (bits == 0 || ::ioctl(fd_.Get(), request, &bits) == 0)
                continue;
            // A pty has no modem lines and answers ENOTTY or EINVAL; there is
            // nothing to drive, so that is not a failure of the settings.
            if (errno == ENOTTY || errno == EINVAL)
                continue;
            return errno;
        }
        return 0;
    }

    UniqueFd fd_;
    UniqueFd closed_;  // eventfd, readable once the handle is closed
    std::atomic<bool> exclusive_;
    std::mutex mutex_;  // guards the settings below, never held across a wait
    DCB dcb_;
    COMMTIMEOUTS timeouts_{};
    DWORD in_queue_ = 0;
    DWORD out_queue_ = 0;
};

DWORD TtyDevice::Read(BYTE* buffer, DWORD count, DWORD& done) {
    done = 0;
    if (count == 0)
        return ERROR_SUCCESS;
    COMMTIMEOUTS t;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        t = timeouts_;
    }
    const DWORD interval = t.ReadIntervalTimeout;
    // Windows' special cases: MAXDWORD/0/0 returns at once with what is
    // there; MAXDWORD/MAXDWORD/C waits up to C for the first byte and then
    // returns at once.
    const bool at_once = interval == kMaxDword && t.ReadTotalTimeoutMultiplier == 0 && t.ReadTotalTimeoutConstant == 0;
    const bool first_byte_only = interval == kMaxDword && t.ReadTotalTimeoutMultiplier == kMaxDword;
    std::optional<Clock::time_point> total_deadline;
    const Clock::time_point start = Clock::now();
    if (first_byte_only) {
        total_deadline = start + std::chrono::milliseconds(t.ReadTotalTimeoutConstant);
    } else if (t.ReadTotalTimeoutMultiplier != 0 || t.ReadTotalTimeoutConstant != 0) {
        const ULONGLONG total =
            static_cast<ULONGLONG>(t.ReadTotalTimeoutMultiplier) * count + t.ReadTotalTimeoutConstant;
        total_deadline = start + std::chrono::milliseconds(total);
    }
    Clock::time_point last_byte = start;
    for (;;) {
        const ssize_t n = ::read(fd_.Get(), buffer + done, count - done);
        if (n > 0) {
            done += static_cast<DWORD>(n);
            last_byte = Clock::now();
            if (done == count)
                return ERROR_SUCCESS;
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return PortError(errno);
        }
        if (at_once || (first_byte_only && done > 0))
            return ERROR_SUCCESS;
        const Clock::time_point now = Clock::now();
        std::optional<Clock::time_point> deadline = total_deadline;
        if (done > 0 && interval != 0 && interval != kMaxDword) {
            const Clock::time_point gap_end = last_byte + std::chrono::milliseconds(interval);
            if (!deadline || gap_end < *deadline)
                deadline = gap_end;
        }
        if (deadline && *deadline <= now)
            return ERROR_SUCCESS;  // a timeout is success with what came
        pollfd p{fd_.Get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, deadline ? PollTimeout(*deadline, now) : -1);
        if (ready < 0 && errno != EINTR)
            return PortError(errno);
        if (ready > 0 && Vanished(p.revents)) {
            // The device went away: hand over what came before it, if anything.
            const ssize_t last = (p.revents & POLLIN) ? ::read(fd_.Get(), buffer + done, count - done) : 0;
            if (last > 0)
                done += static_cast<DWORD>(last);
            return done > 0 ? ERROR_SUCCESS : ERROR_BAD_UNIT;
        }
    }
}

DWORD TtyDevice::Write(const BYTE* buffer, DWORD count, DWORD& done) {
    done = 0;
    COMMTIMEOUTS t;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        t = timeouts_;
    }
    std::optional<Clock::time_point> deadline;
    if (t.WriteTotalTimeoutMultiplier != 0 || t.WriteTotalTimeoutConstant != 0) {
        const ULONGLONG total =
            static_cast<ULONGLONG>(t.WriteTotalTimeoutMultiplier) * count + t.WriteTotalTimeoutConstant;
        deadline = Clock::now() + std::chrono::milliseconds(total);
    }
    if (count == 0) {
        // A port that is gone fails even an empty write, as on Windows.
        pollfd probe{fd_.Get(), POLLOUT, 0};
        if (::poll(&probe, 1, 0) < 0)
            return PortError(errno);
        return Vanished(probe.revents) ? ERROR_BAD_UNIT : ERROR_SUCCESS;
    }
    // The descriptor is non-blocking (see OpenCommDevice), so a stalled line
    // (flow control, a full pty) cannot hold the caller past the write
    // timeout; a write to a device that is gone fails with EIO or ENXIO,
    // which is ERROR_BAD_UNIT. The usual write is one system call.
    while (done < count) {
        const ssize_t n = ::write(fd_.Get(), buffer + done, count - done);
        if (n > 0) {
            done += static_cast<DWORD>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR)
            return PortError(errno);
        const Clock::time_point now = Clock::now();
        if (deadline && *deadline <= now)
            return ERROR_SUCCESS;  // timed out: success with what went
        pollfd p{fd_.Get(), POLLOUT, 0};
        const int ready = ::poll(&p, 1, deadline ? PollTimeout(*deadline, now) : -1);
        if (ready < 0 && errno != EINTR)
            return PortError(errno);
        if (ready > 0 && Vanished(p.revents))
            return ERROR_BAD_UNIT;
    }
    return ERROR_SUCCESS;
}

}  // namespace

void SetInputWaitForTest(int ms) { g_inputWaitMs = ms < 0 ? kInputWaitMs : ms; }

std::unique_ptr<CommDevice> OpenCommDevice(const std::string& path, DWORD desired_access, DWORD share_mode,
                                           CommOpenFailure& failure) {
    auto fail = [&failure](int err) -> std::unique_ptr<CommDevice> {
        failure.error = ErrorFromErrno(err, ErrorObject::Port);
        failure.cause = ErrnoCause(err, ErrorObject::Port);
        return nullptr;
    };
    int mode = O_RDWR;
    if (!(desired_access & GENERIC_WRITE))
        mode = O_RDONLY;
    else if (!(desired_access & GENERIC_READ))
        mode = O_WRONLY;
    // O_NONBLOCK so that the open does not wait for a carrier on a modem
    // line, and kept: reads never block anyway (VMIN 0, VTIME 0; they wait in
    // poll), and writes must not block past their timeout, so every call
    // waits in poll with its own deadline.
    UniqueFd fd(::open(path.c_str(), mode | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (fd.Get() < 0)
        return fail(errno);
    tty::LineSettings line;
    if (const int err = tty::ReadLineSettings(fd.Get(), line)) {
        failure.error = err == ENOTTY ? ERROR_FILE_NOT_FOUND : ErrorFromErrno(err, ErrorObject::Port);
        failure.cause = ErrnoCause(err, ErrorObject::Port);
        return nullptr;
    }
    const bool exclusive = share_mode == 0;
    if (exclusive) {
        // Every COM port on Windows is exclusive; a second open is refused
        // with "access denied". The flock keeps out other programs that
        // honour it and every other open in this process; TIOCEXCL keeps out
        // everyone else who is not privileged.
        if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0)
            return fail(errno == EWOULDBLOCK ? EBUSY : errno);
        if (const int err = tty::SetExclusive(fd.Get(), true))
            return fail(err);
    }
    // A fresh handle starts raw, 8N1 without flow control at the line's
    // current speed, with DTR and RTS raised: what Windows drivers report.
    line = tty::LineSettings{};
    tty::LineSettings current;
    if (tty::ReadLineSettings(fd.Get(), current) == 0 && current.baud_rate != 0)
        line.baud_rate = current.baud_rate;
    const DCB dcb = DefaultDcb(line.baud_rate);
    auto device = std::make_unique<TtyDevice>(std::move(fd), exclusive, dcb);
    if (const DWORD error = device->SetState(dcb)) {
        failure.error = error;
        failure.cause = ErrorCause(error);
        return nullptr;
    }
    return device;
}

}  // namespace platform

extern "C" void VantrelCommOpenerLinked(void) {}
