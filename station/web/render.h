// What the server sends, made from the board: the status and runs JSON,
// one event-stream message, and the Prometheus text exposition. Pure
// functions, so that each shape is tested without a socket. Not here:
// HTTP, authentication.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "station/board.h"

namespace station::web {

// GET /api/v1/status: the station, the script, the totals and every slot.
// Device strings are JSON-escaped; bytes that are not UTF-8 become U+FFFD.
std::string StatusJson(const StationState& state, std::uint64_t lastSeq);

// A run's log line with ,"seq":N added as its last field; every field of
// the line stays as written.
std::string RunWithSeq(const Board::Run& run);

// GET /api/v1/runs: {"runs":[...],"next":N,"first_held":M}; next is the
// since to ask with for the runs after these.
std::string RunsJson(const std::vector<Board::Run>& runs, std::uint64_t since, std::uint64_t firstHeld);

// One server-sent event; data lines split at newlines, as the format asks.
std::string EventMessage(const std::string& event, const std::string& data, std::uint64_t id = 0);

// A Prometheus label value: backslash, quote and newline escaped, bytes
// that are not UTF-8 and other control characters replaced by U+FFFD.
std::string PrometheusLabel(const std::string& text);

// GET /metrics.
std::string MetricsText(const StationState& state, const Board::Counters& counters);

// {"error":"..."} for the error statuses.
std::string ErrorJson(const std::string& message);

}  // namespace station::web
