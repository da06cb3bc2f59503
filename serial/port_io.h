// The port's handle-level I/O: the open, a read, a write, and the receive
// watcher's wait for input. One declaration, one definition per system,
// chosen by the build (port_io_posix.cpp, port_io_windows.cpp).
//
// Why a seam here: on Windows the watcher must block in WaitCommEvent, and a
// pending WaitCommEvent on a handle opened without FILE_FLAG_OVERLAPPED
// holds every other call on that handle, the window thread's WriteFile
// included, until the next byte arrives. So on Windows the handle is
// overlapped, and every read and write on it is an overlapped one completed
// here. On Linux the handle is plain and ClearCommError itself waits for
// input (platform/posix/kernel32/tty.cpp). The callers read the same on
// both.
//
// Not here: the line settings (port.cpp) and the hand-off to the window
// thread (receive.cpp).
#pragma once

#include <memory>

#include "platform/api.h"

namespace serial {

// CreateFileW for reading and writing, exclusive, as the port must be opened
// on this system. INVALID_HANDLE_VALUE on failure, with the last error set.
HANDLE OpenPortHandle(const wchar_t* path);

// One read of up to length bytes within the port's read timeouts; got
// receives the count read, also when the read timed out.
BOOL ReadPort(HANDLE port, BYTE* buffer, DWORD length, DWORD* got);

// One write within the port's write timeouts. A write that timed out
// succeeds with fewer bytes, as a synchronous WriteFile does: written
// receives the count that went.
BOOL WritePort(HANDLE port, const BYTE* data, DWORD length, DWORD* written);

// The receive watcher's wait, one per watcher thread.
class InputWait {
public:
    InputWait();
    ~InputWait();
    InputWait(const InputWait&) = delete;
    InputWait& operator=(const InputWait&) = delete;

    // Returns when bytes wait on port, when the port fails, or after a bound
    // of a few tens of milliseconds, whichever comes first, so that the
    // caller sees a cleared g_PortOpen well inside a close's 50 ms pause.
    // True with queued set to the bytes waiting (0 at the bound); false
    // when the port failed (closed, replaced, unplugged), and then only
    // after that bound, so that a failing port is never polled in a spin.
    // Clears the port's error condition as ClearCommError does.
    bool Wait(HANDLE port, DWORD& queued);

    // True once this wait has given up on the port's events and polls with
    // pauses instead (Windows: a driver that refuses or never signals
    // WaitCommEvent). Always false on Linux, where the wait is a poll of
    // the descriptor itself.
    bool Polls() const;

    struct State;

private:
    std::unique_ptr<State> state_;
};

}  // namespace serial
