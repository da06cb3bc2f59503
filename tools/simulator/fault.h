// Faults the simulated terminal can be told to commit, one record at a time:
// `--fault IDX:KIND[:ARG]`, IDX counting records from 0. They let the
// upgrader's reply checks, timeouts and port handling be driven on a real
// tty without a misbehaving terminal at hand.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "tools/script_format.h"

namespace tools::sim {

enum class FaultKind {
    NoReply,            // noreply
    Status,             // status:XX    format-1 status code (hex)
    Byte3,              // byte3:XX     format-2 byte 3 (hex)
    Split,              // split:K:GAPMS reply in pieces of K bytes, GAPMS apart
    Extra,              // extra:N      N more bytes after the reply
    Short,              // short:N      only the first N bytes of the reply
    Garbage,            // garbage:N    N bytes before the reply
    Delay,              // delay:MS     reply MS late
    Unplug,             // unplug       the port disappears when the record is reached
    Replug,             // replug:PATH  unplug, then a new pty with PATH pointing at it
    NoiseDuringDelay,   // noise-during-delay:N  N bytes sent during a CMD_DELAY
    UnplugDuringDelay,  // unplug-during-delay  the port disappears halfway through a CMD_DELAY
    Stall,              // stall:MS     reads nothing for MS before the record, so the line fills
};

struct Fault {
    std::size_t index = 0;
    FaultKind kind = FaultKind::NoReply;
    unsigned value = 0;   // code, count or milliseconds
    unsigned gap_ms = 0;  // split only
    std::string path;     // replug only
    std::string text;     // as given, for messages
};

// Throws std::invalid_argument saying what is wrong with the text.
Fault ParseFault(const std::string& text);

// Whether the fault makes sense on a record with this command; empty when
// it does, otherwise the reason (a status code on a format-2 reply, ...).
std::string FaultMisfit(const Fault& fault, std::uint8_t command);

std::vector<Fault> FaultsFor(const std::vector<Fault>& all, std::size_t index);

}  // namespace tools::sim
