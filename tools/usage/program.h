// The command line of one of our programs, described once in a table: its
// synopsis, options, exit codes and a few paragraphs. Everything a user reads
// about the command line comes from that table: the --help text, the usage
// lines after a mistake, the --version line and the man page (roff, section
// 1, generated at build time through the hidden option --help-man). The
// argument scan is here too, so an unknown option or a missing value is
// reported the same way by every program.
//
// Not here: what an option means (each program interprets the values it is
// given and reports a bad one with UsageError), and any other output.
//
// Use:
//   const usage::Program& me = ...;            // the program's own table
//   usage::Scan scan = usage::ScanArguments(me, argc, argv);
//   if (scan.action != usage::Action::kRun) return usage::Finish(me, scan);
//   for (const usage::Arg& a : scan.args) ...  // in command-line order
//   ... return usage::UsageError(me, "--baud: no line speed '9600'");
//
// --help, --version and --help-man are handled for every program and need not
// be in its table. Plain C++ with no platform calls: Windows builds use it too.
#pragma once

#include <string>
#include <vector>

namespace usage {

inline constexpr int kExitUsage = 2;

struct Option {
    std::string name;   // "--port"; Qt's single-dash options ("-platform") work too
    std::string value;  // the value's placeholder ("TEXT"), empty for a flag
    std::string text;   // what it does, plain sentences
};

struct ExitCode {
    std::string code;  // "0", or a range such as "128+N"
    std::string meaning;
};

// A titled block of text for the man page and the end of --help ("FILES",
// "ENVIRONMENT", "OUTPUT"). Paragraphs are separated by "\n\n"; a paragraph
// whose lines start with two spaces is shown as it is (an example).
struct Section {
    std::string title;
    std::string text;
};

struct Program {
    std::string name;                   // "vantrel-cli"
    std::string summary;                // one line, lower case: "upgrade a terminal without a window"
    std::vector<std::string> synopsis;  // one form each, after the name: "[--port TEXT] [--list]"
    std::string description;            // paragraphs, "\n\n" between them
    std::vector<Option> options;
    std::vector<ExitCode> exitCodes;
    std::vector<Section> sections;
    // Words that stand alone on the command line (vantrel-script's verbs and
    // files). False: any argument that is not an option is a usage error.
    bool operands = false;
};

// The version of the source tree and the revision it was configured from
// ("v2.0.0-14-g1a2b3c4-dirty", or "unknown" without git).
const char* Version();
const char* Revision();

std::string HelpText(const Program& program);     // what --help prints
std::string UsageText(const Program& program);    // "usage: ..." lines, one per synopsis form
std::string VersionText(const Program& program);  // "vantrel-cli 2.0.0 (revision ...)\n"
std::string ManPage(const Program& program);      // roff for man(1), section 1

enum class Action { kRun, kHelp, kVersion, kManPage, kError };

struct Arg {
    std::string name;   // the option as in the table; empty for an operand
    std::string value;  // the option's value or the operand
};

struct Scan {
    Action action = Action::kRun;
    std::vector<Arg> args;  // kRun: in command-line order
    std::string error;      // kError: one line naming the argument and what is wrong
};

// Checks argv against the table: known options, a value where one is needed
// ("--port TEXT" or "--port=TEXT"), operands only where the program takes
// them. "--" ends the options. The scan stops at the first --help, --version
// or --help-man and returns that action; a mistake before it is reported.
Scan ScanArguments(const Program& program, int argc, const char* const* argv);

// Ends a scan that is not a run: help, version or man page on stdout (exit 0,
// or 1 when stdout cannot be written), or the error and the usage on stderr
// (exit 2).
int Finish(const Program& program, const Scan& scan);

// A value the program found wrong after the scan: "<name>: <why>" and the
// usage on stderr. Returns kExitUsage.
int UsageError(const Program& program, const std::string& why);

}  // namespace usage
