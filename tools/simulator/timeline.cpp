// The upgrader's timeline as seen by the terminal; see timeline.h.
#include "tools/simulator/timeline.h"

#include <algorithm>

namespace tools::sim {

void Timeline::PortOpened(TimePoint seen) {
    // The open happens when the record is taken, so `seen` is at or after the
    // take; counting from it is late by the detection delay only.
    next_ = std::max(next_, seen) + kAfterOpen;
}

void Timeline::PortClosed(TimePoint seen) {
    // Likewise: the upgrader closes (after its own short pause) at the take.
    next_ = std::max(next_, seen) + kAfterClose;
}

void Timeline::Delay(unsigned seconds) { next_ += std::chrono::seconds(seconds); }

void Timeline::ReplyAccepted(TimePoint sent) { next_ = std::max(next_, sent); }

void Timeline::ReplyRefused(TimePoint sent, std::chrono::milliseconds timeout) {
    // The upgrader's timer started at the take or the write, both before `sent`.
    next_ = std::max(next_, sent) + timeout;
}

}  // namespace tools::sim
