// The scheduler as a state machine: fake children and a test clock, so the
// queue, the caps, settling, unplugs, replugs, retries, hangs and the stop
// and kill graces each take milliseconds. Portable: it runs in the Windows
// build under Wine too.
#include <gtest/gtest.h>

#include <deque>
#include <map>
#include <memory>

#include "station/runs.h"
#include "tools/script_format.h"

namespace station {
namespace {

using namespace std::chrono_literals;

// What a fake child does, shared between the test and the child object.
struct FakeState {
    std::vector<std::string> argv;
    std::deque<ChildLine> lines;
    std::optional<ChildEnd> end;
    int stops = 0;
    int kills = 0;
    bool abandoned = false;
    bool diesOnKill = true;
    bool destroyed = false;
    // A line the child writes as it exits, read only by End's own look at
    // it (the real host reads the pipes once more there).
    std::optional<ChildLine> lastLineSeenAtEnd;

    void Out(const std::string& text) { lines.push_back({false, text}); }
    void Err(const std::string& text) { lines.push_back({true, text}); }
    void Ends(const std::string& word, int code) {
        Out("result: " + word);
        end = EndOf(code, 0);
    }
};

class FakeChild : public RunChild {
public:
    explicit FakeChild(std::shared_ptr<FakeState> state) : state_(std::move(state)) {}
    ~FakeChild() override { state_->destroyed = true; }
    std::optional<ChildLine> TakeLine() override {
        if (state_->lines.empty())
            return std::nullopt;
        ChildLine line = state_->lines.front();
        state_->lines.pop_front();
        return line;
    }
    std::optional<ChildEnd> End() override {
        if (!state_->lines.empty())
            return std::nullopt;
        if (state_->end && state_->lastLineSeenAtEnd) {
            state_->lines.push_back(*state_->lastLineSeenAtEnd);
            state_->lastLineSeenAtEnd.reset();
        }
        return state_->end;
    }
    void Stop() override { ++state_->stops; }
    void Kill() override {
        ++state_->kills;
        if (state_->diesOnKill)
            state_->end = EndOf(-1, 9);
    }
    void Abandon() override { state_->abandoned = true; }

private:
    std::shared_ptr<FakeState> state_;
};

std::vector<std::uint8_t> TwoSendScript() {
    std::vector<std::uint8_t> bytes(tools::kHeaderSize, 0x5A);
    tools::AppendRecord(bytes, tools::CMD_OPEN_PORT, {});
    tools::AppendRecord(bytes, tools::CMD_SEND_F1, std::vector<std::uint8_t>(100, 1));
    tools::AppendRecord(bytes, tools::CMD_SEND_F2, std::vector<std::uint8_t>(50, 2));
    tools::AppendRecord(bytes, tools::CMD_CLOSE_PORT, {});
    return bytes;
}

Terminal Unit(const std::string& port, const std::string& serial = "", const std::string& location = "") {
    return Terminal{port, "USB\\VID_0483&PID_5740", serial, location};
}

class SchedulerTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        script_ = PrivateScript::FromBytes("s.asc", TwoSendScript(), &error);
        ASSERT_TRUE(script_) << error;
        config_.cli = "vantrel-cli";
        config_.baud = "3686400";
        config_.hangLimit = 20s;
        config_.startChild = [this](const std::vector<std::string>& argv, const std::string&,
                                    std::string* error) -> std::unique_ptr<RunChild> {
            if (failStarts_) {
                *error = "running vantrel-cli: No such file or directory";
                return nullptr;
            }
            auto state = std::make_shared<FakeState>();
            state->argv = argv;
            children_.push_back(state);
            byPort_[argv[2]] = state;
            return std::make_unique<FakeChild>(state);
        };
    }

