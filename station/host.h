// The station's operating-system part, one definition per platform
// (host_posix.cpp, host_windows.cpp): the child process of a run, the
// presence of a listed port, the private folder, signals and the few other
// calls that differ. Everything else in the station is portable C++.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace station {

// How a child ended: its exit code, or the signal that ended it.
struct ChildEnd {
  int code = -1;
  int signal = 0;  // 0: it exited
  int ShellCode() const { return signal != 0 ? 128 + signal : code; }
};

// One run's child: vantrel-cli with stdout read line by line, stderr
// read and dropped, in the private folder.
class RunChild {
 public:
  // Empty with *error set when it cannot start.
  static std::unique_ptr<RunChild> Start(const std::vector<std::string>& argv, const std::string& cwd,
                                         std::string* error);
  virtual ~RunChild() = default;
  // The next whole stdout line without its newline, without waiting.
  virtual std::optional<std::string> TakeLine() = 0;
  // Set once the child has ended and its output is read to the end.
  virtual std::optional<ChildEnd> End() = 0;
  // Asks the run to stop as a confirmed "STOP?" would (SIGTERM; on Windows
  // a Ctrl+Break to its console group).
  virtual void Stop() = 0;
  // Ends it at once.
  virtual void Kill() = 0;
};

// Waits up to timeout for output or an end of any of the children, then
// lets each take what it has.
void WaitForChildren(std::span<RunChild* const> children, std::chrono::milliseconds timeout);

// Whether a port given with --ports exists now: its device node ("ttyACM0"
// means /dev/ttyACM0, a path is taken as it is; on Windows the COM name).
bool ListedPortPresent(const std::string& port);

// The folder of the running executable, empty when unknown.
std::string ExecutableDir();
// The name of vantrel-cli on this platform ("vantrel-cli", "vantrel-cli.exe").
std::string CliFileName();

// A new folder only this user can enter; empty with *error set.
std::string MakePrivateFolder(std::string* error);
// Removes a folder made by MakePrivateFolder with the files in it.
void RemoveFolder(const std::string& path);

// The file's written bytes through to the disk.
bool SyncToDisk(std::FILE* file);

// gmtime, thread-safe.
void UtcTime(std::time_t seconds, std::tm* out);

bool StdoutIsTerminal();
// Prepares stdout for escape sequences (Windows: virtual terminal mode).
void EnableTerminalSequences();
// The processors this process may use, at least 1.
unsigned ProcessorCount();

// The CPU time this process has used so far, user and system, in seconds.
double ProcessCpuSeconds();

// SIGINT and SIGTERM (Windows: Ctrl+C, Ctrl+Break, close) set *flag.
void CatchStopSignals(std::atomic<bool>* flag);

}  // namespace station
