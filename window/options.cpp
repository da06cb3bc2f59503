// The window program's command line (vantrel on Linux, Vantrel.exe on Windows): its one table for --help,
// --version and the man page (tools/usage), read before the window starts.
// The window itself takes no options of its own; a window toolkit may read
// its own from the command line (Qt's -platform, -style, ...), so those are
// accepted here and passed on untouched (window/toolkit.h).
#include "framework/entry.h"
#include "tools/usage/program.h"
#include "window/toolkit.h"

namespace {

const usage::Program& WindowProgram() {
    static const usage::Program program{
        VANTREL_WINDOW_NAME,
        "upgrade a point-of-sale terminal attached over USB, in a window",
        {ToolkitSynopsis()},
        "The operator picks a port (or \"Auto Detect\") and a line speed and presses \"loader\"; the window "
        "plays the upgrade script upgrader.asc from the current directory record by record, shows progress and "
        "status, and can wait for the terminal to be plugged in.\n\n"
        "vantrel-cli does the same without a window.",
        ToolkitOptions(),
        {
            {"0", "the window was closed"},
            {"2", "usage: an unknown option or a missing value"},
        },
        {
            {"files", "upgrader.asc in the current directory: the upgrade script."},
            {"environment",
             std::string("VANTREL_TRACE=1 writes the trace to stderr, VANTREL_TRACE=/path/file appends it to a "
                         "file (Linux; on Windows the trace goes to the debugger output).") +
                 ToolkitEnvironment()},
        },
    };
    return program;
}

}  // namespace

int ReadWindowCommandLine(int argc, char** argv) {
    const usage::Scan scan = usage::ScanArguments(WindowProgram(), argc, argv);
    if (scan.action == usage::Action::kRun)
        return -1;
    return usage::Finish(WindowProgram(), scan);
}
