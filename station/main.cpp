// vantrel-station: upgrades every known terminal plugged in, several at
// once, unattended, one vantrel-cli child per run, with a JSON log line per
// finished run. This file holds the program's order of things: options,
// script, log, the loop that finds terminals and steps the scheduler, the
// ending. Not here: the parts themselves (options, discovery, script, runs,
// log, screen, summary each have their file; host_*.cpp the OS part).
//
//   vantrel-station [--jobs N] [--ports LIST] [--baud RATE] [--log FILE] [--count N] ...
#include <atomic>
#include <cstdio>
#include <string>

#include "station/discovery.h"
#include "station/host.h"
#include "station/log.h"
#include "station/options.h"
#include "station/runs.h"
#include "station/screen.h"
#include "station/script.h"
#include "station/summary.h"

namespace {

constexpr int kExitUsage = 2;
constexpr int kExitScript = 3;

std::atomic<bool> g_stop{false};

std::string FindCli(const station::Options& options) {
  if (!options.cli.empty()) return options.cli;
  const std::string here = station::ExecutableDir();
  if (here.empty()) return station::CliFileName();
  const std::string beside = here + "/" + station::CliFileName();
  // In the build tree the two programs sit in sibling folders.
  const std::string built = here + "/../cli/" + station::CliFileName();
  std::FILE* probe = std::fopen(beside.c_str(), "rb");
  if (probe != nullptr) {
    std::fclose(probe);
    return beside;
  }
  probe = std::fopen(built.c_str(), "rb");
  if (probe != nullptr) {
    std::fclose(probe);
    return built;
  }
  return beside;
}

}  // namespace

int main(int argc, char** argv) {
  using namespace station;
  using Steady = std::chrono::steady_clock;

  Options options;
  if (const auto end = ParseOptions(argc, argv, &options)) return *end;
  std::string error;

  std::unique_ptr<RunLog> log;
  if (!options.log.empty()) {
    log = RunLog::Open(options.log, &error);
    if (!log) {
      std::fprintf(stderr, "vantrel-station: %s\n", error.c_str());
      return kExitUsage;
    }
  }
  const auto script = PrivateScript::Prepare(options.script, &error);
  if (!script) {
    std::fprintf(stderr, "vantrel-station: the script cannot be used, nothing started: %s\n", error.c_str());
    return kExitScript;
  }

  SchedulerConfig config;
  config.cli = FindCli(options);
  config.baud = options.baud;
  config.jobs = options.jobs != 0 ? options.jobs : ProcessorCount();
  config.count = options.count;
  config.hangLimit = script->longestQuiet() + std::chrono::seconds(options.hangMarginSeconds);
  Scheduler scheduler(*script, config);

  const bool live = StdoutIsTerminal();
  if (live) EnableTerminalSequences();
  auto screen = live ? MakeLiveTable(stdout) : MakeEventLines(stdout);
  screen->Note("script " + options.script + " " + std::to_string(script->size()) + " bytes sha256 " +
               script->sha256() + "; " + std::to_string(config.jobs) + " at once");

  CatchStopSignals(&g_stop);
  const auto since = Steady::now();
  Summary summary(since);
  const std::chrono::milliseconds poll(options.pollMs);
  auto nextLook = Steady::now();
  bool stopping = false;
  bool logFailed = false;
  for (;;) {
    if (g_stop.load() && !stopping) {
      stopping = true;
      scheduler.StopAll();
    }
    const bool countReached = options.count && scheduler.started() >= *options.count;
    if (!stopping && !countReached && Steady::now() >= nextLook) {
      scheduler.Observe((options.ports.empty() ? FindTerminals() : PresentListedPorts(options.ports)).terminals);
      nextLook = Steady::now() + poll;
    }
    scheduler.Step(poll);
    for (const RunEvent& e : scheduler.TakeEvents()) {
      if (e.kind == RunEvent::Kind::Note) {
        screen->Note(e.note);
        continue;
      }
      if (e.kind != RunEvent::Kind::End) {
        screen->Event(e);
        continue;
      }
      const RunRecord& r = e.record;
      summary.Add(r);
      screen->End(r);
      if (log && !log->Append(r, &error) && !logFailed) {
        logFailed = true;
        std::fprintf(stderr, "vantrel-station: %s\n", error.c_str());
        screen->Note(error);
      }
    }
    screen->Refresh(scheduler.Rows(), summary.Text(Steady::now()), false);
    if (scheduler.running() == 0 && (stopping || (options.count && summary.runs() >= *options.count))) break;
  }
  screen->Summary(scheduler.Rows(), summary.Text(Steady::now()));
  const int code = summary.ExitCode(stopping);
  return logFailed && code == 0 ? 1 : code;
}
