// The real comm device: a tty (USB CDC-ACM, USB serial adapter, pty) behind
// a comm handle. The opener of vantrel_comm_tty.
//
// Windows semantics carried over: the port is opened exclusively (share mode
// 0), the line is binary (every byte 0x00-0xFF passes both ways untouched),
// reads and writes honour COMMTIMEOUTS, and a vanished device makes
// ClearCommError fail. Framing and parity errors are not reported: the raw
// line delivers such bytes as data.
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <optional>

#include "platform/posix/kernel32/comm_device.h"
#include "platform/posix/kernel32/errno_map.h"
#include "platform/posix/kernel32/termios2.h"
#include "platform/posix/kernel32/unique_fd.h"

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;
constexpr DWORD kMaxDword = 0xFFFFFFFFu;

DWORD PortError(int err) { return ErrorFromErrno(err, ErrorObject::Port); }

// A device that is gone shows as a hang-up or an error on poll.
bool Vanished(short revents) { return (revents & (POLLHUP | POLLERR | POLLNVAL)) != 0; }

// Milliseconds until deadline for poll, rounded up so a wait never ends early.
int PollTimeout(Clock::time_point deadline, Clock::time_point now) {
    if (deadline <= now) return 0;
    const auto us = std::chrono::duration_cast<std::chrono::microseconds>(deadline - now).count();
    return static_cast<int>(std::min<long long>((us + 999) / 1000, 1 << 30));
}

class TtyDevice final : public CommDevice {
public:
    TtyDevice(UniqueFd fd, bool exclusive, DCB dcb) : fd_(std::move(fd)), exclusive_(exclusive), dcb_(dcb) {}

    ~TtyDevice() override { ReleaseExclusive(); }

    void ReleaseExclusive() override {
        // The exclusive flag belongs to the tty, not to our descriptor: a pty
        // keeps it after we close, and the next open would find it busy. The
        // flock goes too, though a watcher's last ClearCommError may still
        // hold the descriptor for a moment.
        if (!exclusive_.exchange(false)) return;
        tty::SetExclusive(fd_.Get(), false);
        ::flock(fd_.Get(), LOCK_UN);
    }

    DWORD GetState(DCB& dcb) override {
        tty::LineSettings line;
        if (const int err = tty::ReadLineSettings(fd_.Get(), line)) return PortError(err);
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
        if (const DWORD error = Validate(dcb)) return error;
        tty::LineSettings before;
        if (const int err = tty::ReadLineSettings(fd_.Get(), before)) return PortError(err);
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
        if (const int err = tty::WriteLineSettings(fd_.Get(), line)) return PortError(err);
        // Drivers adjust what they cannot do without failing (a pty always
        // runs 8 bits without parity); Windows refuses such a DCB, so do we.
        // The speed is not compared: drivers round it to what their clock
        // divides, as Windows drivers do too.
        tty::LineSettings after;
        if (const int err = tty::ReadLineSettings(fd_.Get(), after)) return PortError(err);
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

    DWORD BytesWaiting(DWORD& count) override {
        // The receive watcher calls this in a tight loop: one poll, one ioctl.
        pollfd p{fd_.Get(), POLLIN, 0};
        if (::poll(&p, 1, 0) < 0) return PortError(errno);
        if (Vanished(p.revents)) return ERROR_BAD_UNIT;
        int waiting = 0;
        if (::ioctl(fd_.Get(), FIONREAD, &waiting) != 0) return PortError(errno);
        count = static_cast<DWORD>(std::max(waiting, 0));
        return ERROR_SUCCESS;
    }

private:
    static DWORD Validate(const DCB& dcb) {
        if (dcb.BaudRate == 0) return ERROR_INVALID_PARAMETER;
        if (dcb.ByteSize < 5 || dcb.ByteSize > 8) return ERROR_INVALID_PARAMETER;
        if (dcb.Parity > SPACEPARITY) return ERROR_INVALID_PARAMETER;
        // Windows' own rules: 1.5 stop bits only with 5 data bits, 2 never with 5.
        if (dcb.StopBits > TWOSTOPBITS) return ERROR_INVALID_PARAMETER;
        if (dcb.StopBits == ONE5STOPBITS && dcb.ByteSize != 5) return ERROR_INVALID_PARAMETER;
        if (dcb.StopBits == TWOSTOPBITS && dcb.ByteSize == 5) return ERROR_INVALID_PARAMETER;
        if ((dcb.fOutX || dcb.fInX) && dcb.XonChar == dcb.XoffChar) return ERROR_INVALID_PARAMETER;
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
        if (dcb.fRtsControl == RTS_CONTROL_ENABLE) raise |= TIOCM_RTS;
        if (dcb.fRtsControl == RTS_CONTROL_DISABLE) drop |= TIOCM_RTS;
        for (auto [request, bits] : {std::pair{TIOCMBIS, raise}, std::pair{TIOCMBIC, drop}}) {
            if (bits == 0 || ::ioctl(fd_.Get(), request, &bits) == 0) continue;
            // A pty has no modem lines and answers ENOTTY or EINVAL; there is
            // nothing to drive, so that is not a failure of the settings.
            if (errno == ENOTTY || errno == EINVAL) continue;
            return errno;
        }
        return 0;
    }

    UniqueFd fd_;
    std::atomic<bool> exclusive_;
    std::mutex mutex_;  // guards the settings below, never held across a wait
    DCB dcb_;
    COMMTIMEOUTS timeouts_{};
    DWORD in_queue_ = 0;
    DWORD out_queue_ = 0;
};

DWORD TtyDevice::Read(BYTE* buffer, DWORD count, DWORD& done) {
    done = 0;
    if (count == 0) return ERROR_SUCCESS;
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
            if (done == count) return ERROR_SUCCESS;
        } else if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return PortError(errno);
        }
        if (at_once || (first_byte_only && done > 0)) return ERROR_SUCCESS;
        const Clock::time_point now = Clock::now();
        std::optional<Clock::time_point> deadline = total_deadline;
        if (done > 0 && interval != 0 && interval != kMaxDword) {
            const Clock::time_point gap_end = last_byte + std::chrono::milliseconds(interval);
            if (!deadline || gap_end < *deadline) deadline = gap_end;
        }
        if (deadline && *deadline <= now) return ERROR_SUCCESS;  // a timeout is success with what came
        pollfd p{fd_.Get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, deadline ? PollTimeout(*deadline, now) : -1);
        if (ready < 0 && errno != EINTR) return PortError(errno);
        if (ready > 0 && Vanished(p.revents)) {
            // The device went away: hand over what came before it, if anything.
            const ssize_t last = (p.revents & POLLIN) ? ::read(fd_.Get(), buffer + done, count - done) : 0;
            if (last > 0) done += static_cast<DWORD>(last);
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
    // A port that is gone fails even an empty write, as on Windows.
    pollfd probe{fd_.Get(), POLLOUT, 0};
    if (::poll(&probe, 1, 0) < 0) return PortError(errno);
    if (Vanished(probe.revents)) return ERROR_BAD_UNIT;
    if (count == 0) return ERROR_SUCCESS;
    // The descriptor is blocking (see OpenCommDevice); for the write alone it
    // is made non-blocking so that a stalled line (flow control, a full pty)
    // cannot hold the caller past the write timeout. Reads are unaffected:
    // with VMIN 0 they never block either way.
    const int flags = ::fcntl(fd_.Get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd_.Get(), F_SETFL, flags | O_NONBLOCK) != 0) return PortError(errno);
    struct Restore {
        int fd, flags;
        ~Restore() { ::fcntl(fd, F_SETFL, flags); }
    } restore{fd_.Get(), flags};
    while (done < count) {
        const ssize_t n = ::write(fd_.Get(), buffer + done, count - done);
        if (n > 0) {
            done += static_cast<DWORD>(n);
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) return PortError(errno);
        const Clock::time_point now = Clock::now();
        if (deadline && *deadline <= now) return ERROR_SUCCESS;  // timed out: success with what went
        pollfd p{fd_.Get(), POLLOUT, 0};
        const int ready = ::poll(&p, 1, deadline ? PollTimeout(*deadline, now) : -1);
        if (ready < 0 && errno != EINTR) return PortError(errno);
        if (ready > 0 && Vanished(p.revents)) return ERROR_BAD_UNIT;
    }
    return ERROR_SUCCESS;
}

}  // namespace

