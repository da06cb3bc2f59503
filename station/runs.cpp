// The station's scheduler.
#include "station/runs.h"

#include <algorithm>
#include <charconv>
#include <utility>

namespace station {
namespace {

using Steady = std::chrono::steady_clock;

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// "progress: 123/456" into pos and max.
bool ParseProgress(const std::string& line, std::int64_t* pos, std::int64_t* max) {
  const std::string body = line.substr(10);
  const auto slash = body.find('/');
  if (slash == std::string::npos) return false;
  std::int64_t p = 0, m = 0;
  const char* b = body.data();
  const auto r1 = std::from_chars(b, b + slash, p);
  const auto r2 = std::from_chars(b + slash + 1, b + body.size(), m);
  if (r1.ec != std::errc() || r2.ec != std::errc() || r1.ptr != b + slash || r2.ptr != b + body.size()) return false;
  *pos = p;
  *max = m;
  return true;
}

}  // namespace

Scheduler::Scheduler(const PrivateScript& script, SchedulerConfig config)
    : script_(script), config_(std::move(config)) {}

Scheduler::~Scheduler() = default;  // children still running are killed with their objects

Scheduler::Entry* Scheduler::Find(const std::string& port) {
  for (auto& e : entries_) {
    if (e->terminal.port == port) return e.get();
  }
  return nullptr;
}

void Scheduler::Forget(const std::string& port) {
  queue_.erase(std::remove(queue_.begin(), queue_.end(), port), queue_.end());
  entries_.erase(std::remove_if(entries_.begin(), entries_.end(),
                                [&](const std::unique_ptr<Entry>& e) { return e->terminal.port == port; }),
                 entries_.end());
}

void Scheduler::Observe(const std::vector<Terminal>& present) {
  for (const Terminal& t : present) {
    Entry* e = Find(t.port);
    if (e == nullptr) {
      auto entry = std::make_unique<Entry>();
      entry->terminal = t;
      entries_.push_back(std::move(entry));
      queue_.push_back(t.port);
    } else if (!e->present) {
      e->present = true;
      e->cameBack = true;
      e->terminal = t;
    }
  }
  std::vector<std::string> gone;
  for (auto& e : entries_) {
    const bool here = std::any_of(present.begin(), present.end(),
                                  [&](const Terminal& t) { return t.port == e->terminal.port; });
    if (here) continue;
    if (e->state == State::Running) {
      e->present = false;
      e->cameBack = false;
    } else {
      gone.push_back(e->terminal.port);
    }
  }
  for (const auto& port : gone) Forget(port);
}

void Scheduler::StartQueued() {
  while (!stopping_ && !queue_.empty() && running() < config_.jobs &&
         (!config_.count || started_ < *config_.count)) {
    const std::string port = queue_.front();
    queue_.pop_front();
    Entry* e = Find(port);
    if (e != nullptr && e->state == State::Queued) Start(*e);
  }
}

void Scheduler::Start(Entry& e) {
  ++started_;
  e.state = State::Running;
  e.startUtc = std::chrono::system_clock::now();
  e.started = e.lastEvent = Steady::now();
  e.stopAsked.reset();
  e.word.clear();
  e.pos = e.max = 0;
  e.hung = false;
  events_.push_back({RunEvent::Kind::Start, e.terminal.port, e.terminal.serial, 0, 0, {}, {}});
  std::string error;
  e.runFolder = script_.MakeRunFolder(started_, &error);
  if (!e.runFolder.empty())
    e.child = RunChild::Start({config_.cli, "--port", e.terminal.port, "--baud", config_.baud}, e.runFolder, &error);
  if (!e.child) {
    events_.push_back({RunEvent::Kind::Note, e.terminal.port, e.terminal.serial, 0, 0, {}, error});
    Finish(e, std::nullopt, "start-failed");
  }
}

void Scheduler::TakeLines(Entry& e, Steady::time_point now) {
  while (auto line = e.child->TakeLine()) {
    e.lastEvent = now;
    if (StartsWith(*line, "progress: ")) {
      if (ParseProgress(*line, &e.pos, &e.max))
        events_.push_back({RunEvent::Kind::Progress, e.terminal.port, e.terminal.serial, e.pos, e.max, {}, {}});
    } else if (StartsWith(*line, "result: ")) {
      e.word = line->substr(8);
    }
  }
}

void Scheduler::Step(std::chrono::milliseconds timeout) {
  StartQueued();
  std::vector<RunChild*> children;
  for (auto& e : entries_) {
    if (e->state == State::Running) children.push_back(e->child.get());
  }
  WaitForChildren(children, timeout);
  const auto now = Steady::now();
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    Entry& e = *entries_[i];
    if (e.state != State::Running) continue;
    TakeLines(e, now);
    if (auto end = e.child->End()) {
      Finish(e, end, e.hung ? "hang" : "");
    } else if (!e.hung && now - e.lastEvent > config_.hangLimit) {
      // Silent longer than any wait the script can cause: it will not
      // come back by itself.
      e.hung = true;
      e.child->Kill();
    } else if (e.stopAsked && now - *e.stopAsked > config_.stopGrace) {
      e.child->Kill();
    }
  }
  // Runs whose terminal left meanwhile are forgotten now that they ended.
  std::vector<std::string> gone;
  for (auto& e : entries_) {
    if (e->state == State::Done && !e->present) gone.push_back(e->terminal.port);
  }
  for (const auto& port : gone) Forget(port);
  StartQueued();
}