    Scheduler& Make() {
        scheduler_ = std::make_unique<Scheduler>(*script_, config_);
        return *scheduler_;
    }
    // Scans (complete unless told) and steps at the current test time.
    void See(const std::vector<Terminal>& present, bool complete = true) {
        scheduler_->Observe(present, complete, now_);
        Step();
    }
    void Step() {
        scheduler_->Step(now_);
        for (RunEvent& e : scheduler_->TakeEvents()) {
            if (e.kind == RunEvent::Kind::End) {
                ends_.push_back(e.record);
                endKeys_.push_back(e.key);
            }
            if (e.kind == RunEvent::Kind::Start)
                starts_.push_back(e);
            if (e.kind == RunEvent::Kind::Note)
                notes_.push_back(e.note);
        }
    }
    void Pass(Clock::duration d) {
        now_ += d;
        Step();
    }
    FakeState& Child(const std::string& port) { return *byPort_.at(port); }
    const TerminalRow* Row(const std::string& key) {
        rows_ = scheduler_->Rows(now_);
        for (const auto& r : rows_) {
            if (r.key == key)
                return &r;
        }
        return nullptr;
    }

    std::unique_ptr<PrivateScript> script_;
    SchedulerConfig config_;
    std::unique_ptr<Scheduler> scheduler_;
    Clock::time_point now_ = Clock::time_point() + 1000h;
    std::vector<std::shared_ptr<FakeState>> children_;
    std::map<std::string, std::shared_ptr<FakeState>> byPort_;
    std::vector<RunRecord> ends_;
    std::vector<std::string> endKeys_;  // each end's row key, as the page counts it
    std::vector<RunEvent> starts_;
    std::vector<std::string> notes_;
    std::vector<TerminalRow> rows_;
    bool failStarts_ = false;
};

TEST_F(SchedulerTest, UnitsQueueInOrderOfArrivalUnderTheJobsCapAndEachRunsOncePerPlugIn) {
    config_.jobs = 2;
    Make();
    See({Unit("ttyACM0"), Unit("ttyACM1"), Unit("ttyACM2")});
    ASSERT_EQ(children_.size(), 2u);
    EXPECT_EQ(children_[0]->argv, (std::vector<std::string>{"vantrel-cli", "--port", "ttyACM0", "--baud", "3686400"}));
    EXPECT_EQ(children_[1]->argv[2], "ttyACM1");
    EXPECT_EQ(scheduler_->waiting(), 1u);
    Child("ttyACM1").Out("progress: 40/100");
    Child("ttyACM1").Ends("success", 0);
    See({Unit("ttyACM0"), Unit("ttyACM1"), Unit("ttyACM2")});
    ASSERT_EQ(children_.size(), 3u) << "the third starts once a place is free";
    EXPECT_EQ(children_[2]->argv[2], "ttyACM2");
    ASSERT_EQ(ends_.size(), 1u);
    EXPECT_TRUE(ends_[0].success);
    EXPECT_EQ(ends_[0].payloadBytes, 150u);
    EXPECT_EQ(endKeys_[0], "ttyACM1") << "without a map or a location, a row is its port";
    for (int k = 0; k < 5; ++k)
        See({Unit("ttyACM0"), Unit("ttyACM1"), Unit("ttyACM2")});
    EXPECT_EQ(children_.size(), 3u) << "a finished unit still plugged in is not run again";
}

TEST_F(SchedulerTest, WithoutAJobsCapEveryUnitPresentRunsAtOnce) {
    Make();
    std::vector<Terminal> eight;
    for (int k = 0; k < 8; ++k)
        eight.push_back(Unit("ttyACM" + std::to_string(k)));
    See(eight);
    EXPECT_EQ(children_.size(), 8u);
    EXPECT_EQ(scheduler_->running(), 8u);
}

