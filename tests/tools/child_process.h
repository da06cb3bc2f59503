// A tool run as a child process for the tests: its stdout and stderr arrive
// on one pipe, every read and wait has a deadline, and a child still running
// when the test ends is killed, so no test can hang on a tool.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace tools::testing {

class ChildProcess {
 public:
  explicit ChildProcess(const std::vector<std::string>& argv);
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;
  ~ChildProcess();

  // The next whole line of output (without '\n'), or empty on timeout/EOF.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);
  // The first line starting with `prefix`, skipping others.
  std::optional<std::string> ReadLineStartingWith(const std::string& prefix,
                                                  std::chrono::milliseconds timeout);
  // The exit status, or empty if it is still running at the deadline (the
  // child is then killed). Output up to the end is collected.
  std::optional<int> Wait(std::chrono::milliseconds timeout);

  // Everything read so far, lines already returned included.
  const std::string& output() const { return all_; }

 private:
  void Pump(int timeout_ms);
  pid_t pid_ = -1;
  int out_ = -1;
  std::string all_;
  std::string pending_;
  std::optional<int> status_;
};

// Runs a tool to its end (bounded) and returns its exit status and output.
struct RunResult {
  int status = -1;
  std::string output;
};
RunResult RunTool(const std::vector<std::string>& argv,
                  std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

// A fresh directory removed with its contents at the end of the test.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  std::string path(const std::string& name) const { return dir_ + "/" + name; }

 private:
  std::string dir_;
};

void WriteText(const std::string& path, const std::string& text);

}  // namespace tools::testing
