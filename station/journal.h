// The journal of runs in flight: a run is written here, through to the
// disk, before its child starts, and struck off once its log line is
// written. When the station dies (kill -9, a crash, a power cut) the runs it
// had in flight stay here, and the next start with the same log appends one
// "interrupted" line for each, so nothing is ever silently missing from the
// log. The file is held locked for the station's life: a second station on
// the same log is refused, and its runs are never taken for orphans.
//
// Lines, each written whole: "begin ID MS PORT LOCATION SLOT HWID SERIAL
// ATTEMPT SCRIPT_SIZE SCRIPT_SHA256 BAUD" (strings hex-encoded, so any device text fits on one line; MS the
// start in milliseconds since 1970) and "end ID". A line cut short by a crash
// is a run that never started. Not here: the log itself (log.h).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "station/host.h"
#include "station/record.h"

namespace station {

class Journal {
public:
    // Opens and locks path; empty with *error set.
    static std::unique_ptr<Journal> Open(const std::string& path, std::string* error);
    // The runs a station that ended without striking them off left behind,
    // as records: start, port, location, slot, hardware ID, serial, attempt.
    bool ReadOrphans(std::vector<RunRecord>* orphans, std::string* error);
    // Records a run about to start; false with *error set (then it must not start).
    bool Begin(std::uint64_t id, const RunRecord& starting, std::string* error);
    // Strikes a run off; once no run is in flight the file is emptied.
    bool End(std::uint64_t id, std::string* error);
    // Empties the file (the orphans are logged).
    bool Clear(std::string* error);
    std::size_t inFlight() const { return inFlight_; }

private:
    explicit Journal(std::unique_ptr<AppendFile> file) : file_(std::move(file)) {}
    std::unique_ptr<AppendFile> file_;
    std::size_t inFlight_ = 0;
};

// The "interrupted" line's record for an orphan found at `found`.
RunRecord InterruptedRecord(const RunRecord& orphan, std::chrono::system_clock::time_point found);

}  // namespace station
