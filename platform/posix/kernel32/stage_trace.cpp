// The receive path's time stamps for vantrel-bench; see stage_trace.h.
//
// Stamps go into memory under a mutex (two threads stamp, a few times per
// record, so it is never contended for long) and reach the file only at
// process end, so that taking them costs a clock read and a push, not a
// write on the path being measured.
#include "platform/posix/kernel32/stage_trace.h"

#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

namespace platform::stage {
namespace {

struct Entry {
    std::int64_t ns;
    std::uint32_t count;
    Mark mark;
};

// A bench run stamps a few thousand times; the cap only keeps a runaway
// program from growing without end.
constexpr std::size_t kMaxEntries = 1u << 22;

struct Log {
    std::mutex mutex;
    std::string path;
    std::vector<Entry> entries;
};

// Never destroyed: a watcher may still stamp while the process ends.
Log* TheLog() {
    static Log* const log = [] {
        const char* path = std::getenv("VANTREL_STAGE_TRACE");
        if (path == nullptr || *path == '\0')
            return static_cast<Log*>(nullptr);
        auto* created = new Log;
        created->path = path;
        created->entries.reserve(1u << 16);
        std::atexit(Flush);
        return created;
    }();
    return log;
}

std::int64_t NowNs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

const char* MarkName(Mark mark) {
    switch (mark) {
        case Mark::InQueueSeen:
            return "seen";
        case Mark::SentTaken:
            return "taken";
        case Mark::ReadEnter:
            return "read";
        case Mark::ReadDone:
            return "read_done";
        case Mark::WriteEnter:
            return "write";
        case Mark::WriteDone:
            return "write_done";
    }
    return "?";
}

bool Enabled() { return TheLog() != nullptr; }

void Flush() {
    Log* log = TheLog();
    if (log == nullptr)
        return;
    std::lock_guard<std::mutex> lock(log->mutex);
    if (log->entries.empty())
        return;
    // A trace that cannot be written is the bench's loss, not the tool's:
    // say so on stderr and go on.
    std::FILE* out = std::fopen(log->path.c_str(), "a");
    if (out == nullptr) {
        std::perror(("VANTREL_STAGE_TRACE: " + log->path).c_str());
        return;
    }
    for (const Entry& e : log->entries)
        std::fprintf(out, "%s %lld %u\n", MarkName(e.mark), static_cast<long long>(e.ns), e.count);
    if (std::fclose(out) != 0)
        std::perror(("VANTREL_STAGE_TRACE: " + log->path).c_str());
    log->entries.clear();
}

void Stamp(Mark mark, std::uint32_t count) {
    Log* log = TheLog();
    if (log == nullptr)
        return;
    const std::int64_t ns = NowNs();
    std::lock_guard<std::mutex> lock(log->mutex);
    if (log->entries.size() < kMaxEntries)
        log->entries.push_back(Entry{ns, count, mark});
}

}  // namespace platform::stage
