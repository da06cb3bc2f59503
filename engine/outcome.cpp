// The last run's outcome. Written on the window thread; atomic because the
// command-line runner may look at it from elsewhere.
#include "engine/outcome.h"

#include <atomic>

namespace {
std::atomic<RunOutcome> g_outcome{RunOutcome::None};
}

RunOutcome LastRunOutcome() { return g_outcome.load(); }

void SetRunOutcome(RunOutcome outcome) { g_outcome.store(outcome); }

const char* RunOutcomeName(RunOutcome outcome) {
    switch (outcome) {
        case RunOutcome::None:
            return "None";
        case RunOutcome::Running:
            return "Running";
        case RunOutcome::Success:
            return "Success";
        case RunOutcome::NoScript:
            return "NoScript";
        case RunOutcome::PortOpenFailed:
            return "PortOpenFailed";
        case RunOutcome::WaitTimeout:
            return "WaitTimeout";
        case RunOutcome::ReplyTimeout:
            return "ReplyTimeout";
        case RunOutcome::Format1Refused:
            return "Format1Refused";
        case RunOutcome::Format2Refused:
            return "Format2Refused";
        case RunOutcome::BadCommand:
            return "BadCommand";
        case RunOutcome::MalformedScript:
            return "MalformedScript";
        case RunOutcome::WriteFailed:
            return "WriteFailed";
        case RunOutcome::Stopped:
            return "Stopped";
    }
    return "Unknown";
}
