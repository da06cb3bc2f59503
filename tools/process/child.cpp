// Child processes: the start (fork and exec with a report pipe), the pipes,
// the lines and the end; see child.h.
#include "tools/process/child.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace tools::process {

Fd& Fd::operator=(Fd&& other) noexcept {
    if (this != &other) {
        Close();
        fd_ = std::exchange(other.fd_, -1);
    }
    return *this;
}

void Fd::Close() {
    // close() is not retried on EINTR: on Linux the descriptor is gone either way.
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

namespace {

std::string Reason(int err) { return std::strerror(err); }

// Our descriptors stay above 0..2, so the child's dup2 onto 0..2 can never
// overwrite one it still has to copy (only possible when we were started with
// one of them closed).
Fd AboveStandard(int fd) {
    if (fd > 2)
        return Fd(fd);
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    const int err = errno;
    ::close(fd);
    if (moved < 0)
        throw std::runtime_error("moving a descriptor: " + Reason(err));
    return Fd(moved);
}

struct Pipe {
    Fd read;
    Fd write;
};

Pipe MakePipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe: " + Reason(errno));
    Pipe p;
    p.read = AboveStandard(fds[0]);
    p.write = AboveStandard(fds[1]);
    return p;
}

Fd OpenOrThrow(const std::string& path, int flags, const std::string& what) {
    const int fd = ::open(path.c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0)
        throw std::runtime_error("opening " + what + " " + path + ": " + Reason(errno));
    return AboveStandard(fd);
}

void SetNonBlocking(const Fd& fd) {
    if (!fd.is_open())
        return;
    const int flags = ::fcntl(fd.get(), F_GETFL);
    if (flags < 0 || ::fcntl(fd.get(), F_SETFL, flags | O_NONBLOCK) != 0) {
        throw std::runtime_error("making a pipe non-blocking: " + Reason(errno));
    }
}

// The child's environment: ours with `extra` set over it.
std::vector<std::string> Environment(const std::vector<std::pair<std::string, std::string>>& extra) {
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e) {
        const std::string_view entry(*e);
        const std::string_view key = entry.substr(0, entry.find('='));
        const bool replaced = std::any_of(extra.begin(), extra.end(), [&](const auto& kv) { return kv.first == key; });
        if (!replaced)
            env.emplace_back(entry);
    }
    for (const auto& [key, value] : extra)
        env.push_back(key + "=" + value);
    return env;
}

std::vector<char*> Pointers(const std::vector<std::string>& strings) {
    std::vector<char*> p;
    p.reserve(strings.size() + 1);
    for (const auto& s : strings)
        p.push_back(const_cast<char*>(s.c_str()));
    p.push_back(nullptr);
    return p;
}

// Where a start failed in the child, sent back over the report pipe.
enum Stage : int { kRedirect = 1, kChdir, kBeforeExec, kExec };

[[noreturn]] void ChildFail(int report_fd, int stage, int err) {
    const int msg[2] = {stage, err};
    // Nothing more can be done about a failed report: the parent then sees
    // the child's exit code 127 instead of the reason.
    (void)!::write(report_fd, msg, sizeof msg);
    ::_exit(127);
}

// dup2 onto the same number keeps close-on-exec; it has to be cleared.
bool Place(int from, int to) {
    if (from == to)
        return ::fcntl(to, F_SETFD, 0) == 0;
    return ::dup2(from, to) >= 0;
}

// Writes without dying of SIGPIPE when the child has closed its stdin: the
// signal is blocked for this thread during the write and a SIGPIPE it raised
// is taken back, unless one was already pending for someone else.
ssize_t WriteQuietly(int fd, const char* data, std::size_t size) {
    sigset_t pipe_only, old, pending;
    sigemptyset(&pipe_only);
    sigaddset(&pipe_only, SIGPIPE);
    sigpending(&pending);
    const bool was_pending = sigismember(&pending, SIGPIPE) == 1;
    pthread_sigmask(SIG_BLOCK, &pipe_only, &old);
    ssize_t n;
    do {
        n = ::write(fd, data, size);
    } while (n < 0 && errno == EINTR);
    const int err = errno;
    if (n < 0 && err == EPIPE && !was_pending) {
        const timespec none{};
        while (sigtimedwait(&pipe_only, nullptr, &none) < 0 && errno == EINTR) {
        }
    }
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    errno = err;
    return n;
}

