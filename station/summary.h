// The totals of a station session: runs per result word, terminals per
// hour, payload bytes, and the exit code they make. Not here: printing.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <string>

#include "station/record.h"

namespace station {

class Summary {
public:
    explicit Summary(std::chrono::steady_clock::time_point since) : since_(since) {}
    // retrying: the unit gets another attempt, so this failure alone does not
    // fail the session.
    void Add(const RunRecord& record, bool retrying = false);

    unsigned runs() const { return runs_; }
    unsigned successes() const { return successes_; }
    unsigned failures() const { return runs_ - successes_; }
    std::uint64_t bytes() const { return bytes_; }
    const std::map<std::string, unsigned>& byResult() const { return byResult_; }
    // Terminals upgraded successfully per hour of the session so far.
    double TerminalsPerHour(std::chrono::steady_clock::time_point now) const;
    // "runs=4 reply-timeout=1 success=3 terminals/h=720.0 bytes=123456
    // station_cpu_s=0.210" (the station's own CPU, its children not counted);
    // the result words are the child's or the station's own, never a
    // device's.
    std::string Text(std::chrono::steady_clock::time_point now) const;
    // 130 when interrupted, else 0 when every unit's last run succeeded, 1 otherwise.
    int ExitCode(bool interrupted) const;

private:
    std::chrono::steady_clock::time_point since_;
    unsigned runs_ = 0;
    unsigned successes_ = 0;
    std::uint64_t bytes_ = 0;
    unsigned retried_ = 0;
    std::map<std::string, unsigned> byResult_;
};

}  // namespace station
