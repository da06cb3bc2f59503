// The run log: one JSON object per finished run, appended as one line and
// flushed to the disk at once, so a crash or power cut loses at most the
// line being written. A device's own strings (serial number, hardware ID)
// go through the shared JSON escaper, so they cannot break a line.
// Not here: reading logs back, rotation.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

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

class RunLog {
 public:
  // Opens path for appending; empty with *error set ("opening x.log: Permission denied").
  static std::unique_ptr<RunLog> Open(const std::string& path, std::string* error);
  ~RunLog();
  // Appends the line and flushes it through to the disk; false with
  // *error set when that fails.
  bool Append(const RunRecord& record, std::string* error);

 private:
  RunLog(std::FILE* file, std::string path) : file_(file), path_(std::move(path)) {}
  std::FILE* file_;
  std::string path_;
};

}  // namespace station
