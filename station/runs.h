// The scheduler: one run per unit per plug-in, as a state machine that is
// told the time. Units that appear settle (until their port opens for this
// user, or a few seconds), then queue in order of arrival; at most `jobs`
// children run at once; a run's child is watched for its lines, its end and
// silence past the hang limit; a failed run is tried again while the same
// unit stays plugged in, up to `retries` times; a unit whose run ended gets
// no new run until it has left and come back. Single-threaded and never
// waits: the caller's loop waits for the children, then calls Observe and
// Step with the time. Not here: finding terminals, the log, the screen.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "station/discovery.h"
#include "station/host.h"
#include "station/record.h"
#include "station/script.h"
#include "station/slots.h"

namespace station {

using Clock = std::chrono::steady_clock;

struct SchedulerConfig {
    std::string cli;  // the vantrel-cli to start
    std::string baud;
    unsigned jobs = 0;              // runs at once; 0: no cap
    std::optional<unsigned> count;  // start no more runs than this
    unsigned retries = 0;           // further attempts after a failed one
    std::chrono::milliseconds hangLimit{20000};
    // How long stopped children get to end before they are killed, and killed
    // ones before they are given up as unkillable.
    std::chrono::milliseconds stopGrace{10000};
    std::chrono::milliseconds killGrace{10000};
    // How long a new port may take to become ready (its node opening for this
    // user) before it is tried anyway.
    std::chrono::milliseconds settle{3000};
    std::optional<SlotMap> slots;
    StartChild startChild;                                   // required
    std::function<bool(const std::string& port)> portReady;  // empty: always ready
    // Asked just before a child starts, with the run's record so far (the
    // journal's entry); false holds the start (it stays queued).
    std::function<bool(const RunRecord& starting, std::uint64_t runId)> beforeStart;
    // Told when a run has ended (the journal drops its entry).
    std::function<void(std::uint64_t runId)> afterEnd;
};

// Something the screen shows as it happens.
struct RunEvent {
    enum class Kind { Start, Progress, End, Note } kind = Kind::Start;
    std::string port;
    std::string serial;
    std::string location;
    std::string slot;
    unsigned attempt = 1;
    std::int64_t pos = 0;
    std::int64_t max = 0;
    RunRecord record;         // End: the finished run
    std::uint64_t runId = 0;  // End: the run's id, as beforeStart and afterEnd were given it
    bool retrying = false;    // End: the unit gets another attempt
    std::string key;          // End: the key of the unit's row (TerminalRow::key)
    std::string note;         // Note: why a run could not start, or waits
};

// One row of the live table and one tile of the page: a socket (a mapped
// slot, else a USB location, else a port) and the unit in it, if any.
struct TerminalRow {
    std::string key;    // the slot's label, else its location, else its port
    std::string label;  // empty without a slot map
    std::string location;
    std::string port;  // empty while no unit is there
    std::string serial;
    // "empty", "settling", "queued", "running", "stopping", "done", "not a slot"
    std::string state;
    int percent = 0;
    std::int64_t pos = 0;
    std::int64_t max = 0;
    std::chrono::milliseconds elapsed{0};
    std::string lastResult;
    unsigned attempt = 0;  // of the running or last run; 0 before any
    unsigned successes = 0;
    unsigned failures = 0;
};

class Scheduler {
public:
    Scheduler(const PrivateScript& script, SchedulerConfig config);
    ~Scheduler();

    // The terminals one scan found. Only a complete scan can tell that a port
    // is gone, and a port counts as unplugged once two complete scans in a row
    // missed it (a running one keeps its run, which ends as its child reports).
    void Observe(const std::vector<Terminal>& present, bool complete, Clock::time_point now);
    // Takes the children's lines and ends, ends runs silent past the hang
    // limit, starts what the caps allow. Never waits.
    void Step(Clock::time_point now);
    // No new runs; every running child is asked to stop as a confirmed
    // "STOP?" would, killed if it has not ended after the grace time.
    void StopAll(Clock::time_point now);
    // No new runs; the running ones go on and end by themselves.
    void StartNoMore() { noMore_ = true; }
    // Kills every child still running; their runs end as "killed".
    void KillAll(Clock::time_point now);
    // While held no run starts (the log cannot be written).
    void Hold(bool held) { held_ = held; }

    // The children the caller's loop waits for.
    std::size_t running() const;
    std::size_t waiting() const;  // settling and queued
    unsigned started() const { return started_; }

    // What happened since the last call, in order: starts, progress, ends.
    std::vector<RunEvent> TakeEvents();
    std::vector<TerminalRow> Rows(Clock::time_point now) const;

private:
    enum class State { Settling, Queued, Running, Done, NotASlot };
    // One attempt of a run: the unit as it was when the run started, so a
    // port that comes back meanwhile does not rename it.
    struct Run {
        std::uint64_t id = 0;
        Terminal unit;
        std::string slot;
        unsigned attempt = 1;
        std::unique_ptr<RunChild> child;
        std::string folder;
        std::chrono::system_clock::time_point startUtc;
        Clock::time_point started;
        Clock::time_point lastEvent;
        std::optional<Clock::time_point> stopAsked;
        std::optional<Clock::time_point> killed;
        std::string stationWord;  // the station's own result, when it ended the run
        std::string word;
        std::string cause;
        std::int64_t pos = 0;
        std::int64_t max = 0;
        bool duplicateSerial = false;
    };
    // A unit at a port.
    struct Entry {
        Terminal terminal;
        std::size_t socket = 0;  // index into sockets_
        State state = State::Settling;
        Clock::time_point firstSeen;
        unsigned missed = 0;  // complete scans in a row without it
        bool present = true;
        std::optional<Terminal> replugged;  // a new unit that came to the port while the run went on
        unsigned attempts = 0;              // attempts started for this unit
        Run run;
        bool hasRun = false;
    };
    // A place units are plugged into; kept when they leave.
    struct Socket {
        std::string key, label, location, port, serial, lastResult;
        unsigned lastAttempt = 0, successes = 0, failures = 0;
        std::int64_t pos = 0, max = 0;
        std::chrono::milliseconds lastDuration{0};
    };

    Entry* Find(const std::string& port);
    void Arrive(const Terminal& terminal, Clock::time_point now);
    void Forget(const std::string& port);
    std::size_t SocketFor(const Terminal& terminal);
    bool MayStart() const;
    void StartQueued(Clock::time_point now);
    void Start(Entry& entry, Clock::time_point now);
    void TakeLines(Entry& entry, Clock::time_point now);
    void Finish(Entry& entry, const std::optional<ChildEnd>& end, Clock::time_point now);
    bool DuplicateSerial(const Entry& entry) const;

    const PrivateScript& script_;
    SchedulerConfig config_;
    std::vector<std::unique_ptr<Entry>> entries_;  // in order of arrival
    std::deque<std::string> queue_;                // ports waiting for a run
    std::vector<Socket> sockets_;
    bool stopping_ = false;
    bool noMore_ = false;
    bool held_ = false;
    unsigned started_ = 0;
    std::uint64_t nextRunId_ = 1;
    std::vector<RunEvent> events_;
};

}  // namespace station
