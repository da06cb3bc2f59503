// Pseudo-terminal and symlink handling for the simulated terminal; see pty.h.
#include "tools/simulator/pty.h"
#include "tools/simulator/line.h"

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <utility>

namespace tools::sim {

namespace {

std::runtime_error SysError(const std::string& what) { return std::runtime_error(what + ": " + std::strerror(errno)); }

}  // namespace

Pty Pty::Open() {
    Pty pty;
    pty.fd_ = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (pty.fd_ < 0)
        throw SysError("opening a pty master (posix_openpt)");
    if (grantpt(pty.fd_) != 0)
        throw SysError("granting the pty slave (grantpt)");
    if (unlockpt(pty.fd_) != 0)
        throw SysError("unlocking the pty slave (unlockpt)");
    char name[128];
    if (ptsname_r(pty.fd_, name, sizeof name) != 0)
        throw SysError("naming the pty slave (ptsname_r)");
    pty.slave_ = name;

    // Line settings on the master apply to the pair's one tty: raw, 8 bits.
    termios tio{};
    if (tcgetattr(pty.fd_, &tio) != 0)
        throw SysError("reading the pty line settings");
    cfmakeraw(&tio);
    if (tcsetattr(pty.fd_, TCSANOW, &tio) != 0)
        throw SysError("making the pty raw");

    // Open and close the slave once so the master starts reporting POLLHUP
    // for "nobody has the port open" (see pty.h).
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (slave < 0)
        throw SysError("opening the pty slave " + pty.slave_);
    ::close(slave);
    return pty;
}

Pty::Pty(Pty&& other) noexcept : fd_(std::exchange(other.fd_, -1)), slave_(std::move(other.slave_)) {}

Pty& Pty::operator=(Pty&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = std::exchange(other.fd_, -1);
        slave_ = std::move(other.slave_);
    }
    return *this;
}

Pty::~Pty() { Close(); }

bool Pty::HostHasOpened() const {
    if (fd_ < 0)
        return false;
    pollfd p{fd_, POLLIN, 0};
    if (::poll(&p, 1, 0) < 0)
        return false;
    return (p.revents & POLLHUP) == 0 || (p.revents & POLLIN) != 0;
}

void Pty::Close() {
    if (fd_ >= 0)
        ::close(std::exchange(fd_, -1));
}

Symlink::Symlink(std::string path, const std::string& target) : path_(std::move(path)), target_(target) {
    // A new name beside the old one, renamed over it: the link is never
    // missing for a host that looks it up meanwhile.
    const std::string temp = path_ + ".new";
    ::unlink(temp.c_str());
    if (::symlink(target.c_str(), temp.c_str()) != 0) {
        const std::string why = std::strerror(errno);
        path_.clear();
        throw std::runtime_error("creating symlink " + temp + " -> " + target + ": " + why);
    }
    if (::rename(temp.c_str(), path_.c_str()) != 0) {
        const std::string why = std::strerror(errno);
        ::unlink(temp.c_str());
        const std::string failed = path_;
        path_.clear();
        throw std::runtime_error("renaming symlink " + temp + " to " + failed + ": " + why);
    }
}

Symlink::Symlink(Symlink&& other) noexcept : path_(std::exchange(other.path_, {})), target_(std::move(other.target_)) {}

Symlink& Symlink::operator=(Symlink&& other) noexcept {
    if (this != &other) {
        Remove();
        path_ = std::exchange(other.path_, {});
        target_ = std::move(other.target_);
    }
    return *this;
}

Symlink::~Symlink() { Remove(); }

void Symlink::Remove() {
    if (path_.empty())
        return;
    char buf[512];
    const ssize_t n = ::readlink(path_.c_str(), buf, sizeof buf - 1);
    // Leave the name alone if someone else has pointed it elsewhere since.
    if (n >= 0 && std::string(buf, static_cast<std::size_t>(n)) == target_)
        ::unlink(path_.c_str());
    path_.clear();
}

}  // namespace tools::sim
