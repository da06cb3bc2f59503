// The run log: one JSON object per finished run, appended as one line and
// flushed to the disk at once, so a crash or power cut loses at most the
// line being written. A device's own strings (serial number, hardware ID)
// go through the shared JSON escaper, so they cannot break a line.
// Not here: the journal of runs in flight (journal.h).
#pragma once

#include <cstdio>
#include <deque>
#include <memory>
#include <string>
#include <string_view>

#include "station/host.h"
#include "station/record.h"

namespace station {

// text as a JSON string with its quotes: '"' and '\' escaped, control
// characters (and DEL) as \n, \t ... or \u00XX, and every byte that is not
// part of valid UTF-8 as \ufffd; valid UTF-8 passes unchanged (the shared
// escaper, tools/text/json.h, with the UTF-8 policy).
std::string JsonString(std::string_view text);

// "2026-12-08T11:14:38.123Z" (tools/text/time.h)
std::string IsoUtc(std::chrono::system_clock::time_point at);

// The record's line, without the newline.
std::string JsonLine(const RunRecord& record);

// The log: one line per finished run, each written whole and through to
// the disk before the next. A line that cannot be written (a full disk, an
// I/O error) waits, and the station starts no run while any waits: no
// record, no run. Before each line the path is checked, so a rotated log is
// followed, and a fragment left by a failed write or a crash gets its
// newline first, so no two records are ever glued together.
class RunLog {
public:
    // Opens path for appending; empty with *error set ("opening the log x.log: Permission denied").
    static std::unique_ptr<RunLog> Open(const std::string& path, std::string* error);
    // Queues the record's line and writes every line waiting; false with
    // *error set when any still waits.
    bool Append(const RunRecord& record, std::string* error);
    bool AppendLine(const std::string& line, std::string* error);
    // Writes the lines waiting; false with *error set when any still waits.
    bool Flush(std::string* error);
    bool writable() const { return waiting_.empty(); }
    const std::deque<std::string>& waiting() const { return waiting_; }
    // The last bytes of the file (for the journal's check of what was logged).
    std::string Tail(std::size_t bytes);
    const std::string& path() const { return path_; }
    // Whether the log is a regular file (not a device such as /dev/full).
    bool regular() const { return file_->IsRegular(); }

private:
    RunLog(std::unique_ptr<AppendFile> file, std::string path) : file_(std::move(file)), path_(std::move(path)) {}
    std::unique_ptr<AppendFile> file_;
    std::string path_;
    std::deque<std::string> waiting_;
};

}  // namespace station
