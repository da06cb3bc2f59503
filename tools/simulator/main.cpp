// vantrel-sim: the terminal simulator. Opens a pty (or, on Windows, the
// serial port named by --port), prints "port: NAME" and plays an upgrade
// script from the terminal's side while the upgrader (or a test acting as
// it) drives the other end as its serial port.
#include <charconv>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "tools/script_format.h"
#include "tools/simulator/fault.h"
#include "tools/simulator/line.h"
#include "tools/simulator/terminal.h"
#include "tools/system.h"
#include "tools/usage/program.h"

namespace {

using namespace tools::sim;

const usage::Program& SimProgram() {
    static const usage::Program program{
        "vantrel-sim",
        "a simulated terminal on a pty (or a serial port) that plays an upgrade script and can commit faults",
        {"--script FILE [--link PATH] [--fault IDX:KIND[:ARG]]... [--wait-reply-ms MS] [--idle-timeout-s S] "
         "[--expect-unplug] [--timing FILE] [--quiet]",
         "--script FILE --port COMn [--baud RATE] [--ignore-dsr] [--fault IDX:KIND[:ARG]]... [other options]"},
        "Opens a pseudo terminal, prints \"port: /dev/pts/N\" and answers on it as a terminal would while the "
        "upgrader (vantrel-cli, the window, or a test) plays the script to it as its serial port. At the end it "
        "prints \"sim: records=N payload_bytes=N mismatches=N faults=N\".\n\n"
        "Windows has no pseudo terminals: there the simulator plays on the serial port named by --port, one end of "
        "a null-modem cable or of a virtual port pair, while the upgrader opens the other end. It sees the "
        "upgrader open and close the port on DSR (the upgrader's DTR through the cable); on a port without modem "
        "lines, or with --ignore-dsr, it takes the upgrader to be there throughout. The faults unplug, replug and "
        "unplug-during-delay, and --link, need a pty and are refused there.\n\n"
        "A damaged script is played anyway, with a warning per problem: the terminal stops where the upgrader "
        "would, which is how the upgrader's handling of damaged scripts is tested.",
        {
            {"--script", "FILE", "The upgrade script to play (required)."},
            {"--link", "PATH", "Also make PATH a symbolic link to the pty."},
            {"--port", "COMn", "Windows: play on this serial port instead of a pty of our own."},
            {"--baud", "RATE", "With --port: the line speed, as the upgrader's (default 115200; 8N1)."},
            {"--ignore-dsr", "", "With --port: take the upgrader to be there throughout; for a cable without DSR."},
            {"--fault", "IDX:KIND[:ARG]",
             "Commit a fault at record IDX (from 0); may be repeated. KIND is one of noreply, status:XX, byte3:XX, "
             "split:K:GAPMS, extra:N, short:N, garbage:N, delay:MS, unplug, replug:PATH, noise-during-delay:N, "
             "unplug-during-delay, stall:MS."},
            {"--wait-reply-ms", "MS", "Wait MS milliseconds before each reply (0 to 600000)."},
            {"--idle-timeout-s", "S", "Give up when the upgrader is silent for S seconds (1 to 86400)."},
            {"--expect-unplug", "", "An unplug fault ends the run as expected (exit 0, not 4)."},
            {"--timing", "FILE", "Write each record's timing to FILE."},
            {"--quiet", "", "Print only the port line and the summary."},
        },
        {
            {"0", "the run was complete and every payload matched"},
            {"1", "the run was complete but a payload differed from the script"},
            {"2", "usage, an unreadable script, a fault that does not fit, or trouble with the pty or port"},
            {"3", "the upgrader left early, the idle timeout passed, or SIGINT/SIGTERM"},
            {"4", "an unplug fault without --expect-unplug"},
        },
        {},
    };
    return program;
}

int Usage(const std::string& why) { return usage::UsageError(SimProgram(), why); }

bool ParseUnsigned(const std::string& text, unsigned max, unsigned& out) {
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return !text.empty() && ec == std::errc() && ptr == text.data() + text.size() && out <= max;
}

bool NeedsPty(FaultKind kind) {
    return kind == FaultKind::Unplug || kind == FaultKind::Replug || kind == FaultKind::UnplugDuringDelay;
}

int Run(int argc, char** argv) {
    const std::vector<std::string> utf8 = tools::Utf8Arguments(argc, argv);
    std::vector<const char*> arg_pointers;
    for (const std::string& a : utf8)
        arg_pointers.push_back(a.c_str());
    const usage::Scan scan =
        usage::ScanArguments(SimProgram(), static_cast<int>(arg_pointers.size()), arg_pointers.data());
    if (scan.action != usage::Action::kRun)
        return usage::Finish(SimProgram(), scan);
    Options options;
    std::string line_option;  // the last option that goes with --port only
    for (const usage::Arg& a : scan.args) {
        const std::string& v = a.value;
        if (a.name == "--quiet") {
            options.quiet = true;
        } else if (a.name == "--expect-unplug") {
            options.expect_unplug = true;
        } else if (a.name == "--script") {
            options.script_path = v;
        } else if (a.name == "--timing") {
            options.timing_path = v;
        } else if (a.name == "--link") {
            options.link_path = v;
        } else if (a.name == "--port") {
            options.line.port = v;
        } else if (a.name == "--ignore-dsr") {
            options.line.ignore_dsr = true;
            line_option = a.name;
        } else if (a.name == "--baud") {
            if (!ParseUnsigned(v, 4000000, options.line.baud) || options.line.baud == 0)
                return Usage("--baud: '" + v + "' is not 1 to 4000000");
            line_option = a.name;
        } else if (a.name == "--fault") {
            try {
                options.faults.push_back(ParseFault(v));
            } catch (const std::invalid_argument& e) {
                return Usage(std::string("--fault: ") + e.what());
            }
        } else if (a.name == "--wait-reply-ms") {
            if (!ParseUnsigned(v, 600000, options.wait_reply_ms))
                return Usage("--wait-reply-ms: '" + v + "' is not 0 to 600000");
        } else if (a.name == "--idle-timeout-s") {
            if (!ParseUnsigned(v, 86400, options.idle_timeout_s) || options.idle_timeout_s == 0)
                return Usage("--idle-timeout-s: '" + v + "' is not 1 to 86400");
        }
    }
    if (options.script_path.empty())
        return Usage("--script is required");
    const LineAbilities can = Abilities();
    if (options.line.port.empty() && !can.own_pty) {
        return Usage(
            "--port is required: Windows has no pseudo terminals; name one end of a null-modem cable or "
            "of a virtual port pair");
    }
    if (!options.line.port.empty() && !can.named_port) {
        return Usage("--port: here the simulator makes a pty of its own; a named port is for the Windows build");
    }
    if (options.line.port.empty() && !line_option.empty())
        return Usage(line_option + " goes with --port only");
    if (!options.link_path.empty() && !can.unplug)
        return Usage("--link needs a pty; Windows has none");
    for (const Fault& f : options.faults) {
        if (NeedsPty(f.kind) && !can.unplug) {
            return Usage("fault '" + f.text +
                         "': pulling the port away needs a pty; a serial port cannot vanish "
                         "from here (unplug, replug and unplug-during-delay are refused on Windows)");
        }
    }

    const auto data = tools::ReadFileBytes(options.script_path);
    const auto script = tools::ParseScript(data);
    if (script.records.empty()) {
        std::cerr << "vantrel-sim: " << options.script_path << ": not an upgrade script: no record in it"
                  << (script.problems.empty() ? "" : " (" + script.problems.front().message + ")") << '\n';
        return kExitSetup;
    }
    for (const auto& p : script.problems) {
        // Played anyway: damaged scripts are how the upgrader's handling of
        // them gets tested. The terminal stops where the upgrader would.
        std::cerr << "vantrel-sim: warning: " << options.script_path << ": " << p.message << '\n';
    }
    for (const Fault& f : options.faults) {
        if (f.index >= script.records.size()) {
            return Usage("fault '" + f.text + "': the script has " + std::to_string(script.records.size()) +
                         " records");
        }
        const std::string misfit = FaultMisfit(f, script.records[f.index].command);
        if (!misfit.empty())
            return Usage("fault '" + f.text + "': " + misfit);
    }

    CatchStopSignals();

    Terminal terminal(data, options, std::cout);
    const Summary summary = terminal.Run();
    return terminal.ExitStatus(summary);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        std::cerr << "vantrel-sim: " << e.what() << '\n';
        return kExitSetup;
    }
}