TEST_F(SchedulerTest, OnlyTwoCompleteScansInARowUnplugAUnitAndAnIncompleteScanNeverDoes) {
    Make();
    See({Unit("ttyACM0", "A")});
    Child("ttyACM0").Ends("success", 0);
    See({Unit("ttyACM0", "A")});
    ASSERT_EQ(ends_.size(), 1u);
    See({});  // one scan missed it: a glitch, not an unplug
    See({Unit("ttyACM0", "A")});
    EXPECT_EQ(children_.size(), 1u) << "a finished unit missed by one scan is not flashed again";
    for (int k = 0; k < 5; ++k)
        See({}, /*complete=*/false);
    See({Unit("ttyACM0", "A")});
    EXPECT_EQ(children_.size(), 1u) << "incomplete scans tell nothing of absences";
    See({});
    See({});
    See({Unit("ttyACM0", "A")});
    EXPECT_EQ(children_.size(), 2u) << "gone for two complete scans and back: a new plug-in";
}

TEST_F(SchedulerTest, ANewPortWaitsUntilItOpensForThisUserOrTheSettlingTimeHasPassed) {
    bool ready = false;
    config_.portReady = [&](const std::string&) { return ready; };
    Make();
    See({Unit("ttyACM0")});
    Pass(1s);
    EXPECT_TRUE(children_.empty());
    EXPECT_EQ(Row("ttyACM0")->state, "settling");
    ready = true;
    Step();
    EXPECT_EQ(children_.size(), 1u) << "ready: started at once";

    ready = false;
    See({Unit("ttyACM0"), Unit("ttyACM1")});
    Pass(2900ms);
    EXPECT_EQ(children_.size(), 1u);
    Pass(200ms);
    EXPECT_EQ(children_.size(), 2u) << "never ready: tried after the settling time anyway";
}

TEST_F(SchedulerTest, AnOpenThatFailsWhileThePortSettlesIsTriedAgainAndNotRecorded) {
    bool ready = true;
    config_.portReady = [&](const std::string&) { return ready; };
    Make();
    See({Unit("ttyACM0", "A")});
    ASSERT_EQ(children_.size(), 1u);
    ready = false;  // the rules took the node back for a moment
    Child("ttyACM0").Err("open /dev/ttyACM0: permission denied");
    Child("ttyACM0").Ends("port-open-failed", 4);
    Pass(500ms);
    EXPECT_TRUE(ends_.empty()) << "not the unit's failure";
    ASSERT_EQ(notes_.size(), 1u);
    EXPECT_NE(notes_[0].find("permission denied"), std::string::npos);
    EXPECT_EQ(children_.size(), 1u) << "not before it opens";
    ready = true;
    Pass(100ms);
    ASSERT_EQ(children_.size(), 2u);
    Child("ttyACM0").Ends("success", 0);
    Pass(100ms);
    ASSERT_EQ(ends_.size(), 1u);
    EXPECT_TRUE(ends_[0].success);
    EXPECT_EQ(ends_[0].attempt, 1u);

    // After the settling time an open failure is the run's result.
    See({Unit("ttyACM0", "A"), Unit("ttyACM1", "B")});
    Pass(4s);
    ASSERT_EQ(children_.size(), 3u);
    Child("ttyACM1").Ends("port-open-failed", 4);
    Step();
    ASSERT_EQ(ends_.size(), 2u);
    EXPECT_EQ(ends_[1].result, "port-open-failed");
}

// The child's last line (its result) may be read by the very look that
// finds it has exited: the run is still a success, and with retries it is
// not flashed again.
TEST_F(SchedulerTest, AResultReadAsTheChildEndsStillCountsAndIsNotRetried) {
    config_.retries = 2;
    Make();
    See({Unit("ttyACM0", "A")});
    Child("ttyACM0").Out("progress: ttyACM0 150/150");
    Child("ttyACM0").lastLineSeenAtEnd = ChildLine{false, "result: success"};
    Child("ttyACM0").end = EndOf(0, 0);
    See({Unit("ttyACM0", "A")});
    See({Unit("ttyACM0", "A")});
    ASSERT_EQ(ends_.size(), 1u);
    EXPECT_EQ(ends_[0].result, "success");
    EXPECT_TRUE(ends_[0].success);
    EXPECT_EQ(children_.size(), 1u) << "a unit that succeeded is not run again";
}

