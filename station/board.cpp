// The observers' board: a snapshot under one mutex, a bounded run history
// and the counters. Readers copy out and leave, so the lock is only ever
// held for a copy.
#include "station/board.h"

namespace station {
namespace {

// Whether a reader would show something new. Uptime, elapsed times and the
// rate move with the clock on every pass; the page advances them itself
// and gets the true figures with the next real change, so they alone do
// not wake anyone.
bool Differs(const StationState& a, const StationState& b) {
    if (a.host != b.host || a.scriptName != b.scriptName || a.scriptSize != b.scriptSize ||
        a.scriptSha256 != b.scriptSha256 || a.passed != b.passed || a.failed != b.failed || a.running != b.running ||
        a.waiting != b.waiting || a.logWritable != b.logWritable || a.slots.size() != b.slots.size()) {
        return true;
    }
    for (std::size_t k = 0; k < a.slots.size(); ++k) {
        SlotState x = a.slots[k];
        SlotState y = b.slots[k];
        // A running slot's elapsed time moves on every pass; a finished one's
        // is its run's duration and counts.
        if (x.state == "running" && y.state == "running")
            x.elapsedSeconds = y.elapsedSeconds = 0;
        if (!(x == y))
            return true;
    }
    return false;
}

}  // namespace

Board::Board(std::size_t historyLimit) : historyLimit_(historyLimit == 0 ? 1 : historyLimit) {}

void Board::Publish(StationState state) {
    auto next = std::make_shared<const StationState>(std::move(state));
    std::shared_ptr<const StationState> previous;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        previous = state_;
    }
    // Compared outside the lock: the main loop is the one writer.
    const bool wake = Differs(*previous, *next);
    {
        std::lock_guard<std::mutex> lock(mutex_);
        state_ = std::move(next);
        if (wake)
            ++version_;
    }
    if (wake)
        changed_.notify_all();
}

void Board::AddRun(std::string jsonLine, const std::string& slotKey, const std::string& result,
                   double durationSeconds) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        const std::uint64_t seq = ++counters_.lastSeq;
        runs_.push_back(Run{seq, std::move(jsonLine)});
        while (runs_.size() > historyLimit_)
            runs_.pop_front();
        ++counters_.runs[{result, slotKey}];
        if (durationSeconds < 0)
            durationSeconds = 0;
        for (std::size_t b = 0; b < kDurationBuckets.size(); ++b) {
            if (durationSeconds <= kDurationBuckets[b])
                ++counters_.durationBuckets[b];
        }
        ++counters_.durationCount;
        counters_.durationSum += durationSeconds;
        ++version_;
    }
    changed_.notify_all();
}

StationState Board::State() const {
    std::shared_ptr<const StationState> now;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        now = state_;
    }
    return *now;
}

std::vector<Board::Run> Board::RunsSince(std::uint64_t since, std::size_t max) const {
    std::vector<Run> out;
    std::lock_guard<std::mutex> lock(mutex_);
    if (runs_.empty() || max == 0)
        return out;
    // The history holds consecutive numbers, so the first one wanted is found
    // by arithmetic.
    const std::uint64_t first = runs_.front().seq;
    std::size_t at = since < first ? 0 : static_cast<std::size_t>(since - first + 1);
    for (; at < runs_.size() && out.size() < max; ++at)
        out.push_back(runs_[at]);
    return out;
}

std::uint64_t Board::FirstHeldSeq() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return runs_.empty() ? 0 : runs_.front().seq;
}

Board::Counters Board::GetCounters() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return counters_;
}

std::uint64_t Board::Version() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return version_;
}

std::uint64_t Board::WaitForChange(std::uint64_t seenVersion, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, timeout, [&] { return closed_ || version_ != seenVersion; });
    return version_;
}

void Board::Close() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        closed_ = true;
    }
    changed_.notify_all();
}

bool Board::Closed() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return closed_;
}

}  // namespace station
