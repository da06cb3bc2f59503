// vantrel-cli as a bounded child process; see cli_process.h.
#include "tests/cli/cli_process.h"

#include <fcntl.h>
#include <linux/capability.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace vantrel::e2e {

namespace {

using Clock = std::chrono::steady_clock;

void CloseFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Runs between fork and exec: only async-signal-safe calls. As root, exec
// refills the permitted set from the bounding set, so that is the set to
// narrow; the bypasses are then gone in the new program.
int DropFileOverride() {
  if (::prctl(PR_CAPBSET_DROP, CAP_DAC_OVERRIDE, 0, 0, 0) != 0) return errno;
  if (::prctl(PR_CAPBSET_DROP, CAP_DAC_READ_SEARCH, 0, 0, 0) != 0) return errno;
  return 0;
}

[[noreturn]] void ChildFail(int report_fd, int stage, int err) {
  int msg[2] = {stage, err};
  (void)!::write(report_fd, msg, sizeof msg);
  ::_exit(127);
}

}  // namespace

CliProcess::CliProcess(const std::vector<std::string>& argv, const Options& options) {
  if (argv.empty()) throw std::invalid_argument("CliProcess: no program");
  int out[2], err[2], report[2];
  if (::pipe2(out, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  if (::pipe2(err, O_CLOEXEC) != 0) {
    ::close(out[0]);
    ::close(out[1]);
    throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  }
  if (::pipe2(report, O_CLOEXEC) != 0) {
    for (int fd : {out[0], out[1], err[0], err[1]}) ::close(fd);
    throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  }
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const char* cwd = options.cwd.empty() ? nullptr : options.cwd.c_str();

  pid_ = ::fork();
  if (pid_ == 0) {
    ::close(report[0]);
    if (::dup2(out[1], 1) < 0 || ::dup2(err[1], 2) < 0) ChildFail(report[1], 1, errno);
    if (cwd && ::chdir(cwd) != 0) ChildFail(report[1], 2, errno);
    if (options.without_file_override) {
      if (const int e = DropFileOverride()) ChildFail(report[1], 3, e);
    }
    ::execve(args[0], args.data(), environ);
    ChildFail(report[1], 4, errno);
  }
  const int fork_errno = errno;
  ::close(out[1]);
  ::close(err[1]);
  ::close(report[1]);
  out_fd_ = out[0];
  err_fd_ = err[0];
  if (pid_ < 0) {
    CloseFd(out_fd_);
    CloseFd(err_fd_);
    ::close(report[0]);
    throw std::runtime_error(std::string("fork: ") + std::strerror(fork_errno));
  }
  // The report pipe closes on a successful exec; anything read means the
  // child failed before it.
  int msg[2] = {0, 0};
  ssize_t n;
  do {
    n = ::read(report[0], msg, sizeof msg);
  } while (n < 0 && errno == EINTR);
  ::close(report[0]);
  if (n > 0) {
    Reap(true);
    CloseFd(out_fd_);
    CloseFd(err_fd_);
    static const char* const kStage[] = {"", "redirecting output", "changing to the directory",
                                         "dropping the file-permission bypass", "starting the program"};
    throw std::runtime_error(std::string("running ") + argv[0] + ": " + kStage[std::clamp(msg[0], 0, 4)] +
                             ": " + std::strerror(msg[1]));
  }
  ::fcntl(out_fd_, F_SETFL, O_NONBLOCK);
  ::fcntl(err_fd_, F_SETFL, O_NONBLOCK);
}

CliProcess::~CliProcess() {
  if (!status_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    Reap(true);
  }
  CloseFd(out_fd_);
  CloseFd(err_fd_);
}

bool CliProcess::Reap(bool block) {
  if (status_ || pid_ <= 0) return true;
  int st = 0;
  pid_t r;
  do {
    r = ::waitpid(pid_, &st, block ? 0 : WNOHANG);
  } while (r < 0 && errno == EINTR);
  if (r != pid_) return false;
  status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
  return true;
}

void CliProcess::Pump(int timeout_ms) {
  pollfd p[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
  if (::poll(p, 2, timeout_ms) <= 0) return;
  char buf[8192];
  for (int i = 0; i < 2; ++i) {
    if (p[i].fd < 0 || !(p[i].revents & (POLLIN | POLLHUP))) continue;
    for (;;) {
      const ssize_t n = ::read(p[i].fd, buf, sizeof buf);
      if (n <= 0) break;
      (i == 0 ? out_ : err_).append(buf, static_cast<std::size_t>(n));
    }
  }
}

std::optional<std::string> CliProcess::ReadLine(std::chrono::milliseconds timeout) {
  const auto until = Clock::now() + timeout;
  for (;;) {
    if (auto nl = out_.find('\n', line_at_); nl != std::string::npos) {
      std::string line = out_.substr(line_at_, nl - line_at_);
      line_at_ = nl + 1;
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0) return std::nullopt;
    if (status_) {
      Pump(0);
      if (out_.find('\n', line_at_) == std::string::npos) return std::nullopt;
      continue;
    }
    Pump(static_cast<int>(std::min<long>(left.count(), 20)));
    Reap(false);
  }
}

bool CliProcess::WaitForLine(const std::string& line, std::chrono::milliseconds timeout) {
  const auto until = Clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0) return false;
    auto got = ReadLine(left);
    if (!got) return false;
    if (*got == line) return true;
  }
}

std::optional<int> CliProcess::Wait(std::chrono::milliseconds timeout) {
  const auto until = Clock::now() + timeout;
  while (!Reap(false)) {
    if (Clock::now() >= until) {
      ::kill(pid_, SIGKILL);
      Reap(true);
      Pump(0);
      return std::nullopt;
    }
    Pump(10);
  }
  // The pipes may hold the last lines still; a grandchild holding them open
  // cannot keep us here past a short grace.
  for (int i = 0; i < 20; ++i) {
    const std::size_t before = out_.size() + err_.size();
    Pump(i == 0 ? 0 : 5);
    if (out_.size() + err_.size() == before && i > 0) break;
  }
  return status_;
}

bool CliProcess::Running() { return !Reap(false); }

bool CliProcess::Signal(int sig) { return !status_ && pid_ > 0 && ::kill(pid_, sig) == 0; }

bool CanRunWithoutFileOverride() {
  if (::geteuid() != 0) return true;
  const pid_t pid = ::fork();
  if (pid == 0) ::_exit(DropFileOverride() == 0 ? 0 : 1);
  if (pid < 0) return false;
  int st = 0;
  while (::waitpid(pid, &st, 0) < 0 && errno == EINTR) {
  }
  return WIFEXITED(st) && WEXITSTATUS(st) == 0;
}

}  // namespace vantrel::e2e
