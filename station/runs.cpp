// The station's scheduler.
#include "station/runs.h"

#include <algorithm>
#include <charconv>
#include <utility>

namespace station {
namespace {

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

// "progress: 123/456" into pos and max.
bool ParseProgress(const std::string& line, std::int64_t* pos, std::int64_t* max) {
    const std::string body = line.substr(10);
    const auto slash = body.find('/');
    if (slash == std::string::npos)
        return false;
    std::int64_t p = 0, m = 0;
    const char* b = body.data();
    const auto r1 = std::from_chars(b, b + slash, p);
    const auto r2 = std::from_chars(b + slash + 1, b + body.size(), m);
    if (r1.ec != std::errc() || r2.ec != std::errc() || r1.ptr != b + slash || r2.ptr != b + body.size())
        return false;
    *pos = p;
    *max = m;
    return true;
}

std::chrono::milliseconds Ms(Clock::duration d) { return std::chrono::duration_cast<std::chrono::milliseconds>(d); }

int Percent(std::int64_t pos, std::int64_t max) { return max > 0 ? static_cast<int>(pos * 100 / max) : 0; }

RunEvent MakeEvent(RunEvent::Kind kind, const Terminal& unit, const std::string& slot, unsigned attempt,
                   std::string note = {}) {
    RunEvent e;
    e.kind = kind;
    e.port = unit.port;
    e.serial = unit.serial;
    e.location = unit.location;
    e.slot = slot;
    e.attempt = attempt;
    e.note = std::move(note);
    return e;
}

}  // namespace

Scheduler::Scheduler(const PrivateScript& script, SchedulerConfig config)
    : script_(script), config_(std::move(config)) {
    if (config_.slots) {
        for (const auto& [location, label] : config_.slots->slots()) {
            Socket s;
            s.key = label;
            s.label = label;
            s.location = location;
            sockets_.push_back(std::move(s));
        }
    }
}

Scheduler::~Scheduler() = default;  // children still running are killed with their objects

Scheduler::Entry* Scheduler::Find(const std::string& port) {
    for (auto& e : entries_) {
        if (e->terminal.port == port)
            return e.get();
    }
    return nullptr;
}

std::size_t Scheduler::SocketFor(const Terminal& t) {
    // A listed port has no USB location: the map names it by its port.
    const std::string label =
        config_.slots ? config_.slots->LabelOf(t.location.empty() ? t.port : t.location) : std::string();
    const std::string key = !label.empty() ? label : !t.location.empty() ? t.location : t.port;
    for (std::size_t k = 0; k < sockets_.size(); ++k) {
        if (sockets_[k].key == key && sockets_[k].label == label)
            return k;
    }
    Socket s;
    s.key = key;
    s.label = label;
    s.location = t.location;
    sockets_.push_back(std::move(s));
    return sockets_.size() - 1;
}

void Scheduler::Arrive(const Terminal& t, Clock::time_point now) {
    auto e = std::make_unique<Entry>();
    e->terminal = t;
    e->socket = SocketFor(t);
    e->firstSeen = now;
    Socket& s = sockets_[e->socket];
    e->state = config_.slots && s.label.empty() ? State::NotASlot : State::Settling;
    s.port = t.port;
    s.serial = t.serial;
    entries_.push_back(std::move(e));
}

void Scheduler::Forget(const std::string& port) {
    queue_.erase(std::remove(queue_.begin(), queue_.end(), port), queue_.end());
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if ((*it)->terminal.port != port)
            continue;
        Socket& s = sockets_[(*it)->socket];
        s.port.clear();
        s.serial.clear();
        entries_.erase(it);
        return;
    }
}

