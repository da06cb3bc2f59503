// The station's command line: what it reads, the usage text, and the
// checks on every value. Not here: what the options do.
#pragma once

#include <optional>
#include <string>
#include <vector>

namespace station {

struct Options {
  std::string script = "upgrader.asc";
  std::vector<std::string> ports;  // --ports: fixed ports instead of discovery
  std::string baud = "3686400";
  unsigned jobs = 0;               // 0: the number of processors
  std::string log;                 // empty: no log
  std::optional<unsigned> count;   // stop after this many runs have ended
  std::string cli;                 // empty: beside the station
  unsigned hangMarginSeconds = 10;
  unsigned pollMs = 75;
  bool help = false;
  bool version = false;
};

// Parses argv; empty with *error set ("--jobs: '0' is not a number from 1 to 1024").
std::optional<Options> ParseOptions(int argc, char** argv, std::string* error);

std::string UsageText();

}  // namespace station
