// vantrel-station: upgrades every known terminal plugged in, several at
// once, unattended, one vantrel-cli child per run, with a JSON log line per
// finished run. This file holds the program's order of things: options,
// paths, slot map, log and journal (with the runs a dead station left in
// flight), script, the loop that finds terminals, waits for the children and
// steps the scheduler, and the ending. Not here: the parts themselves
// (options, discovery, script, runs, log, journal, output, screen, summary
// each have their file; host_*.cpp the OS part).
//
//   vantrel-station [--jobs N] [--ports LIST] [--baud RATE] [--log FILE] [--count N] ...
#include <algorithm>
#include <cstdio>
#include <deque>
#include <string>

#include "station/board.h"
#include "station/discovery.h"
#include "station/host.h"
#include "station/journal.h"
#include "station/log.h"
#include "station/options.h"
#include "station/output.h"
#include "station/runs.h"
#include "station/screen.h"
#include "station/script.h"
#include "station/slots.h"
#include "station/summary.h"
#include "station/web/server.h"

namespace {

using namespace station;

constexpr int kExitFailed = 1;
constexpr int kExitUsage = 2;
constexpr int kExitScript = 3;
constexpr int kExitHangup = 129;

// How often lines that could not be written to the log are tried again.
constexpr std::chrono::seconds kLogRetry{3};
// How long the ending waits for a stalled stdout to take the summary.
constexpr std::chrono::seconds kStdoutDrain{2};

StopSignals g_signals;

void Complain(const std::string& text) { std::fprintf(stderr, "vantrel-station: %s\n", text.c_str()); }

std::string FindCli(const Options& options) {
    if (!options.cli.empty())
        return AbsolutePath(options.cli);
    const std::string here = ExecutableDir();
    if (here.empty())
        return CliFileName();
    const std::string beside = here + "/" + CliFileName();
    // In the build tree the two programs sit in sibling folders.
    const std::string built = here + "/../cli/" + CliFileName();
    if (CheckRunnable(beside).empty())
        return beside;
    if (CheckRunnable(built).empty())
        return built;
    return beside;
}

// The runs' children start in folders of their own: a path the operator gave
// relative to where the station was started must not be read from there.
void ResolvePaths(Options* options) {
    options->script = AbsolutePath(options->script);
    for (std::string& port : options->ports) {
        if (port.find('/') != std::string::npos)
            port = AbsolutePath(port);
    }
}

// The log, its journal, and the lines waiting for the log.
struct Records {
    std::unique_ptr<RunLog> log;
    std::unique_ptr<Journal> journal;
    std::deque<std::uint64_t> unstruck;  // ended runs whose log line still waits
    Clock::time_point nextTry{};
    Clock::time_point journalHeldUntil{};  // a run the journal could not take: none starts before then
    std::string lastError;

    bool mayStart(Clock::time_point now) const { return (!log || log->writable()) && now >= journalHeldUntil; }

    void Failure(const std::string& error, Screen* screen) {
        lastError = error;
        Complain(error + "; no run starts until it can be written");
        if (screen != nullptr)
            screen->Note(error + "; no run starts until it can be written");
    }

    // The journal's entries of runs whose line is now in the log.
    void Strike(Screen* screen) {
        if (!journal) {
            unstruck.clear();
            return;
        }
        while (!unstruck.empty() && log->writable()) {
            std::string error;
            if (!journal->End(unstruck.front(), &error)) {
                Complain(error);
                if (screen != nullptr)
                    screen->Note(error);
            }
            unstruck.pop_front();
        }
    }

    void Add(const RunRecord& r, std::uint64_t runId, Screen* screen, Clock::time_point now) {
        if (!log)
            return;
        unstruck.push_back(runId);
        std::string error;
        if (!log->Append(r, &error)) {
            Failure(error, screen);
            nextTry = now + kLogRetry;
        }
        Strike(screen);
    }

