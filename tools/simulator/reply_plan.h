// The terminal's answers and how a fault bends them.
//
// A format-1 reply is 12 bytes F1 01 02 03 04 05 SS 07 08 09 0A 0B with the
// status SS at offset 6 (0 = success); a format-2 reply is 5 bytes
// F2 01 02 24 04 with '$' (0x24) at offset 3 for success. The upgrader looks
// only at the length and that one byte; the other bytes are a fixed pattern
// so a capture shows which frame it is.
#pragma once

#include <cstdint>
#include <vector>

#include "tools/simulator/fault.h"

namespace tools::sim {

inline constexpr std::size_t kFormat1Size = 12;
inline constexpr std::size_t kFormat2Size = 5;
inline constexpr std::uint8_t kGarbageByte = 0xEE;  // garbage:N before a reply
inline constexpr std::uint8_t kExtraByte = 0xFE;    // extra:N after a reply
inline constexpr std::uint8_t kNoiseByte = 0xA5;    // noise-during-delay:N

std::vector<std::uint8_t> Format1Reply(std::uint8_t status);
std::vector<std::uint8_t> Format2Reply(std::uint8_t byte3);

struct ReplyPlan {
    bool send = true;                 // false for noreply
    std::vector<std::uint8_t> bytes;  // everything put on the wire, in order
    std::size_t piece = 0;            // 0: all at once, else pieces of this size
    unsigned gap_ms = 0;              // between pieces
    unsigned delay_ms = 0;            // before the first byte
    // Whether the upgrader will take this as a good reply and go on at once;
    // otherwise it fails or waits out its timeout.
    bool accepted = true;
    unsigned faults_applied = 0;
};

// The reply to a CMD_WAIT, CMD_SEND_F1 (format 1) or CMD_SEND_F2 (format 2)
// record under the record's faults.
ReplyPlan PlanReply(std::uint8_t command, const std::vector<Fault>& faults);

}  // namespace tools::sim
