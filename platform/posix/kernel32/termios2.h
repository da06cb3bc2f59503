// The line settings of a tty, read and written through termios2 (see
// termios2.cpp for why that sits in a file of its own). Plain values only, so
// that no kernel or libc termios type leaks into the callers.
#pragma once

#include <cstdint>

namespace platform::tty {

struct LineSettings {
    uint32_t baud_rate = 9600;  // any rate, not only the standard ones
    uint8_t byte_size = 8;      // 5 to 8
    uint8_t parity = 0;         // DCB Parity code: NOPARITY .. SPACEPARITY
    uint8_t stop_bits = 0;      // DCB StopBits code: ONESTOPBIT, ONE5STOPBITS, TWOSTOPBITS
    bool cts_flow = false;      // RTS/CTS hardware handshake
    bool xon_xoff_out = false;  // honour XON/XOFF from the other end
    bool xon_xoff_in = false;   // send XON/XOFF when our input fills
    char xon_char = 0x11;
    char xoff_char = 0x13;
};

// Each returns 0 or the errno of the failure.
int ReadLineSettings(int fd, LineSettings& settings);
// Puts the line in raw mode (no translation, echo, signals or flow control
// beyond what settings ask; reads never block: VMIN 0, VTIME 0) with the
// given framing and speed.
int WriteLineSettings(int fd, const LineSettings& settings);
// Exclusive mode: further opens fail with EBUSY (except for privileged users).
int SetExclusive(int fd, bool exclusive);

}  // namespace platform::tty
