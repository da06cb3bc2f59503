// The simulated terminal: plays an upgrade script from the terminal's side
// over its line (line.h), record by record, as the upgrader drives it.
//
//   CMD_OPEN_PORT   wait for the host to open the port
//   CMD_WAIT        send a format-1 success frame once the upgrader has taken
//                   the record, plus a margin
//   CMD_SEND_F1/F2  read exactly the payload, compare it byte for byte, answer
//                   with a format-1 / format-2 success frame
//   CMD_DELAY       follow the upgrader's pause
//   CMD_CLOSE_PORT  wait for the host to close the port
//
// Faults (fault.h) bend the answers or pull the port away. Every wait is
// bounded: by the script's own timeline or by the idle timeout.
#pragma once

#include <chrono>
#include <cstdint>
#include <iosfwd>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tools/script_format.h"
#include "tools/simulator/fault.h"
#include "tools/simulator/line.h"
#include "tools/simulator/timeline.h"
#include "tools/simulator/timing.h"

namespace tools::sim {

struct Options {
    std::string script_path;
    std::string link_path;  // empty: no symlink
    LineSettings line;      // the port to play on (empty: a pty of our own)
    std::vector<Fault> faults;
    unsigned wait_reply_ms = 300;
    unsigned idle_timeout_s = 60;
    bool quiet = false;
    bool expect_unplug = false;
    std::string timing_path;  // empty: no timing file (timing.h)
};

// Exit statuses of vantrel-sim.
inline constexpr int kExitOk = 0;
inline constexpr int kExitMismatch = 1;    // run complete, payload differed
inline constexpr int kExitSetup = 2;       // usage, script or pty trouble
inline constexpr int kExitIncomplete = 3;  // host left early, idle timeout, interrupted
inline constexpr int kExitUnplugged = 4;   // unplug fault without --expect-unplug

struct Summary {
    std::size_t records = 0;  // records played to their end
    std::uint64_t payload_bytes = 0;
    std::uint64_t mismatches = 0;  // payload bytes that differed
    unsigned faults = 0;           // faults committed
    bool complete = false;         // every record played and the host closed
    bool unplugged = false;
};

class Terminal {
public:
    // `data` is the whole script file and must outlive the terminal; `out`
    // receives the port line, reports and the summary.
    Terminal(std::span<const std::uint8_t> data, Options options, std::ostream& out);

    // Plays the script; throws std::runtime_error for trouble with the line.
    Summary Run();

    int ExitStatus(const Summary& s) const;

private:
    enum class Wait { Done, HostClosed, TimedOut, Interrupted };

    void Plug(const std::string& link_path);
    void Say(const std::string& line, bool always = false);
    std::string Where(const Record& r) const;

    // Reads and reports whatever the host sends until `until`. HostClosed if
    // the host closes the port while `need_open` (else it is just noted).
    Wait Idle(const Record* r, Timeline::TimePoint until, bool need_open);
    Wait WaitHostOpen();
    Wait WaitHostClose(const Record* r);
    Wait ReadPayload(const Record& r, std::vector<std::uint8_t>& got);
    Wait SendReply(const Record& r);
    bool WriteAll(std::span<const std::uint8_t> bytes);
    void ReportUnexpected(const Record* r, std::span<const std::uint8_t> bytes);
    bool Failed(Wait w, const Record* r, const char* doing);
    unsigned DelayOf(const Record& r);

    std::span<const std::uint8_t> data_;
    Options options_;
    std::ostream& out_;
    Line line_;
    Symlink link_;
    std::optional<Symlink> replug_link_;
    bool host_open_ = false;
    Timeline timeline_{Timeline::Clock::now()};
    Summary summary_;
    TimingLog timing_;
};

// Set from a signal handler to end the run cleanly (links removed).
void RequestStop();

}  // namespace tools::sim
