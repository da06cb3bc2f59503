// vantrel-bench: how fast vantrel-cli drives a terminal, measured against
// the terminal simulator on a pty, printed as one table.
//
//   vantrel-bench [--records N] [--idle-seconds S] [--cli PATH] [--sim PATH] [--keep]
//
// Three runs, each with a freshly built script:
//  1. N send1 records of 4 KiB: the simulator's timing file gives each
//     turnaround, from the reply's last byte written by the terminal to the
//     next payload's first byte read by it; median and p99 against the goal
//     of 100 us, and the line-rate efficiency they imply for 4 KiB records at
//     3686400 baud (368,640 bytes/s with start and stop bits).
//  2. A 2 MiB script (32 records of 65535 bytes and one of 32): its wall
//     time against the time its bytes need at that line rate.
//  3. A pause (CMD_DELAY) with the port open: the CPU the runner uses while
//     it idles, from /proc/PID/stat (and the finer schedstat).
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <regex>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/measure.h"
#include "tools/process/child.h"
#include "tools/script/description.h"
#include "tools/script_format.h"
#include "tools/simulator/timing.h"
#include "tools/usage/program.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
using tools::process::Child;
using tools::process::ExitStatus;

constexpr double kLineBytesPerSecond = 368640.0;  // 3686400 baud, 10 bits a byte
constexpr std::size_t kRecordBytes = 4096;
constexpr double kTurnaroundGoalUs = 100.0;
constexpr double kEfficiencyGoal = 0.99;

struct Settings {
  unsigned records = 300;
  unsigned idle_seconds = 3;
  std::string cli = VANTREL_CLI_EXE;
  std::string sim = VANTREL_SIM_EXE;
  bool keep = false;
};

struct Played {
  double wall_s = 0;  // vantrel-cli from start to exit
  std::uint64_t payload_bytes = 0;
  std::vector<tools::sim::RecordTiming> timing;
};

