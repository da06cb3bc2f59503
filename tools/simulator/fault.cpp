// Parsing and checking of `--fault` descriptions; see fault.h.
#include "tools/simulator/fault.h"

#include <charconv>
#include <stdexcept>

namespace tools::sim {

namespace {

std::vector<std::string> SplitColons(const std::string& text, std::size_t max_parts) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (parts.size() + 1 < max_parts) {
        const auto colon = text.find(':', start);
        if (colon == std::string::npos)
            break;
        parts.push_back(text.substr(start, colon - start));
        start = colon + 1;
    }
    // The last part keeps any further colons (a replug path may hold them).
    parts.push_back(text.substr(start));
    return parts;
}

unsigned Number(const std::string& fault, const std::string& token, int base, unsigned max) {
    unsigned value = 0;
    const char* end = token.data() + token.size();
    auto [ptr, ec] = std::from_chars(token.data(), end, value, base);
    if (token.empty() || ec != std::errc() || ptr != end || value > max) {
        throw std::invalid_argument("fault '" + fault + "': '" + token + "' is not a " +
                                    (base == 16 ? "hex byte" : "number") + " up to " + std::to_string(max));
    }
    return value;
}

}  // namespace

Fault ParseFault(const std::string& text) {
    const auto parts = SplitColons(text, 4);
    if (parts.size() < 2)
        throw std::invalid_argument("fault '" + text + "': expected IDX:KIND[:ARG]");
    Fault f;
    f.text = text;
    f.index = Number(text, parts[0], 10, 1000000000u);
    const std::string& kind = parts[1];
    auto want_args = [&](std::size_t n) {
        if (parts.size() != 2 + n) {
            throw std::invalid_argument("fault '" + text + "': " + kind + " takes " + std::to_string(n) +
                                        " argument(s)");
        }
    };
    constexpr unsigned kMaxCount = 65535;
    constexpr unsigned kMaxMs = 600000;
    if (kind == "noreply") {
        want_args(0);
        f.kind = FaultKind::NoReply;
    } else if (kind == "unplug") {
        want_args(0);
        f.kind = FaultKind::Unplug;
    } else if (kind == "unplug-during-delay") {
        want_args(0);
        f.kind = FaultKind::UnplugDuringDelay;
    } else if (kind == "status" || kind == "byte3") {
        want_args(1);
        f.kind = kind == "status" ? FaultKind::Status : FaultKind::Byte3;
        f.value = Number(text, parts[2], 16, 0xFF);
    } else if (kind == "split") {
        want_args(2);
        f.kind = FaultKind::Split;
        f.value = Number(text, parts[2], 10, kMaxCount);
        if (f.value == 0)
            throw std::invalid_argument("fault '" + text + "': pieces of 0 bytes");
        f.gap_ms = Number(text, parts[3], 10, kMaxMs);
    } else if (kind == "extra" || kind == "short" || kind == "garbage" || kind == "noise-during-delay") {
        want_args(1);
        f.kind = kind == "extra"     ? FaultKind::Extra
                 : kind == "short"   ? FaultKind::Short
                 : kind == "garbage" ? FaultKind::Garbage
                                     : FaultKind::NoiseDuringDelay;
        f.value = Number(text, parts[2], 10, kMaxCount);
    } else if (kind == "delay" || kind == "stall") {
        want_args(1);
        f.kind = kind == "delay" ? FaultKind::Delay : FaultKind::Stall;
        f.value = Number(text, parts[2], 10, kMaxMs);
    } else if (kind == "replug") {
        // The path is everything after "replug:", colons included.
        if (parts.size() < 3)
            throw std::invalid_argument("fault '" + text + "': replug needs a PATH");
        f.kind = FaultKind::Replug;
        f.path = text.substr(text.find("replug:") + 7);
        if (f.path.empty())
            throw std::invalid_argument("fault '" + text + "': replug needs a PATH");
    } else {
        throw std::invalid_argument("fault '" + text + "': unknown kind '" + kind + "'");
    }
    return f;
}

std::string FaultMisfit(const Fault& fault, std::uint8_t command) {
    const bool answers = command == CMD_WAIT || command == CMD_SEND_F1 || command == CMD_SEND_F2;
    switch (fault.kind) {
        case FaultKind::Unplug:
        case FaultKind::Replug:
        case FaultKind::Stall:
            return {};
        case FaultKind::Status:
            if (command == CMD_WAIT || command == CMD_SEND_F1)
                return {};
            return "status codes belong to format-1 replies (CMD_WAIT, CMD_SEND_F1)";
        case FaultKind::Byte3:
            if (command == CMD_SEND_F2)
                return {};
            return "byte 3 belongs to format-2 replies (CMD_SEND_F2)";
        case FaultKind::NoiseDuringDelay:
            if (command == CMD_DELAY)
                return {};
            return "noise-during-delay needs a CMD_DELAY record";
        case FaultKind::UnplugDuringDelay:
            if (command == CMD_DELAY)
                return {};
            return "unplug-during-delay needs a CMD_DELAY record";
        default:
            if (answers)
                return {};
            return "the terminal sends no reply for " + CommandLabel(command);
    }
}

std::vector<Fault> FaultsFor(const std::vector<Fault>& all, std::size_t index) {
    std::vector<Fault> out;
    for (const auto& f : all) {
        if (f.index == index)
            out.push_back(f);
    }
    return out;
}

}  // namespace tools::sim
