// Reply frames and their faulty variants; see reply_plan.h.
#include "tools/simulator/reply_plan.h"

#include <algorithm>

namespace tools::sim {

std::vector<std::uint8_t> Format1Reply(std::uint8_t status) {
    return {0xF1, 0x01, 0x02, 0x03, 0x04, 0x05, status, 0x07, 0x08, 0x09, 0x0A, 0x0B};
}

std::vector<std::uint8_t> Format2Reply(std::uint8_t byte3) { return {0xF2, 0x01, 0x02, byte3, 0x04}; }

ReplyPlan PlanReply(std::uint8_t command, const std::vector<Fault>& faults) {
    const bool format2 = command == CMD_SEND_F2;
    std::uint8_t key = format2 ? 0x24 : 0x00;
    std::size_t garbage = 0, extra = 0, keep = format2 ? kFormat2Size : kFormat1Size;
    ReplyPlan plan;
    for (const Fault& f : faults) {
        switch (f.kind) {
            case FaultKind::NoReply:
                plan.send = false;
                break;
            case FaultKind::Status:
            case FaultKind::Byte3:
                key = static_cast<std::uint8_t>(f.value);
                break;
            case FaultKind::Split:
                plan.piece = f.value;
                plan.gap_ms = f.gap_ms;
                break;
            case FaultKind::Extra:
                extra = f.value;
                break;
            case FaultKind::Short:
                keep = std::min<std::size_t>(keep, f.value);
                break;
            case FaultKind::Garbage:
                garbage = f.value;
                break;
            case FaultKind::Delay:
                plan.delay_ms = f.value;
                break;
            default:
                continue;  // not a reply fault
        }
        ++plan.faults_applied;
    }
    const auto frame = format2 ? Format2Reply(key) : Format1Reply(key);
    plan.bytes.assign(garbage, kGarbageByte);
    plan.bytes.insert(plan.bytes.end(), frame.begin(), frame.begin() + keep);
    plan.bytes.insert(plan.bytes.end(), extra, kExtraByte);
    // The upgrader judges the frame when its count reaches the exact length,
    // so leading garbage, a cut or an overrun all keep it from accepting.
    const bool good_key = format2 ? key == 0x24 : key == 0x00;
    plan.accepted = plan.send && good_key && plan.bytes == frame;
    if (!plan.send)
        plan.bytes.clear();
    return plan;
}

}  // namespace tools::sim
