// The server's bodies: JSON through nlohmann-json (its replace policy
// turns bytes that are not UTF-8 into U+FFFD instead of throwing), and the
// Prometheus text format, which no packaged library writes for us here.
#include "station/web/render.h"

#include <cstdio>
#include <nlohmann/json.hpp>

namespace station::web {
namespace {

using Json = nlohmann::ordered_json;

std::string Dump(const Json& j) { return j.dump(-1, ' ', false, Json::error_handler_t::replace); }

Json SlotJson(const SlotState& s) {
    Json j;
    j["key"] = s.key;
    j["label"] = s.label;
    j["location"] = s.location;
    j["port"] = s.port;
    j["serial"] = s.serial;
    j["state"] = s.state;
    j["position"] = s.position;
    j["total"] = s.total;
    j["result"] = s.result;
    j["elapsed_s"] = s.elapsedSeconds;
    j["attempt"] = s.attempt;
    j["retries"] = s.retries;
    j["successes"] = s.successes;
    j["failures"] = s.failures;
    return j;
}

std::string Number(double value) {
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", value);
    return text;
}

// The length of the valid UTF-8 sequence at text[at], 0 if there is none.
std::size_t Utf8Length(const std::string& text, std::size_t at) {
    const auto b = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char c = b(at);
    std::size_t n = 0;
    unsigned lo = 0x80, hi = 0xBF;
    if (c < 0x80)
        return 1;
    if (c >= 0xC2 && c <= 0xDF)
        n = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
        n = 3;
        if (c == 0xE0)
            lo = 0xA0;
        if (c == 0xED)
            hi = 0x9F;  // no UTF-16 surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        n = 4;
        if (c == 0xF0)
            lo = 0x90;
        if (c == 0xF4)
            hi = 0x8F;
    } else {
        return 0;
    }
    if (at + n > text.size())
        return 0;
    if (b(at + 1) < lo || b(at + 1) > hi)
        return 0;
    for (std::size_t k = 2; k < n; ++k) {
        if (b(at + k) < 0x80 || b(at + k) > 0xBF)
            return 0;
    }
    return n;
}

void Family(std::string& out, const char* name, const char* type, const char* help) {
    out += "# HELP ";
    out += name;
    out += ' ';
    out += help;
    out += "\n# TYPE ";
    out += name;
    out += ' ';
    out += type;
    out += '\n';
}

}  // namespace

std::string StatusJson(const StationState& state, std::uint64_t lastSeq) {
    Json j;
    j["station"] = {{"host", state.host}, {"uptime_s", state.uptimeSeconds}, {"log_writable", state.logWritable}};
    j["script"] = {{"name", state.scriptName}, {"size", state.scriptSize}, {"sha256", state.scriptSha256}};
    j["totals"] = {{"passed", state.passed},
                   {"failed", state.failed},
                   {"units_per_hour", state.unitsPerHour},
                   {"running", state.running},
                   {"waiting", state.waiting}};
    Json slots = Json::array();
    for (const SlotState& s : state.slots)
        slots.push_back(SlotJson(s));
    j["slots"] = std::move(slots);
    j["last_seq"] = lastSeq;
    return Dump(j);
}

std::string RunWithSeq(const Board::Run& run) {
    std::string line = run.jsonLine;
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
        line.pop_back();
    const std::string seq = "\"seq\":" + std::to_string(run.seq) + "}";
    if (line.size() < 2 || line.front() != '{' || line.back() != '}') {
        // Not an object: the station wrote something else into its log. Keep
        // the text rather than send broken JSON.
        return "{\"line\":" + Dump(Json(run.jsonLine)) + "," + seq;
    }
    line.pop_back();
    const std::size_t last = line.find_last_not_of(" \t");
    const bool empty = last == 0;  // "{" alone
    return line + (empty ? "" : ",") + seq;
}

