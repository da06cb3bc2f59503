// What `vantrel-script` tells about an existing script: a listing, a
// soundness check and a run-time estimate. Kept apart from main() so the
// figures can be checked without starting a process.
#pragma once

#include <cstdint>
#include <ostream>
#include <span>

namespace tools {

// One line per record: offset, command, length, and the delay of CMD_DELAY;
// damage is listed after the records. Returns true when the script is sound.
bool ListScript(std::span<const std::uint8_t> data, std::ostream& out);

// Every problem, one line each, naming its offset. True when sound.
bool ValidateScript(std::span<const std::uint8_t> data, std::ostream& out);

struct Estimate {
    double fixed_wait_s = 0;  // 1 s after each open and close, plus delays
    double transfer_s = 0;    // payload bytes at 10 bits each (8N1)
    std::uint64_t payload_bytes = 0;
    double total_s() const { return fixed_wait_s + transfer_s; }
};

// Counts the records that can be read; damage only stops the count.
Estimate EstimateRunTime(std::span<const std::uint8_t> data, unsigned baud);

}  // namespace tools
