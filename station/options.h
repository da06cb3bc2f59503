// The station's command line: its table for the shared usage library (help,
// version, man page, the argument scan) and the checks on every value. Not
// here: what the options do.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "station/web/config.h"
#include "tools/usage/program.h"

namespace station {

struct Options {
    std::string script = "upgrader.asc";
    std::vector<std::string> ports;  // --ports: fixed ports instead of discovery
    std::string baud = "3686400";
    std::optional<unsigned> jobs;  // empty: the platform's default (every unit present; Windows: the processors)
    std::string log;               // empty: no log
    std::string journal;           // empty: LOG.inflight beside a log that is a regular file
    std::string slots;             // --slots: the slot map's file; empty: none
    unsigned retries = 0;
    bool http = false;  // --http given: serve the page and the API
    web::HttpAddress httpAddress;
    std::string httpToken;  // the secret read from --http-token's file
    std::size_t httpHistory = web::kDefaultHistory;
    std::optional<unsigned> count;  // stop after this many runs have ended
    std::string cli;                // empty: beside the station
    unsigned hangMarginSeconds = 10;
    unsigned pollMs = 75;
};

const usage::Program& StationProgram();

// Reads argv into *options. Returns the exit code when the program is to end
// here (help or version printed: 0; a mistake reported with the usage: 2),
// empty when it is to run.
std::optional<int> ParseOptions(int argc, char** argv, Options* options);

}  // namespace station