Fd OpenPidFd(pid_t pid) {
#ifdef SYS_pidfd_open
    // Fails on kernels before 5.3 or under a filter that forbids it; the waits
    // then check for the end every kExitCheckInterval instead.
    const long fd = ::syscall(SYS_pidfd_open, pid, 0);
    if (fd >= 0)
        return Fd(static_cast<int>(fd));
#else
    (void)pid;
#endif
    return Fd();
}

int PollTimeout(std::chrono::milliseconds timeout) {
    return static_cast<int>(std::clamp<long long>(timeout.count(), 0, 1'000'000'000));
}

}  // namespace

Child::Child(const std::vector<std::string>& argv, const Options& options) {
    if (argv.empty())
        throw std::invalid_argument("starting a child: no program given");
    const std::string& program = argv[0];
    std::vector<std::string> env_strings = Environment(options.env);
    std::vector<char*> args = Pointers(argv);
    std::vector<char*> envp = Pointers(env_strings);
    const char* cwd = options.cwd.empty() ? nullptr : options.cwd.c_str();

    // Everything the child needs is made here, before fork: between fork and
    // exec only async-signal-safe calls are allowed.
    Pipe out, err, in, report;
    Fd in_read, err_write;
    try {
        out = MakePipe();
        switch (options.input) {
            case Options::Input::Pipe:
                in = MakePipe();
                in_read = std::move(in.read);
                break;
            case Options::Input::Null:
                in_read = OpenOrThrow("/dev/null", O_RDONLY, "stdin");
                break;
            case Options::Input::Inherit:
                break;
        }
        switch (options.error_output) {
            case Options::ErrorOutput::Pipe:
                err = MakePipe();
                err_write = std::move(err.write);
                break;
            case Options::ErrorOutput::File:
                err_write = OpenOrThrow(options.error_path, O_WRONLY | O_CREAT | O_TRUNC, "the stderr file");
                break;
            case Options::ErrorOutput::Merge:
            case Options::ErrorOutput::Inherit:
                break;
        }
        report = MakePipe();
    } catch (const std::runtime_error& e) {
        throw std::runtime_error("running " + program + ": " + e.what());
    }
    const bool merge = options.error_output == Options::ErrorOutput::Merge;
    const int in_fd = in_read.get();
    const int out_fd = out.write.get();
    const int err_fd = merge ? out_fd : err_write.get();
    const int report_fd = report.write.get();
    auto* const before_exec = options.before_exec;

    pid_ = ::fork();
    if (pid_ == 0) {
        // Dispositions set to "ignore" survive exec; the child starts with the
        // defaults and nothing blocked, whatever this process had set.
        struct sigaction dfl {};
        dfl.sa_handler = SIG_DFL;
        for (int sig = 1; sig < NSIG; ++sig) {
            if (sig != SIGKILL && sig != SIGSTOP)
                ::sigaction(sig, &dfl, nullptr);
        }
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        if ((in_fd >= 0 && !Place(in_fd, 0)) || !Place(out_fd, 1) || (err_fd >= 0 && !Place(err_fd, 2))) {
            ChildFail(report_fd, kRedirect, errno);
        }
        if (cwd && ::chdir(cwd) != 0)
            ChildFail(report_fd, kChdir, errno);
        if (before_exec) {
            if (const int e = before_exec())
                ChildFail(report_fd, kBeforeExec, e);
        }
        ::execve(args[0], args.data(), envp.data());
        ChildFail(report_fd, kExec, errno);
    }
    const int fork_errno = errno;
    // The child's ends close here, so end of file reaches us once it (and any
    // child of its own) is done with them.
    out.write.Close();
    err_write.Close();
    in_read.Close();
    report.write.Close();
    if (pid_ < 0)
        throw std::runtime_error("running " + program + ": fork: " + Reason(fork_errno));

    // The report pipe closes on a successful exec; anything read means the
    // child failed before it.
    int msg[2] = {0, 0};
    ssize_t n;
    do {
        n = ::read(report.read.get(), msg, sizeof msg);
    } while (n < 0 && errno == EINTR);
    if (n > 0) {
        Reap(true);
        std::string step;
        switch (msg[0]) {
            case kRedirect:
                step = "redirecting its input and output";
                break;
            case kChdir:
                step = "changing to the directory " + options.cwd;
                break;
            case kBeforeExec:
                step = options.before_exec_step;
                break;
            default:
                step = "starting the program";
                break;
        }
        throw std::runtime_error("running " + program + ": " + step + ": " + Reason(msg[1]));
    }

    streams_[Index(Stream::Out)].fd = std::move(out.read);
    streams_[Index(Stream::Err)].fd = std::move(err.read);
    stdin_ = std::move(in.write);
    if (options.use_pidfd)
        exit_fd_ = OpenPidFd(pid_);
    SetNonBlocking(streams_[0].fd);
    SetNonBlocking(streams_[1].fd);
    SetNonBlocking(stdin_);
}

void Child::Release() {
    released_ = true;
    exit_fd_.Close();
    stdin_.Close();
    to_write_.clear();
    streams_[0].fd.Close();
    streams_[1].fd.Close();
}

Child::~Child() {
    if (!exit_ && pid_ > 0 && !released_) {
        ::kill(pid_, SIGKILL);
        Reap(true);
    }
}

bool Child::Reap(bool block) {
    if (exit_)
        return true;
    if (pid_ <= 0)
        return false;
    int st = 0;
    pid_t r;
    do {
        r = ::waitpid(pid_, &st, block ? 0 : WNOHANG);
    } while (r < 0 && errno == EINTR);
    if (r == 0)
        return false;
    ExitStatus e;
    e.at = Clock::now();
    if (r == pid_) {
        if (WIFEXITED(st)) {
            e.code = WEXITSTATUS(st);
        } else if (WIFSIGNALED(st)) {
            e.signal = WTERMSIG(st);
        }
    }
    // r < 0 (ECHILD): someone else reaped it (SIGCHLD ignored); it has ended
    // with a status we cannot know, left as code -1.
    exit_ = e;
    exit_fd_.Close();
    // Nobody reads stdin any more.
    stdin_.Close();
    to_write_.clear();
    return true;
}

bool Child::ReadFrom(Stream stream, Clock::time_point now) {
    Output& o = streams_[Index(stream)];
    bool changed = false;
    char buf[8192];
    while (o.fd.is_open()) {
        const ssize_t n = ::read(o.fd.get(), buf, sizeof buf);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        changed = true;
        if (n <= 0) {
            // End of file (or a read error, which ends the stream as well): the
            // unterminated rest is the last line.
            if (!o.partial.empty())
                o.lines.push_back(Line{stream, std::exchange(o.partial, {}), now});
            o.fd.Close();
            break;
        }
        const std::string_view chunk(buf, static_cast<std::size_t>(n));
        o.text.append(chunk);
        std::size_t at = 0;
        for (std::size_t nl; (nl = chunk.find('\n', at)) != std::string_view::npos; at = nl + 1) {
            o.partial.append(chunk.substr(at, nl - at));
            o.lines.push_back(Line{stream, std::exchange(o.partial, {}), now});
        }
        o.partial.append(chunk.substr(at));
    }
    return changed;
}

bool Child::Flush() {
    bool changed = false;
    while (stdin_.is_open() && !to_write_.empty()) {
        const ssize_t n = WriteQuietly(stdin_.get(), to_write_.data(), to_write_.size());
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
            break;
        changed = true;
        if (n < 0) {
            // EPIPE: the child closed its stdin; what it did not take is dropped.
            stdin_.Close();
            to_write_.clear();
            break;
        }
        to_write_.erase(0, static_cast<std::size_t>(n));
    }
    if (stdin_.is_open() && to_write_.empty() && close_stdin_when_written_) {
        stdin_.Close();
        changed = true;
    }
    return changed;
}

bool Child::Write(std::string_view bytes) {
    if (!stdin_.is_open() || close_stdin_when_written_)
        return false;
    to_write_.append(bytes);
    Flush();
    // A failed write closed stdin.
    return stdin_.is_open();
}

void Child::CloseStdin() {
    close_stdin_when_written_ = true;
    Flush();
}

void Child::AppendPollFds(std::vector<pollfd>& fds) const {
    for (const Output& o : streams_) {
        if (o.fd.is_open())
            fds.push_back({o.fd.get(), POLLIN, 0});
    }
    if (exit_fd_.is_open())
        fds.push_back({exit_fd_.get(), POLLIN, 0});
    if (stdin_.is_open() && !to_write_.empty())
        fds.push_back({stdin_.get(), POLLOUT, 0});
}

bool Child::Step() {
    const auto now = Clock::now();
    bool changed = ReadFrom(Stream::Out, now);
    changed |= ReadFrom(Stream::Err, now);
    changed |= Flush();
    if (!exit_ && Reap(false))
        changed = true;
    return changed;
}

bool Child::Pump(std::chrono::milliseconds timeout) {
    Child* self = this;
    return PumpAll(std::span<Child* const>(&self, 1), timeout);
}

std::optional<Line> Child::TakeLine(Stream stream) {
    auto& lines = streams_[Index(stream)].lines;
    if (lines.empty())
        return std::nullopt;
    Line line = std::move(lines.front());
    lines.pop_front();
    return line;
}

std::optional<Line> Child::TakeLine() {
    const auto& out = streams_[Index(Stream::Out)].lines;
    const auto& err = streams_[Index(Stream::Err)].lines;
    if (out.empty() && err.empty())
        return std::nullopt;
    if (err.empty())
        return TakeLine(Stream::Out);
    if (out.empty())
        return TakeLine(Stream::Err);
    return TakeLine(err.front().at < out.front().at ? Stream::Err : Stream::Out);
}

std::optional<Line> Child::ReadLine(std::chrono::milliseconds timeout, Stream stream) {
    const auto until = Clock::now() + timeout;
    for (;;) {
        if (auto line = TakeLine(stream))
            return line;
        if (ended(stream))
            return std::nullopt;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        if (left.count() <= 0)
            return std::nullopt;
        Pump(left);
    }
}

std::optional<Line> Child::ReadLineStartingWith(std::string_view prefix, std::chrono::milliseconds timeout,
                                                Stream stream) {
    const auto until = Clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        auto line = ReadLine(std::max(left, std::chrono::milliseconds(0)), stream);
        if (!line)
            return std::nullopt;
        if (line->text.starts_with(prefix))
            return line;
    }
}