TEST_F(SchedulerTest, AFailedRunIsTriedAgainUpToTheRetriesWhileTheSameUnitStaysPlugged) {
    config_.retries = 2;
    Make();
    See({Unit("ttyACM0", "A")});
    Child("ttyACM0").Ends("reply-timeout", 6);
    See({Unit("ttyACM0", "A")});
    ASSERT_EQ(children_.size(), 2u);
    Child("ttyACM0").Ends("success", 0);
    See({Unit("ttyACM0", "A")});
    ASSERT_EQ(ends_.size(), 2u);
    EXPECT_EQ(ends_[0].attempt, 1u);
    EXPECT_EQ(ends_[0].result, "reply-timeout");
    EXPECT_EQ(ends_[1].attempt, 2u);
    EXPECT_TRUE(ends_[1].success);
    EXPECT_EQ(children_.size(), 2u) << "no retry after a success";

    // The cap: three attempts in all, then no more.
    See({Unit("ttyACM0", "A"), Unit("ttyACM1", "B")});
    for (int k = 0; k < 5; ++k) {
        if (byPort_.count("ttyACM1") && !Child("ttyACM1").end)
            Child("ttyACM1").Ends("write-failed", 10);
        See({Unit("ttyACM0", "A"), Unit("ttyACM1", "B")});
    }
    EXPECT_EQ(children_.size(), 5u);
    EXPECT_EQ(ends_.back().attempt, 3u);
    EXPECT_EQ(Row("ttyACM1")->attempt, 3u);
}

TEST_F(SchedulerTest, ARefusedScriptAnUnplugAndAStopAreNeverRetried) {
    config_.retries = 3;
    Make();
    See({Unit("ttyACM0", "A"), Unit("ttyACM1", "B"), Unit("ttyACM2", "C")});
    Child("ttyACM0").Ends("format1-refused", 7);
    See({Unit("ttyACM0", "A"), Unit("ttyACM1", "B"), Unit("ttyACM2", "C")});
    See({Unit("ttyACM0", "A"), Unit("ttyACM2", "C")});
    See({Unit("ttyACM0", "A"), Unit("ttyACM2", "C")});
    Child("ttyACM1").Ends("write-failed", 10);  // it was pulled mid-run
    See({Unit("ttyACM0", "A"), Unit("ttyACM2", "C")});
    scheduler_->StopAll(now_);
    Child("ttyACM2").Ends("interrupted", 130);
    Step();
    EXPECT_EQ(children_.size(), 3u);
    EXPECT_EQ(ends_.size(), 3u);
}

TEST_F(SchedulerTest, APortThatComesBackDuringARunStartsANewUnitAndTheOldLineKeepsItsOwnSerial) {
    Make();
    See({Unit("ttyACM0", "OLD", "1-1")});
    See({});
    See({});  // unplugged mid-run; the child has not noticed yet
    See({Unit("ttyACM0", "NEW", "1-1")});
    Child("ttyACM0").Ends("write-failed", 10);
    auto& old = Child("ttyACM0");
    See({Unit("ttyACM0", "NEW", "1-1")});
    ASSERT_EQ(ends_.size(), 1u);
    EXPECT_EQ(ends_[0].serial, "OLD");
    EXPECT_EQ(ends_[0].location, "1-1");
    ASSERT_EQ(children_.size(), 2u) << "the unit that came back gets its own run";
    EXPECT_NE(&old, children_[1].get());
    EXPECT_EQ(starts_.back().serial, "NEW");

    // Another unit at the port between two scans, while a run goes on, is a new unit too.
    See({Unit("ttyACM0", "THIRD", "1-1")});
    Child("ttyACM0").Ends("success", 0);
    See({Unit("ttyACM0", "THIRD", "1-1")});
    EXPECT_EQ(ends_.back().serial, "NEW");
    EXPECT_EQ(children_.size(), 3u);
}

