// Playing one script against the terminal simulator with one host program
// (vantrel-cli or the reference host), each in a child process, and what
// such a run yields: wall and CPU time, the simulator's timing file and, for
// vantrel-cli, its stage trace. Also the idle run: a pause with the port
// open, during which the host's CPU is read from /proc.
//
// Not here: the statistics (measure.h), the stage split (stages.h) and the
// table (main.cpp).
#pragma once

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "bench/stages.h"
#include "tools/simulator/timing.h"

namespace vantrel::bench {

// A directory of our own for the scripts and logs, removed at the end
// unless kept.
class WorkDir {
public:
    explicit WorkDir(bool keep);
    ~WorkDir();
    WorkDir(const WorkDir&) = delete;
    WorkDir& operator=(const WorkDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
    bool keep_;
};

// A host program: both take "--port PATH" and read upgrader.asc from their
// working directory.
struct Host {
    std::string name;     // for messages: "vantrel-cli", "reference"
    std::string program;  // its path
    // How it is asked for its stage stamps: none, VANTREL_STAGE_TRACE in its
    // environment (vantrel-cli), or a --stages FILE argument (the reference).
    enum class Stages { None, Environment, Argument } stages = Stages::None;
};

struct Played {
    double wall_s = 0;  // the host from start to exit
    double cpu_s = 0;   // the host's user + system time
    std::uint64_t payload_bytes = 0;
    std::vector<tools::sim::RecordTiming> timing;
    std::vector<StageStamp> stages;  // empty unless the host was traced
};

// Writes the script built from `description` (the script tool's text form)
// into `dir` and plays it. Throws std::runtime_error when the host fails,
// hangs past `limit`, or the simulator saw a wrong byte.
Played Play(const std::string& sim, const Host& host, const std::filesystem::path& dir, const std::string& description,
            std::chrono::seconds limit);

struct IdleCpu {
    double seconds = 0;
    double tick_ms = 0;              // from utime + stime, in clock ticks
    std::optional<double> sched_ms;  // from the threads' schedstat, finer
    std::vector<double> thread_ms;   // schedstat per thread, in start order

    // Share of one core in percent, from the finer figure where there is one.
    double percent() const { return (sched_ms ? *sched_ms : tick_ms) / 10.0 / seconds; }
};

// Plays "open, delay, close" with vantrel-cli (whose "status: ready loader!"
// line tells that the pause has begun) and reads its CPU over `seconds` in
// the middle of the pause.
IdleCpu MeasureIdle(const std::string& sim, const Host& host, const std::filesystem::path& dir, unsigned seconds);

// The CPU of a process that does nothing but wake every `every_ms` (the
// reference host's --wake-every), read over `seconds` like MeasureIdle: the
// floor of any wait bounded that way on this machine under its present load.
IdleCpu MeasureWakeFloor(const std::string& reference, unsigned every_ms, unsigned seconds);

}  // namespace vantrel::bench
