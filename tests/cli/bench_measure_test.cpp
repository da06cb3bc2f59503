// The benchmark's arithmetic and /proc readings: a wrong percentile or a
// misread stat line would put false figures in the table.
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>

#include "bench/measure.h"

namespace vantrel::bench {
namespace {

TEST(BenchMeasure, PercentileByNearestRank) {
    const std::vector<std::int64_t> v = {50, 10, 40, 20, 30};  // unsorted on purpose
    EXPECT_EQ(Percentile(v, 50), 30);
    EXPECT_EQ(Percentile(v, 0), 10);
    EXPECT_EQ(Percentile(v, 100), 50);
    EXPECT_EQ(Percentile(v, 99), 50);
    EXPECT_EQ(Percentile(v, 20), 10);
    EXPECT_EQ(Percentile(v, 21), 20);
    std::vector<std::int64_t> hundred;
    for (int i = 1; i <= 100; ++i)
        hundred.push_back(i);
    EXPECT_EQ(Percentile(hundred, 99), 99);
    EXPECT_EQ(Percentile({7}, 99), 7);
    EXPECT_THROW(Percentile({}, 50), std::invalid_argument);
}

TEST(BenchMeasure, StatLineFieldsCountFromTheNamesEnd) {
    // A command name with spaces and a ')' must not shift the fields.
    const std::string line =
        "4242 (odd ) name) S 1 4242 4242 0 -1 4194560 100 0 0 0 17 5 0 0 20 0 3 0 12345 1000 10 18446744073709551615";
    EXPECT_EQ(CpuTicksFromStat(line), 22u);
    EXPECT_FALSE(CpuTicksFromStat("4242 (cut) S 1 2").has_value());
    EXPECT_FALSE(CpuTicksFromStat("no parenthesis").has_value());
}

TEST(BenchMeasure, OwnProcessCpuGrowsWithWork) {
    const auto ticks0 = CpuTicks(::getpid());
    const auto ns0 = CpuNs(::getpid());
    ASSERT_TRUE(ticks0.has_value());
    // 60 ms of CPU, however long the shared machine takes to give it (at most 3 s).
    auto cpu_ns = [] {
        timespec t{};
        ::clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
        return static_cast<std::uint64_t>(t.tv_sec) * 1'000'000'000u + static_cast<std::uint64_t>(t.tv_nsec);
    };
    const std::uint64_t start = cpu_ns();
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(3);
    volatile std::uint64_t spin = 0;
    while (cpu_ns() - start < 60'000'000u && std::chrono::steady_clock::now() < give_up)
        spin = spin + 1;
    ASSERT_GE(cpu_ns() - start, 60'000'000u) << "no CPU to be had";
    const auto ticks1 = CpuTicks(::getpid());
    ASSERT_TRUE(ticks1.has_value());
    EXPECT_GE(*ticks1, *ticks0 + 3);
    if (ns0) {
        const auto ns1 = CpuNs(::getpid());
        ASSERT_TRUE(ns1.has_value());
        EXPECT_GE(*ns1 - *ns0, 55'000'000u);
    }
    EXPECT_FALSE(CpuTicks(-1).has_value());
}

TEST(BenchMeasure, MachineIsDescribed) {
    const Machine m = DescribeMachine();
    EXPECT_GE(m.cpus, 1u);
    EXPECT_FALSE(m.cpu_model.empty());
    EXPECT_EQ(m.date.size(), 16u) << m.date;
}

}  // namespace
}  // namespace vantrel::bench