void Scheduler::Finish(Entry& e, const std::optional<ChildEnd>& end, const std::string& stationWord) {
  RunRecord r;
  r.start = e.startUtc;
  r.end = std::chrono::system_clock::now();
  r.port = e.terminal.port;
  r.hardwareId = e.terminal.hardwareId;
  r.serial = e.terminal.serial;
  r.scriptSize = script_.size();
  r.scriptSha256 = script_.sha256();
  r.baud = config_.baud;
  r.exitCode = end ? end->ShellCode() : -1;
  const bool exitedZero = end && end->signal == 0 && end->code == 0;
  if (!stationWord.empty()) {
    r.result = stationWord;
  } else if (e.word.empty()) {
    r.result = end && end->signal != 0 ? "died" : "no-result";
  } else if (e.word == "success" && !exitedZero) {
    r.result = "bad-exit";  // a success word the exit code contradicts is no success
  } else {
    r.result = e.word;
  }
  r.success = r.result == "success" && exitedZero;
  r.payloadBytes = r.success ? script_.payloadTotal() : script_.PayloadAt(e.pos);
  e.lastResult = r.result;
  e.lastDuration = std::chrono::duration_cast<std::chrono::milliseconds>(Steady::now() - e.started);
  e.child.reset();
  if (!e.runFolder.empty()) script_.RemoveRunFolder(e.runFolder);
  e.runFolder.clear();
  RunEvent ended;
  ended.kind = RunEvent::Kind::End;
  ended.port = e.terminal.port;
  ended.serial = e.terminal.serial;
  ended.pos = e.pos;
  ended.max = e.max;
  ended.record = std::move(r);
  events_.push_back(std::move(ended));
  if (e.present && e.cameBack && !stopping_) {
    // It left and came back while the run went on: that is a new plug-in.
    e.cameBack = false;
    e.state = State::Queued;
    queue_.push_back(e.terminal.port);
  } else {
    e.state = State::Done;
  }
}

void Scheduler::StopAll() {
  stopping_ = true;
  queue_.clear();
  const auto now = Steady::now();
  for (auto& e : entries_) {
    if (e->state == State::Running && !e->stopAsked) {
      e->child->Stop();
      e->stopAsked = now;
    }
  }
}

std::vector<RunEvent> Scheduler::TakeEvents() { return std::exchange(events_, {}); }

std::size_t Scheduler::running() const {
  return static_cast<std::size_t>(std::count_if(entries_.begin(), entries_.end(),
                                                [](const auto& e) { return e->state == State::Running; }));
}

std::vector<TerminalRow> Scheduler::Rows() const {
  std::vector<TerminalRow> rows;
  const auto now = Steady::now();
  for (const auto& e : entries_) {
    TerminalRow row;
    row.port = e->terminal.port;
    row.serial = e->terminal.serial;
    row.lastResult = e->lastResult;
    switch (e->state) {
      case State::Queued: row.state = "queued"; break;
      case State::Running:
        row.state = e->stopAsked ? "stopping" : "running";
        row.elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - e->started);
        row.percent = e->max > 0 ? static_cast<int>(e->pos * 100 / e->max) : 0;
        break;
      case State::Done:
        row.state = "done";
        row.elapsed = e->lastDuration;
        row.percent = e->lastResult == "success" ? 100 : e->max > 0 ? static_cast<int>(e->pos * 100 / e->max) : 0;
        break;
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

}  // namespace station
