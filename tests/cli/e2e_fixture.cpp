// Programs, scripts, the simulator and the runner for the end-to-end tests.
#include "tests/cli/e2e_fixture.h"

#include <cstdlib>
#include <regex>
#include <stdexcept>

#include "tools/script_format.h"

namespace vantrel::e2e {

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

std::string FromEnv(const char* name, const char* built) {
  const char* v = std::getenv(name);
  return v && *v ? v : built;
}

}  // namespace

std::string CliExe() { return FromEnv("VANTREL_CLI_EXE", VANTREL_CLI_EXE); }
std::string SimExe() { return FromEnv("VANTREL_SIM_EXE", VANTREL_SIM_EXE); }
std::string ScriptExe() { return FromEnv("VANTREL_SCRIPT_EXE", VANTREL_SCRIPT_EXE); }

std::string BuildScript(const tools::testing::TempDir& dir, const std::string& description) {
  const std::string text = dir.path("script.txt");
  const std::string out = dir.path("upgrader.asc");
  tools::testing::WriteText(text, description);
  const auto r = tools::testing::RunTool({ScriptExe(), "build", text, out}, 10s);
  if (r.status != 0) {
    throw std::runtime_error("vantrel-script build failed (" + std::to_string(r.status) + "): " + r.output);
  }
  return out;
}

std::uint64_t SendPayloadBytes(const std::string& script_path) {
  const auto data = tools::ReadFileBytes(script_path);
  const auto script = tools::ParseScript(data);
  std::uint64_t total = 0;
  for (const auto& r : script.records) {
    if (r.command == tools::CMD_SEND_F1 || r.command == tools::CMD_SEND_F2) total += r.payload.size();
  }
  return total;
}

Simulator::Simulator(const std::string& script_path, const std::vector<std::string>& args) {
  std::vector<std::string> argv = {SimExe(), "--script", script_path, "--idle-timeout-s", "30"};
  argv.insert(argv.end(), args.begin(), args.end());
  child_ = std::make_unique<tools::testing::ChildProcess>(argv);
  auto line = child_->ReadLineStartingWith("port: ", 5s);
  if (!line) {
    child_->Wait(1s);
    throw std::runtime_error("vantrel-sim gave no port line: " + child_->output());
  }
  port_ = line->substr(6);
}

std::optional<int> Simulator::Finish(std::chrono::milliseconds timeout) { return child_->Wait(timeout); }

std::optional<std::string> Simulator::ReadLineStartingWith(const std::string& prefix,
                                                           std::chrono::milliseconds timeout) {
  return child_->ReadLineStartingWith(prefix, timeout);
}

std::optional<SimSummary> Simulator::summary() const {
  static const std::regex kLine(R"(sim: records=(\d+) payload_bytes=(\d+) mismatches=(\d+) faults=(\d+))");
  std::smatch m;
  const std::string& out = child_->output();
  std::optional<SimSummary> last;
  for (auto it = std::sregex_iterator(out.begin(), out.end(), kLine); it != std::sregex_iterator(); ++it) {
    m = *it;
    last = SimSummary{std::stoul(m[1]), std::stoull(m[2]), std::stoull(m[3]),
                      static_cast<unsigned>(std::stoul(m[4]))};
  }
  return last;
}

bool Simulator::SawHostOpen() const {
  return child_->output().find("host opened the port") != std::string::npos;
}

std::vector<std::string> SplitLines(const std::string& text) {
  std::vector<std::string> lines;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t nl = text.find('\n', at);
    if (nl == std::string::npos) nl = text.size();
    lines.push_back(text.substr(at, nl - at));
    at = nl + 1;
  }
  return lines;
}

std::string CliResult::result() const {
  for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
    if (it->rfind("result: ", 0) == 0) return it->substr(8);
  }
  return {};
}

CliResult FinishCli(CliProcess& cli, Clock::time_point started, std::chrono::milliseconds timeout) {
  CliResult r;
  r.exit = cli.Wait(timeout);
  r.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - started);
  r.out = cli.out();
  r.err = cli.err();
  r.lines = SplitLines(r.out);
  return r;
}

CliResult RunCli(const std::string& cwd, const std::vector<std::string>& args,
                 std::chrono::milliseconds timeout, CliProcess::Options options) {
  std::vector<std::string> argv = {CliExe()};
  argv.insert(argv.end(), args.begin(), args.end());
  options.cwd = cwd;
  const auto started = Clock::now();
  CliProcess cli(argv, options);
  return FinishCli(cli, started, timeout);
}

}  // namespace vantrel::e2e