// A directory of our own for the scripts and logs, removed at the end.
class WorkDir {
 public:
  explicit WorkDir(bool keep) : keep_(keep) {
    std::string pattern = (fs::temp_directory_path() / "vantrel-bench-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    path_ = pattern;
  }
  ~WorkDir() {
    std::error_code ec;
    if (!keep_) fs::remove_all(path_, ec);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
  bool keep_;
};

std::string ReadAll(const fs::path& p) {
  std::ifstream in(p);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

fs::path WriteScript(const fs::path& dir, const std::string& description) {
  fs::create_directories(dir);
  const fs::path script = dir / "upgrader.asc";
  tools::WriteFileBytes(script.string(), tools::BuildScript(description));
  return script;
}

// A child started in `cwd` (empty: ours) with its stderr in a file.
tools::process::Options ErrorsTo(const std::string& cwd, const fs::path& file) {
  tools::process::Options o;
  o.cwd = cwd;
  o.error_output = tools::process::Options::ErrorOutput::File;
  o.error_path = file.string();
  return o;
}

// An end as one number: the exit code, 128 + a signal, or -1 when it had to
// be killed at the limit.
int Status(const ExitStatus& end) { return end.timed_out ? -1 : end.shell_code(); }

// The simulator on the script, its port line read.
std::unique_ptr<Child> StartSimulator(const Settings& s, const fs::path& dir, std::string& port) {
  auto sim = std::make_unique<Child>(
      std::vector<std::string>{s.sim, "--script", (dir / "upgrader.asc").string(), "--timing",
                               (dir / "timing.txt").string(), "--quiet", "--idle-timeout-s", "60"},
      ErrorsTo("", dir / "sim.err"));
  const auto line = sim->ReadLineStartingWith("port: ", 5s);
  if (!line) throw std::runtime_error("vantrel-sim gave no port: " + ReadAll(dir / "sim.err"));
  port = line->text.substr(6);
  return sim;
}

// Checks the simulator's summary: every byte arrived and matched.
std::uint64_t CheckSummary(const Child& sim, int status, const fs::path& dir) {
  static const std::regex kLine(R"(records=(\d+) payload_bytes=(\d+) mismatches=(\d+))");
  std::smatch m;
  const std::string& out = sim.text(tools::process::Stream::Out);
  if (!std::regex_search(out, m, kLine)) throw std::runtime_error("vantrel-sim printed no summary: " + out);
  if (status != 0 || m[3] != "0") {
    throw std::runtime_error("vantrel-sim: exit " + std::to_string(status) + ": " + out + ReadAll(dir / "sim.err"));
  }
  return std::stoull(m[2]);
}

Played Play(const Settings& s, const fs::path& dir, const std::string& description, std::chrono::seconds limit) {
  const fs::path script = WriteScript(dir, description);
  std::string port;
  auto sim = StartSimulator(s, dir, port);
  const auto start = Clock::now();
  Child cli({s.cli, "--port", port}, ErrorsTo(dir.string(), dir / "cli.err"));
  const ExitStatus end = cli.Wait(limit);
  Played p;
  p.wall_s = std::chrono::duration<double>(Clock::now() - start).count();
  if (end.timed_out || end.shell_code() != 0) {
    throw std::runtime_error("vantrel-cli " + (end.timed_out ? std::string("hung") : "exit " + std::to_string(end.shell_code())) +
                             ":\n" + cli.text(tools::process::Stream::Out) + ReadAll(dir / "cli.err"));
  }
  p.payload_bytes = CheckSummary(*sim, Status(sim->Wait(10s)), dir);
  p.timing = tools::sim::ReadTimingFile((dir / "timing.txt").string());
  return p;
}

struct IdleCpu {
  double seconds = 0;
  double tick_ms = 0;   // from utime + stime
  std::optional<double> sched_ms;
};

IdleCpu MeasureIdle(const Settings& s, const fs::path& dir) {
  WriteScript(dir, "open\ndelay " + std::to_string(s.idle_seconds + 2) + "\nclose\n");
  std::string port;
  auto sim = StartSimulator(s, dir, port);
  Child cli({s.cli, "--port", port}, ErrorsTo(dir.string(), dir / "cli.err"));
  if (!cli.ReadLineStartingWith("status: ready loader!", 5s)) {
    throw std::runtime_error("vantrel-cli did not reach the pause: " + cli.text(tools::process::Stream::Out) +
                             ReadAll(dir / "cli.err"));
  }
  // Past the record's own work, well inside the pause.
  std::this_thread::sleep_for(500ms);
  const long hz = ::sysconf(_SC_CLK_TCK);
  const auto t0 = Clock::now();
  const auto ticks0 = vantrel::bench::CpuTicks(cli.pid());
  const auto ns0 = vantrel::bench::CpuNs(cli.pid());
  std::this_thread::sleep_for(std::chrono::seconds(s.idle_seconds));
  const auto ticks1 = vantrel::bench::CpuTicks(cli.pid());
  const auto ns1 = vantrel::bench::CpuNs(cli.pid());
  const auto t1 = Clock::now();
  if (!ticks0 || !ticks1) throw std::runtime_error("cannot read /proc/" + std::to_string(cli.pid()) + "/stat");
  IdleCpu r;
  r.seconds = std::chrono::duration<double>(t1 - t0).count();
  r.tick_ms = static_cast<double>(*ticks1 - *ticks0) * 1000.0 / static_cast<double>(hz);
  if (ns0 && ns1) r.sched_ms = static_cast<double>(*ns1 - *ns0) / 1e6;
  if (Status(cli.Wait(std::chrono::seconds(s.idle_seconds + 10))) != 0) {
    throw std::runtime_error("vantrel-cli failed the pause run: " + cli.text(tools::process::Stream::Out));
  }
  sim->Wait(10s);
  return r;
}

std::string Fmt(const char* format, double v) {
  char b[64];
  std::snprintf(b, sizeof b, format, v);
  return b;
}

void Row(const std::string& figure, const std::string& value, const std::string& goal, const std::string& met) {
  std::printf("| %-48s | %-30s | %-16s | %-4s |\n", figure.c_str(), value.c_str(), goal.c_str(), met.c_str());
}

const usage::Program& BenchProgram() {
  static const usage::Program program{
      "vantrel-bench",
      "measure how fast vantrel-cli drives a terminal, against the terminal simulator",
      {"[--records N] [--idle-seconds S] [--cli PATH] [--sim PATH] [--keep]"},
      "Three runs of vantrel-cli against vantrel-sim on a pty, each with a freshly built script: N send1 "
      "records of 4 KiB (the turnaround between records, its median and p99, and the line-rate efficiency "
      "they imply at 3686400 baud); a 2 MiB script (wall time against the time its bytes need at the line "
      "rate); and a pause with the port open (the CPU the runner uses while it idles). Prints one table.",
      {
          {"--records", "N", "The number of 4 KiB records of the first run, 2 to 10000 (default 300)."},
          {"--idle-seconds", "S", "The length of the pause of the third run, 1 to 60 (default 3)."},
          {"--cli", "PATH", "The vantrel-cli to measure (default the one built beside this program)."},
          {"--sim", "PATH", "The vantrel-sim to measure against (default the one built beside this program)."},
          {"--keep", "", "Keep the scripts and logs in the temporary directory."},
      },
      {
          {"0", "the table was printed"},
          {"1", "a run failed (the cause is on stderr)"},
          {"2", "usage, or a program that cannot be run"},
      },
      {},
  };
  return program;
}

int Usage(const std::string& why) { return usage::UsageError(BenchProgram(), why); }

bool ParseCount(const std::string& text, unsigned low, unsigned high, unsigned& out) {
  auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
  return !text.empty() && ec == std::errc() && ptr == text.data() + text.size() && out >= low && out <= high;
}

int Run(int argc, char** argv) {
  const usage::Scan scan = usage::ScanArguments(BenchProgram(), argc, argv);
  if (scan.action != usage::Action::kRun) return usage::Finish(BenchProgram(), scan);
  Settings s;
  for (const usage::Arg& a : scan.args) {
    if (a.name == "--records") {
      if (!ParseCount(a.value, 2, 10000, s.records)) return Usage("--records: '" + a.value + "' is not 2 to 10000");
    } else if (a.name == "--idle-seconds") {
      if (!ParseCount(a.value, 1, 60, s.idle_seconds)) return Usage("--idle-seconds: '" + a.value + "' is not 1 to 60");
    } else if (a.name == "--cli") {
      s.cli = a.value;
    } else if (a.name == "--sim") {
      s.sim = a.value;
    } else if (a.name == "--keep") {
      s.keep = true;
    }
  }
  for (const auto& [option, path] : {std::pair<const char*, std::string>{"--cli", s.cli}, {"--sim", s.sim}}) {
    if (::access(path.c_str(), X_OK) != 0)
      return Usage(std::string(option) + " " + path + ": cannot be run: " + std::strerror(errno));
  }
  ::signal(SIGPIPE, SIG_IGN);
  WorkDir work(s.keep);

  // 1. Turnarounds of 4 KiB records.
  std::string many = "open\n";
  for (unsigned i = 0; i < s.records; ++i) many += "send1 4096\n";
  many += "close\n";
  std::fprintf(stderr, "vantrel-bench: %u records of 4 KiB ...\n", s.records);
  const Played small = Play(s, work.path() / "records", many, std::chrono::seconds(60 + s.records / 10));
  const auto turns = tools::sim::Turnarounds(small.timing);
  if (turns.empty()) throw std::runtime_error("the timing file holds no turnaround");
  const double median_us = static_cast<double>(vantrel::bench::Percentile(turns, 50)) / 1000.0;
  const double p99_us = static_cast<double>(vantrel::bench::Percentile(turns, 99)) / 1000.0;
  const double max_us = static_cast<double>(vantrel::bench::Percentile(turns, 100)) / 1000.0;
  const double wire_us = static_cast<double>(kRecordBytes) / kLineBytesPerSecond * 1e6;
  const double eff_median = wire_us / (wire_us + median_us);
  const double eff_p99 = wire_us / (wire_us + p99_us);

  // 2. A 2 MiB script.
  std::string big = "open\n";
  for (int i = 0; i < 32; ++i) big += "send1 65535\n";
  big += "send1 32\nclose\n";
  std::fprintf(stderr, "vantrel-bench: 2 MiB script ...\n");
  const Played large = Play(s, work.path() / "2mib", big, 120s);
  const double line_s = static_cast<double>(large.payload_bytes) / kLineBytesPerSecond;
  double transfer_s = 0;
  if (!large.timing.empty() && large.timing.front().payload_first_ns && large.timing.back().reply_last_ns) {
    transfer_s = static_cast<double>(*large.timing.back().reply_last_ns - *large.timing.front().payload_first_ns) / 1e9;
  }

  // 3. Idle CPU in a pause.
  std::fprintf(stderr, "vantrel-bench: %u s pause with the port open ...\n", s.idle_seconds);
  const IdleCpu idle = MeasureIdle(s, work.path() / "idle");

  const auto machine = vantrel::bench::DescribeMachine();
  std::printf("vantrel-bench, %s; %u CPUs (nproc), %s; %s\n", machine.date.c_str(), machine.cpus,
              machine.cpu_model.c_str(), machine.kernel.c_str());
  std::printf("load average at the end: %s\n", machine.load.c_str());
  std::printf("vantrel-cli against vantrel-sim on a pty; line rate 3686400 baud = 368,640 bytes/s\n\n");
  Row("figure", "value", "goal", "met");
  std::printf("|%s|%s|%s|%s|\n", std::string(50, '-').c_str(), std::string(32, '-').c_str(),
              std::string(18, '-').c_str(), std::string(6, '-').c_str());
  Row("turnaround median (" + std::to_string(turns.size()) + " of 4 KiB send1)", Fmt("%.1f us", median_us),
      "< 100 us", median_us < kTurnaroundGoalUs ? "yes" : "no");
  Row("turnaround p99", Fmt("%.1f us", p99_us), "", "");
  Row("turnaround max", Fmt("%.1f us", max_us), "", "");
  Row("line-rate efficiency, 4 KiB at median", Fmt("%.2f %%", eff_median * 100), ">= 99 %",
      eff_median >= kEfficiencyGoal ? "yes" : "no");
  Row("line-rate efficiency, 4 KiB at p99", Fmt("%.2f %%", eff_p99 * 100), ">= 99 %",
      eff_p99 >= kEfficiencyGoal ? "yes" : "no");
  Row("  (wire time of 4096 bytes)", Fmt("%.0f us", wire_us), "", "");
  Row("2 MiB script: vantrel-cli wall time", Fmt("%.2f s", large.wall_s), "", "");
  Row("2 MiB script: first payload byte..last reply", Fmt("%.3f s", transfer_s), "", "");
  Row("2 MiB script: its bytes at the line rate", Fmt("%.2f s", line_s), "", "");
  Row("  wall time less the fixed 2 s of open+close", Fmt("%.2f s", large.wall_s - 2.0),
      Fmt("<= %.2f s", line_s), large.wall_s - 2.0 <= line_s ? "yes" : "no");
  Row("idle CPU in a pause, all threads (utime+stime)",
      Fmt("%.0f ms", idle.tick_ms) + Fmt(" in %.1f s", idle.seconds) + Fmt(" = %.2f %%", idle.tick_ms / 10.0 / idle.seconds),
      "", "");
  if (idle.sched_ms) {
    Row("idle CPU in a pause, all threads (schedstat)",
        Fmt("%.1f ms", *idle.sched_ms) + Fmt(" = %.3f %%", *idle.sched_ms / 10.0 / idle.seconds), "", "");
  }
  std::printf("\nThe receive watcher polls the open port without pause, so the idle figure is that\n"
              "poll's share of one CPU; turnarounds include the pty's latency both ways and the\n"
              "simulator's own wake-up, and grow with the machine's load.\n");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vantrel-bench: %s\n", e.what());
    return 1;
  }
}
