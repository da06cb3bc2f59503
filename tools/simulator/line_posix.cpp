// The POSIX side of line.h: the line is a pty of our own (pty.h), polled on
// its master. Playing on a port someone else made is the Windows side's.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

#include "tools/simulator/line.h"
#include "tools/simulator/pty.h"
#include "tools/simulator/terminal.h"

namespace tools::sim {

struct Line::State {
    Pty pty;
};

LineAbilities Abilities() { return {true, false, true}; }

Line Line::Open(const LineSettings& settings) {
    if (!settings.port.empty()) {
        throw std::runtime_error("--port " + settings.port +
                                 ": here the simulator makes its own pty; a named port is for the Windows build");
    }
    Line line;
    line.state_ = std::make_unique<State>();
    line.state_->pty = Pty::Open();
    return line;
}

Line::Line() = default;
Line::Line(Line&& other) noexcept = default;
Line& Line::operator=(Line&& other) noexcept = default;
Line::~Line() = default;

bool Line::is_open() const { return state_ && state_->pty.is_open(); }

const std::string& Line::name() const {
    static const std::string none;
    return state_ ? state_->pty.slave_path() : none;
}

std::string Line::noun() const { return "the pty"; }

std::string Line::note() const { return {}; }

bool Line::SeesHost() const { return true; }

bool Line::HostHasOpened() const { return state_ && state_->pty.HostHasOpened(); }

Received Line::Receive(std::uint8_t* buf, std::size_t room, int timeout_ms) {
    const int fd = state_ ? state_->pty.fd() : -1;
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, timeout_ms) < 0 && errno != EINTR) {
        throw std::runtime_error(std::string("polling the pty: ") + std::strerror(errno));
    }
    // Bytes first: those the host wrote before closing stay readable after
    // its close, and its close is seen by the next wait.
    if (p.revents & POLLIN) {
        const ssize_t n = ::read(fd, buf, room);
        if (n > 0)
            return {static_cast<std::size_t>(n), false};
    }
    return {0, (p.revents & POLLHUP) != 0};
}

std::ptrdiff_t Line::Send(const std::uint8_t* bytes, std::size_t size, std::string& error) {
    const ssize_t n = ::write(state_ ? state_->pty.fd() : -1, bytes, size);
    if (n >= 0)
        return n;
    if (errno == EAGAIN || errno == EINTR)
        return 0;
    error = std::strerror(errno);
    return -1;
}

void Line::WaitWritable(int timeout_ms) {
    pollfd p{state_ ? state_->pty.fd() : -1, POLLOUT, 0};
    ::poll(&p, 1, timeout_ms);
}

void Line::Close() {
    if (state_)
        state_->pty.Close();
}

namespace {

void OnSignal(int) { RequestStop(); }

}  // namespace

void CatchStopSignals() {
    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

}  // namespace tools::sim
