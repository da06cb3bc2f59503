// A pseudo-terminal playing the terminal's side of the serial line: the
// slave is the port the tool opens, the master is the terminal.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

class PtyTerminal {
public:
    PtyTerminal() {
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0)
            return;
        const char* name = ptsname(master_);
        if (name)
            slave_ = name;
    }
    ~PtyTerminal() { Unplug(); }
    PtyTerminal(const PtyTerminal&) = delete;
    PtyTerminal& operator=(const PtyTerminal&) = delete;

    bool Ok() const { return master_ >= 0 && !slave_.empty(); }
    const std::string& SlavePath() const { return slave_; }
    std::wstring SlaveWide() const { return std::wstring(slave_.begin(), slave_.end()); }

    bool Send(const std::vector<unsigned char>& bytes) {
        return write(master_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    // What the tool wrote, waiting at most maxMs for count bytes.
    std::vector<unsigned char> Take(size_t count, int maxMs = 2000) {
        std::vector<unsigned char> got;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(maxMs);
        while (got.size() < count && std::chrono::steady_clock::now() < end) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 10) <= 0 || !(p.revents & POLLIN))
                continue;
            unsigned char buf[256];
            const ssize_t n = read(master_, buf, sizeof buf);
            if (n > 0)
                got.insert(got.end(), buf, buf + n);
        }
        return got;
    }
    void Unplug() {
        if (master_ >= 0)
            close(master_);
        master_ = -1;
    }

private:
    int master_ = -1;
    std::string slave_;
};
