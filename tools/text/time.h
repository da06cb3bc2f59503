// The time stamp of every log line and JSON event: UTC to the millisecond,
// "2026-12-08T11:14:38.123Z". Computed with the calendar of <chrono>, so no
// time zone, locale or non-reentrant gmtime is involved. Not here: local
// times or durations.
#pragma once

#include <chrono>
#include <string>

namespace text {

std::string IsoUtc(std::chrono::system_clock::time_point at);

}  // namespace text
