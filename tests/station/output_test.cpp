// The stdout thread: a reader that stalls never holds the caller, lines
// that matter are never dropped, progress is coalesced, and a reader that
// went away is seen.
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>

#include "station/output.h"

namespace station {
namespace {

using namespace std::chrono_literals;

// A reader that takes nothing until let go.
struct StalledReader {
    std::mutex mutex;
    std::condition_variable released;
    bool open = false;
    std::string written;

    bool Write(const std::string& bytes) {
        std::unique_lock<std::mutex> lock(mutex);
        released.wait(lock, [&] { return open; });
        written += bytes;
        return true;
    }
    void Release() {
        std::lock_guard<std::mutex> lock(mutex);
        open = true;
        released.notify_all();
    }
};

TEST(Output, AStalledReaderNeverHoldsTheCallerAndLosesNoLineThatMatters) {
    auto reader = std::make_shared<StalledReader>();
    Output out([reader](const std::string& bytes) { return reader->Write(bytes); });
    const auto before = std::chrono::steady_clock::now();
    out.Line("start: a\n");  // taken by the thread, which then blocks
    for (int k = 0; k < 10000; ++k)
        out.Progress("a", "progress: a " + std::to_string(k) + "/10000\n");
    out.Line("end: a success\n");
    out.Progress("a", "progress: a after\n");
    out.Frame("frame 1");
    out.Frame("frame 2");
    EXPECT_LT(std::chrono::steady_clock::now() - before, 2s) << "queued, never written by the caller";
    EXPECT_FALSE(out.Drain(50ms)) << "the reader still stalls";
    reader->Release();
    ASSERT_TRUE(out.Drain(10s));
    EXPECT_EQ(reader->written, "start: a\nprogress: a 9999/10000\nend: a success\nprogress: a after\nframe 2")
        << "progress coalesced to the newest, never moved past an end line; the newest frame only";
}

TEST(Output, AWriteThatFailsMarksTheOutputGone) {
    int writes = 0;
    Output out([&](const std::string&) {
        ++writes;
        return false;
    });
    out.Line("one\n");
    ASSERT_TRUE(out.Drain(10s));
    EXPECT_TRUE(out.gone());
    out.Line("two\n");
    ASSERT_TRUE(out.Drain(10s));
    EXPECT_EQ(writes, 1) << "nothing more is written to a reader that went away";
}

}  // namespace
}  // namespace station
