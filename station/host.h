// The station's operating-system part, one definition per platform
// (host_posix.cpp, host_windows.cpp): the children of the runs and the one
// place that waits for them, the presence and readiness of a port, the
// append-only files (log, journal), the private folder, signals and the few
// other calls that differ. Everything else in the station is portable C++.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tools/process/exit_status.h"

namespace station {

// How a child ended: its exit code, or the signal that ended it.
using ChildEnd = tools::process::ExitStatus;
inline ChildEnd EndOf(int code, int signal) {
    ChildEnd end;
    end.code = code;
    end.signal = signal;
    return end;
}

// One line a child wrote: stdout carries its events, stderr its causes.
struct ChildLine {
    bool error = false;  // from stderr
    std::string text;
};

// One run's child: vantrel-cli with stdout and stderr read line by line, in
// a process group of its own (Windows: a console process group of its own),
// stopped with the station if the station dies.
class RunChild {
public:
    virtual ~RunChild() = default;
    // The next whole line without its newline, without waiting.
    virtual std::optional<ChildLine> TakeLine() = 0;
    // Set once the child has ended and its output is read to the end. The
    // look may itself read the child's last lines: TakeLine still has them.
    virtual std::optional<ChildEnd> End() = 0;
    // Asks the run to stop as a confirmed "STOP?" would (SIGTERM; on Windows
    // a Ctrl+Break to its console process group).
    virtual void Stop() = 0;
    // Ends it at once.
    virtual void Kill() = 0;
    // Gives up on a child that a kill did not end: it is neither waited for
    // nor reaped any more, so nothing of the station blocks on it.
    virtual void Abandon() = 0;
};

// Starts a run's child; empty with *error set when it cannot start. The
// scheduler gets it through its configuration, so that its tests can hand
// it fakes.
using StartChild = std::function<std::unique_ptr<RunChild>(const std::vector<std::string>& argv, const std::string& cwd,
                                                           std::string* error)>;

// The children of this process and the one wait over all of them.
class ChildHost {
public:
    static ChildHost& Get();
    virtual ~ChildHost() = default;
    virtual std::unique_ptr<RunChild> Start(const std::vector<std::string>& argv, const std::string& cwd,
                                            std::string* error) = 0;
    // Waits up to timeout for output or the end of any living child (or just
    // the time, when there is none), then lets each take what it has.
    virtual void Wait(std::chrono::milliseconds timeout) = 0;
};

// Whether a port given with --ports exists now: its device node ("ttyACM0"
// means /dev/ttyACM0, a path is taken as it is; on Windows the COM name).
// Empty when that cannot be told (the check itself failed).
std::optional<bool> ListedPortPresent(const std::string& port);

// Whether this user may open the port now (read and write). A new device
// node belongs to root until the system's rules have been applied to it, a
// moment after it appears. On Windows a present port is always ready.
bool PortReady(const std::string& port);

// The folder of the running executable, empty when unknown.
std::string ExecutableDir();
// The name of vantrel-cli on this platform ("vantrel-cli", "vantrel-cli.exe").
std::string CliFileName();
// An absolute form of a path given relative to the current directory.
std::string AbsolutePath(const std::string& path);
// Empty when path names a file this user may run, else why not.
std::string CheckRunnable(const std::string& path);

// A new folder only this user can enter; empty with *error set.
std::string MakePrivateFolder(std::string* error);
// Removes a folder made by MakePrivateFolder with the files in it.
void RemoveFolder(const std::string& path);

// A file written only at its end, each write through to the disk, and not
// inherited by children.
class AppendFile {
public:
    // Opens (creating) path; empty with *error set ("opening the log x: Permission denied").
    static std::unique_ptr<AppendFile> Open(const std::string& path, const std::string& what, std::string* error);
    virtual ~AppendFile() = default;
    // Writes bytes whole and through to the disk; false with *error set (the
    // cause: "No space left on device", "a short write of 12 of 240 bytes").
    virtual bool Write(const std::string& bytes, std::string* error) = 0;
    // Whether the file is empty or its last byte is a newline (a record whole).
    virtual bool EndsWithNewline() = 0;
    // When the path now names another file than the one open (the log was
    // rotated, moved or removed), opens the path; false with *error set when
    // that fails.
    virtual bool Follow(std::string* error) = 0;
    // The last `bytes` bytes (all of it with SIZE_MAX: the journal's reading).
    virtual bool ReadTail(std::size_t bytes, std::string* out, std::string* error) = 0;
    // Empties the file.
    virtual bool Truncate(std::string* error) = 0;
    // Takes the file for this process alone (another station on the same
    // file is refused); false when another process holds it.
    virtual bool Lock() = 0;
    // Whether it is a regular file (a device such as /dev/full is not).
    virtual bool IsRegular() = 0;
};

// The machine's name.
std::string HostName();

bool StdoutIsTerminal();
// Prepares stdout for escape sequences (Windows: virtual terminal mode).
void EnableTerminalSequences();
// Writes bytes to stdout whole, blocking while the reader is slow. False
// when stdout is gone: the reader went away or the terminal closed (EPIPE,
// EIO).
bool WriteStdout(const std::string& bytes);
// The runs at once when --jobs is not given: 0 for every unit present. On
// Windows, the processors.
unsigned DefaultJobs();

// The CPU time this process has used so far, user and system, in seconds.
double ProcessCpuSeconds();

// What the operator or the system asked of the station.
struct StopSignals {
    std::atomic<int> stops{0};        // SIGINT, SIGTERM (Windows: Ctrl+C, Ctrl+Break, close, logoff, shutdown)
    std::atomic<bool> hangup{false};  // SIGHUP: the terminal closed
};
// Installs the handlers (and ignores SIGPIPE: a reader that went away is
// seen as EPIPE on the write).
void CatchSignals(StopSignals* signals);
// Windows: a console close, logoff or shutdown ends the process as soon as
// its handler returns, so the handler waits until this is called (at most
// the few seconds Windows allows). Elsewhere nothing.
void StationFinished();

}  // namespace station
