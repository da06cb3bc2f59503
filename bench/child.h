// A program the benchmark runs: started in a directory with its stdout on a
// pipe (stderr to a file), its pid at hand for /proc, bounded waits, and
// killed if still running when the object goes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::bench {

class Child {
 public:
  // Throws std::runtime_error naming the program and the system's reason.
  Child(const std::vector<std::string>& argv, const std::string& cwd, const std::string& stderr_path);
  Child(const Child&) = delete;
  Child& operator=(const Child&) = delete;
  ~Child();

  pid_t pid() const { return pid_; }
  // The next stdout line, or empty at the deadline or at EOF.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);
  // The first stdout line starting with prefix.
  std::optional<std::string> ReadLineStartingWith(const std::string& prefix, std::chrono::milliseconds timeout);
  // The exit status; empty if it had to be killed at the deadline.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  const std::string& output() const { return out_; }

 private:
  void Pump(int timeout_ms);
  bool Reap(bool block);
  pid_t pid_ = -1;
  int fd_ = -1;
  std::string out_;
  std::size_t line_at_ = 0;
  std::optional<int> status_;
};

}  // namespace vantrel::bench
