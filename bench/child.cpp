// The benchmark's child processes; see child.h.
#include "bench/child.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

extern char** environ;

namespace vantrel::bench {

using Clock = std::chrono::steady_clock;

Child::Child(const std::vector<std::string>& argv, const std::string& cwd, const std::string& stderr_path) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_addopen(&actions, 2, stderr_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (!cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, cwd.c_str());
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  fd_ = fds[0];
  if (rc != 0) {
    ::close(fd_);
    fd_ = -1;
    pid_ = -1;
    throw std::runtime_error("starting " + argv[0] + ": " + std::strerror(rc));
  }
  ::fcntl(fd_, F_SETFL, O_NONBLOCK);
}

Child::~Child() {
  if (!status_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    Reap(true);
  }
  if (fd_ >= 0) ::close(fd_);
}

bool Child::Reap(bool block) {
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

void Child::Pump(int timeout_ms) {
  pollfd p{fd_, POLLIN, 0};
  if (::poll(&p, 1, timeout_ms) <= 0) return;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(fd_, buf, sizeof buf);
    if (n <= 0) return;
    out_.append(buf, static_cast<std::size_t>(n));
  }
}

std::optional<std::string> Child::ReadLine(std::chrono::milliseconds timeout) {
  const auto until = Clock::now() + timeout;
  for (;;) {
    if (auto nl = out_.find('\n', line_at_); nl != std::string::npos) {
      std::string line = out_.substr(line_at_, nl - line_at_);
      line_at_ = nl + 1;
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0) return std::nullopt;
    if (Reap(false)) {
      Pump(0);
      if (out_.find('\n', line_at_) == std::string::npos) return std::nullopt;
      continue;
    }
    Pump(static_cast<int>(std::min<long>(left.count(), 20)));
  }
}

std::optional<std::string> Child::ReadLineStartingWith(const std::string& prefix,
                                                       std::chrono::milliseconds timeout) {
  const auto until = Clock::now() + timeout;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0) return std::nullopt;
    auto line = ReadLine(left);
    if (!line) return std::nullopt;
    if (line->rfind(prefix, 0) == 0) return line;
  }
}

std::optional<int> Child::Wait(std::chrono::milliseconds timeout) {
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
  Pump(0);
  return status_;
}

}  // namespace vantrel::bench
