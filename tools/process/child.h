// Child processes for our host-side programs and tests: start a program with
// its arguments, working directory and extra environment; feed its stdin;
// collect its stdout and stderr as whole lines stamped with the time they
// arrived; signal it; wait for it with a hard limit, killing it at the limit;
// and report how it ended. Every descriptor and the pid are owned: a child
// still running when its object goes is killed and reaped.
//
// Nothing here blocks without a deadline. The pipes are non-blocking, so one
// thread can drive several children: put each child's descriptors into one
// poll() (AppendPollFds), then let each child take what is ready (Step), or
// use PumpAll for exactly that.
//
// Not here: process groups or sessions (a grandchild outlives a kill of its
// parent), pseudo-terminals (the simulator's pty lives in
// tools/simulator/pty.h), Windows (these are Linux/POSIX host tools; the
// Windows build does not build this folder).
#pragma once

#include <poll.h>
#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <deque>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "tools/process/exit_status.h"

namespace tools::process {

// An owned file descriptor, closed on destruction.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept;
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { Close(); }

    int get() const { return fd_; }
    bool is_open() const { return fd_ >= 0; }
    void Close();

private:
    int fd_ = -1;
};

enum class Stream { Out, Err };

// One line of output: its text without the '\n' (a "\r" before it is kept),
// stamped when the read that completed it returned. A last line the child
// did not end with '\n' comes when the stream reaches its end.
struct Line {
    Stream stream = Stream::Out;
    std::string text;
    Clock::time_point at;
};

struct Options {
    enum class Input { Null, Pipe, Inherit };               // stdin
    enum class ErrorOutput { Pipe, Merge, File, Inherit };  // stderr; Merge: into the stdout pipe

    std::string cwd;                                       // empty: ours
    std::vector<std::pair<std::string, std::string>> env;  // set or replaced in the child's environment
    Input input = Input::Null;
    ErrorOutput error_output = ErrorOutput::Pipe;
    std::string error_path;  // for File: created or truncated

    // Runs in the child between fork and exec, so async-signal-safe calls
    // only; a nonzero return is an errno that fails the start, named by
    // before_exec_step.
    int (*before_exec)() = nullptr;
    std::string before_exec_step = "preparing the child";

    // false: the child's end is not watched through a pidfd, as on a kernel
    // without one (before 5.3, or a seccomp filter); for the tests of that path.
    bool use_pidfd = true;
};

class Child {
public:
    // Starts argv[0] (a path: PATH is not searched) with stdout on a pipe.
    // Throws std::runtime_error naming the program, the failing step and the
    // system's reason: "running /x/vantrel-cli: changing to the directory
    // /tmp/d: No such file or directory".
    explicit Child(const std::vector<std::string>& argv, const Options& options = {});
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child();

    pid_t pid() const { return pid_; }

    // --- stdin (Options::Input::Pipe) ---
    // Queues bytes for the child; what its pipe cannot take now goes out with
    // later steps, so a child that does not read never blocks us. False when
    // stdin is not a pipe, was closed, or the child stopped reading (EPIPE);
    // unsent bytes are then dropped.
    bool Write(std::string_view bytes);
    // Closes stdin once the queued bytes are out (the child sees end of file).
    void CloseStdin();
    std::size_t stdin_pending() const { return to_write_.size(); }

    // --- the poll step ---
    // Adds the descriptors worth waiting on: the output pipes not yet at end
    // of file, the child's exit (a pidfd, when the kernel gives one) and stdin
    // while bytes wait. Step() takes whatever they have.
    void AppendPollFds(std::vector<pollfd>& fds) const;
    // Without blocking: reads what the pipes hold, writes what stdin takes,
    // and reaps the child if it has ended. True when anything changed.
    bool Step();
    // Waits up to `timeout` for any of this child's descriptors, then Step().
    bool Pump(std::chrono::milliseconds timeout);
    // The wait when the kernel offers no pidfd: a child's end is then only
    // noticed every this often.
    static constexpr std::chrono::milliseconds kExitCheckInterval{10};
    // Whether the child's end wakes a poll (a pidfd is among the descriptors).
    bool watches_exit() const { return exit_fd_.is_open(); }

    // --- lines ---
    // The oldest unread line of `stream`, without waiting.
    std::optional<Line> TakeLine(Stream stream);
    // The oldest unread line of either stream (by arrival), without waiting.
    std::optional<Line> TakeLine();
    // The next line of `stream`, pumping up to `timeout`; empty at the
    // deadline or once the stream has ended with nothing left.
    std::optional<Line> ReadLine(std::chrono::milliseconds timeout, Stream stream = Stream::Out);
    // The first line of `stream` starting with `prefix`; the lines before it
    // are taken and dropped.
    std::optional<Line> ReadLineStartingWith(std::string_view prefix, std::chrono::milliseconds timeout,
                                             Stream stream = Stream::Out);
    // Everything read from the stream so far, taken lines included (with
    // ErrorOutput::Merge, stderr is part of Out).
    const std::string& text(Stream stream) const { return streams_[Index(stream)].text; }
    // Whether the stream is at end of file (or was never a pipe of ours).
    bool ended(Stream stream) const { return !streams_[Index(stream)].fd.is_open(); }

    // --- the end ---
    // Whether it still runs (reaps it if it has ended).
    bool Running();
    // Sends `sig`; false once the child has been reaped (its pid may belong to
    // another process by then) or when kill() fails.
    bool Signal(int sig);
    // Waits for the end, pumping the pipes meanwhile; at the limit the child
    // is killed (SIGKILL) and reaped, and the status says timed_out. The
    // output that was still in the pipes is read before returning.
    ExitStatus Wait(std::chrono::milliseconds limit);
    // Set once the child has been reaped.
    const std::optional<ExitStatus>& exit_status() const { return exit_; }
    // Gives the child up: a child that SIGKILL did not end (stuck in the
    // kernel) would hold a blocking reap forever. Its pipes are closed and the
    // object neither signals, waits for nor reaps it any more; it stays a
    // zombie until this process ends.
    void Release();
    bool released() const { return released_; }

private:
    struct Output {
        Fd fd;
        std::string text;
        std::string partial;  // the current line's bytes before its '\n'
        std::deque<Line> lines;
    };
    static std::size_t Index(Stream s) { return s == Stream::Out ? 0 : 1; }

    bool ReadFrom(Stream stream, Clock::time_point now);
    bool Flush();
    bool Reap(bool block);
    void Drain();

    pid_t pid_ = -1;
    Fd exit_fd_;  // pidfd: readable once the child has ended
    Fd stdin_;
    std::string to_write_;
    bool close_stdin_when_written_ = false;
    Output streams_[2];
    std::optional<ExitStatus> exit_;
    bool released_ = false;
};

// Waits up to `timeout` for any descriptor of any of the children, then lets
// each take what is ready: one thread serving several children. True when
// any of them changed.
bool PumpAll(std::span<Child* const> children, std::chrono::milliseconds timeout);

}  // namespace tools::process
