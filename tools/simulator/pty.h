// The terminal's end of the line: the master side of a pseudo-terminal whose
// slave the upgrader opens as its serial port, and the symlink that can give
// the slave a stable name (line.h).
//
// Whether the host has the port open is read on the master: Linux reports
// POLLHUP on the master while no process holds the slave open. It does so
// only once the slave has been opened and closed at least once (a fresh pty
// polls quiet), so Open() opens and closes the slave itself before handing
// the pty out; no slave descriptor of our own stays open, as one would hide
// the host's close. The line settings made then persist on the pty, so the
// slave starts raw even for a host that sets nothing: no echo of our replies
// back to us, no line editing of binary payloads.
#pragma once

#include <string>

namespace tools::sim {

class Pty {
public:
    // Throws std::runtime_error naming the step and the system's reason.
    static Pty Open();

    Pty() = default;
    Pty(Pty&& other) noexcept;
    Pty& operator=(Pty&& other) noexcept;
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;
    ~Pty();

    int fd() const { return fd_; }
    const std::string& slave_path() const { return slave_; }
    bool is_open() const { return fd_ >= 0; }

    // True while some process holds the slave open, or when it has written
    // bytes still waiting here: those prove an open even if the host closed
    // again before we looked (its close is then seen by the next wait).
    bool HostHasOpened() const;

    // Closing the master makes the slave node vanish: the port is unplugged.
    void Close();

private:
    int fd_ = -1;
    std::string slave_;
};

}  // namespace tools::sim
