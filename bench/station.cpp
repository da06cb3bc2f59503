// vantrel-station-bench: how the station scales with terminals at once.
// 1, 2, 4 and 8 simulated terminals (vantrel-sim on ptys, served with
// --ports) each play the same 2 MiB script under one vantrel-station with
// as many jobs; the reference is one vantrel-cli run alone on one terminal,
// measured in the same invocation on the same machine. Printed: the
// station's wall time, its ratio to the reference, and the station's own
// CPU (from its summary line; its children are not counted).
//
//   vantrel-station-bench [--counts 1,2,4,8] [--station PATH] [--cli PATH] [--sim PATH]
//
// Each run includes the script's fixed waits (a second after opening and
// one after closing the port), as the reference does.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <memory>
#include <regex>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/measure.h"
#include "tools/process/child.h"
#include "tools/script/description.h"
#include "tools/script_format.h"
#include "tools/usage/program.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
namespace fs = std::filesystem;
using tools::process::Child;

struct Settings {
  std::vector<unsigned> counts = {1, 2, 4, 8};
  std::string station = VANTREL_STATION_EXE;
  std::string cli = VANTREL_CLI_EXE;
  std::string sim = VANTREL_SIM_EXE;
};

class TempFolder {
 public:
  TempFolder() {
    std::string pattern = (fs::temp_directory_path() / "vantrel-station-bench.XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
  }
  ~TempFolder() {
    std::error_code ignored;
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

std::unique_ptr<Child> StartSim(const Settings& s, const fs::path& script, const fs::path& link) {
  tools::process::Options o;
  o.error_output = tools::process::Options::ErrorOutput::Merge;
  auto sim = std::make_unique<Child>(std::vector<std::string>{s.sim, "--script", script.string(), "--link",
                                                              link.string(), "--idle-timeout-s", "120", "--quiet"},
                                     o);
  if (!sim->ReadLineStartingWith("port: ", 5000ms)) throw std::runtime_error("vantrel-sim gave no port line");
  return sim;
}

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// One vantrel-cli run alone on one terminal: the reference.
double CliAlone(const Settings& s, const fs::path& work, const fs::path& script) {
  auto sim = StartSim(s, script, work / "alone");
  const auto start = Clock::now();
  tools::process::Options o;
  o.cwd = work.string();
  Child cli({s.cli, "--port", (work / "alone").string()}, o);
  const auto end = cli.Wait(120000ms);
  const double wall = Seconds(end.at - start);
  if (end.timed_out || end.shell_code() != 0) throw std::runtime_error("the reference run failed");
  sim->Wait(5000ms);
  return wall;
}

struct StationRun {
  double wall_s = 0;
  double cpu_s = -1;
  bool all_succeeded = false;
};

StationRun Station(const Settings& s, const fs::path& work, const fs::path& script, unsigned n) {
  std::vector<std::unique_ptr<Child>> sims;
  std::string ports;
  for (unsigned i = 0; i < n; ++i) {
    const fs::path link = work / ("line" + std::to_string(n) + "-" + std::to_string(i));
    sims.push_back(StartSim(s, script, link));
    ports += (i ? "," : "") + link.string();
  }
  const auto start = Clock::now();
  Child station({s.station, "--ports", ports, "--jobs", std::to_string(n), "--count", std::to_string(n), "--script",
                 script.string(), "--cli", s.cli});
  const auto end = station.Wait(300000ms);
  StationRun r;
  r.wall_s = Seconds(end.at - start);
  r.all_succeeded = !end.timed_out && end.shell_code() == 0;
  static const std::regex kCpu(R"(station_cpu_s=([0-9.]+))");
  std::smatch m;
  const std::string& out = station.text(tools::process::Stream::Out);
  if (std::regex_search(out, m, kCpu)) r.cpu_s = std::stod(m[1]);
  if (!r.all_succeeded)
    std::fprintf(stderr, "vantrel-station (exit %d):\n%s", end.shell_code(), out.c_str());
  for (auto& sim : sims) sim->Wait(5000ms);
  return r;
}

std::vector<unsigned> ParseCounts(const std::string& text) {
  std::vector<unsigned> counts;
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t comma = text.find(',', at);
    if (comma == std::string::npos) comma = text.size();
    counts.push_back(static_cast<unsigned>(std::stoul(text.substr(at, comma - at))));
    at = comma + 1;
  }
  return counts;
}

const usage::Program& StationBenchProgram() {
  static const usage::Program program{
      "vantrel-station-bench",
      "measure vantrel-station with several simulated terminals at once",
      {"[--counts LIST] [--station PATH] [--cli PATH] [--sim PATH]"},
      "Builds a 2 MiB script, times one vantrel-cli run alone against the terminal simulator, then "
      "vantrel-station with 1, 2, 4 and 8 simulated terminals at once (--ports, as many jobs), each playing the "
      "same script, and prints each wall time beside the one alone, with the station's own CPU time.",
      {
          {"--counts", "LIST", "How many terminals at once, comma-separated (default 1,2,4,8)."},
          {"--station", "PATH", "The vantrel-station to measure (default: the one built with this bench)."},
          {"--cli", "PATH", "The vantrel-cli the runs use (default: the one built with this bench)."},
          {"--sim", "PATH", "The terminal simulator (default: the one built with this bench)."},
      },
      {
          {"0", "the table was printed"},
          {"1", "a program could not be run or measured"},
          {"2", "usage: an unknown option or a bad value"},
      },
      {},
  };
  return program;
}

int Run(int argc, char** argv) {
  Settings s;
  const usage::Scan scan = usage::ScanArguments(StationBenchProgram(), argc, argv);
  if (scan.action != usage::Action::kRun) return usage::Finish(StationBenchProgram(), scan);
  for (const usage::Arg& a : scan.args) {
    if (a.name == "--counts") {
      try {
        s.counts = ParseCounts(a.value);
      } catch (const std::exception&) {
        return usage::UsageError(StationBenchProgram(), "--counts: not a list of whole numbers '" + a.value + "'");
      }
      if (s.counts.empty())
        return usage::UsageError(StationBenchProgram(), "--counts: no count in '" + a.value + "'");
    } else if (a.name == "--station") {
      s.station = a.value;
    } else if (a.name == "--cli") {
      s.cli = a.value;
    } else if (a.name == "--sim") {
      s.sim = a.value;
    }
  }
  TempFolder work;
  std::string big = "open\n";
  for (int i = 0; i < 32; ++i) big += "send1 65535\n";
  big += "send1 32\nclose\n";
  const fs::path script = work.path() / "upgrader.asc";
  tools::WriteFileBytes(script.string(), tools::BuildScript(big));

  const auto machine = vantrel::bench::DescribeMachine();
  std::printf("vantrel-station-bench, %s, %u cpus, %s, load %s\n", machine.date.c_str(), machine.cpus,
              machine.cpu_model.c_str(), machine.load.c_str());
  std::fprintf(stderr, "reference: vantrel-cli alone ...\n");
  const double alone = CliAlone(s, work.path(), script);
  std::printf("2 MiB script, one vantrel-cli alone: %.2f s\n\n", alone);
  std::printf("| terminals at once | station wall time | / one alone | station CPU | station CPU / wall | all succeeded |\n");
  std::printf("|---|---|---|---|---|---|\n");
  for (unsigned n : s.counts) {
    std::fprintf(stderr, "%u at once ...\n", n);
    const StationRun r = Station(s, work.path(), script, n);
    std::printf("| %u | %.2f s | %.2fx | %.3f s | %.1f %% | %s |\n", n, r.wall_s, r.wall_s / alone, r.cpu_s,
                r.cpu_s >= 0 ? 100.0 * r.cpu_s / r.wall_s : -1.0, r.all_succeeded ? "yes" : "NO");
    std::fflush(stdout);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vantrel-station-bench: %s\n", e.what());
    return 1;
  }
}