    void Retry(Screen* screen, Clock::time_point now) {
        if (!log || log->writable() || now < nextTry)
            return;
        std::string error;
        if (log->Flush(&error)) {
            if (screen != nullptr)
                screen->Note("the log can be written again");
            Strike(screen);
        } else {
            Failure(error, screen);
            nextTry = now + kLogRetry;
        }
    }
};

// Opens the log and the journal, and logs the runs a station that died left
// in flight. Returns the exit code when the station cannot go on.
std::optional<int> OpenRecords(const Options& options, Records* records) {
    if (options.log.empty())
        return std::nullopt;
    std::string error;
    records->log = RunLog::Open(options.log, &error);
    if (!records->log) {
        Complain(error);
        return kExitUsage;
    }
    std::string journalPath = options.journal;
    if (journalPath.empty() && records->log->regular())
        journalPath = options.log + ".inflight";
    if (journalPath.empty())
        return std::nullopt;
    records->journal = Journal::Open(journalPath, &error);
    if (!records->journal) {
        Complain(error);
        return kExitUsage;
    }
    std::vector<RunRecord> orphans;
    if (!records->journal->ReadOrphans(&orphans, &error)) {
        Complain(error);
        return kExitUsage;
    }
    if (orphans.empty())
        return std::nullopt;
    const auto found = std::chrono::system_clock::now();
    // A run whose line reached the log just before the station died is no
    // orphan: its start time and port are in the log's last lines.
    const std::string tail = records->log->Tail(1 << 20);
    for (const RunRecord& orphan : orphans) {
        const RunRecord r = InterruptedRecord(orphan, found);
        const std::string line = JsonLine(r);
        const std::string logged = "{\"start\":" + JsonString(IsoUtc(r.start)) + ",";
        const std::string port = "\"port\":" + JsonString(r.port) + ",";
        bool inLog = false;
        for (std::size_t at = tail.find(logged); at != std::string::npos && !inLog; at = tail.find(logged, at + 1)) {
            const std::size_t end = tail.find('\n', at);
            inLog = tail.substr(at, end == std::string::npos ? std::string::npos : end - at).find(port) !=
                    std::string::npos;
        }
        if (inLog)
            continue;
        if (!records->log->AppendLine(line, &error)) {
            Complain(error + "; the runs the last station left in flight are not logged yet");
            return kExitFailed;
        }
        Complain("a run the last station left in flight was logged as interrupted: " + r.port +
                 (r.serial.empty() ? "" : " serial " + r.serial));
    }
    if (!records->journal->Clear(&error)) {
        Complain(error);
        return kExitFailed;
    }
    return std::nullopt;
}

// What the page and the API show: the rows and the totals.
StationState Snapshot(const Options& options, const PrivateScript& script, const Scheduler& scheduler,
                      const std::vector<TerminalRow>& rows, const Summary& summary, const Records& records,
                      Clock::time_point since, Clock::time_point now) {
    StationState state;
    static const std::string host = HostName();
    state.host = host;
    state.uptimeSeconds = std::chrono::duration<double>(now - since).count();
    state.scriptName = options.script;
    state.scriptSize = script.size();
    state.scriptSha256 = script.sha256();
    state.passed = summary.successes();
    state.failed = summary.failures();
    state.unitsPerHour = summary.TerminalsPerHour(now);
    state.running = static_cast<unsigned>(scheduler.running());
    state.waiting = static_cast<unsigned>(scheduler.waiting());
    state.logWritable = !records.log || records.log->writable();
    for (const TerminalRow& row : rows) {
        SlotState slot;
        slot.key = row.key;
        slot.label = row.label;
        slot.location = row.location;
        slot.port = row.port;
        slot.serial = row.serial;
        if (row.state == "running" || row.state == "stopping") {
            slot.state = "running";
        } else if (row.state == "not a slot") {
            slot.state = "not-a-slot";
        } else if (row.state == "done" || (row.state == "empty" && !row.lastResult.empty())) {
            slot.state = row.lastResult == "success" ? "success" : "failed";
        } else {
            slot.state = "waiting";
        }
        slot.position = row.pos;
        slot.total = row.max;
        slot.result = row.lastResult;
        slot.elapsedSeconds = std::chrono::duration<double>(row.elapsed).count();
        slot.attempt = row.attempt;
        slot.retries = options.retries;
        slot.successes = row.successes;
        slot.failures = row.failures;
        state.slots.push_back(std::move(slot));
    }
    return state;
}

Scan LookForTerminals(const Options& options) {
    return options.ports.empty() ? FindTerminals() : PresentListedPorts(options.ports);
}

}  // namespace