TEST_F(SchedulerTest, ASilentRunIsKilledAsAHangAndAChildThatIgnoresKillIsLeftAsUnkillable) {
    config_.hangLimit = 20s;
    Make();
    See({Unit("ttyACM0"), Unit("ttyACM1")});
    Pass(10s);
    Child("ttyACM0").Out("progress: 10/100");  // ttyACM0 is alive
    Step();
    Child("ttyACM1").diesOnKill = false;
    Pass(10s + 1ms);
    Pass(1s);
    EXPECT_EQ(Child("ttyACM0").kills, 0);
    EXPECT_EQ(Child("ttyACM1").kills, 1);
    Pass(9s);
    EXPECT_EQ(Child("ttyACM0").kills, 1);
    EXPECT_TRUE(ends_.empty()) << "a killed child is given its grace";
    Pass(1s);
    ASSERT_EQ(ends_.size(), 2u);
    EXPECT_EQ(ends_[0].port, "ttyACM0");
    EXPECT_EQ(ends_[0].result, "hang");
    EXPECT_EQ(ends_[0].exitCode, 137);
    EXPECT_EQ(ends_[1].result, "unkillable");
    EXPECT_EQ(ends_[1].exitCode, -1);
    EXPECT_TRUE(Child("ttyACM1").abandoned);
    EXPECT_EQ(scheduler_->running(), 0u) << "nothing of the station waits for it";
}

TEST_F(SchedulerTest, StopAsksEveryRunThenKillsAfterTheGraceAndKillAllEndsThemAsKilled) {
    Make();
    See({Unit("ttyACM0"), Unit("ttyACM1"), Unit("ttyACM2")});
    scheduler_->StopAll(now_);
    EXPECT_EQ(Child("ttyACM0").stops, 1);
    Child("ttyACM0").Ends("interrupted", 130);
    Pass(9s);
    EXPECT_EQ(Child("ttyACM1").kills, 0);
    Pass(2s);
    EXPECT_EQ(Child("ttyACM1").kills, 1) << "still running after the grace";
    Step();
    EXPECT_EQ(ends_.size(), 3u);
    See({Unit("ttyACM0"), Unit("ttyACM1"), Unit("ttyACM2"), Unit("ttyACM3")});
    EXPECT_EQ(children_.size(), 3u) << "nothing starts once stopping";

    Make();
    children_.clear();
    ends_.clear();
    See({Unit("ttyACM5")});
    scheduler_->StopAll(now_);
    Pass(1s);
    scheduler_->KillAll(now_);  // the operator asked again
    Step();
    ASSERT_EQ(ends_.size(), 1u);
    EXPECT_EQ(ends_[0].result, "killed");
}

TEST_F(SchedulerTest, WithASlotMapOnlyMappedLocationsRunAndTheRecordsCarryTheLabels) {
    std::string error;
    config_.slots = SlotMap::Parse("1-1.1 A1\n1-1.2 A2\n# the engineer's own port is not here\n", "map", &error);
    ASSERT_TRUE(config_.slots) << error;
    Make();
    See({Unit("ttyACM0", "X", "1-1.2"), Unit("ttyACM1", "Y", "3-2")});
    ASSERT_EQ(children_.size(), 1u);
    EXPECT_EQ(children_[0]->argv[2], "ttyACM0");
    const auto rows = scheduler_->Rows(now_);
    ASSERT_EQ(rows.size(), 3u);
    EXPECT_EQ(rows[0].key, "A1");
    EXPECT_EQ(rows[0].state, "empty");
    EXPECT_EQ(rows[1].key, "A2");
    EXPECT_EQ(rows[1].state, "running");
    EXPECT_EQ(rows[2].state, "not a slot");
    EXPECT_EQ(rows[2].location, "3-2");
    Child("ttyACM0").Ends("success", 0);
    for (int k = 0; k < 3; ++k)
        See({Unit("ttyACM0", "X", "1-1.2"), Unit("ttyACM1", "Y", "3-2")});
    ASSERT_EQ(ends_.size(), 1u);
    EXPECT_EQ(ends_[0].slot, "A2");
    EXPECT_EQ(ends_[0].location, "1-1.2");
    EXPECT_EQ(endKeys_[0], "A2");
    EXPECT_EQ(children_.size(), 1u);
    EXPECT_EQ(Row("A2")->successes, 1u);
    See({});
    See({});
    EXPECT_EQ(scheduler_->Rows(now_).size(), 2u) << "a place that is no slot leaves with its unit";
    EXPECT_EQ(Row("A2")->state, "empty");
    EXPECT_EQ(Row("A2")->successes, 1u) << "a slot keeps its counts";
}

