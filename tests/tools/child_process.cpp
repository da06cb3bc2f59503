// Child processes, deadlines and temporary directories for the tools tests.
#include "tests/tools/child_process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>

extern char** environ;

namespace tools::testing {

using Clock = std::chrono::steady_clock;

ChildProcess::ChildProcess(const std::vector<std::string>& argv) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
  posix_spawn_file_actions_adddup2(&actions, fds[1], 2);
  std::vector<char*> args;
  for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  const int rc = posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(fds[1]);
  out_ = fds[0];
  if (rc != 0) {
    ::close(out_);
    throw std::runtime_error("spawning " + argv[0] + ": " + std::strerror(rc));
  }
  ::fcntl(out_, F_SETFL, O_NONBLOCK);
}

ChildProcess::~ChildProcess() {
  if (!status_ && pid_ > 0) {
    ::kill(pid_, SIGKILL);
    int st = 0;
    ::waitpid(pid_, &st, 0);
  }
  if (out_ >= 0) ::close(out_);
}

void ChildProcess::Pump(int timeout_ms) {
  pollfd p{out_, POLLIN, 0};
  if (::poll(&p, 1, timeout_ms) <= 0) return;
  char buf[4096];
  for (;;) {
    const ssize_t n = ::read(out_, buf, sizeof buf);
    if (n <= 0) return;
    all_.append(buf, static_cast<std::size_t>(n));
    pending_.append(buf, static_cast<std::size_t>(n));
  }
}

std::optional<std::string> ChildProcess::ReadLine(std::chrono::milliseconds timeout) {
  const auto until = Clock::now() + timeout;
  for (;;) {
    if (auto nl = pending_.find('\n'); nl != std::string::npos) {
      std::string line = pending_.substr(0, nl);
      pending_.erase(0, nl + 1);
      return line;
    }
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
    if (left.count() <= 0) return std::nullopt;
    Pump(static_cast<int>(std::min<long>(left.count(), 50)));
  }
}

std::optional<std::string> ChildProcess::ReadLineStartingWith(const std::string& prefix,
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

std::optional<int> ChildProcess::Wait(std::chrono::milliseconds timeout) {
  const auto until = Clock::now() + timeout;
  while (!status_) {
    int st = 0;
    const pid_t r = ::waitpid(pid_, &st, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
      break;
    }
    if (Clock::now() >= until) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &st, 0);
      status_ = -1;
      Pump(0);
      return std::nullopt;
    }
    Pump(10);
  }
  Pump(0);
  return status_;
}

RunResult RunTool(const std::vector<std::string>& argv, std::chrono::milliseconds timeout) {
  ChildProcess child(argv);
  RunResult result;
  result.status = child.Wait(timeout).value_or(-1);
  result.output = child.output();
  return result;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "vantrel-tools-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
  dir_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(dir_, ec);
}

void WriteText(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
  if (!out) throw std::runtime_error("writing " + path);
}

}  // namespace tools::testing