int main(int argc, char** argv) {
    Options options;
    if (const auto end = ParseOptions(argc, argv, &options))
        return *end;
    ResolvePaths(&options);
    std::string error;

    const std::string cli = FindCli(options);
    if (const std::string why = CheckRunnable(cli); !why.empty()) {
        Complain("the vantrel-cli to run cannot be used, nothing started: " + why);
        return kExitUsage;
    }
    std::optional<SlotMap> slots;
    if (!options.slots.empty()) {
        slots = SlotMap::Load(options.slots, &error);
        if (!slots) {
            Complain("the slot map cannot be used, nothing started: " + error);
            return kExitUsage;
        }
    }
    Records records;
    if (const auto end = OpenRecords(options, &records))
        return *end;
    const auto script = PrivateScript::Prepare(options.script, &error);
    if (!script) {
        Complain("the script cannot be used, nothing started: " + error);
        return kExitScript;
    }

    // The page and the API: their own threads, fed by one cheap call a pass.
    Board board(options.httpHistory);
    std::unique_ptr<web::Server> server;
    if (options.http) {
        server = std::make_unique<web::Server>(board, web::ServerConfig{options.httpAddress, options.httpToken});
        if (const std::string why = server->Start(); !why.empty()) {
            Complain("the web page cannot be served, nothing started: " + why);
            return kExitUsage;
        }
    }

    Output out(WriteStdout);
    const bool live = StdoutIsTerminal();
    if (live)
        EnableTerminalSequences();
    auto screen = live ? MakeLiveTable(out) : MakeEventLines(out);

    SchedulerConfig config;
    config.cli = cli;
    config.baud = options.baud;
    config.jobs = options.jobs ? *options.jobs : DefaultJobs();
    config.count = options.count;
    config.retries = options.retries;
    config.hangLimit = script->longestQuiet() + std::chrono::seconds(options.hangMarginSeconds);
    config.slots = slots;
    config.startChild = [](const std::vector<std::string>& argv, const std::string& cwd, std::string* why) {
        return ChildHost::Get().Start(argv, cwd, why);
    };
    config.portReady = PortReady;
    config.beforeStart = [&](const RunRecord& starting, std::uint64_t id) {
        if (!records.journal)
            return true;
        std::string why;
        if (records.journal->Begin(id, starting, &why))
            return true;
        // No record, no run: a run the journal cannot hold would be lost with
        // the station.
        records.Failure(why, screen.get());
        records.journalHeldUntil = Clock::now() + kLogRetry;
        return false;
    };
    Scheduler scheduler(*script, config);

    screen->Note("script " + options.script + " " + std::to_string(script->size()) + " bytes sha256 " +
                 script->sha256() + "; " +
                 (config.jobs == 0 ? std::string("every unit") : std::to_string(config.jobs)) + " at once" +
                 (options.retries > 0 ? "; " + std::to_string(options.retries) + " retries" : ""));

    CatchSignals(&g_signals);
    const auto since = Clock::now();
    Summary summary(since);
    const std::chrono::milliseconds poll(options.pollMs);
    auto nextLook = Clock::now();
    bool stopping = false, killing = false, hangup = false;
    for (;;) {
        auto now = Clock::now();
        const int stops = g_signals.stops.load();
        if (stops >= 1 && !stopping) {
            stopping = true;
            scheduler.StopAll(now);
        }
        if (stops >= 2 && !killing) {
            // Asked again while waiting for the runs to stop: stop waiting.
            killing = true;
            scheduler.KillAll(now);
        }
        if ((g_signals.hangup.load() || out.gone()) && !hangup) {
            // The terminal closed or the reader went away: a unit mid-flash is
            // never cut for that. The running runs end by themselves and are
            // logged; nothing new starts.
            hangup = true;
            scheduler.StartNoMore();
            Complain(g_signals.hangup.load() ? "hangup: no new runs; the running ones end by themselves"
                                             : "stdout is gone: no new runs; the running ones end by themselves");
        }
        records.Retry(screen.get(), now);
        scheduler.Hold(!records.mayStart(now));
        const bool countReached = options.count && scheduler.started() >= *options.count;
        if (!stopping && !hangup && !countReached && now >= nextLook) {
            const Scan scan = LookForTerminals(options);
            scheduler.Observe(scan.terminals, scan.complete, Clock::now());
            nextLook = Clock::now() + poll;
        }
        now = Clock::now();
        const auto untilLook = std::chrono::duration_cast<std::chrono::milliseconds>(nextLook - now);
        ChildHost::Get().Wait(std::clamp(untilLook, std::chrono::milliseconds(1), poll));
        now = Clock::now();
        scheduler.Step(now);
        for (const RunEvent& e : scheduler.TakeEvents()) {
            if (e.kind == RunEvent::Kind::Note) {
                screen->Note(e.note);
                continue;
            }
            if (e.kind != RunEvent::Kind::End) {
                screen->Event(e);
                continue;
            }
            summary.Add(e.record, e.retrying);
            screen->End(e.record);
            records.Add(e.record, e.runId, screen.get(), now);
            if (server) {
                board.AddRun(JsonLine(e.record), e.key, e.record.result,
                             std::chrono::duration<double>(e.record.end - e.record.start).count());
            }
        }
        // The rows once a pass, for the table and the page alike.
        if (!hangup || server) {
            const auto rows = scheduler.Rows(now);
            if (!hangup)
                screen->Refresh(rows, summary.Text(now), false);
            if (server)
                board.Publish(Snapshot(options, *script, scheduler, rows, summary, records, since, now));
        }
        const bool done = stopping || hangup || (options.count && summary.runs() >= *options.count);
        if (scheduler.running() == 0 && done)
            break;
    }
    const auto now = Clock::now();
    const auto rows = scheduler.Rows(now);
    screen->Summary(rows, summary.Text(now));
    out.Drain(kStdoutDrain);
    int code = stopping ? summary.ExitCode(true) : hangup ? kExitHangup : summary.ExitCode(false);
    if (records.log && !records.log->writable()) {
        // The records that never reached the log go to stderr, whole, so a
        // person can save them.
        Complain(std::to_string(records.log->waiting().size()) + " log line(s) could not be written (" +
                 records.lastError + "); here they are:");
        for (const std::string& line : records.log->waiting())
            std::fprintf(stderr, "%s\n", line.c_str());
        std::fflush(stderr);
    }
    if (records.log && !records.log->writable())
        code = kExitFailed;
    if (server) {
        board.Publish(Snapshot(options, *script, scheduler, rows, summary, records, since, now));
        board.Close();
        server->Stop();
    }
    StationFinished();
    return code;
}
