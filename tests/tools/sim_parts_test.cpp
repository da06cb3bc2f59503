// The simulator's pieces that need no pty: fault descriptions, the shape
// of replies under faults, and the upgrader's timeline (on fixed time
// points, no clock).
#include <gtest/gtest.h>

#include <stdexcept>

#include "tools/simulator/fault.h"
#include "tools/simulator/reply_plan.h"
#include "tools/simulator/timeline.h"

namespace tools::sim {
namespace {

using namespace std::chrono_literals;

TEST(ParseFault, ReadsEveryKindWithItsArguments) {
    EXPECT_EQ(ParseFault("3:noreply").kind, FaultKind::NoReply);
    EXPECT_EQ(ParseFault("3:noreply").index, 3u);
    const Fault status = ParseFault("1:status:A5");
    EXPECT_EQ(status.kind, FaultKind::Status);
    EXPECT_EQ(status.value, 0xA5u);
    EXPECT_EQ(ParseFault("2:byte3:00").value, 0u);
    const Fault split = ParseFault("4:split:3:250");
    EXPECT_EQ(split.value, 3u);
    EXPECT_EQ(split.gap_ms, 250u);
    EXPECT_EQ(ParseFault("0:extra:1").kind, FaultKind::Extra);
    EXPECT_EQ(ParseFault("0:short:6").value, 6u);
    EXPECT_EQ(ParseFault("0:garbage:2").kind, FaultKind::Garbage);
    EXPECT_EQ(ParseFault("0:delay:900").value, 900u);
    EXPECT_EQ(ParseFault("0:unplug").kind, FaultKind::Unplug);
    EXPECT_EQ(ParseFault("5:noise-during-delay:7").kind, FaultKind::NoiseDuringDelay);
    EXPECT_EQ(ParseFault("3:unplug-during-delay").kind, FaultKind::UnplugDuringDelay);
    EXPECT_EQ(ParseFault("1:stall:2500").kind, FaultKind::Stall);
    EXPECT_EQ(ParseFault("1:stall:2500").value, 2500u);
}

TEST(ParseFault, ReplugKeepsTheWholePath) {
    const Fault f = ParseFault("2:replug:/tmp/odd:name");
    EXPECT_EQ(f.kind, FaultKind::Replug);
    EXPECT_EQ(f.path, "/tmp/odd:name");
}

TEST(ParseFault, RejectsMalformedSpecifications) {
    for (const char* bad : {"", "x:noreply", "1", "1:bogus", "1:status", "1:status:1FF", "1:status:zz", "1:split:4",
                            "1:split:0:10", "1:noreply:3", "1:replug:", "-1:unplug", "1:extra:-2"}) {
        EXPECT_THROW(ParseFault(bad), std::invalid_argument) << bad;
    }
}

TEST(FaultMisfit, ReplyFaultsNeedARecordThatIsAnswered) {
    EXPECT_TRUE(FaultMisfit(ParseFault("0:status:01"), CMD_WAIT).empty());
    EXPECT_TRUE(FaultMisfit(ParseFault("0:status:01"), CMD_SEND_F1).empty());
    EXPECT_FALSE(FaultMisfit(ParseFault("0:status:01"), CMD_SEND_F2).empty());
    EXPECT_TRUE(FaultMisfit(ParseFault("0:byte3:01"), CMD_SEND_F2).empty());
    EXPECT_FALSE(FaultMisfit(ParseFault("0:byte3:01"), CMD_WAIT).empty());
    EXPECT_FALSE(FaultMisfit(ParseFault("0:noreply"), CMD_DELAY).empty());
    EXPECT_TRUE(FaultMisfit(ParseFault("0:noise-during-delay:3"), CMD_DELAY).empty());
    EXPECT_FALSE(FaultMisfit(ParseFault("0:noise-during-delay:3"), CMD_OPEN_PORT).empty());
    EXPECT_TRUE(FaultMisfit(ParseFault("0:unplug"), CMD_CLOSE_PORT).empty());
    EXPECT_TRUE(FaultMisfit(ParseFault("0:unplug-during-delay"), CMD_DELAY).empty());
    EXPECT_FALSE(FaultMisfit(ParseFault("0:unplug-during-delay"), CMD_SEND_F1).empty());
}

TEST(PlanReply, CleanRepliesAreTheSuccessFrames) {
    const auto f1 = PlanReply(CMD_SEND_F1, {});
    EXPECT_EQ(f1.bytes, Format1Reply(0));
    EXPECT_EQ(f1.bytes.size(), 12u);
    EXPECT_EQ(f1.bytes[6], 0);
    EXPECT_TRUE(f1.accepted);
    EXPECT_EQ(PlanReply(CMD_WAIT, {}).bytes, Format1Reply(0));
    const auto f2 = PlanReply(CMD_SEND_F2, {});
    ASSERT_EQ(f2.bytes.size(), 5u);
    EXPECT_EQ(f2.bytes[3], '$');
    EXPECT_TRUE(f2.accepted);
    EXPECT_EQ(f2.faults_applied, 0u);
}

TEST(PlanReply, CodeFaultsChangeOnlyTheExaminedByte) {
    const auto f1 = PlanReply(CMD_SEND_F1, {ParseFault("0:status:05")});
    auto expected = Format1Reply(0);
    expected[6] = 0x05;
    EXPECT_EQ(f1.bytes, expected);
    EXPECT_FALSE(f1.accepted);
    const auto f2 = PlanReply(CMD_SEND_F2, {ParseFault("0:byte3:23")});
    EXPECT_EQ(f2.bytes[3], 0x23);
    EXPECT_EQ(f2.bytes.size(), 5u);
    EXPECT_FALSE(f2.accepted);
}

TEST(PlanReply, LengthFaultsKeepTheUpgraderFromAccepting) {
    const auto extra = PlanReply(CMD_SEND_F1, {ParseFault("0:extra:1")});
    ASSERT_EQ(extra.bytes.size(), 13u);
    EXPECT_EQ(extra.bytes[12], kExtraByte);
    EXPECT_FALSE(extra.accepted);
    const auto cut = PlanReply(CMD_SEND_F2, {ParseFault("0:short:3")});
    EXPECT_EQ(cut.bytes, (std::vector<std::uint8_t>{0xF2, 0x01, 0x02}));
    EXPECT_FALSE(cut.accepted);
    const auto junk = PlanReply(CMD_WAIT, {ParseFault("0:garbage:2")});
    ASSERT_EQ(junk.bytes.size(), 14u);
    EXPECT_EQ(junk.bytes[0], kGarbageByte);
    EXPECT_EQ(junk.bytes[2], 0xF1);
    EXPECT_FALSE(junk.accepted);
    const auto none = PlanReply(CMD_SEND_F1, {ParseFault("0:noreply")});
    EXPECT_FALSE(none.send);
    EXPECT_TRUE(none.bytes.empty());
    EXPECT_FALSE(none.accepted);
}

TEST(PlanReply, SplitAndDelayStillGiveAnAcceptedFrame) {
    const auto p = PlanReply(CMD_SEND_F1, {ParseFault("0:split:5:40"), ParseFault("0:delay:300")});
    EXPECT_EQ(p.bytes, Format1Reply(0));
    EXPECT_EQ(p.piece, 5u);
    EXPECT_EQ(p.gap_ms, 40u);
    EXPECT_EQ(p.delay_ms, 300u);
    EXPECT_TRUE(p.accepted);
    EXPECT_EQ(p.faults_applied, 2u);
}

TEST(PlanReply, PortFaultsAreNotCountedAsReplyFaults) {
    EXPECT_EQ(PlanReply(CMD_WAIT, {ParseFault("0:unplug")}).faults_applied, 0u);
}

class TimelineTest : public ::testing::Test {
protected:
    Timeline::TimePoint t0{};  // an arbitrary origin
};

TEST_F(TimelineTest, NextRecordComesOneSecondAfterTheOpenIsSeen) {
    Timeline t(t0);
    t.PortOpened(t0 + 250ms);
    EXPECT_EQ(t.NextTake(), t0 + 1250ms);
}

TEST_F(TimelineTest, DelaysAddUpFromTheTakeOfTheDelayRecord) {
    Timeline t(t0);
    t.PortOpened(t0);
    t.Delay(3);
    t.Delay(0);
    EXPECT_EQ(t.NextTake(), t0 + 4s);
}

TEST_F(TimelineTest, AcceptedReplyMovesTheTakeToTheReply) {
    Timeline t(t0);
    t.PortOpened(t0);  // next take at 1 s
    t.ReplyAccepted(t0 + 1400ms);
    EXPECT_EQ(t.NextTake(), t0 + 1400ms);
}

TEST_F(TimelineTest, EstimatesNeverMoveEarlier) {
    Timeline t(t0);
    t.Delay(10);
    // A reply seen before the estimated take cannot pull it forward: an early
    // answer to a CMD_WAIT would land in the upgrader's previous record.
    t.ReplyAccepted(t0 + 2s);
    EXPECT_EQ(t.NextTake(), t0 + 10s);
    t.PortClosed(t0 + 3s);
    EXPECT_EQ(t.NextTake(), t0 + 11s);
}

TEST_F(TimelineTest, RefusedReplyWaitsOutTheUpgradersTimeout) {
    Timeline t(t0);
    t.ReplyRefused(t0 + 100ms, kReplyTimeout);
    EXPECT_EQ(t.NextTake(), t0 + 5100ms);
    t.ReplyRefused(t0 + 6s, kWaitTimeout);
    EXPECT_EQ(t.NextTake(), t0 + 21s);
}

}  // namespace
}  // namespace tools::sim