std::unique_ptr<CommDevice> OpenCommDevice(const std::string& path, DWORD desired_access, DWORD share_mode,
                                           CommOpenFailure& failure) {
    auto fail = [&failure](int err) -> std::unique_ptr<CommDevice> {
        failure.error = ErrorFromErrno(err, ErrorObject::Port);
        failure.cause = ErrnoCause(err, ErrorObject::Port);
        return nullptr;
    };
    int mode = O_RDWR;
    if (!(desired_access & GENERIC_WRITE)) mode = O_RDONLY;
    else if (!(desired_access & GENERIC_READ)) mode = O_WRONLY;
    // O_NONBLOCK so that the open does not wait for a carrier on a modem
    // line; cleared right after, as CLOCAL then keeps the carrier out of it.
    UniqueFd fd(::open(path.c_str(), mode | O_NOCTTY | O_NONBLOCK | O_CLOEXEC));
    if (fd.Get() < 0) return fail(errno);
    tty::LineSettings line;
    if (const int err = tty::ReadLineSettings(fd.Get(), line)) {
        failure.error = err == ENOTTY ? ERROR_FILE_NOT_FOUND : ErrorFromErrno(err, ErrorObject::Port);
        failure.cause = ErrnoCause(err, ErrorObject::Port);
        return nullptr;
    }
    const int flags = ::fcntl(fd.Get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.Get(), F_SETFL, flags & ~O_NONBLOCK) != 0) return fail(errno);
    const bool exclusive = share_mode == 0;
    if (exclusive) {
        // Every COM port on Windows is exclusive; a second open is refused
        // with "access denied". The flock keeps out other programs that
        // honour it and every other open in this process; TIOCEXCL keeps out
        // everyone else who is not privileged.
        if (::flock(fd.Get(), LOCK_EX | LOCK_NB) != 0) return fail(errno == EWOULDBLOCK ? EBUSY : errno);
        if (const int err = tty::SetExclusive(fd.Get(), true)) return fail(err);
    }
    // A fresh handle starts raw, 8N1 without flow control at the line's
    // current speed, with DTR and RTS raised: what Windows drivers report.
    line = tty::LineSettings{};
    tty::LineSettings current;
    if (tty::ReadLineSettings(fd.Get(), current) == 0 && current.baud_rate != 0) line.baud_rate = current.baud_rate;
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
