// The bench's yardstick and its stage split: the reference host must be a
// real host (it plays a script to the simulator's satisfaction, refuses a
// refused reply), and the split must attribute each stamp to the right
// turnaround, or the table would blame the wrong stage.
#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>

#include "bench/stages.h"
#include "tests/cli/e2e_fixture.h"
#include "tools/process/child.h"

namespace vantrel::bench {
namespace {

using namespace std::chrono_literals;
using tools::sim::RecordTiming;

std::vector<StageStamp> Trace(const std::string& text) {
    std::istringstream in(text);
    return ParseStageTrace(in);
}

TEST(BenchStages, TraceLinesReadBackAndDamageIsRefusedWithItsLine) {
    const auto stamps = Trace("seen 100 12\nwrite 250 4096\n");
    ASSERT_EQ(stamps.size(), 2u);
    EXPECT_EQ(stamps[1].name, "write");
    EXPECT_EQ(stamps[1].ns, 250);
    EXPECT_EQ(stamps[1].count, 4096u);
    for (const char* bad : {"seen 100\n", "seen x 12\n", "seen 100 12 7\n"}) {
        SCOPED_TRACE(bad);
        try {
            Trace(std::string("seen 1 1\n") + bad);
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find("line 2"), std::string::npos) << e.what();
        }
    }
}

TEST(BenchStages, EachStageIsTheGapBetweenItsStamps) {
    // Record 1 replies at 1000; the chain runs to record 2's payload at 1100.
    const std::vector<RecordTiming> timing = {{1, 0x11, 500, 1000}, {2, 0x11, 1100, 2000}};
    const auto trace = Trace(
        "write 400 4096\nwrite_done 450 4096\n"  // record 1's own payload
        "seen 1010 12\ntaken 1030 2051\nread 1031 12\nread_done 1035 12\n"
        "write 1050 4096\nwrite_done 1070 4096\n");
    std::size_t skipped = 99;
    const auto splits = SplitTurnarounds(timing, trace, &skipped);
    ASSERT_EQ(splits.size(), 1u);
    EXPECT_EQ(skipped, 0u);
    const std::int64_t want[kStageCount] = {10, 20, 1, 4, 15, 50, 20};
    for (int k = 0; k < kStageCount; ++k)
        EXPECT_EQ(splits[0].ns[k], want[k]) << kStageNames[k];
    EXPECT_EQ(splits[0].total, 100);
}

TEST(BenchStages, AOneThreadHostHasNoHandoff) {
    const std::vector<RecordTiming> timing = {{1, 0x11, 500, 1000}, {2, 0x11, 1100, 2000}};
    const auto trace = Trace("seen 1010 1\nread 1011 12\nread_done 1015 12\nwrite 1016 4096\nwrite_done 1030 4096\n");
    const auto splits = SplitTurnarounds(timing, trace);
    ASSERT_EQ(splits.size(), 1u);
    EXPECT_EQ(splits[0].ns[0], 10);
    EXPECT_EQ(splits[0].ns[1], 0);
    EXPECT_EQ(splits[0].ns[2], 1);
    EXPECT_EQ(splits[0].ns[5], 84);
}

TEST(BenchStages, StampsOfAnotherRecordAreNotBorrowed) {
    // Record 2's turnaround has no notification of its own: the one before
    // record 1's payload must not stand in for it.
    const std::vector<RecordTiming> timing = {{1, 0x11, 500, 1000}, {2, 0x11, 1100, 2000}, {3, 0x11, 2100, 3000}};
    const auto trace = Trace(
        "seen 1010 12\ntaken 1030 2051\nread 1031 12\nread_done 1035 12\nwrite 1050 4096\nwrite_done 1070 4096\n"
        "write 2050 4096\nwrite_done 2070 4096\n");
    std::size_t skipped = 0;
    const auto splits = SplitTurnarounds(timing, trace, &skipped);
    ASSERT_EQ(splits.size(), 1u);
    EXPECT_EQ(splits[0].total, 100);
    EXPECT_EQ(skipped, 1u);
}

std::string ReferenceExe() { return VANTREL_REFERENCE_EXE; }

TEST(BenchReference, PlaysAScriptAsTheSimulatorExpects) {
    tools::testing::TempDir dir;
    const std::string script =
        e2e::BuildScript(dir, "open\nwait\nsend1 4096\nsend2 16\ndelay 1\nsend1 100\nclose\nopen\nsend1 8\nclose\n");
    e2e::Simulator sim(script, {});
    tools::process::Child host({ReferenceExe(), "--port", sim.port(), "--script", script});
    const auto end = host.Wait(20s);
    EXPECT_EQ(end.shell_code(), 0) << host.text(tools::process::Stream::Out) << host.text(tools::process::Stream::Err);
    ASSERT_EQ(sim.Finish(5s), 0) << sim.output();
    const auto summary = sim.summary();
    ASSERT_TRUE(summary.has_value());
    EXPECT_EQ(summary->mismatches, 0u);
    EXPECT_EQ(summary->payload_bytes, e2e::SendPayloadBytes(script));
}

TEST(BenchReference, RefusedReplyFailsTheRun) {
    tools::testing::TempDir dir;
    const std::string script = e2e::BuildScript(dir, "open\nsend1 16\nsend1 16\nclose\n");
    e2e::Simulator sim(script, {"--fault", "2:status:05"});
    tools::process::Child host({ReferenceExe(), "--port", sim.port(), "--script", script});
    const auto end = host.Wait(20s);
    EXPECT_EQ(end.shell_code(), 1);
    EXPECT_NE(host.text(tools::process::Stream::Err).find("record 2 refused"), std::string::npos)
        << host.text(tools::process::Stream::Err);
    sim.Finish(5s);
}

}  // namespace
}  // namespace vantrel::bench
