// vantrel-cli's command-line table and its reading. The exit codes listed
// here are the ones main.cpp's result table returns.
#include "cli/options.h"

#include "cli/host.h"

namespace cli {

const usage::Program& CliProgram() {
    static const usage::Program program{
        "vantrel-cli",
        "upgrade a point-of-sale terminal without a window",
        {"[--port TEXT] [--baud RATE] [--trace] [--json]", "--list [--verbose] [--json]"},
        "Plays the upgrade script upgrader.asc from the current directory to the terminal, record by record, as "
        "the window does when its operator presses \"loader\", and reports each step.\n\n"
        "When stdout is a terminal, one progress line is redrawn in place: percent, bytes sent of the total, "
        "rate, elapsed time, time left and the status text; the run ends with the result in words and the exit "
        "code. Otherwise stdout has one line per event, which scripts may rely on:\n\n"
        "  connect: <text>\n  status: <text>\n  progress: <sent>/<total>\n  message: <text>\n  result: <word>\n\n"
        "With --json, each of the same events is one JSON object on a line of its own, with a time stamp.",
        {
            {"--port", "TEXT",
             "The port as an operator would type it into the port box: ttyACM0, ttyUSB0 or a path such as "
             "/dev/pts/7 (COM7 on Windows). Default \"Auto Detect\": wait up to 15 s for a known terminal."},
            {"--baud", "RATE", "The line speed: 3686400 or 115200. Default 3686400."},
            {"--trace", "", "Write the trace lines to stderr as UTF-8."},
            {"--list", "",
             "Print the port box's entries (\"port: <name>\") and the terminal found (\"terminal: <name>\" or "
             "\"terminal: none\"), then exit."},
            {"--verbose", "",
             "With --list: for every present port also its hardware IDs and friendly name, whether this user "
             "can open it (and if not, why and what to do), and whether it matches a row of the table of known "
             "terminals (and if not, why). Opens each port briefly."},
            {"--json", "", "Print one JSON object per event instead of lines, for programs."},
        },
        {
            {"0", "success: the terminal was upgraded (or the list was printed)"},
            {"1", "the dialog could not be created, or stdout could not be written"},
            {"2", "usage: an unknown option, a missing or bad value, an unknown line speed"},
            {"3", "no-script: upgrader.asc is missing or unreadable"},
            {"4", "port-open-failed: the port could not be opened (the cause is on stderr)"},
            {"5", "wait-timeout: no terminal appeared within 15 s"},
            {"6", "reply-timeout: the terminal stopped answering"},
            {"7", "format1-refused: the terminal refused the script (format 1)"},
            {"8", "format2-refused: the terminal refused the script (format 2)"},
            {"9", "bad-command or malformed-script: the script is not one the terminal can take"},
            {"10", "write-failed: writing to the port failed"},
            {"130", "interrupted: SIGINT or SIGTERM stopped the run, as a confirmed \"STOP?\" would"},
        },
        {
            {"files",
             "upgrader.asc in the current directory: the upgrade script.\n\n"
             "/usr/lib/udev/rules.d/70-vantrel-terminals.rules: lets the logged-in user open the terminals and "
             "keeps ModemManager away from them. Without it, the user needs the group dialout."},
            {"environment",
             "VANTREL_TRACE=1 writes the trace to stderr, VANTREL_TRACE=/path/file appends it to a file."},
        },
    };
    return program;
}

std::optional<int> ReadOptions(int argc, char** argv, Options& o) {
    const usage::Program& program = CliProgram();
    const usage::Scan scan = usage::ScanArguments(program, argc, argv);
    if (scan.action != usage::Action::kRun)
        return usage::Finish(program, scan);
    for (const usage::Arg& a : scan.args) {
        if (a.name == "--port") {
            o.portGiven = true;
            o.port = Wide(a.value.c_str());
        } else if (a.name == "--baud") {
            o.baudGiven = true;
            o.baud = Wide(a.value.c_str());
        } else if (a.name == "--trace") {
            o.trace = true;
        } else if (a.name == "--list") {
            o.list = true;
        } else if (a.name == "--verbose") {
            o.verbose = true;
        } else if (a.name == "--json") {
            o.json = true;
        }
    }
    if (o.verbose && !o.list)
        return usage::UsageError(program, "--verbose goes with --list");
    return std::nullopt;
}

}  // namespace cli
