// The station's operating-system part on Linux (POSIX): the children are
// tools::process::Child in process groups of their own that the kernel
// stops (SIGTERM) when the station dies; a listed port is present while its
// /dev node exists; the log and the journal are descriptors opened
// close-on-exec.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <thread>

#include "station/host.h"
#include "tools/process/child.h"

namespace station {
namespace {

using tools::process::Child;

std::string Reason(int error) { return std::strerror(error); }

// The station's pid, for the child to check between fork and exec that its
// parent is still the station (a death before prctl would go unnoticed).
pid_t g_stationPid = 0;

// Between fork and exec, in the child: its own process group, so a signal
// meant for the station's terminal (Ctrl+C, a hangup) reaches the station
// alone and the station decides what the runs get; and SIGTERM when the
// station dies, so the port is closed as a "STOP?" closes it.
int PrepareRunChild() {
    if (::setpgid(0, 0) != 0)
        return errno;
    if (::prctl(PR_SET_PDEATHSIG, SIGTERM) != 0)
        return errno;
    if (::getppid() != g_stationPid)
        return ESRCH;
    return 0;
}

class PosixChildHost;

class PosixChild : public RunChild {
public:
    PosixChild(PosixChildHost* host, std::unique_ptr<Child> child);
    ~PosixChild() override;  // a child still running is killed and reaped (unless given up)

    std::optional<ChildLine> TakeLine() override {
        auto line = child_->TakeLine();
        if (!line)
            return std::nullopt;
        return ChildLine{line->stream == tools::process::Stream::Err, std::move(line->text)};
    }

    std::optional<ChildEnd> End() override {
        if (!child_->exit_status())
            child_->Step();
        const auto& status = child_->exit_status();
        if (!status || !child_->ended(tools::process::Stream::Out) || !child_->ended(tools::process::Stream::Err))
            return std::nullopt;
        return EndOf(status->code, status->signal);
    }

    void Stop() override {
        if (!child_->released())
            child_->Signal(SIGTERM);
    }
    void Kill() override {
        if (!child_->released())
            child_->Signal(SIGKILL);
    }
    void Abandon() override { child_->Release(); }

    Child* waitable() { return child_->released() ? nullptr : child_.get(); }

private:
    PosixChildHost* host_;
    std::unique_ptr<Child> child_;
};

class PosixChildHost : public ChildHost {
public:
    std::unique_ptr<RunChild> Start(const std::vector<std::string>& argv, const std::string& cwd,
                                    std::string* error) override {
        g_stationPid = ::getpid();
        tools::process::Options options;
        options.cwd = cwd;
        options.error_output = tools::process::Options::ErrorOutput::Pipe;
        options.before_exec = PrepareRunChild;
        options.before_exec_step = "giving the run its own process group";
        try {
            return std::make_unique<PosixChild>(this, std::make_unique<Child>(argv, options));
        } catch (const std::exception& e) {
            *error = e.what();
            return nullptr;
        }
    }

    void Wait(std::chrono::milliseconds timeout) override {
        std::vector<Child*> all;
        for (PosixChild* c : children_) {
            if (Child* waitable = c->waitable())
                all.push_back(waitable);
        }
        if (all.empty()) {
            std::this_thread::sleep_for(timeout);
            return;
        }
        tools::process::PumpAll(all, timeout);
    }

    void Add(PosixChild* child) { children_.push_back(child); }
    void Remove(PosixChild* child) {
        children_.erase(std::remove(children_.begin(), children_.end(), child), children_.end());
    }

private:
    std::vector<PosixChild*> children_;
};

PosixChild::PosixChild(PosixChildHost* host, std::unique_ptr<Child> child) : host_(host), child_(std::move(child)) {
    host_->Add(this);
}

PosixChild::~PosixChild() { host_->Remove(this); }

class PosixAppendFile : public AppendFile {
public:
    PosixAppendFile(int fd, std::string path, std::string what)
        : fd_(fd), path_(std::move(path)), what_(std::move(what)) {}
    ~PosixAppendFile() override {
        if (fd_ >= 0)
            ::close(fd_);
    }

    static int OpenPath(const std::string& path) {
        // Read access is only for the journal's reading and the log's last byte;
        // a log this user may only write to is still written.
        int fd = ::open(path.c_str(), O_RDWR | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0 && errno == EACCES)
            fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
        return fd;
    }

    bool Follow(std::string* error) override {
        if (!PathMoved())
            return true;
        // Rotated, moved or removed: the next line belongs to the file the path
        // names now.
        const int fd = OpenPath(path_);
        if (fd < 0) {
            *error = "reopening the " + what_ + " " + path_ + ": " + Reason(errno);
            return false;
        }
        ::close(fd_);
        fd_ = fd;
        return true;
    }

    bool Write(const std::string& bytes, std::string* error) override {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                const int why = n < 0 ? errno : EIO;
                *error = "writing the " + what_ + " " + path_ + ": " + Reason(why);
                if (done > 0)
                    *error += " (after a short write of " + std::to_string(done) + " of " +
                              std::to_string(bytes.size()) + " bytes)";
                return false;
            }
            done += static_cast<std::size_t>(n);
        }
        if (::fdatasync(fd_) != 0 && errno != EINVAL && errno != EROFS) {
            *error = "writing the " + what_ + " " + path_ + " through to the disk: " + Reason(errno);
            return false;
        }
        return true;
    }

    bool EndsWithNewline() override {
        struct stat st {};
        if (::fstat(fd_, &st) != 0 || !S_ISREG(st.st_mode) || st.st_size == 0)
            return true;
        char last = '\n';
        if (::pread(fd_, &last, 1, st.st_size - 1) != 1)
            return true;  // write-only: nothing to mend by reading
        return last == '\n';
    }

