// vantrel-web-demo: the web server over a Board that its standard input
// animates, one JSON command a line:
//   {"state": <the shape of /api/v1/status>}   published as the station would
//   {"run": {"line": {...}, "slot": "A1", "result": "success", "duration_s": 12.5}}
// It prints "listening PORT" once serving and "ok" after each command, so a
// test (the browser test) can drive it step by step. Not the station: no
// terminals, no runs.
#include <cstdio>
#include <iostream>
#include <nlohmann/json.hpp>
#include <string>

#include "station/board.h"
#include "station/web/config.h"
#include "station/web/server.h"

namespace {

using Json = nlohmann::ordered_json;

station::StationState ToState(const Json& j) {
    station::StationState s;
    const Json& st = j.value("station", Json::object());
    s.host = st.value("host", "");
    s.uptimeSeconds = st.value("uptime_s", 0.0);
    s.logWritable = st.value("log_writable", true);
    const Json& sc = j.value("script", Json::object());
    s.scriptName = sc.value("name", "");
    s.scriptSize = sc.value("size", 0ull);
    s.scriptSha256 = sc.value("sha256", "");
    const Json& t = j.value("totals", Json::object());
    s.passed = t.value("passed", 0u);
    s.failed = t.value("failed", 0u);
    s.unitsPerHour = t.value("units_per_hour", 0.0);
    s.running = t.value("running", 0u);
    s.waiting = t.value("waiting", 0u);
    for (const Json& x : j.value("slots", Json::array())) {
        station::SlotState slot;
        slot.key = x.value("key", "");
        slot.label = x.value("label", "");
        slot.location = x.value("location", "");
        slot.port = x.value("port", "");
        slot.serial = x.value("serial", "");
        slot.state = x.value("state", "");
        slot.position = x.value("position", 0ll);
        slot.total = x.value("total", 0ll);
        slot.result = x.value("result", "");
        slot.elapsedSeconds = x.value("elapsed_s", 0.0);
        slot.attempt = x.value("attempt", 0u);
        slot.retries = x.value("retries", 0u);
        slot.successes = x.value("successes", 0u);
        slot.failures = x.value("failures", 0u);
        s.slots.push_back(slot);
    }
    return s;
}

}  // namespace

int main(int argc, char** argv) {
    station::web::ServerConfig config;
    config.address.port = 0;
    std::size_t history = station::web::kDefaultHistory;
    for (int k = 1; k + 1 < argc; k += 2) {
        const std::string name = argv[k];
        const std::string value = argv[k + 1];
        std::string why;
        if (name == "--http") {
            why = station::web::ParseHttpAddress(value, &config.address);
        } else if (name == "--http-token") {
            why = station::web::LoadToken(value, &config.token);
        } else if (name == "--http-history") {
            why = station::web::ParseHistory(value, &history);
        } else {
            why = name + ": no such option (--http, --http-token, --http-history)";
        }
        if (!why.empty()) {
            std::fprintf(stderr, "vantrel-web-demo: %s\n", why.c_str());
            return 2;
        }
    }
    if (const std::string why = station::web::CheckHttpSecurity(config.address, config.token); !why.empty()) {
        std::fprintf(stderr, "vantrel-web-demo: %s\n", why.c_str());
        return 2;
    }
    station::Board board(history);
    station::web::Server server(board, config);
    if (const std::string why = server.Start(); !why.empty()) {
        std::fprintf(stderr, "vantrel-web-demo: %s\n", why.c_str());
        return 1;
    }
    std::printf("listening %u\n", server.Port());
    std::fflush(stdout);
    std::string line;
    while (std::getline(std::cin, line)) {
        if (line.empty())
            continue;
        const Json cmd = Json::parse(line, nullptr, false);
        if (cmd.is_discarded() || !cmd.is_object()) {
            std::fprintf(stderr, "vantrel-web-demo: not a JSON command: %s\n", line.c_str());
            return 2;
        }
        if (cmd.contains("state"))
            board.Publish(ToState(cmd["state"]));
        if (cmd.contains("run")) {
            const Json& r = cmd["run"];
            const Json& l = r["line"];
            board.AddRun(l.is_string() ? l.get<std::string>() : l.dump(), r.value("slot", ""), r.value("result", ""),
                         r.value("duration_s", 0.0));
        }
        if (cmd.contains("quit"))
            break;
        std::printf("ok\n");
        std::fflush(stdout);
    }
    board.Close();
    server.Stop();
    return 0;
}
