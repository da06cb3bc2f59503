// The journal of runs in flight: what a station that died leaves behind,
// read back by the next one, and the lock that keeps two stations apart.
#include <gtest/gtest.h>

#include <fstream>

#include "station/journal.h"
#include "tests/tools/harness.h"

namespace station {
namespace {

RunRecord Starting(const std::string& port, const std::string& serial) {
    RunRecord r;
    r.start = std::chrono::system_clock::time_point(std::chrono::milliseconds(1796728478123));
    r.port = port;
    r.location = "1-1.4";
    r.slot = "A 1";
    r.hardwareId = "USB\\VID_0483&PID_5740";
    r.serial = serial;
    r.attempt = 2;
    r.scriptSize = 4242;
    r.scriptSha256 = "ab12";
    r.baud = "115200";
    return r;
}

TEST(Journal, RunsNotStruckOffAreOrphansWithEveryFieldAndAnyDeviceText) {
    tools::testing::TempDir dir;
    const std::string path = dir.path("runs.log.inflight");
    std::string error;
    {
        auto journal = Journal::Open(path, &error);
        ASSERT_TRUE(journal) << error;
        ASSERT_TRUE(journal->Begin(1, Starting("ttyACM0", "S 1\n\"x\""), &error)) << error;
        ASSERT_TRUE(journal->Begin(2, Starting("ttyACM1", ""), &error)) << error;
        ASSERT_TRUE(journal->Begin(3, Starting("ttyACM2", "C"), &error)) << error;
        ASSERT_TRUE(journal->End(2, &error)) << error;
        // The station dies here.
    }
    std::ofstream(path, std::ios::app) << "begin 4 17967284";  // cut short by the crash: never started
    auto next = Journal::Open(path, &error);
    ASSERT_TRUE(next) << error;
    std::vector<RunRecord> orphans;
    ASSERT_TRUE(next->ReadOrphans(&orphans, &error)) << error;
    ASSERT_EQ(orphans.size(), 2u);
    const RunRecord& a = orphans[0];
    EXPECT_EQ(a.port, "ttyACM0");
    EXPECT_EQ(a.serial, "S 1\n\"x\"");
    EXPECT_EQ(a.location, "1-1.4");
    EXPECT_EQ(a.slot, "A 1");
    EXPECT_EQ(a.hardwareId, "USB\\VID_0483&PID_5740");
    EXPECT_EQ(a.attempt, 2u);
    EXPECT_EQ(a.scriptSize, 4242u);
    EXPECT_EQ(a.scriptSha256, "ab12");
    EXPECT_EQ(a.baud, "115200");
    EXPECT_EQ(a.start, Starting("", "").start);
    EXPECT_EQ(orphans[1].port, "ttyACM2");

    const auto found = a.start + std::chrono::minutes(5);
    const RunRecord r = InterruptedRecord(a, found);
    EXPECT_EQ(r.result, "interrupted");
    EXPECT_EQ(r.end, found);
    EXPECT_EQ(r.exitCode, -1);
    EXPECT_FALSE(r.success);
}

TEST(Journal, EmptiesItselfOnceNoRunIsInFlightAndASecondStationIsRefused) {
    tools::testing::TempDir dir;
    const std::string path = dir.path("j");
    std::string error;
    auto journal = Journal::Open(path, &error);
    ASSERT_TRUE(journal) << error;
    ASSERT_TRUE(journal->Begin(7, Starting("a", "1"), &error));
    ASSERT_TRUE(journal->Begin(8, Starting("b", "2"), &error));
    ASSERT_TRUE(journal->End(8, &error));
    ASSERT_TRUE(journal->End(7, &error));
    std::vector<RunRecord> orphans;
    ASSERT_TRUE(journal->ReadOrphans(&orphans, &error));
    EXPECT_TRUE(orphans.empty());
    std::ifstream in(path);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "") << "no run in flight: nothing kept";

    EXPECT_FALSE(Journal::Open(path, &error)) << "another station holds it";
    EXPECT_NE(error.find("held by another station"), std::string::npos) << error;
}

}  // namespace
}  // namespace station