    bool PathMoved() {
        struct stat open {
        }, named{};
        if (::fstat(fd_, &open) != 0 || !S_ISREG(open.st_mode))
            return false;
        if (::stat(path_.c_str(), &named) != 0)
            return errno == ENOENT;
        return open.st_dev != named.st_dev || open.st_ino != named.st_ino;
    }

    bool ReadTail(std::size_t bytes, std::string* out, std::string* error) override {
        out->clear();
        struct stat st {};
        if (::fstat(fd_, &st) != 0) {
            *error = "reading the " + what_ + " " + path_ + ": " + Reason(errno);
            return false;
        }
        char buffer[4096];
        const auto size = static_cast<std::uint64_t>(st.st_size);
        for (off_t at = static_cast<off_t>(size > bytes ? size - bytes : 0);;) {
            const ssize_t n = ::pread(fd_, buffer, sizeof(buffer), at);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0) {
                *error = "reading the " + what_ + " " + path_ + ": " + Reason(errno);
                return false;
            }
            if (n == 0)
                return true;
            out->append(buffer, static_cast<std::size_t>(n));
            at += n;
        }
    }

    bool Truncate(std::string* error) override {
        if (::ftruncate(fd_, 0) != 0 || (::fdatasync(fd_) != 0 && errno != EINVAL)) {
            *error = "emptying the " + what_ + " " + path_ + ": " + Reason(errno);
            return false;
        }
        return true;
    }

    bool Lock() override { return ::flock(fd_, LOCK_EX | LOCK_NB) == 0; }

    bool IsRegular() override {
        struct stat st {};
        return ::fstat(fd_, &st) == 0 && S_ISREG(st.st_mode);
    }

private:
    int fd_;
    std::string path_;
    std::string what_;
};

StopSignals* g_signals = nullptr;

extern "C" void OnStopSignal(int) {
    if (g_signals != nullptr)
        g_signals->stops.fetch_add(1);
}

extern "C" void OnHangup(int) {
    if (g_signals != nullptr)
        g_signals->hangup.store(true);
}

std::string DevicePath(const std::string& port) { return port.find('/') == std::string::npos ? "/dev/" + port : port; }

}  // namespace

ChildHost& ChildHost::Get() {
    static PosixChildHost host;
    return host;
}

std::optional<bool> ListedPortPresent(const std::string& port) {
    struct stat st {};
    if (::stat(DevicePath(port).c_str(), &st) == 0)
        return true;
    if (errno == ENOENT || errno == ENOTDIR)
        return false;
    return std::nullopt;
}

bool PortReady(const std::string& port) {
    // access, not faccessat: the device-tree emulation the tests run under
    // answers access for the nodes it holds.
    return ::access(DevicePath(port).c_str(), R_OK | W_OK) == 0;
}

std::string ExecutableDir() {
    std::error_code ignored;
    const auto self = std::filesystem::read_symlink("/proc/self/exe", ignored);
    return ignored ? std::string() : self.parent_path().string();
}

std::string CliFileName() { return "vantrel-cli"; }

std::string AbsolutePath(const std::string& path) {
    std::error_code ignored;
    const auto absolute = std::filesystem::absolute(path, ignored);
    return ignored ? path : absolute.lexically_normal().string();
}

std::string CheckRunnable(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return path + ": " + Reason(errno);
    if (!S_ISREG(st.st_mode))
        return path + ": not a file";
    if (::access(path.c_str(), X_OK) != 0)
        return path + ": not executable (" + Reason(errno) + ")";
    return {};
}

std::string MakePrivateFolder(std::string* error) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/vantrel-station.XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr) {  // mode 0700
        *error = "making a private folder " + pattern + ": " + std::strerror(errno);
        return {};
    }
    return pattern;
}

void RemoveFolder(const std::string& path) {
    std::error_code ignored;  // what cannot be removed stays in the temporary folder
    std::filesystem::remove_all(path, ignored);
}

std::unique_ptr<AppendFile> AppendFile::Open(const std::string& path, const std::string& what, std::string* error) {
    const int fd = PosixAppendFile::OpenPath(path);
    if (fd < 0) {
        *error = "opening the " + what + " " + path + ": " + Reason(errno);
        return nullptr;
    }
    return std::make_unique<PosixAppendFile>(fd, path, what);
}

std::string HostName() {
    char name[256] = {};
    if (::gethostname(name, sizeof(name) - 1) != 0)
        return "unknown";
    return name;
}

bool StdoutIsTerminal() { return ::isatty(STDOUT_FILENO) == 1; }

void EnableTerminalSequences() {}

bool WriteStdout(const std::string& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(STDOUT_FILENO, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            // A non-blocking stdout someone else set: wait for room.
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            continue;
        }
        if (n <= 0)
            return false;  // EPIPE, EIO: the reader or the terminal is gone
        done += static_cast<std::size_t>(n);
    }
    return true;
}

unsigned DefaultJobs() { return 0; }  // a run waits on its terminal, not on a processor

double ProcessCpuSeconds() {
    rusage usage{};
    ::getrusage(RUSAGE_SELF, &usage);
    const auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + t.tv_usec / 1e6; };
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

void CatchSignals(StopSignals* signals) {
    g_signals = signals;
    struct sigaction action {};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    ::sigaction(SIGINT, &action, nullptr);
    ::sigaction(SIGTERM, &action, nullptr);
    action.sa_handler = OnHangup;
    ::sigaction(SIGHUP, &action, nullptr);
    action.sa_handler = SIG_IGN;
    ::sigaction(SIGPIPE, &action, nullptr);
}

void StationFinished() {}

}  // namespace station
