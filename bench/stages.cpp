// Reading the stage trace and splitting turnarounds; see stages.h.
#include "bench/stages.h"

#include <algorithm>
#include <fstream>
#include <optional>
#include <sstream>
#include <stdexcept>

namespace vantrel::bench {

const char* const kStageNames[kStageCount] = {
    "reply written .. watcher sees it (arrive)",
    "watcher sends .. window thread takes it (handoff)",
    "taken .. OnDebugRead's ReadFile (dispatch)",
    "ReadFile (read)",
    "ReadFile returns .. next WriteFile (engine)",
    "WriteFile begins .. terminal reads (deliver)",
    "  the WriteFile call itself",
};

std::vector<StageStamp> ParseStageTrace(std::istream& in) {
    std::vector<StageStamp> out;
    std::string line;
    for (std::size_t number = 1; std::getline(in, line); ++number) {
        if (line.empty())
            continue;
        std::istringstream fields(line);
        StageStamp s;
        long long ns = 0;
        unsigned long count = 0;
        std::string rest;
        if (!(fields >> s.name >> ns >> count) || (fields >> rest)) {
            throw std::runtime_error("stage trace line " + std::to_string(number) + " cannot be read: " + line);
        }
        s.ns = ns;
        s.count = static_cast<std::uint32_t>(count);
        out.push_back(std::move(s));
    }
    return out;
}

std::vector<StageStamp> ReadStageTrace(const std::string& path) {
    std::ifstream in(path);
    if (!in)
        throw std::runtime_error("cannot open the stage trace " + path);
    return ParseStageTrace(in);
}

namespace {

// The stamps of one name in time order, for searches by time.
class Series {
public:
    Series(const std::vector<StageStamp>& trace, const std::string& name, bool with_bytes) {
        for (const StageStamp& s : trace) {
            if (s.name == name && (!with_bytes || s.count > 0))
                ns_.push_back(s.ns);
        }
        std::sort(ns_.begin(), ns_.end());
    }
    bool empty() const { return ns_.empty(); }
    // The last stamp at or before t.
    std::optional<std::int64_t> LastUpTo(std::int64_t t) const {
        auto it = std::upper_bound(ns_.begin(), ns_.end(), t);
        if (it == ns_.begin())
            return std::nullopt;
        return *std::prev(it);
    }
    // The first stamp at or after t.
    std::optional<std::int64_t> FirstFrom(std::int64_t t) const {
        auto it = std::lower_bound(ns_.begin(), ns_.end(), t);
        if (it == ns_.end())
            return std::nullopt;
        return *it;
    }

private:
    std::vector<std::int64_t> ns_;
};

}  // namespace

std::vector<StageSplit> SplitTurnarounds(const std::vector<tools::sim::RecordTiming>& timing,
                                         const std::vector<StageStamp>& trace, std::size_t* skipped) {
    const Series seen(trace, "seen", true), taken(trace, "taken", false), read(trace, "read", false),
        read_done(trace, "read_done", true), write(trace, "write", true), write_done(trace, "write_done", false);
    // A host on one thread has no hand-off and stamps no "taken".
    const bool one_thread = taken.empty();
    std::vector<StageSplit> out;
    std::size_t left_out = 0;
    for (std::size_t i = 0; i + 1 < timing.size(); ++i) {
        const auto& a = timing[i];
        const auto& b = timing[i + 1];
        if (b.index != a.index + 1 || !a.reply_last_ns || !b.payload_first_ns)
            continue;
        const std::int64_t reply = *a.reply_last_ns, payload = *b.payload_first_ns;
        // The chain runs backwards from the payload's write: the read that
        // delivered the reply, the notification that caused it, and the
        // watcher's look that sent it. Each must come after the previous
        // payload's write, or it belongs to another record.
        const auto w = write.FirstFrom(reply);
        const auto previous_write = write.LastUpTo(reply);
        std::optional<std::int64_t> rd, r, tk, s, wd;
        if (w && *w <= payload)
            rd = read_done.LastUpTo(*w);
        if (rd)
            r = read.LastUpTo(*rd);
        if (r && one_thread) {
            s = seen.LastUpTo(*r);
            tk = s;
        } else if (r) {
            tk = taken.LastUpTo(*r);
            if (tk)
                s = seen.LastUpTo(*tk);
        }
        if (w)
            wd = write_done.FirstFrom(*w);
        if (!s || !wd || (previous_write && *s < *previous_write)) {
            ++left_out;
            continue;
        }
        StageSplit split;
        split.ns[0] = *s - reply;
        split.ns[1] = *tk - *s;
        split.ns[2] = *r - *tk;
        split.ns[3] = *rd - *r;
        split.ns[4] = *w - *rd;
        split.ns[5] = payload - *w;
        split.ns[6] = *wd - *w;
        split.total = payload - reply;
        out.push_back(split);
    }
    if (skipped)
        *skipped = left_out;
    return out;
}

}  // namespace vantrel::bench