void Scheduler::Observe(const std::vector<Terminal>& present, bool complete, Clock::time_point now) {
    std::vector<std::string> renewed;
    for (const Terminal& t : present) {
        Entry* e = Find(t.port);
        if (e == nullptr) {
            Arrive(t, now);
            continue;
        }
        e->missed = 0;
        const bool sameUnit = e->terminal.serial == t.serial && e->terminal.location == t.location;
        if (!e->present) {
            // Gone for two scans and back while its run went on: a new plug-in,
            // whose run starts once the old one has ended.
            e->present = true;
            e->replugged = t;
        } else if (!sameUnit) {
            // Another unit at the port between two scans.
            if (e->state == State::Running) {
                e->replugged = t;
            } else {
                renewed.push_back(t.port);
            }
        }
    }
    for (const auto& port : renewed) {
        const auto it = std::find_if(present.begin(), present.end(), [&](const Terminal& t) { return t.port == port; });
        Forget(port);
        Arrive(*it, now);
    }
    if (!complete)
        return;  // a scan that may have missed ports tells nothing of absences
    std::vector<std::string> gone;
    for (auto& e : entries_) {
        const bool here =
            std::any_of(present.begin(), present.end(), [&](const Terminal& t) { return t.port == e->terminal.port; });
        if (here || ++e->missed < 2)
            continue;
        if (e->state == State::Running) {
            e->present = false;
            e->replugged.reset();
        } else {
            gone.push_back(e->terminal.port);
        }
    }
    for (const auto& port : gone)
        Forget(port);
}

bool Scheduler::DuplicateSerial(const Entry& entry) const {
    if (entry.terminal.serial.empty())
        return false;
    return std::any_of(entries_.begin(), entries_.end(), [&](const std::unique_ptr<Entry>& other) {
        return other.get() != &entry && other->present && other->terminal.serial == entry.terminal.serial;
    });
}

bool Scheduler::MayStart() const {
    return !stopping_ && !noMore_ && !held_ && (config_.jobs == 0 || running() < config_.jobs) &&
           (!config_.count || started_ < *config_.count);
}

void Scheduler::StartQueued(Clock::time_point now) {
    while (MayStart() && !queue_.empty()) {
        const std::string port = queue_.front();
        Entry* e = Find(port);
        if (e == nullptr || e->state != State::Queued) {
            queue_.pop_front();
            continue;
        }
        const std::size_t before = queue_.size();
        Start(*e, now);
        if (e->state == State::Queued && queue_.size() == before)
            break;  // held by beforeStart: try again later
    }
}

void Scheduler::Start(Entry& e, Clock::time_point now) {
    Run r;
    r.id = nextRunId_;
    r.unit = e.terminal;
    r.slot = sockets_[e.socket].label;
    r.attempt = e.attempts + 1;
    r.startUtc = std::chrono::system_clock::now();
    r.started = r.lastEvent = now;
    r.duplicateSerial = DuplicateSerial(e);
    if (config_.beforeStart) {
        RunRecord starting;
        starting.start = r.startUtc;
        starting.port = r.unit.port;
        starting.location = r.unit.location;
        starting.slot = r.slot;
        starting.hardwareId = r.unit.hardwareId;
        starting.serial = r.unit.serial;
        starting.attempt = r.attempt;
        starting.scriptSize = script_.size();
        starting.scriptSha256 = script_.sha256();
        starting.baud = config_.baud;
        if (!config_.beforeStart(starting, r.id))
            return;
    }
    queue_.pop_front();
    ++nextRunId_;
    ++started_;
    ++e.attempts;
    e.state = State::Running;
    e.hasRun = true;
    e.run = std::move(r);
    Run& run = e.run;
    Socket& s = sockets_[e.socket];
    s.lastAttempt = run.attempt;
    events_.push_back(MakeEvent(RunEvent::Kind::Start, run.unit, run.slot, run.attempt));
    std::string error;
    run.folder = script_.MakeRunFolder(static_cast<unsigned>(run.id), &error);
    if (!run.folder.empty())
        run.child =
            config_.startChild({config_.cli, "--port", run.unit.port, "--baud", config_.baud}, run.folder, &error);
    if (!run.child) {
        events_.push_back(MakeEvent(RunEvent::Kind::Note, run.unit, run.slot, run.attempt, error));
        run.stationWord = "start-failed";
        run.cause = error;
        Finish(e, std::nullopt, now);
    }
}

void Scheduler::TakeLines(Entry& e, Clock::time_point now) {
    Run& r = e.run;
    while (auto line = r.child->TakeLine()) {
        if (line->error) {
            if (!line->text.empty())
                r.cause = line->text;
            continue;
        }
        r.lastEvent = now;
        if (StartsWith(line->text, "progress: ")) {
            if (ParseProgress(line->text, &r.pos, &r.max)) {
                RunEvent progress = MakeEvent(RunEvent::Kind::Progress, r.unit, r.slot, r.attempt);
                progress.pos = r.pos;
                progress.max = r.max;
                events_.push_back(std::move(progress));
            }
        } else if (StartsWith(line->text, "result: ")) {
            r.word = line->text.substr(8);
        }
    }
}

