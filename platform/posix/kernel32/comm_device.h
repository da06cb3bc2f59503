// The seam between the Win32 comm calls (comm.cpp) and what actually carries
// the bytes: a real tty (vantrel_comm_tty) or a scripted port for tests
// (vantrel_comm_fake). Exactly one of those libraries is linked into a
// program and defines OpenCommDevice; nothing chooses at run time.
//
// Every call returns ERROR_SUCCESS or the Win32 code of the failure; the
// device does not touch the thread's last error, the dispatcher does. A
// device is used from two threads at once (the receive watcher asks
// BytesWaiting while the window thread reads, writes or configures), so each
// implementation guards its own settings; none holds a lock across a wait.
#pragma once

#include <memory>
#include <string>

#include "platform/posix/win32.h"

namespace platform {

class CommDevice {
public:
    virtual ~CommDevice() = default;  // closes the device and releases its lock

    virtual DWORD GetState(DCB& dcb) = 0;
    // Applies every field or none: a refused DCB leaves the line as it was.
    virtual DWORD SetState(const DCB& dcb) = 0;
    virtual DWORD SetQueues(DWORD in_queue, DWORD out_queue) = 0;
    virtual DWORD GetTimeouts(COMMTIMEOUTS& timeouts) = 0;
    virtual DWORD SetTimeouts(const COMMTIMEOUTS& timeouts) = 0;
    // With the COMMTIMEOUTS semantics of Windows: returns when count bytes
    // arrived, when the interval timeout passes between two bytes, or when
    // the total timeout runs out (success with fewer bytes, possibly 0).
    virtual DWORD Read(BYTE* buffer, DWORD count, DWORD& done) = 0;
    // Gives up after the total write timeout. As on Windows a timed-out write
    // is not a failure: it succeeds with the count written so far.
    virtual DWORD Write(const BYTE* buffer, DWORD count, DWORD& done) = 0;
    // Bytes waiting in the input queue; fails when the device is gone. A
    // device may first wait a short, bounded while for input when none is
    // waiting (the tty does, see tty.cpp, ended early by input or by
    // ReleaseExclusive); the count is the one after the wait.
    virtual DWORD BytesWaiting(DWORD& count) = 0;
    // The handle was closed: stop keeping other opens out, although the
    // descriptor may live on until a call on another thread returns.
    virtual void ReleaseExclusive() {}
};

struct CommOpenFailure {
    DWORD error = ERROR_SUCCESS;
    std::string cause;  // plain words: "no such port", "the port is in use by another program"
};

// Opens the device at path (already resolved from "\\.\NAME": "/dev/NAME" or
// an absolute path). share_mode 0 opens exclusively, as every COM port on
// Windows is. Returns nullptr and fills failure when the open fails.
std::unique_ptr<CommDevice> OpenCommDevice(const std::string& path, DWORD desired_access, DWORD share_mode,
                                           CommOpenFailure& failure);

// The DCB a freshly opened port reports, with the values Windows drivers give
// and the tool relies on: binary, 8N1, no flow control, DTR and RTS on.
DCB DefaultDcb(DWORD baud_rate);

}  // namespace platform

// Defined beside OpenCommDevice by each opener library, which names it in its
// link interface (-Wl,--undefined=...): the linker then takes the opener from
// the library whatever order a program lists its libraries in.
extern "C" void VantrelCommOpenerLinked(void);
