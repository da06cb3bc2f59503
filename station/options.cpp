// vantrel-station's command line.
#include "station/options.h"

#include <charconv>

namespace station {
namespace {

bool ParseCount(const std::string& text, unsigned min, unsigned max, unsigned* out) {
  unsigned value = 0;
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  if (text.empty() || ec != std::errc() || ptr != end || value < min || value > max) return false;
  *out = value;
  return true;
}

std::vector<std::string> SplitList(const std::string& text) {
  std::vector<std::string> items;
  std::size_t at = 0;
  while (at <= text.size()) {
    std::size_t comma = text.find(',', at);
    if (comma == std::string::npos) comma = text.size();
    items.push_back(text.substr(at, comma - at));
    at = comma + 1;
  }
  return items;
}

// Empty when the value is good, else why not.
std::string Apply(const usage::Arg& a, Options* o) {
  const std::string& v = a.value;
  const auto bad = [&](const std::string& why) { return a.name + ": '" + v + "' " + why; };
  if (a.name == "--jobs") {
    if (!ParseCount(v, 1, 1024, &o->jobs)) return bad("is not a number from 1 to 1024");
  } else if (a.name == "--count") {
    unsigned n = 0;
    if (!ParseCount(v, 1, 1000000000, &n)) return bad("is not a number of at least 1");
    o->count = n;
  } else if (a.name == "--hang-margin") {
    if (!ParseCount(v, 1, 3600, &o->hangMarginSeconds)) return bad("is not a number of seconds from 1 to 3600");
  } else if (a.name == "--poll-ms") {
    if (!ParseCount(v, 10, 10000, &o->pollMs)) return bad("is not a number from 10 to 10000");
  } else if (a.name == "--baud") {
    if (v != "3686400" && v != "115200") return bad("is no line speed (3686400 or 115200)");
    o->baud = v;
  } else if (a.name == "--ports") {
    o->ports = SplitList(v);
    for (std::size_t k = 0; k < o->ports.size(); ++k) {
      const std::string& p = o->ports[k];
      if (p.empty()) return bad("holds an empty port name");
      for (unsigned char c : p) {
        if (c < 0x20 || c == 0x7F) return bad("holds a control character");
      }
      for (std::size_t j = 0; j < k; ++j) {
        if (o->ports[j] == p) return bad("names " + p + " twice");
      }
    }
  } else if (v.empty()) {
    return a.name + ": an empty value";
  } else if (a.name == "--log") {
    o->log = v;
  } else if (a.name == "--script") {
    o->script = v;
  } else if (a.name == "--cli") {
    o->cli = v;
  }
  return {};
}

}  // namespace

const usage::Program& StationProgram() {
  static const usage::Program program{
      "vantrel-station",
      "upgrade every terminal plugged in, several at once",
      {"[--jobs N] [--ports LIST] [--baud RATE] [--log FILE] [--count N] [--script FILE] [--cli PATH]"},
      "Watches for the known terminals and upgrades each one that appears, once per plug-in: one vantrel-cli run "
      "per terminal, at most --jobs at once, the others waiting in order of arrival. A terminal whose run ended "
      "gets no new run until it has been unplugged and plugged in again.\n\n"
      "The script is read once at start, checked and copied into a private folder; every run plays those bytes, "
      "even while the original is rewritten. Its size and SHA-256 go into every log line.\n\n"
      "When stdout is a terminal a table is redrawn in place: one row per terminal with port, serial number, "
      "state, progress, elapsed time and last result, and the totals. Otherwise stdout has one line per event:\n\n"
      "  start: <port> serial=<serial number>\n  progress: <port> <position>/<total>\n"
      "  end: <port> <result> exit=<code> seconds=<duration> bytes=<payload bytes>\n  summary: runs=<n> "
      "<result>=<n>... terminals/h=<rate> bytes=<n> station_cpu_s=<seconds>\n\n"
      "A device's own strings (its serial number) are shown with control characters as \\xHH.",
      {
          {"--jobs", "N", "Runs at once, 1 to 1024. Default: the number of processors."},
          {"--ports", "LIST",
           "Serve these ports (comma-separated, as vantrel-cli's --port takes them) instead of looking for "
           "terminals: fixed cabling, adapters that are no known terminal, Wine. A port counts as plugged in "
           "while its device exists."},
          {"--baud", "RATE", "The line speed for every run: 3686400 or 115200. Default 3686400."},
          {"--log", "FILE", "Append one JSON line per finished run, written through to the disk at once."},
          {"--count", "N", "Stop once N runs have ended."},
          {"--script", "FILE", "The upgrade script. Default upgrader.asc in the current directory."},
          {"--cli", "PATH", "The vantrel-cli to run. Default: the one beside this program."},
          {"--hang-margin", "S",
           "Seconds beyond the longest wait the script can cause before a run without any event is ended as "
           "\"hang\". Default 10."},
          {"--poll-ms", "MS", "How often the ports are looked at, 10 to 10000 ms. Default 75."},
      },
      {
          {"0", "every run succeeded (or none ran)"},
          {"1", "a run failed"},
          {"2", "a usage error, or the log cannot be opened for appending"},
          {"3", "no script, or one that cannot be played"},
          {"130", "interrupted (SIGINT, SIGTERM): the runs were stopped as a confirmed \"STOP?\" stops them"},
      },
      {
          {"LOG",
           "One JSON object per line: start, end (UTC, ISO 8601), port, hardware_id, serial, script_size, "
           "script_sha256, baud, result, exit_code, payload_bytes, duration_s.\n\n"
           "result is vantrel-cli's result word, or the station's own: hang (no event past the limit), died "
           "(ended by a signal without a result), no-result, bad-exit (\"success\" with a nonzero exit code), "
           "start-failed."},
      },
  };
  return program;
}

std::optional<int> ParseOptions(int argc, char** argv, Options* options) {
  const usage::Program& me = StationProgram();
  const usage::Scan scan = usage::ScanArguments(me, argc, argv);
  if (scan.action != usage::Action::kRun) return usage::Finish(me, scan);
  Options o;
  for (const usage::Arg& a : scan.args) {
    const std::string why = Apply(a, &o);
    if (!why.empty()) return usage::UsageError(me, why);
  }
  *options = o;
  return std::nullopt;
}

}  // namespace station
