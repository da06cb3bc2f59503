// The simulator's timing file (vantrel-sim --timing), which the benchmark
// reads: its format read back, turnarounds paired only across neighbouring
// records, and a real run's file in step with what the upgrader did.
#include <gtest/gtest.h>

#include <sstream>
#include <stdexcept>

#include "tests/cli/e2e_fixture.h"
#include "tools/simulator/timing.h"

namespace vantrel::e2e {
namespace {

using namespace std::chrono_literals;
using tools::sim::ParseTiming;
using tools::sim::RecordTiming;
using tools::sim::TimingLog;
using tools::sim::Turnarounds;

TEST(SimTiming, WrittenLogReadsBackWithGaps) {
    TimingLog log;
    log.ReplyLastByte(1, 0x01, 1000);  // a wait: reply only
    log.PayloadFirstByte(2, 0x11, 1500);
    log.ReplyLastByte(2, 0x11, 9000);
    log.PayloadFirstByte(3, 0x12, 9100);  // a send2 left without reply
    std::stringstream text;
    log.Write(text);
    const auto back = ParseTiming(text);
    ASSERT_EQ(back.size(), 3u);
    EXPECT_EQ(back[0].index, 1u);
    EXPECT_EQ(back[0].command, 0x01);
    EXPECT_FALSE(back[0].payload_first_ns.has_value());
    EXPECT_EQ(back[0].reply_last_ns, 1000);
    EXPECT_EQ(back[1].payload_first_ns, 1500);
    EXPECT_EQ(back[1].reply_last_ns, 9000);
    EXPECT_EQ(back[2].command, 0x12);
    EXPECT_EQ(back[2].payload_first_ns, 9100);
    EXPECT_FALSE(back[2].reply_last_ns.has_value());
    EXPECT_EQ(Turnarounds(back), (std::vector<std::int64_t>{500, 100}));
}

TEST(SimTiming, TurnaroundsSkipBrokenPairs) {
    // Record 3 (a delay) left no entry: 2 -> 4 is not a turnaround; a record
    // without reply or without payload breaks its pair too.
    const std::vector<RecordTiming> records = {{1, 0x11, 100, 200},
                                               {2, 0x11, 260, std::nullopt},
                                               {4, 0x11, 900, 1000},
                                               {5, 0x11, std::nullopt, 1200},
                                               {6, 0x11, 1300, 1400}};
    EXPECT_EQ(Turnarounds(records), (std::vector<std::int64_t>{60, 100}));
}

TEST(SimTiming, DamagedLinesAreRefusedWithTheirNumber) {
    for (const char* text : {"1 0x11 5\n", "1 0x11 5 6 7\n", "x 0x11 5 6\n", "1 0x111 5 6\n", "1 0x11 5z 6\n"}) {
        SCOPED_TRACE(text);
        std::stringstream in(std::string("# header\n") + text);
        try {
            ParseTiming(in);
            ADD_FAILURE() << "accepted";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find("line 2"), std::string::npos) << e.what();
        }
    }
}

// A real run: the file lists the records with payload or reply, and every
// next payload started after the reply before it, within the reply timeout.
TEST(SimTiming, RunWritesTheTimesOfEveryExchange) {
    tools::testing::TempDir dir;
    const std::string script = BuildScript(dir, "open\nwait\nsend1 4096\nsend2 4096\nsend1 16\nclose\n");
    const std::string timing = dir.path("timing.txt");
    Simulator sim(script, {"--timing", timing});
    const CliResult run = RunCli(dir.path(""), {"--port", sim.port()}, 8s);
    ASSERT_TRUE(run.exit.has_value());
    ASSERT_EQ(*run.exit, 0) << run.out << run.err;
    ASSERT_EQ(sim.Finish(5s), 0) << sim.output();

    const auto records = tools::sim::ReadTimingFile(timing);
    ASSERT_EQ(records.size(), 4u);
    const std::uint8_t commands[] = {0x01, 0x11, 0x12, 0x11};
    for (std::size_t i = 0; i < records.size(); ++i) {
        EXPECT_EQ(records[i].index, i + 1);
        EXPECT_EQ(records[i].command, commands[i]);
        EXPECT_TRUE(records[i].reply_last_ns.has_value());
        EXPECT_EQ(records[i].payload_first_ns.has_value(), i > 0);
        if (records[i].payload_first_ns && records[i].reply_last_ns) {
            EXPECT_LT(*records[i].payload_first_ns, *records[i].reply_last_ns);
        }
    }
    const auto turns = Turnarounds(records);
    ASSERT_EQ(turns.size(), 3u);
    for (const auto t : turns) {
        EXPECT_GT(t, 0);
        EXPECT_LT(t, 5'000'000'000) << "a turnaround past the reply timeout";
    }
}

TEST(SimTiming, UnwritableTimingFileFailsTheSimulator) {
    tools::testing::TempDir dir;
    const std::string script = BuildScript(dir, "open\nclose\n");
    Simulator sim(script, {"--timing", dir.path("no-such-dir/timing.txt")});
    const CliResult run = RunCli(dir.path(""), {"--port", sim.port()}, 8s);
    ASSERT_TRUE(run.exit.has_value());
    EXPECT_EQ(*run.exit, 0);
    const auto status = sim.Finish(5s);
    ASSERT_TRUE(status.has_value());
    EXPECT_EQ(*status, 2) << sim.output();
    EXPECT_NE(sim.output().find("no-such-dir/timing.txt"), std::string::npos) << sim.output();
}

}  // namespace
}  // namespace vantrel::e2e
