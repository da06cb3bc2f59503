// The port's I/O over the POSIX Win32 subset: a plain handle, and the
// synchronous calls. ClearCommError on a real tty already waits for input
// for a bounded time and fails after that bound on a device that is gone
// (platform/posix/kernel32/tty.cpp), so the watcher's wait is that call.
#include "serial/port_io.h"

namespace serial {

struct InputWait::State {};

HANDLE OpenPortHandle(const wchar_t* path) {
    return CreateFileW(path, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
}

BOOL ReadPort(HANDLE port, BYTE* buffer, DWORD length, DWORD* got) {
    DWORD count = 0;
    const BOOL ok = ReadFile(port, buffer, length, &count, nullptr);
    if (got != nullptr)
        *got = count;
    return ok;
}

BOOL WritePort(HANDLE port, const BYTE* data, DWORD length, DWORD* written) {
    DWORD count = 0;
    const BOOL ok = WriteFile(port, data, length, &count, nullptr);
    if (written != nullptr)
        *written = count;
    return ok;
}

InputWait::InputWait() : state_(std::make_unique<State>()) {}
InputWait::~InputWait() = default;

bool InputWait::Polls() const { return false; }

bool InputWait::Wait(HANDLE port, DWORD& queued) {
    DWORD errors = 0;
    COMSTAT stat{};
    queued = 0;
    // The error bits are not examined: the call clears the port's error
    // condition, so framing, parity or overrun errors never stop reception.
    if (!ClearCommError(port, &errors, &stat))
        return false;
    queued = stat.cbInQue;
    return true;
}

}  // namespace serial