TEST_F(SchedulerTest, TwoUnitsWithTheSameSerialBothRunAndBothLinesSaySo) {
    Make();
    See({Unit("ttyACM0", "SAME"), Unit("ttyACM1", "SAME"), Unit("ttyACM2", "OTHER"), Unit("ttyACM3", "")});
    ASSERT_EQ(children_.size(), 4u);
    for (auto& c : children_)
        c->Ends("success", 0);
    Step();
    ASSERT_EQ(ends_.size(), 4u);
    for (const RunRecord& r : ends_)
        EXPECT_EQ(r.duplicateSerial, r.serial == "SAME") << r.port << " " << r.serial;
}

TEST_F(SchedulerTest, AHeldOrRefusedStartWaitsAndAStderrLineBecomesTheCause) {
    bool journalOk = false;
    std::vector<std::uint64_t> begun, ended;
    config_.beforeStart = [&](const RunRecord& r, std::uint64_t id) {
        EXPECT_EQ(r.port, "ttyACM0");
        EXPECT_EQ(r.scriptSha256, script_->sha256());
        if (journalOk)
            begun.push_back(id);
        return journalOk;
    };
    config_.afterEnd = [&](std::uint64_t id) { ended.push_back(id); };
    Make();
    scheduler_->Hold(true);
    See({Unit("ttyACM0")});
    EXPECT_TRUE(children_.empty());
    scheduler_->Hold(false);
    Step();
    EXPECT_TRUE(children_.empty()) << "the journal could not take it: no record, no run";
    journalOk = true;
    Step();
    ASSERT_EQ(children_.size(), 1u);
    Child("ttyACM0").Err("");
    Child("ttyACM0").Err("open /dev/ttyACM0: Permission denied");
    Child("ttyACM0").Ends("port-open-failed", 4);
    Pass(5s);
    ASSERT_EQ(ends_.size(), 1u);
    EXPECT_EQ(ends_[0].cause, "open /dev/ttyACM0: Permission denied");
    EXPECT_EQ(begun, ended);
}

TEST_F(SchedulerTest, ACountCapsTheRunsAndAChildThatCannotStartIsRecorded) {
    config_.count = 2;
    Make();
    See({Unit("ttyACM0"), Unit("ttyACM1"), Unit("ttyACM2")});
    EXPECT_EQ(children_.size(), 2u);
    for (auto& c : children_)
        c->Ends("success", 0);
    Step();
    EXPECT_EQ(children_.size(), 2u);

    config_.count.reset();
    Make();
    children_.clear();
    ends_.clear();
    failStarts_ = true;
    See({Unit("ttyACM4")});
    ASSERT_EQ(ends_.size(), 1u);
    EXPECT_EQ(ends_[0].result, "start-failed");
    EXPECT_EQ(ends_[0].exitCode, -1);
    EXPECT_NE(ends_[0].cause.find("No such file"), std::string::npos);
}

}  // namespace
}  // namespace station
