// Command-line parsing for vantrel-station.
#include "station/options.h"

#include <charconv>
#include <cstring>

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

}  // namespace

std::string UsageText() {
  return "usage: vantrel-station [--jobs N] [--ports LIST] [--baud RATE] [--log FILE] [--count N]\n"
         "                       [--script FILE] [--cli PATH] [--hang-margin S] [--poll-ms MS]\n"
         "                       [--help] [--version]\n"
         "Upgrades every known terminal plugged in, several at once, one vantrel-cli run each.\n"
         "  --jobs N         runs at once (default: the number of processors)\n"
         "  --ports LIST     serve these ports (comma-separated) instead of finding terminals\n"
         "  --baud RATE      line speed: 3686400 (default) or 115200\n"
         "  --log FILE       append one JSON line per finished run\n"
         "  --count N        stop after N runs have ended\n"
         "  --script FILE    the upgrade script (default: upgrader.asc)\n"
         "  --cli PATH       the vantrel-cli to run (default: beside this program)\n"
         "  --hang-margin S  seconds past the script's longest wait before a silent run is a hang (10)\n"
         "  --poll-ms MS     how often the ports are looked at (75)\n"
         "Exit codes: 0 every run succeeded, 1 a run failed, 2 usage or log, 3 script, 130 interrupted.\n";
}

std::optional<Options> ParseOptions(int argc, char** argv, std::string* error) {
  Options o;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      o.help = true;
      continue;
    }
    if (a == "--version") {
      o.version = true;
      continue;
    }
    const bool takesValue = a == "--jobs" || a == "--ports" || a == "--baud" || a == "--log" || a == "--count" ||
                            a == "--script" || a == "--cli" || a == "--hang-margin" || a == "--poll-ms";
    if (!takesValue) {
      *error = "unknown argument '" + a + "'";
      return std::nullopt;
    }
    if (i + 1 >= argc) {
      *error = a + " needs a value";
      return std::nullopt;
    }
    const std::string v = argv[++i];
    const auto bad = [&](const std::string& why) {
      *error = a + ": '" + v + "' " + why;
      return std::nullopt;
    };
    if (a == "--jobs") {
      unsigned n = 0;
      if (!ParseCount(v, 1, 1024, &n)) return bad("is not a number from 1 to 1024");
      o.jobs = n;
    } else if (a == "--count") {
      unsigned n = 0;
      if (!ParseCount(v, 1, 1000000000, &n)) return bad("is not a number of at least 1");
      o.count = n;
    } else if (a == "--hang-margin") {
      if (!ParseCount(v, 1, 3600, &o.hangMarginSeconds)) return bad("is not a number of seconds from 1 to 3600");
    } else if (a == "--poll-ms") {
      if (!ParseCount(v, 10, 10000, &o.pollMs)) return bad("is not a number from 10 to 10000");
    } else if (a == "--baud") {
      if (v != "3686400" && v != "115200") return bad("is no line speed (3686400 or 115200)");
      o.baud = v;
    } else if (a == "--ports") {
      o.ports = SplitList(v);
      for (const auto& p : o.ports) {
        if (p.empty()) return bad("holds an empty port name");
        for (unsigned char c : p) {
          if (c < 0x20 || c == 0x7F) return bad("holds a control character");
        }
      }
      for (std::size_t k = 0; k < o.ports.size(); ++k) {
        for (std::size_t j = 0; j < k; ++j) {
          if (o.ports[j] == o.ports[k]) return bad("names " + o.ports[k] + " twice");
        }
      }
    } else if (a == "--log") {
      if (v.empty()) return bad("is no file name");
      o.log = v;
    } else if (a == "--script") {
      if (v.empty()) return bad("is no file name");
      o.script = v;
    } else {
      if (v.empty()) return bad("is no program");
      o.cli = v;
    }
  }
  return o;
}

}  // namespace station
