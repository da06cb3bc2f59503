// vantrel-cli's command line: the one table its --help, usage lines and man
// page come from (tools/usage), and the options read from argv.
#pragma once

#include <optional>
#include <string>

#include "tools/usage/program.h"

namespace cli {

struct Options {
    bool portGiven = false;
    std::wstring port;
    bool baudGiven = false;
    std::wstring baud;
    bool trace = false;
    bool list = false;
    bool verbose = false;
    bool json = false;
};

const usage::Program& CliProgram();

// Fills options from argv. Returns the exit code when the program ends here
// (--help, --version, a usage error already reported on stderr).
std::optional<int> ReadOptions(int argc, char** argv, Options& options);

}  // namespace cli
