// A scripted serial port for tests, linked at the platform seam in place of
// the real tty device (library vantrel_comm_fake, with vantrel_kernel32).
//
// CreateFileW("\\.\COM5") reaches a port registered as "COM5"; every other
// name fails with ERROR_FILE_NOT_FOUND. The port records what the code under
// test does to it (every write, the last DCB, timeouts and queue sizes, opens
// and closes, calls) and plays the terminal's side: bytes queued with Receive
// are reported by ClearCommError and handed out by ReadFile. No threads and
// no real time: a read returns at once with what is queued (up to the count
// asked), never waiting for a timeout; a write completes at once.
//
// Everything may be called from any thread (a receive watcher may poll while
// the test queues bytes). The write hook runs outside the port's lock, so it
// may queue a reply or unplug the port.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/api.h"

namespace fakecomm {

// The calls a test can make fail, and count.
enum class Call {
    GetCommState,
    SetCommState,
    SetupComm,
    GetCommTimeouts,
    SetCommTimeouts,
    ReadFile,
    WriteFile,
    ClearCommError,
};

struct Queues {
    DWORD in = 0;
    DWORD out = 0;
};

struct PortState;

// A registered port. A cheap handle: copies refer to the same port, and a
// Port stays usable after Reset (it is then no longer reachable by name).
class Port {
public:
    explicit Port(std::shared_ptr<PortState> state) : state_(std::move(state)) {}

    // ---- the terminal's side
    // Queues bytes as if the terminal had sent them. Bytes queued while the
    // port is closed wait for the next open.
    void Receive(const std::vector<BYTE>& bytes);
    void Receive(std::string_view bytes);
    // Bytes queued and not yet read.
    size_t Pending() const;
    // Pulls the plug: the open handle's calls fail with ERROR_BAD_UNIT and
    // opens fail with ERROR_FILE_NOT_FOUND until Replug.
    void Unplug();
    void Replug();
    // Called after each WriteFile was recorded, with that write's bytes.
    void OnWrite(std::function<void(Port& port, const std::vector<BYTE>& written)> hook);

    // ---- failures on demand (ERROR_SUCCESS clears)
    // Opens fail with this error (the port is present but refuses, e.g. ERROR_ACCESS_DENIED).
    void FailOpen(DWORD error);
    void FailCall(Call call, DWORD error);
    // WriteFile then writes at most this many bytes per call and still
    // succeeds, as a timed-out write does; std::nullopt writes everything.
    void LimitWrites(std::optional<DWORD> max_bytes);

    // ---- what the code under test did
    // Every WriteFile's bytes, one entry per call (an empty write too).
    std::vector<std::vector<BYTE>> Writes() const;
    // All bytes written, in order.
    std::vector<BYTE> Written() const;
    void ClearWrites();
    // The last settings accepted; nullopt before the first.
    std::optional<DCB> LastDcb() const;
    std::optional<COMMTIMEOUTS> LastTimeouts() const;
    std::optional<Queues> LastQueues() const;
    int Opens() const;   // successful opens
    int Closes() const;  // CloseHandle of an open handle
    bool IsOpen() const;
    int Calls(Call call) const;  // times the call reached this port, failed ones too

    // The DCB that GetCommState reports before any SetCommState (default:
    // the Windows defaults at 9600 bits per second).
    void SetInitialDcb(const DCB& dcb);

private:
    std::shared_ptr<PortState> state_;
};

// Forgets every port; handles still open on them keep working.
void Reset();
// Registers a port: "COM5" is opened as "\\.\COM5", a name starting with
// "/" as "\\.\" followed by that path. Registering a name again returns the
// port already there.
Port AddPort(const std::string& name);
// The port registered under name; nullopt if none.
std::optional<Port> FindPort(const std::string& name);

}  // namespace fakecomm