std::string RunsJson(const std::vector<Board::Run>& runs, std::uint64_t since, std::uint64_t firstHeld) {
    std::string out = "{\"runs\":[";
    for (std::size_t k = 0; k < runs.size(); ++k) {
        if (k)
            out += ',';
        out += RunWithSeq(runs[k]);
    }
    const std::uint64_t next = runs.empty() ? since : runs.back().seq;
    out += "],\"next\":" + std::to_string(next) + ",\"first_held\":" + std::to_string(firstHeld) + "}";
    return out;
}

std::string EventMessage(const std::string& event, const std::string& data, std::uint64_t id) {
    std::string out = "event: " + event + "\n";
    if (id)
        out += "id: " + std::to_string(id) + "\n";
    std::size_t at = 0;
    while (true) {
        const std::size_t nl = data.find('\n', at);
        out += "data: " + data.substr(at, nl == std::string::npos ? std::string::npos : nl - at) + "\n";
        if (nl == std::string::npos)
            break;
        at = nl + 1;
    }
    out += '\n';
    return out;
}

std::string PrometheusLabel(const std::string& text) {
    std::string out;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t n = Utf8Length(text, at);
        const unsigned char c = static_cast<unsigned char>(text[at]);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++at;
            continue;
        }
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else if (c < 0x20 || c == 0x7F)
            out += "\xEF\xBF\xBD";
        else
            out.append(text, at, n);
        at += n;
    }
    return out;
}

std::string MetricsText(const StationState& state, const Board::Counters& counters) {
    std::string out;
    Family(out, "vantrel_runs_total", "counter", "Finished upgrade runs by result word and slot.");
    for (const auto& [key, count] : counters.runs) {
        out += "vantrel_runs_total{result=\"" + PrometheusLabel(key.first) + "\",slot=\"" +
               PrometheusLabel(key.second) + "\"} " + std::to_string(count) + "\n";
    }
    Family(out, "vantrel_run_duration_seconds", "histogram", "Duration of finished upgrade runs.");
    for (std::size_t b = 0; b < Board::kDurationBuckets.size(); ++b) {
        out += "vantrel_run_duration_seconds_bucket{le=\"" + Number(Board::kDurationBuckets[b]) + "\"} " +
               std::to_string(counters.durationBuckets[b]) + "\n";
    }
    out += "vantrel_run_duration_seconds_bucket{le=\"+Inf\"} " + std::to_string(counters.durationCount) + "\n";
    out += "vantrel_run_duration_seconds_sum " + Number(counters.durationSum) + "\n";
    out += "vantrel_run_duration_seconds_count " + std::to_string(counters.durationCount) + "\n";
    Family(out, "vantrel_runs_running", "gauge", "Upgrade runs going on now.");
    out += "vantrel_runs_running " + std::to_string(state.running) + "\n";
    Family(out, "vantrel_units_waiting", "gauge", "Units plugged in and waiting for a run.");
    out += "vantrel_units_waiting " + std::to_string(state.waiting) + "\n";
    Family(out, "vantrel_log_writable", "gauge", "1 while the run log can be written, else 0 (no new runs start).");
    out += std::string("vantrel_log_writable ") + (state.logWritable ? "1" : "0") + "\n";
    Family(out, "vantrel_script_info", "gauge", "The upgrade script every run plays; always 1.");
    out += "vantrel_script_info{sha256=\"" + PrometheusLabel(state.scriptSha256) + "\",name=\"" +
           PrometheusLabel(state.scriptName) + "\",size_bytes=\"" + std::to_string(state.scriptSize) + "\"} 1\n";
    Family(out, "vantrel_station_uptime_seconds", "gauge", "Seconds since the station started.");
    out += "vantrel_station_uptime_seconds " + Number(state.uptimeSeconds) + "\n";
    return out;
}

std::string ErrorJson(const std::string& message) {
    Json j;
    j["error"] = message;
    return Dump(j);
}

}  // namespace station::web
