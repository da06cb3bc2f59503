// The pty helper. It reads termios2 itself, independently of the code under
// test, and so includes <asm/termbits.h>, which cannot share a translation
// unit with glibc's <termios.h>: nothing else is in this file.
#include "tests/platform/kernel32/pty_pair.h"

#include <asm/termbits.h>
#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>

namespace k32test {

PtyPair::PtyPair() {
    master_ = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0)
        return;
    if (::grantpt(master_) != 0 || ::unlockpt(master_) != 0)
        return;
    if (const char* name = ::ptsname(master_))
        slave_ = name;
}

PtyPair::~PtyPair() { CloseMaster(); }

std::wstring PtyPair::DeviceName() const { return L"\\\\.\\" + std::wstring(slave_.begin(), slave_.end()); }

bool PtyPair::Send(const std::vector<uint8_t>& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(master_, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

std::vector<uint8_t> PtyPair::Take(size_t count, int max_ms) {
    std::vector<uint8_t> got;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(max_ms);
    while (got.size() < count) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            break;
        pollfd p{master_, POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(left.count())) <= 0 || !(p.revents & POLLIN))
            continue;
        uint8_t buffer[4096];
        const ssize_t n = ::read(master_, buffer, std::min(sizeof buffer, count - got.size()));
        if (n > 0)
            got.insert(got.end(), buffer, buffer + n);
    }
    return got;
}

void PtyPair::CloseMaster() {
    if (master_ >= 0)
        ::close(master_);
    master_ = -1;
}

uint32_t PtyPair::SlaveSpeed() const {
    struct termios2 t {};
    if (::ioctl(master_, TCGETS2, &t) != 0)
        return 0;
    return t.c_ospeed;
}

bool PtyPair::SlaveUsesBother() const {
    struct termios2 t {};
    if (::ioctl(master_, TCGETS2, &t) != 0)
        return false;
    return (t.c_cflag & CBAUD) == BOTHER;
}

}  // namespace k32test
