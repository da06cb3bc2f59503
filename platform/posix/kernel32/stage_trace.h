// Time stamps of the receive path, for vantrel-bench: when the receive
// watcher saw bytes waiting, when the window thread took its notification,
// and when the reads and writes on the port began and ended.
//
// Off unless VANTREL_STAGE_TRACE names a file (read once, at the first
// stamp); then each stamp is kept in memory, and the stamps kept so far are
// appended to that file whenever a comm handle is closed and when the process
// ends through exit() (vantrel-cli leaves through _Exit, after closing its
// port), one line per stamp:
//
//   NAME NS COUNT
//
// NAME is one of the names below, NS nanoseconds of CLOCK_MONOTONIC (the
// steady clock, the simulator's time base too) and COUNT the bytes the stamp
// is about (for "taken": the message number). Only the platform layer
// stamps; the core knows nothing of it.
// Not here: the debugger output (trace_sink.h), which is the tool's own trace.
#pragma once

#include <cstdint>

namespace platform::stage {

enum class Mark : std::uint8_t {
    InQueueSeen,  // ClearCommError returned with bytes waiting ("seen")
    SentTaken,    // a message sent from another thread is about to be handled ("taken")
    ReadEnter,    // ReadFile on a comm handle begins ("read")
    ReadDone,     // ... and returns, COUNT bytes read ("read_done")
    WriteEnter,   // WriteFile on a comm handle begins, COUNT bytes to go ("write")
    WriteDone,    // ... and returns, COUNT bytes written ("write_done")
};

// The name a mark has in the file.
const char* MarkName(Mark mark);

// Whether stamps are kept at all; cheap after the first call.
bool Enabled();
// Keeps a stamp of now; nothing when off. Any thread.
void Stamp(Mark mark, std::uint32_t count = 0);
// Appends the stamps kept so far to the file and forgets them; nothing when
// off. Called off the measured path: when a comm handle is closed.
void Flush();

}  // namespace platform::stage
