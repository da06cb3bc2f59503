// The Board: what wakes a waiter, the bounded run history and its paging,
// and the counters that outlive the history.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "station/board.h"

namespace station {
namespace {

using std::chrono::milliseconds;

StationState OneSlot(const std::string& state, std::int64_t position) {
    StationState s;
    s.host = "line7";
    SlotState slot;
    slot.key = "A1";
    slot.state = state;
    slot.position = position;
    slot.total = 100;
    s.slots.push_back(slot);
    return s;
}

TEST(Board, PublishWakesWaitersOnlyWhenSomethingShownChanged) {
    Board board;
    board.Publish(OneSlot("running", 10));
    const std::uint64_t v = board.Version();

    StationState same = OneSlot("running", 10);
    same.uptimeSeconds = 99;  // the clock moved
    same.unitsPerHour = 3.5;
    same.slots[0].elapsedSeconds = 7;  // a running slot's time moved
    board.Publish(same);
    EXPECT_EQ(board.Version(), v);
    EXPECT_EQ(board.State().uptimeSeconds, 99) << "the snapshot is still the newest";

    board.Publish(OneSlot("running", 11));
    EXPECT_EQ(board.Version(), v + 1) << "progress is a change";
    board.Publish(OneSlot("failed", 11));
    EXPECT_EQ(board.Version(), v + 2);
}

TEST(Board, FinishedSlotsElapsedTimeIsAChange) {
    Board board;
    StationState s = OneSlot("success", 100);
    s.slots[0].elapsedSeconds = 12;
    board.Publish(s);
    const std::uint64_t v = board.Version();
    s.slots[0].elapsedSeconds = 13;
    board.Publish(s);
    EXPECT_EQ(board.Version(), v + 1);
}

TEST(Board, WaitForChangeReturnsOnPublishFromAnotherThread) {
    Board board;
    const std::uint64_t seen = board.Version();
    std::thread writer([&] {
        std::this_thread::sleep_for(milliseconds(20));
        board.Publish(OneSlot("running", 1));
    });
    const auto start = std::chrono::steady_clock::now();
    const std::uint64_t now = board.WaitForChange(seen, milliseconds(5000));
    writer.join();
    EXPECT_NE(now, seen);
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(4000));
}

TEST(Board, WaitForChangeTimesOutWithoutChange) {
    Board board;
    const std::uint64_t seen = board.Version();
    EXPECT_EQ(board.WaitForChange(seen, milliseconds(30)), seen);
}

TEST(Board, CloseWakesWaiters) {
    Board board;
    std::thread closer([&] {
        std::this_thread::sleep_for(milliseconds(20));
        board.Close();
    });
    const auto start = std::chrono::steady_clock::now();
    board.WaitForChange(board.Version(), milliseconds(5000));
    closer.join();
    EXPECT_TRUE(board.Closed());
    EXPECT_LT(std::chrono::steady_clock::now() - start, milliseconds(4000));
}

TEST(Board, RunsAreNumberedInOrderAndPagedBySince) {
    Board board;
    for (int k = 1; k <= 5; ++k)
        board.AddRun("{\"n\":" + std::to_string(k) + "}", "A1", "success", 1);
    auto all = board.RunsSince(0, 100);
    ASSERT_EQ(all.size(), 5u);
    for (std::size_t k = 0; k < all.size(); ++k) {
        EXPECT_EQ(all[k].seq, k + 1);
        EXPECT_EQ(all[k].jsonLine, "{\"n\":" + std::to_string(k + 1) + "}");
    }
    auto page = board.RunsSince(2, 2);
    ASSERT_EQ(page.size(), 2u);
    EXPECT_EQ(page[0].seq, 3u);
    EXPECT_EQ(page[1].seq, 4u);
    EXPECT_TRUE(board.RunsSince(5, 10).empty());
    EXPECT_TRUE(board.RunsSince(99, 10).empty());
}

TEST(Board, HistoryKeepsTheNewestRunsButCountersKeepAll) {
    Board board(3);
    for (int k = 1; k <= 7; ++k)
        board.AddRun("{}", k % 2 ? "A1" : "A2", k == 7 ? "reply-timeout" : "success", 2);
    EXPECT_EQ(board.FirstHeldSeq(), 5u);
    auto held = board.RunsSince(0, 100);
    ASSERT_EQ(held.size(), 3u);
    EXPECT_EQ(held.front().seq, 5u);
    EXPECT_EQ(held.back().seq, 7u);
    const Board::Counters c = board.GetCounters();
    EXPECT_EQ(c.lastSeq, 7u);
    EXPECT_EQ(c.durationCount, 7u);
    EXPECT_EQ((c.runs.at({"success", "A1"})), 3u);
    EXPECT_EQ((c.runs.at({"success", "A2"})), 3u);
    EXPECT_EQ((c.runs.at({"reply-timeout", "A1"})), 1u);
}

TEST(Board, DurationHistogramIsCumulative) {
    Board board;
    board.AddRun("{}", "A1", "success", 4);     // <= 5
    board.AddRun("{}", "A1", "success", 25);    // <= 30
    board.AddRun("{}", "A1", "success", 5000);  // +Inf only
    const Board::Counters c = board.GetCounters();
    EXPECT_EQ(c.durationBuckets[0], 1u);      // le 5
    EXPECT_EQ(c.durationBuckets[2], 1u);      // le 20
    EXPECT_EQ(c.durationBuckets[3], 2u);      // le 30
    EXPECT_EQ(c.durationBuckets.back(), 2u);  // le 600
    EXPECT_EQ(c.durationCount, 3u);
    EXPECT_DOUBLE_EQ(c.durationSum, 5029);
}

}  // namespace
}  // namespace station
