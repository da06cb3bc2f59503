// The station's state as its observers see it (the web page, the API, the
// metrics): one snapshot of every slot and the totals, the finished runs
// in log order with a sequence number, and the counters behind /metrics.
// The main loop writes, the HTTP threads read; every call holds one short
// lock and never waits on a reader, so a stalled client cannot hold up a
// run. Not here: HTTP, JSON, how the station fills it.
#pragma once

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace station {

struct SlotState {                         // one tile
    std::string key;                       // stable id: the slot label, else the location, else the port
    std::string label;                     // from --slots; empty without a map
    std::string location;                  // USB location ("1-1.4.2", "Port_#0003.Hub_#0002"); empty for --ports
    std::string port;                      // "ttyACM0", "COM7"; empty while no unit is there
    std::string serial;                    // untrusted device text
    std::string state;                     // "waiting" (empty or queued), "running", "success", "failed"
    std::int64_t position = 0, total = 0;  // progress in script bytes
    std::string result;                    // last result word ("success", "reply-timeout", ...); empty before any
    double elapsedSeconds = 0;             // of the running or last run
    unsigned attempt = 0;                  // 1 for the first attempt, 2.. for retries; 0 before any
    unsigned retries = 0;                  // the --retries cap, so the tile can show "attempt 2 of 3"
    unsigned successes = 0, failures = 0;  // this slot's runs since start

    bool operator==(const SlotState&) const = default;
};

struct StationState {
    std::string host;  // host name
    double uptimeSeconds = 0;
    std::string scriptName;
    std::uint64_t scriptSize = 0;
    std::string scriptSha256;         // full hex
    unsigned passed = 0, failed = 0;  // runs
    double unitsPerHour = 0;
    unsigned running = 0, waiting = 0;
    bool logWritable = true;
    std::vector<SlotState> slots;  // in slot-map order, else first appearance
};

class Board {
public:
    // The run durations' histogram buckets, in seconds (upper bounds; +Inf
    // is implied). An upgrade takes from seconds to a few minutes.
    static constexpr std::array<double, 11> kDurationBuckets{5, 10, 20, 30, 45, 60, 90, 120, 180, 300, 600};

    struct Run {
        std::uint64_t seq;
        std::string jsonLine;
    };

    // What /metrics reports: counters since start, never bounded by the
    // run history.
    struct Counters {
        std::map<std::pair<std::string, std::string>, std::uint64_t> runs;     // (result, slot key) -> runs
        std::array<std::uint64_t, kDurationBuckets.size()> durationBuckets{};  // cumulative, as the format wants
        std::uint64_t durationCount = 0;
        double durationSum = 0;
        std::uint64_t lastSeq = 0;
    };

    explicit Board(std::size_t historyLimit = 10000);
    Board(const Board&) = delete;
    Board& operator=(const Board&) = delete;

    // The main loop, as often as it likes: waiters are woken only when
    // something a reader shows has changed (not the clock-driven uptime,
    // elapsed times or rate alone, which the page advances by itself).
    void Publish(StationState state);
    // One finished run, its log line exactly as written (one JSON object,
    // no newline), in log order; numbered 1, 2, ...
    void AddRun(std::string jsonLine, const std::string& slotKey, const std::string& result, double durationSeconds);

    StationState State() const;
    // Up to max runs with seq > since, oldest first, from the bounded history.
    std::vector<Run> RunsSince(std::uint64_t since, std::size_t max) const;
    // The seq of the oldest run still held (0: none held).
    std::uint64_t FirstHeldSeq() const;
    Counters GetCounters() const;

    // The change counter; WaitForChange returns as soon as it differs from
    // seenVersion, at the timeout, or at Close.
    std::uint64_t Version() const;
    std::uint64_t WaitForChange(std::uint64_t seenVersion, std::chrono::milliseconds timeout) const;
    // Wakes every waiter for good: the server is shutting down.
    void Close();
    bool Closed() const;

private:
    const std::size_t historyLimit_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    // The snapshot is swapped as a pointer, so the lock is held for a pointer
    // copy only: a reader preempted while holding it delays Publish by no
    // more than that.
    std::shared_ptr<const StationState> state_ = std::make_shared<const StationState>();
    std::deque<Run> runs_;
    Counters counters_;
    std::uint64_t version_ = 0;
    bool closed_ = false;
};

}  // namespace station
