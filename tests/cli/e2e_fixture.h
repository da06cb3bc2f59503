// Shared pieces of the vantrel-cli end-to-end tests: where the programs are,
// scripts built from the description language, the simulator as a child
// with its summary read back, and one bounded runner invocation. The runner
// is a tools::process::Child with stdout and stderr apart (stdout carries the
// contract lines, stderr the trace and the causes), started in the
// directory it reads upgrader.asc from.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/tools/harness.h"
#include "tools/process/child.h"

namespace vantrel::e2e {

// The programs under test: $VANTREL_CLI_EXE, $VANTREL_SIM_EXE and
// $VANTREL_SCRIPT_EXE when set, else the paths the build compiled in.
std::string CliExe();
std::string SimExe();
std::string ScriptExe();

// Builds `description` with `vantrel-script build` into DIR/upgrader.asc and
// returns its path; throws std::runtime_error with the tool's output.
std::string BuildScript(const tools::testing::TempDir& dir, const std::string& description);

// The payload bytes the upgrader writes when it plays every send record.
std::uint64_t SendPayloadBytes(const std::string& script_path);

// The simulator's last line: "sim: records=N payload_bytes=N mismatches=N faults=N".
struct SimSummary {
    std::size_t records = 0;
    std::uint64_t payload_bytes = 0;
    std::uint64_t mismatches = 0;
    unsigned faults = 0;
};

class Simulator {
public:
    // Starts vantrel-sim on the script with extra arguments and reads its
    // port line; throws std::runtime_error (with its output) if none comes.
    Simulator(const std::string& script_path, const std::vector<std::string>& args);

    const std::string& port() const { return port_; }

    // Waits for the simulator to end (killed at the deadline) and returns its
    // exit status; its output is then complete.
    std::optional<int> Finish(std::chrono::milliseconds timeout);
    // The first output line starting with `prefix` from here on.
    std::optional<std::string> ReadLineStartingWith(const std::string& prefix, std::chrono::milliseconds timeout);
    // stdout and stderr together, as they came.
    const std::string& output() const { return child_->text(tools::process::Stream::Out); }
    std::optional<SimSummary> summary() const;
    // Whether the simulator ever saw the host open its port.
    bool SawHostOpen() const;

private:
    std::unique_ptr<tools::process::Child> child_;
    std::string port_;
};

struct CliResult {
    std::optional<int> exit;  // empty: killed at the deadline
    std::string out;
    std::string err;
    std::chrono::milliseconds elapsed{0};
    std::vector<std::string> lines;  // stdout, one entry per line

    // The word of the last "result: " line, empty if none.
    std::string result() const;
};

struct CliOptions {
    std::string cwd;                     // empty: the test's own
    bool without_file_override = false;  // drop CAP_DAC_OVERRIDE / CAP_DAC_READ_SEARCH
};

// vantrel-cli with `args`; throws std::runtime_error when it cannot start.
std::unique_ptr<tools::process::Child> StartCli(const std::vector<std::string>& args, const CliOptions& options);

CliResult RunCli(const std::string& cwd, const std::vector<std::string>& args, std::chrono::milliseconds timeout,
                 CliOptions options = {});
// Collects a started runner's end the same way; a runner still running at
// the deadline is killed and has no exit.
CliResult FinishCli(tools::process::Child& cli, std::chrono::steady_clock::time_point started,
                    std::chrono::milliseconds timeout);

// Whether a child of this process can be made to honour file permissions:
// trivially true when not running as root, else whether the capability
// bounding set may be narrowed (CAP_SETPCAP).
bool CanRunWithoutFileOverride();

std::vector<std::string> SplitLines(const std::string& text);

}  // namespace vantrel::e2e
