// Listing, validation and run-time estimate of upgrade scripts; see inspect.h.
#include "tools/script/inspect.h"

#include <cstdio>
#include <string>

#include "tools/script_format.h"

namespace tools {

bool ListScript(std::span<const std::uint8_t> data, std::ostream& out) {
    const Script script = ParseScript(data);
    for (const Record& r : script.records) {
        char line[128];
        std::snprintf(line, sizeof line, "%8zu  %-14s  %5zu", r.offset, CommandLabel(r.command).c_str(),
                      r.payload.size());
        out << line;
        if (r.command == CMD_DELAY) {
            if (auto s = DelaySeconds(r)) {
                out << "  delay " << *s << " s";
            } else {
                out << "  delay unreadable";
            }
        }
        out << '\n';
    }
    for (const Problem& p : script.problems)
        out << "error: " << p.message << '\n';
    return script.sound();
}

bool ValidateScript(std::span<const std::uint8_t> data, std::ostream& out) {
    const Script script = ParseScript(data);
    for (const Problem& p : script.problems)
        out << "error: " << p.message << '\n';
    if (script.sound())
        out << "ok: " << script.records.size() << " records\n";
    return script.sound();
}

Estimate EstimateRunTime(std::span<const std::uint8_t> data, unsigned baud) {
    Estimate e;
    const Script script = ParseScript(data);
    for (const Record& r : script.records) {
        switch (r.command) {
            case CMD_OPEN_PORT:
            case CMD_CLOSE_PORT:
                e.fixed_wait_s += 1.0;
                break;
            case CMD_DELAY:
                e.fixed_wait_s += DelaySeconds(r).value_or(0);
                break;
            case CMD_SEND_F1:
            case CMD_SEND_F2:
                e.payload_bytes += r.payload.size();
                break;
            default:
                break;
        }
    }
    if (baud > 0)
        e.transfer_s = static_cast<double>(e.payload_bytes) * 10.0 / baud;
    return e;
}

}  // namespace tools
