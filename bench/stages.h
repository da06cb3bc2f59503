// The turnaround of a record taken apart: where the time goes between the
// terminal's reply and the next payload, from the simulator's timing file
// and vantrel-cli's stage trace (VANTREL_STAGE_TRACE, written by the
// platform layer) in the same clock.
//
// A turnaround runs through these stages, back to back:
//   arrive   the reply's last byte written by the terminal .. the receive
//            watcher's ClearCommError returns with bytes waiting
//   handoff  .. the window thread takes the watcher's WM_DEBUGREAD
//   dispatch .. OnDebugRead's ReadFile begins
//   read     .. that ReadFile returns
//   engine   .. the run engine's WriteFile of the next payload begins
//   deliver  .. the terminal has read the payload's first byte
// and, beside them (it overlaps deliver), the WriteFile call itself. The
// reference host stamps the same points on its one thread, without a
// hand-off: its "seen" is its poll's return, and its handoff and dispatch
// are 0.
#pragma once

#include <cstdint>
#include <istream>
#include <string>
#include <vector>

#include "tools/simulator/timing.h"

namespace vantrel::bench {

struct StageStamp {
    std::string name;  // "seen", "taken", "read", "read_done", "write", "write_done"
    std::int64_t ns = 0;
    std::uint32_t count = 0;
};

// Throws std::runtime_error naming the line that cannot be read.
std::vector<StageStamp> ParseStageTrace(std::istream& in);
std::vector<StageStamp> ReadStageTrace(const std::string& path);

inline constexpr int kStageCount = 7;
// Names for the table, in the order above; the last is the WriteFile call.
extern const char* const kStageNames[kStageCount];

// One turnaround in nanoseconds per stage (kStageNames order).
struct StageSplit {
    std::int64_t ns[kStageCount] = {};
    std::int64_t total = 0;  // the turnaround: the sum of the first six
};

// Splits every turnaround of the timing file (tools::sim::Turnarounds'
// pairs) for which the trace holds the whole chain of stamps between the
// reply and the payload; a pair without it is left out. `skipped`, when
// given, counts those. A trace without any "taken" stamp is a one-thread
// host's.
std::vector<StageSplit> SplitTurnarounds(const std::vector<tools::sim::RecordTiming>& timing,
                                         const std::vector<StageStamp>& trace, std::size_t* skipped = nullptr);

}  // namespace vantrel::bench
