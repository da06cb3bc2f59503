// Scratch directories, files and one-shot tool runs for the tools tests and
// the end-to-end tests. The child processes themselves are
// tools/process/child.h; here is only what the tests add around them.
#pragma once

#include <chrono>
#include <string>
#include <vector>

namespace tools::testing {

// Runs a tool to its end (bounded) with stderr merged into its output.
struct RunResult {
  int status = -1;  // exit code, 128 + signal, or -1 when killed at the limit
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
