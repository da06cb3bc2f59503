// The scheduler: one run per terminal per plug-in. Terminals that appear
// queue in order of arrival; at most `jobs` children run at once; a run's
// child is watched for its line events, its end and silence past the hang
// limit; a terminal whose run ended (success or not) gets no new run until
// it has left and come back. Single-threaded: the caller's loop calls
// Observe and Step. Not here: finding terminals, the log, the screen.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "station/discovery.h"
#include "station/host.h"
#include "station/record.h"
#include "station/script.h"

namespace station {

struct SchedulerConfig {
  std::string cli;  // the vantrel-cli to start
  std::string baud;
  unsigned jobs = 1;
  std::optional<unsigned> count;  // start no more runs than this
  std::chrono::milliseconds hangLimit{20000};
  // How long stopped children get to end before they are killed.
  std::chrono::milliseconds stopGrace{10000};
};

// Something the screen shows as it happens.
struct RunEvent {
  enum class Kind { Start, Progress, End, Note } kind = Kind::Start;
  std::string port;
  std::string serial;
  std::int64_t pos = 0;
  std::int64_t max = 0;
  RunRecord record;  // End: the finished run
  std::string note;  // Note: why a run could not start
};

// One row of the live table.
struct TerminalRow {
  std::string port;
  std::string serial;
  std::string state;  // "queued", "running", "stopping", "done"
  int percent = 0;
  std::chrono::milliseconds elapsed{0};
  std::string lastResult;
};

class Scheduler {
 public:
  Scheduler(const PrivateScript& script, SchedulerConfig config);
  ~Scheduler();

  // The terminals present now: new ones queue, departed ones leave (a
  // running one keeps its run, which ends as its child reports).
  void Observe(const std::vector<Terminal>& present);
  // Starts what the caps allow, waits up to `timeout` for the children,
  // takes their lines and ends, and ends runs silent past the hang limit.
  void Step(std::chrono::milliseconds timeout);
  // No new runs; every running child is asked to stop as a confirmed
  // "STOP?" would, and killed if it has not ended after the grace time.
  void StopAll();

  // What happened since the last call, in order: starts, progress, ends.
  std::vector<RunEvent> TakeEvents();
  std::vector<TerminalRow> Rows() const;
  std::size_t running() const;
  std::size_t queued() const { return queue_.size(); }
  unsigned started() const { return started_; }

 private:
  enum class State { Queued, Running, Done };
  struct Entry {
    Terminal terminal;
    State state = State::Queued;
    bool present = true;
    bool cameBack = false;  // left and returned while its run went on
    std::unique_ptr<RunChild> child;
    std::string runFolder;
    std::chrono::system_clock::time_point startUtc;
    std::chrono::steady_clock::time_point started;
    std::chrono::steady_clock::time_point lastEvent;
    std::optional<std::chrono::steady_clock::time_point> stopAsked;
    std::chrono::milliseconds lastDuration{0};
    std::string word;
    std::int64_t pos = 0;
    std::int64_t max = 0;
    bool hung = false;
    std::string lastResult;
  };

  Entry* Find(const std::string& port);
  void StartQueued();
  void Start(Entry& entry);
  void TakeLines(Entry& entry, std::chrono::steady_clock::time_point now);
  void Finish(Entry& entry, const std::optional<ChildEnd>& end, const std::string& stationWord);
  void Forget(const std::string& port);

  const PrivateScript& script_;
  SchedulerConfig config_;
  std::vector<std::unique_ptr<Entry>> entries_;  // in order of arrival
  std::deque<std::string> queue_;                // ports waiting for a run
  bool stopping_ = false;
  unsigned started_ = 0;
  std::vector<RunEvent> events_;
};

}  // namespace station