void Scheduler::Step(Clock::time_point now) {
    for (std::size_t i = 0; i < entries_.size(); ++i) {
        Entry& e = *entries_[i];
        if (e.state != State::Running)
            continue;
        Run& r = e.run;
        r.duplicateSerial = r.duplicateSerial || DuplicateSerial(e);
        TakeLines(e, now);
        if (auto end = r.child->End()) {
            // End's own look at the child may have read its last lines, the
            // result among them: a run that said "success" and exited 0 is
            // never recorded as "no-result" (nor retried, nor flashed again).
            TakeLines(e, now);
            Finish(e, end, now);
        } else if (r.killed) {
            if (now - *r.killed > config_.killGrace) {
                // A child a kill does not end (stuck in the kernel): it is left
                // behind rather than holding the station.
                r.child->Abandon();
                r.stationWord = "unkillable";
                Finish(e, std::nullopt, now);
            }
        } else if (r.stopAsked) {
            if (now - *r.stopAsked > config_.stopGrace) {
                r.child->Kill();
                r.killed = now;
            }
        } else if (now - r.lastEvent > config_.hangLimit) {
            // Silent longer than any wait the script can cause: it will not come
            // back by itself.
            r.stationWord = "hang";
            r.child->Kill();
            r.killed = now;
        }
    }
    for (auto& e : entries_) {
        if (e->state != State::Settling)
            continue;
        if (now - e->firstSeen >= config_.settle || !config_.portReady || config_.portReady(e->terminal.port)) {
            e->state = State::Queued;
            queue_.push_back(e->terminal.port);
        }
    }
    // Units that left while their run went on are forgotten now that it ended.
    std::vector<std::string> gone;
    for (auto& e : entries_) {
        if (e->state == State::Done && !e->present)
            gone.push_back(e->terminal.port);
    }
    for (const auto& port : gone)
        Forget(port);
    StartQueued(now);
}

void Scheduler::Finish(Entry& e, const std::optional<ChildEnd>& end, Clock::time_point now) {
    Run& run = e.run;
    RunRecord r;
    r.start = run.startUtc;
    r.end = std::chrono::system_clock::now();
    r.port = run.unit.port;
    r.location = run.unit.location;
    r.slot = run.slot;
    r.hardwareId = run.unit.hardwareId;
    r.serial = run.unit.serial;
    r.scriptSize = script_.size();
    r.scriptSha256 = script_.sha256();
    r.baud = config_.baud;
    r.exitCode = end ? end->shell_code() : -1;
    r.attempt = run.attempt;
    r.duplicateSerial = run.duplicateSerial;
    r.cause = run.cause;
    const bool exitedZero = end && end->signal == 0 && end->code == 0;
    if (!run.stationWord.empty()) {
        r.result = run.stationWord;
    } else if (run.word.empty()) {
        r.result = end && end->signal != 0 ? "died" : "no-result";
    } else if (run.word == "success" && !exitedZero) {
        r.result = "bad-exit";  // a success word the exit code contradicts is no success
    } else {
        r.result = run.word;
    }
    r.success = r.result == "success" && exitedZero;
    r.payloadBytes = r.success ? script_.payloadTotal() : script_.PayloadAt(run.pos);
    run.child.reset();
    if (!run.folder.empty())
        script_.RemoveRunFolder(run.folder);
    run.folder.clear();
    if (config_.afterEnd)
        config_.afterEnd(run.id);

    const bool goingOn = e.present && !e.replugged && !stopping_ && !noMore_;
    if (goingOn && r.result == "port-open-failed" && now - e.firstSeen < config_.settle) {
        // The node was not ready yet (the system's rules come a moment after
        // the device): not the unit's failure. It is tried again once the port
        // opens; a failure after the settling time is recorded.
        --started_;
        --e.attempts;
        e.state = State::Settling;
        events_.push_back(MakeEvent(RunEvent::Kind::Note, run.unit, run.slot, run.attempt,
                                    r.port + ": the port does not open yet" +
                                        (r.cause.empty() ? "" : " (" + r.cause + ")") + "; trying again once it does"));
        return;
    }

    Socket& s = sockets_[e.socket];
    s.lastResult = r.result;
    s.lastDuration = Ms(now - run.started);
    s.pos = run.pos;
    s.max = run.max;
    ++(r.success ? s.successes : s.failures);
    RunEvent ended;
    ended.kind = RunEvent::Kind::End;
    ended.port = r.port;
    ended.serial = r.serial;
    ended.location = r.location;
    ended.slot = r.slot;
    ended.attempt = r.attempt;
    ended.pos = run.pos;
    ended.max = run.max;
    ended.runId = run.id;
    ended.key = s.key;
    const bool retry = goingOn && !r.success && r.result != "format1-refused" && run.stationWord != "unkillable" &&
                       e.attempts <= config_.retries;
    ended.retrying = retry;
    ended.record = std::move(r);
    events_.push_back(std::move(ended));

    if (retry) {
        e.state = State::Queued;
        queue_.push_back(e.terminal.port);
    } else if (e.present && e.replugged && !stopping_ && !noMore_) {
        // It left and came back, or another unit took the port, while the run
        // went on: that is a new plug-in.
        const Terminal next = *e.replugged;
        Forget(next.port);
        Arrive(next, now);
    } else {
        e.state = State::Done;
    }
}