bool Child::Running() { return !Reap(false); }

bool Child::Signal(int sig) { return !exit_ && pid_ > 0 && ::kill(pid_, sig) == 0; }

ExitStatus Child::Wait(std::chrono::milliseconds limit) {
    const auto until = Clock::now() + limit;
    while (!Reap(false)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
        if (left.count() <= 0) {
            ::kill(pid_, SIGKILL);
            Reap(true);
            exit_->timed_out = true;
            break;
        }
        Pump(left);
    }
    Drain();
    return *exit_;
}

void Child::Drain() {
    // The child's end closes its pipe ends, so normally the first step reads
    // everything up to end of file. A grandchild still holding them cannot
    // keep us here: we stop after a quiet slice or the grace.
    constexpr auto kQuiet = std::chrono::milliseconds(5);
    const auto until = Clock::now() + std::chrono::milliseconds(100);
    Step();
    while ((!ended(Stream::Out) || !ended(Stream::Err)) && Clock::now() < until) {
        std::vector<pollfd> fds;
        AppendPollFds(fds);
        if (::poll(fds.data(), fds.size(), PollTimeout(kQuiet)) <= 0)
            break;
        Step();
    }
}

bool PumpAll(std::span<Child* const> children, std::chrono::milliseconds timeout) {
    std::vector<pollfd> fds;
    bool running_unwatched = false;
    for (const Child* c : children) {
        c->AppendPollFds(fds);
        // Without a pidfd a child's end shows only in a step: wake up for it.
        if (!c->exit_status() && !c->watches_exit()) {
            running_unwatched = true;
            timeout = std::min(timeout, Child::kExitCheckInterval);
        }
    }
    // With no descriptor left, poll still serves as the sleep until the next
    // look at an unwatched child: one that closed its pipes but still runs
    // would otherwise have the caller's loop spin. Only when every child has
    // ended and been read out is there nothing to wait for.
    if (!fds.empty() || running_unwatched)
        ::poll(fds.data(), fds.size(), PollTimeout(timeout));
    bool changed = false;
    for (Child* c : children)
        changed |= c->Step();
    return changed;
}

}  // namespace tools::process
