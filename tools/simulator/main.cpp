// vantrel-sim: the terminal simulator. Opens a pty, prints "port: /dev/pts/N"
// and plays an upgrade script from the terminal's side while the upgrader
// (or a test acting as it) drives the slave as its serial port.
#include <signal.h>

#include <charconv>
#include <cstring>
#include <exception>
#include <iostream>
#include <string>

#include "tools/script_format.h"
#include "tools/simulator/fault.h"
#include "tools/simulator/terminal.h"

namespace {

using namespace tools::sim;

int Usage(const std::string& why) {
  if (!why.empty()) std::cerr << "vantrel-sim: " << why << '\n';
  std::cerr << "usage: vantrel-sim --script FILE [--link PATH] [--fault IDX:KIND[:ARG]]...\n"
               "                   [--wait-reply-ms MS] [--idle-timeout-s S] [--expect-unplug]\n"
               "                   [--timing FILE] [--quiet]\n"
               "faults: noreply status:XX byte3:XX split:K:GAPMS extra:N short:N garbage:N\n"
               "        delay:MS unplug replug:PATH noise-during-delay:N\n";
  return kExitSetup;
}

bool ParseUnsigned(const char* text, unsigned max, unsigned& out) {
  const char* end = text + std::strlen(text);
  auto [ptr, ec] = std::from_chars(text, end, out);
  return *text && ec == std::errc() && ptr == end && out <= max;
}

void OnSignal(int) { RequestStop(); }

int Run(int argc, char** argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    auto value = [&]() -> const char* {
      if (i + 1 >= argc) return nullptr;
      return argv[++i];
    };
    if (arg == "--quiet") {
      options.quiet = true;
    } else if (arg == "--expect-unplug") {
      options.expect_unplug = true;
    } else if (arg == "--script" || arg == "--link" || arg == "--fault" ||
               arg == "--wait-reply-ms" || arg == "--idle-timeout-s" || arg == "--timing") {
      const char* v = value();
      if (!v) return Usage(arg + " needs a value");
      if (arg == "--script") {
        options.script_path = v;
      } else if (arg == "--timing") {
        options.timing_path = v;
      } else if (arg == "--link") {
        options.link_path = v;
      } else if (arg == "--fault") {
        try {
          options.faults.push_back(ParseFault(v));
        } catch (const std::invalid_argument& e) {
          return Usage(e.what());
        }
      } else if (arg == "--wait-reply-ms") {
        if (!ParseUnsigned(v, 600000, options.wait_reply_ms)) return Usage("bad --wait-reply-ms");
      } else if (!ParseUnsigned(v, 86400, options.idle_timeout_s) || options.idle_timeout_s == 0) {
        return Usage("bad --idle-timeout-s");
      }
    } else {
      return Usage("unknown argument '" + arg + "'");
    }
  }
  if (options.script_path.empty()) return Usage("--script is required");

  const auto data = tools::ReadFileBytes(options.script_path);
  const auto script = tools::ParseScript(data);
  for (const auto& p : script.problems) {
    // Played anyway: damaged scripts are how the upgrader's handling of
    // them gets tested. The terminal stops where the upgrader would.
    std::cerr << "vantrel-sim: warning: " << options.script_path << ": " << p.message << '\n';
  }
  for (const Fault& f : options.faults) {
    if (f.index >= script.records.size()) {
      return Usage("fault '" + f.text + "': the script has " +
                   std::to_string(script.records.size()) + " records");
    }
    const std::string misfit = FaultMisfit(f, script.records[f.index].command);
    if (!misfit.empty()) return Usage("fault '" + f.text + "': " + misfit);
  }

  struct sigaction sa {};
  sa.sa_handler = OnSignal;
  sigemptyset(&sa.sa_mask);
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);

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