void Scheduler::StopAll(Clock::time_point now) {
    stopping_ = true;
    queue_.clear();
    for (auto& e : entries_) {
        if (e->state == State::Running && !e->run.stopAsked && !e->run.killed) {
            e->run.child->Stop();
            e->run.stopAsked = now;
        }
    }
}

void Scheduler::KillAll(Clock::time_point now) {
    stopping_ = true;
    queue_.clear();
    for (auto& e : entries_) {
        if (e->state != State::Running || e->run.killed)
            continue;
        e->run.child->Kill();
        e->run.killed = now;
        e->run.stationWord = "killed";
    }
}

std::vector<RunEvent> Scheduler::TakeEvents() { return std::exchange(events_, {}); }

std::size_t Scheduler::running() const {
    return static_cast<std::size_t>(
        std::count_if(entries_.begin(), entries_.end(), [](const auto& e) { return e->state == State::Running; }));
}

std::size_t Scheduler::waiting() const {
    return static_cast<std::size_t>(std::count_if(entries_.begin(), entries_.end(), [](const auto& e) {
        return e->state == State::Settling || e->state == State::Queued;
    }));
}

std::vector<TerminalRow> Scheduler::Rows(Clock::time_point now) const {
    std::vector<TerminalRow> rows;
    for (std::size_t k = 0; k < sockets_.size(); ++k) {
        const Socket& s = sockets_[k];
        const Entry* unit = nullptr;
        for (const auto& e : entries_) {
            if (e->socket == k)
                unit = e.get();
        }
        // With a map, a place that is no slot is shown only while a unit is there.
        if (unit == nullptr && config_.slots && s.label.empty())
            continue;
        TerminalRow row;
        row.key = s.key;
        row.label = s.label;
        row.location = unit != nullptr ? unit->terminal.location : s.location;
        row.port = s.port;
        row.serial = s.serial;
        row.lastResult = s.lastResult;
        row.attempt = s.lastAttempt;
        row.successes = s.successes;
        row.failures = s.failures;
        row.pos = s.pos;
        row.max = s.max;
        row.elapsed = s.lastDuration;
        row.percent = s.lastResult == "success" ? 100 : Percent(s.pos, s.max);
        if (unit == nullptr) {
            row.state = "empty";
        } else {
            switch (unit->state) {
                case State::Settling:
                    row.state = "settling";
                    break;
                case State::Queued:
                    row.state = "queued";
                    break;
                case State::NotASlot:
                    row.state = "not a slot";
                    break;
                case State::Done:
                    row.state = "done";
                    break;
                case State::Running:
                    row.state = unit->run.stopAsked || unit->run.killed ? "stopping" : "running";
                    row.attempt = unit->run.attempt;
                    row.serial = unit->run.unit.serial;
                    row.elapsed = Ms(now - unit->run.started);
                    row.pos = unit->run.pos;
                    row.max = unit->run.max;
                    row.percent = Percent(unit->run.pos, unit->run.max);
                    break;
            }
            if (unit->state == State::Settling || unit->state == State::Queued || unit->state == State::NotASlot) {
                if (!unit->hasRun || unit->attempts == 0) {
                    // A new unit: the socket's last run was another unit's.
                    row.percent = 0;
                    row.pos = row.max = 0;
                    row.elapsed = std::chrono::milliseconds(0);
                }
            }
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

}  // namespace station
