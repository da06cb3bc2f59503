// vantrel-station's command line.
#include "station/options.h"

#include <charconv>

namespace station {
namespace {

bool ParseCount(const std::string& text, unsigned min, unsigned max, unsigned* out) {
    unsigned value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value < min || value > max)
        return false;
    *out = value;
    return true;
}

std::vector<std::string> SplitList(const std::string& text) {
    std::vector<std::string> items;
    std::size_t at = 0;
    while (at <= text.size()) {
        std::size_t comma = text.find(',', at);
        if (comma == std::string::npos)
            comma = text.size();
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
        unsigned n = 0;
        if (!ParseCount(v, 1, 1024, &n))
            return bad("is not a number from 1 to 1024");
        o->jobs = n;
    } else if (a.name == "--retries") {
        if (!ParseCount(v, 0, 100, &o->retries))
            return bad("is not a number from 0 to 100");
    } else if (a.name == "--count") {
        unsigned n = 0;
        if (!ParseCount(v, 1, 1000000000, &n))
            return bad("is not a number of at least 1");
        o->count = n;
    } else if (a.name == "--hang-margin") {
        if (!ParseCount(v, 1, 3600, &o->hangMarginSeconds))
            return bad("is not a number of seconds from 1 to 3600");
    } else if (a.name == "--poll-ms") {
        if (!ParseCount(v, 10, 10000, &o->pollMs))
            return bad("is not a number from 10 to 10000");
    } else if (a.name == "--baud") {
        if (v != "3686400" && v != "115200")
            return bad("is no line speed (3686400 or 115200)");
        o->baud = v;
    } else if (a.name == "--ports") {
        o->ports = SplitList(v);
        for (std::size_t k = 0; k < o->ports.size(); ++k) {
            const std::string& p = o->ports[k];
            if (p.empty())
                return bad("holds an empty port name");
            for (unsigned char c : p) {
                if (c < 0x20 || c == 0x7F)
                    return bad("holds a control character");
            }
            for (std::size_t j = 0; j < k; ++j) {
                if (o->ports[j] == p)
                    return bad("names " + p + " twice");
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
    } else if (a.name == "--http") {
        o->http = true;
        if (const std::string why = web::ParseHttpAddress(v, &o->httpAddress); !why.empty())
            return a.name + ": " + why;
    } else if (a.name == "--http-token") {
        if (const std::string why = web::LoadToken(v, &o->httpToken); !why.empty())
            return a.name + ": " + why;
    } else if (a.name == "--http-history") {
        if (const std::string why = web::ParseHistory(v, &o->httpHistory); !why.empty())
            return a.name + ": " + why;
    } else if (a.name == "--slots") {
        o->slots = v;
    } else if (a.name == "--journal") {
        o->journal = v;
    }
    return {};
}

}  // namespace

const usage::Program& StationProgram() {
    static const usage::Program program{
        "vantrel-station",
        "upgrade every terminal plugged in, several at once",
        {"[--jobs N] [--ports LIST] [--baud RATE] [--log FILE] [--count N] [--script FILE] [--cli PATH] "
         "[--slots FILE] [--retries N] [--http [ADDR:]PORT [--http-token FILE]]"},
        "Watches for the known terminals and upgrades each one that appears, once per plug-in: one vantrel-cli run "
        "per terminal, at most --jobs at once, the others waiting in order of arrival. A terminal whose run ended "
        "gets no new run until it has been unplugged and plugged in again; a failed run is tried again up to "
        "--retries times while the same unit stays plugged in. A new port is opened once it opens for this user "
        "(or after 3 s); a port counts as unplugged once two complete scans in a row missed it.\n\n"
        "With --slots, the fixture's sockets are named by their USB location and only mapped locations are served; "
        "a known terminal anywhere else is shown as \"not a slot\" and never run.\n\n"
        "Each run is journaled before it starts (--journal); if the station dies, the next start with the same log "
        "appends an \"interrupted\" line for each run it had in flight. SIGHUP, or stdout gone, starts no new run "
        "and lets the running ones end (exit 129). A second SIGINT kills what is left (\"killed\"). While a log "
        "line cannot be written no run starts.\n\n"
        "The script is read once at start, checked and copied into a private folder; every run plays those bytes, "
        "even while the original is rewritten. Its size and SHA-256 go into every log line.\n\n"
        "When stdout is a terminal a table is redrawn in place: one row per terminal with port, serial number, "
        "state, progress, elapsed time and last result, and the totals. Otherwise stdout has one line per event:\n\n"
        "  start: <port> serial=<serial number> [location=<usb location>] [slot=<label>] [attempt=<k>]\n"
        "  progress: <port> <position>/<total>\n"
        "  end: <port> <result> exit=<code> seconds=<duration> bytes=<payload bytes> [location=...] [slot=...] "
        "[attempt=...] [duplicate_serial]\n  summary: runs=<n> "
        "<result>=<n>... terminals/h=<rate> bytes=<n> station_cpu_s=<seconds>\n\n"
        "A device's own strings (its serial number) are shown with control characters as \\xHH.",
        {
            {"--jobs", "N",
             "Runs at once, 1 to 1024. Default: every unit present (on Windows: the number of processors)."},
            {"--ports", "LIST",
             "Serve these ports (comma-separated, as vantrel-cli's --port takes them) instead of looking for "
             "terminals: fixed cabling, adapters that are no known terminal, Wine. A port counts as plugged in "
             "while its device exists."},
            {"--baud", "RATE", "The line speed for every run: 3686400 or 115200. Default 3686400."},
            {"--log", "FILE",
             "Append one JSON line per finished run, written through to the disk at once. A rotated log is "
             "followed."},
            {"--journal", "FILE",
             "Where runs in flight are journaled. Default: the log's path with .inflight added, when the log is a "
             "regular file."},
            {"--slots", "FILE",
             "The slot map: one \"LOCATION LABEL\" pair per line (the USB location as the system shows it: "
             "1-1.4.2 on Linux, Port_#0003.Hub_#0002 on Windows; a --ports port by its name), # starts a comment. "
             "Only mapped locations are served."},
            {"--retries", "N", "Run a failed unit again up to N times while it stays plugged in, 0 to 100. Default 0."},
            {"--http", "[ADDR:]PORT",
             "Serve a live page of the slots, a JSON API (/api/v1/status, /api/v1/runs, /api/v1/events), "
             "/metrics and /healthz on this address (default 127.0.0.1)."},
            {"--http-token", "FILE",
             "The secret (at least 16 bytes) every request must carry as \"Authorization: Bearer ...\"; required "
             "for an address other than loopback."},
            {"--http-history", "N", "Finished runs the API keeps in memory. Default 10000."},
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
            {"1", "a run failed, or a log line could not be written"},
            {"2", "a usage error, a bad slot map, a --cli that cannot run, or a log or journal that cannot be opened"},
            {"3", "no script, or one that cannot be played"},
            {"129", "hangup (SIGHUP, or stdout gone): no new run was started and the running ones ended by themselves"},
            {"130", "interrupted (SIGINT, SIGTERM): the runs were stopped as a confirmed \"STOP?\" stops them"},
        },
        {
            {"LOG",
             "One JSON object per line: start, end (UTC, ISO 8601), port, location, slot, hardware_id, serial, "
             "script_size, script_sha256, baud, result, exit_code, payload_bytes, duration_s, attempt, "
             "duplicate_serial, cause (the run's last stderr line).\n\n"
             "result is vantrel-cli's result word, or the station's own: hang (no event past the limit), died "
             "(ended by a signal without a result), no-result, bad-exit (\"success\" with a nonzero exit code), "
             "start-failed, killed (a second SIGINT), unkillable (still there 10 s after SIGKILL), interrupted (the "
             "station ended during the run; found at the next start)."},
        },
    };
    return program;
}

std::optional<int> ParseOptions(int argc, char** argv, Options* options) {
    const usage::Program& me = StationProgram();
    const usage::Scan scan = usage::ScanArguments(me, argc, argv);
    if (scan.action != usage::Action::kRun)
        return usage::Finish(me, scan);
    Options o;
    for (const usage::Arg& a : scan.args) {
        const std::string why = Apply(a, &o);
        if (!why.empty())
            return usage::UsageError(me, why);
    }
    if (!o.httpToken.empty() && !o.http)
        return usage::UsageError(me, "--http-token: given without --http");
    if (o.http) {
        if (const std::string why = web::CheckHttpSecurity(o.httpAddress, o.httpToken); !why.empty())
            return usage::UsageError(me, why);
    }
    *options = o;
    return std::nullopt;
}

}  // namespace station
