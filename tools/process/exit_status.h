// How a child process ended, apart from the POSIX-only child runner
// (child.h) so that code for any platform can hold and print it. Not here:
// anything that starts, waits for or signals a process.
#pragma once

#include <chrono>

namespace tools::process {

using Clock = std::chrono::steady_clock;

struct ExitStatus {
    int code = -1;           // its exit code when it exited, else -1
    int signal = 0;          // the signal that ended it, 0 when it exited
    bool timed_out = false;  // still running at Wait's limit, so killed (signal is SIGKILL)
    Clock::time_point at;    // when the end was seen

    bool exited() const { return signal == 0; }
    // The shell's number for it: the exit code, or 128 + the signal.
    int shell_code() const { return signal != 0 ? 128 + signal : code; }
};

}  // namespace tools::process
