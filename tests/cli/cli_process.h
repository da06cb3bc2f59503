// vantrel-cli run as a child process for the end-to-end tests.
//
// The tools' ChildProcess (tests/tools/child_process.h) serves the simulator;
// the runner needs more than it gives: a working directory (it reads
// upgrader.asc from there), stdout and stderr kept apart (stdout carries the
// contract lines, stderr the trace and the causes), its pid for signals, and
// for the permission case a child that cannot bypass file permissions even
// when the tests run as root. Every read and wait has a deadline; a child
// still running when the object goes is killed.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::e2e {

class CliProcess {
 public:
  struct Options {
    std::string cwd;                    // empty: the test's own
    bool without_file_override = false; // drop CAP_DAC_OVERRIDE / CAP_DAC_READ_SEARCH
  };

  // Throws std::runtime_error with the failing step and the system's reason.
  CliProcess(const std::vector<std::string>& argv, const Options& options);
  CliProcess(const CliProcess&) = delete;
  CliProcess& operator=(const CliProcess&) = delete;
  ~CliProcess();

  pid_t pid() const { return pid_; }

  // The next whole stdout line (without '\n'), or empty on timeout or EOF.
  std::optional<std::string> ReadLine(std::chrono::milliseconds timeout);
  // The first stdout line equal to `line`; earlier lines are skipped.
  bool WaitForLine(const std::string& line, std::chrono::milliseconds timeout);

  // The exit status (128 + signal for a signalled end), or empty when it is
  // still running at the deadline; the child is then killed.
  std::optional<int> Wait(std::chrono::milliseconds timeout);
  bool Running();
  bool Signal(int sig);

  const std::string& out() const { return out_; }
  const std::string& err() const { return err_; }

 private:
  void Pump(int timeout_ms);
  bool Reap(bool block);

  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  std::string out_;
  std::string err_;
  std::size_t line_at_ = 0;  // start of the next line ReadLine returns
  std::optional<int> status_;
};

// Whether a child of this process can be made to honour file permissions:
// trivially true when not running as root, else whether the capability
// bounding set may be narrowed (CAP_SETPCAP).
bool CanRunWithoutFileOverride();

}  // namespace vantrel::e2e
