// What the benchmark reads off the machine and off a running process:
// order statistics of the turnarounds, a process's CPU time from /proc, and
// the machine's description for the table's head.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace vantrel::bench {

// The p-th percentile (0..100) by the nearest-rank rule; values need not be
// sorted. Throws std::invalid_argument for an empty set.
std::int64_t Percentile(std::vector<std::int64_t> values, double p);

// utime + stime of a process in clock ticks (/proc/PID/stat fields 14, 15);
// empty when the process is gone or the line cannot be read.
std::optional<std::uint64_t> CpuTicks(pid_t pid);
// Time all the process's threads spent on a CPU in nanoseconds (the first
// field of /proc/PID/task/*/schedstat; the process's own schedstat counts its
// main thread only), finer than the ticks; empty where the kernel has none.
std::optional<std::uint64_t> CpuNs(pid_t pid);
// The same per thread, by thread id in ascending order (thread ids grow in
// start order, so for vantrel-cli: the window thread, the presence monitor,
// the receive watcher).
std::vector<std::pair<pid_t, std::uint64_t>> ThreadCpuNs(pid_t pid);
// Reads the ticks from a stat line; the command name may hold spaces and
// parentheses, so the fields are counted from the last ')'.
std::optional<std::uint64_t> CpuTicksFromStat(const std::string& stat_line);

struct Machine {
    unsigned cpus = 0;
    std::string cpu_model;
    std::string date;  // local time, "YYYY-MM-DD HH:MM"
    std::string kernel;
    std::string load;  // /proc/loadavg's first three fields
};
Machine DescribeMachine();

}  // namespace vantrel::bench
