// Scratch directories, files and one-shot tool runs for the tools tests and
// the end-to-end tests. The child processes themselves are
// tools/process/child.h; here is only what the tests add around them.
#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <vector>

#include "tools/process/child.h"

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

// The child's exit code (128 + signal for a signalled end), or empty when it
// was still running at the limit and so was killed.
inline std::optional<int> WaitCode(tools::process::Child& child, std::chrono::milliseconds limit) {
    const tools::process::ExitStatus status = child.Wait(limit);
    if (status.timed_out)
        return std::nullopt;
    return status.shell_code();
}

inline tools::process::Options InDirectory(const std::string& cwd) {
    tools::process::Options options;
    options.cwd = cwd;
    return options;
}

}  // namespace tools::testing
