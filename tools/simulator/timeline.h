// When the upgrader will take its next record, as far as the terminal can
// tell from the wire.
//
// The upgrader keeps bytes that arrive while it is in an open or delay
// record and counts them toward the next reply, so the terminal must never
// answer a CMD_WAIT before the upgrader has taken it. The terminal follows
// the upgrader's fixed waits (1 s after an open and after a close, s seconds
// after a delay, the reply timeouts) from what it observes: every estimate
// errs late, never early, because a late answer only eats into the
// upgrader's 15-second wait while an early one corrupts the next reply.
//
// Pure arithmetic on time points, so it can be checked without a clock.
#pragma once

#include <chrono>

namespace tools::sim {

class Timeline {
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    explicit Timeline(TimePoint start) : next_(start) {}

    // The moment the upgrader takes (or took) the record now being played.
    TimePoint NextTake() const { return next_; }

    // CMD_OPEN_PORT: the host was seen opening the port at `seen`.
    void PortOpened(TimePoint seen);
    // CMD_CLOSE_PORT: the host was seen closing the port at `seen`.
    void PortClosed(TimePoint seen);
    // CMD_DELAY of `seconds`.
    void Delay(unsigned seconds);
    // A reply the upgrader accepts, its last byte written at `sent`.
    void ReplyAccepted(TimePoint sent);
    // A reply it will not accept (or none): it goes on, if at all, when its
    // timeout for the record runs out.
    void ReplyRefused(TimePoint sent, std::chrono::milliseconds timeout);

private:
    TimePoint next_;
};

// The upgrader's fixed waits.
inline constexpr std::chrono::milliseconds kAfterOpen{1000};
inline constexpr std::chrono::milliseconds kAfterClose{1000};
inline constexpr std::chrono::milliseconds kWaitTimeout{15000};
inline constexpr std::chrono::milliseconds kReplyTimeout{5000};

}  // namespace tools::sim
