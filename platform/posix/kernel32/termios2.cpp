// termios2 access for the tty device, in a file of its own because the
// kernel's <asm/termbits.h>, the only header that declares struct termios2
// and BOTHER (any line speed, 3686400 included), redefines the struct
// termios and the flag macros of glibc's <termios.h>; the two cannot meet in
// one translation unit. Nothing here includes <termios.h>.
#include "platform/posix/kernel32/termios2.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

#include <cerrno>

namespace platform::tty {

int ReadLineSettings(int fd, LineSettings& settings) {
    struct termios2 t {};
    if (::ioctl(fd, TCGETS2, &t) != 0)
        return errno;
    LineSettings s;
    s.baud_rate = t.c_ospeed;
    switch (t.c_cflag & CSIZE) {
        case CS5:
            s.byte_size = 5;
            break;
        case CS6:
            s.byte_size = 6;
            break;
        case CS7:
            s.byte_size = 7;
            break;
        default:
            s.byte_size = 8;
            break;
    }
    if (!(t.c_cflag & PARENB))
        s.parity = 0;  // NOPARITY
    else if (t.c_cflag & CMSPAR)
        s.parity = (t.c_cflag & PARODD) ? 3 : 4;  // MARKPARITY : SPACEPARITY
    else
        s.parity = (t.c_cflag & PARODD) ? 1 : 2;  // ODDPARITY : EVENPARITY
    // With five data bits the second stop bit is one and a half bits long.
    if (t.c_cflag & CSTOPB)
        s.stop_bits = s.byte_size == 5 ? 1 : 2;
    s.cts_flow = (t.c_cflag & CRTSCTS) != 0;
    s.xon_xoff_out = (t.c_iflag & IXON) != 0;
    s.xon_xoff_in = (t.c_iflag & IXOFF) != 0;
    s.xon_char = static_cast<char>(t.c_cc[VSTART]);
    s.xoff_char = static_cast<char>(t.c_cc[VSTOP]);
    settings = s;
    return 0;
}

int WriteLineSettings(int fd, const LineSettings& s) {
    struct termios2 t {};
    if (::ioctl(fd, TCGETS2, &t) != 0)
        return errno;
    // cfmakeraw, plus no parity checking: a byte with a parity error is
    // delivered as received rather than replaced by NUL.
    t.c_iflag &=
        ~(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | IXON | IXOFF | IXANY | INPCK | IUCLC | IMAXBEL);
    t.c_oflag &= ~OPOST;
    t.c_lflag &= ~(ECHO | ECHONL | ECHOE | ECHOK | ECHOCTL | ECHOKE | ICANON | ISIG | IEXTEN);
    // CLOCAL: a missing carrier neither blocks nor hangs up the port, as on Windows.
    t.c_cflag &= ~(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS | CBAUD | (CBAUD << IBSHIFT));
    t.c_cflag |= CREAD | CLOCAL | BOTHER;  // input speed bits left 0: input runs at the output speed
    t.c_ospeed = t.c_ispeed = s.baud_rate;
    switch (s.byte_size) {
        case 5:
            t.c_cflag |= CS5;
            break;
        case 6:
            t.c_cflag |= CS6;
            break;
        case 7:
            t.c_cflag |= CS7;
            break;
        default:
            t.c_cflag |= CS8;
            break;
    }
    switch (s.parity) {
        case 1:
            t.c_cflag |= PARENB | PARODD;
            break;
        case 2:
            t.c_cflag |= PARENB;
            break;
        case 3:
            t.c_cflag |= PARENB | CMSPAR | PARODD;
            break;
        case 4:
            t.c_cflag |= PARENB | CMSPAR;
            break;
        default:
            break;
    }
    if (s.stop_bits != 0)
        t.c_cflag |= CSTOPB;
    if (s.cts_flow)
        t.c_cflag |= CRTSCTS;
    if (s.xon_xoff_out)
        t.c_iflag |= IXON;
    if (s.xon_xoff_in)
        t.c_iflag |= IXOFF;
    t.c_cc[VSTART] = static_cast<cc_t>(s.xon_char);
    t.c_cc[VSTOP] = static_cast<cc_t>(s.xoff_char);
    // Reads return at once with what is there; the caller waits with poll
    // and applies the Windows timeouts itself.
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (::ioctl(fd, TCSETS2, &t) != 0)
        return errno;
    return 0;
}

int SetExclusive(int fd, bool exclusive) { return ::ioctl(fd, exclusive ? TIOCEXCL : TIOCNXCL) == 0 ? 0 : errno; }

}  // namespace platform::tty
