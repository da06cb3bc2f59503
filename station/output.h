// The station's stdout, written by a thread of its own, so that a reader
// that stalls (a full pipe nobody reads, a paused terminal, a Windows console
// in selection mode) never holds a run, the reaping of a child, a scan or a
// log line: the loop only queues. Lines that matter (start, end, note,
// summary) are never dropped; while the reader stalls, progress lines are
// coalesced (the newest per port) and a table frame replaces the one
// waiting. A write that fails (EPIPE, EIO: the reader or the terminal went
// away) marks stdout gone. Not here: what the lines say (screen.h).
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace station {

class Output {
public:
    // write: writes bytes whole, blocking; false when the output is gone.
    explicit Output(std::function<bool(const std::string&)> write);
    // Does not wait for a stalled reader: the thread is left to the process's end.
    ~Output();
    Output(const Output&) = delete;
    Output& operator=(const Output&) = delete;

    void Line(std::string text);                              // never dropped
    void Progress(const std::string& key, std::string text);  // the newest per key
    void Frame(std::string frame);                            // the newest replaces one waiting
    // Whether a write failed: the reader went away.
    bool gone() const;
    // Waits up to limit for everything queued to be written; false if it was not.
    bool Drain(std::chrono::milliseconds limit);

private:
    // Queued after what waits, or in place of the item with the same key at
    // the end of the queue.
    void Replaceable(const std::string& key, std::string text);
    struct Shared;
    std::shared_ptr<Shared> shared_;
};

}  // namespace station
