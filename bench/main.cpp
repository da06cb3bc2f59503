// vantrel-bench: how fast vantrel-cli drives a terminal, measured against
// the terminal simulator on a pty, beside the reference host
// (vantrel-bench-reference: raw termios, one blocking poll per reply, one
// thread) measured in the same run, and printed as one table.
//
//   vantrel-bench [--records N] [--rounds R] [--idle-seconds S] [--cli PATH]
//                 [--reference PATH] [--sim PATH] [--keep]
//
// Three measurements, each with a freshly built script:
//  1. N send1 records of 4 KiB, played R times by each host in turn (which
//     host goes first alternates), so that both meet the same load on a
//     shared machine; the simulator's timing file gives each turnaround,
//     from the reply's last byte written by the terminal to the next
//     payload's first byte read by it. Median and p99 of each host, and
//     their ratios against the goals. vantrel-cli runs with its stage trace,
//     which splits its turnarounds into stages (stages.h).
//  2. A 2 MiB script of 512 send1 records of 4 KiB, once by each host: wall
//     time, transfer time and CPU seconds (user + system) per MiB.
//  3. A pause (CMD_DELAY) with the port open: the CPU vantrel-cli uses
//     while it idles, from /proc/PID/stat and the finer schedstat, for the
//     process and for each thread; beside it, the CPU of a process that
//     only wakes as often as the idle watcher does, on this machine now.
#include <signal.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "bench/measure.h"
#include "bench/play.h"
#include "bench/stages.h"
#include "tools/usage/program.h"

namespace {

using namespace std::chrono_literals;
using vantrel::bench::Host;
using vantrel::bench::Percentile;
using vantrel::bench::Played;

constexpr double kLineBytesPerSecond = 368640.0;     // 3686400 baud, 10 bits a byte
constexpr double kSlowLineBytesPerSecond = 11520.0;  // 115200 baud
constexpr std::size_t kRecordBytes = 4096;
// The goals are what a user can feel: the line kept busy, no long stalls,
// and an idle port that costs nothing. The median turnaround on a pty is
// reported, but a few microseconds there are far below a real terminal's
// USB frame (125 us to 1 ms), so it is no goal.
constexpr double kP99RatioGoal = 2.0;
constexpr double kIdlePercentGoal = 1.0;
constexpr double kEfficiencyRatioGoal = 0.99;  // of the reference's efficiency
constexpr unsigned kBulkRecords = 512;         // 512 x 4 KiB = 2 MiB
// How often the receive watcher of an idle open port wakes: the bound of the
// Linux ClearCommError's wait for input (platform/posix/kernel32/tty.cpp).
constexpr unsigned kWatcherWakeMs = 20;

struct Settings {
    unsigned records = 400;
    unsigned rounds = 4;
    unsigned idle_seconds = 5;
    std::string cli = VANTREL_CLI_EXE;
    std::string reference = VANTREL_REFERENCE_EXE;
    std::string sim = VANTREL_SIM_EXE;
    bool keep = false;
};

std::string Fmt(const char* format, double v) {
    char b[64];
    std::snprintf(b, sizeof b, format, v);
    return b;
}

void Row(const std::string& figure, const std::string& cli, const std::string& ref, const std::string& ratio,
         const std::string& goal, const std::string& met) {
    std::printf("| %-46s | %-14s | %-12s | %-7s | %-22s | %-4s |\n", figure.c_str(), cli.c_str(), ref.c_str(),
                ratio.c_str(), goal.c_str(), met.c_str());
}

void Rule() {
    std::printf("|%s|%s|%s|%s|%s|%s|\n", std::string(48, '-').c_str(), std::string(16, '-').c_str(),
                std::string(14, '-').c_str(), std::string(9, '-').c_str(), std::string(24, '-').c_str(),
                std::string(6, '-').c_str());
}

double Us(std::int64_t ns) { return static_cast<double>(ns) / 1000.0; }

const usage::Program& BenchProgram() {
    static const usage::Program program{
        "vantrel-bench",
        "measure how fast vantrel-cli drives a terminal, beside a minimal host in the same run",
        {"[--records N] [--rounds R] [--idle-seconds S] [--cli PATH] [--reference PATH] [--sim PATH] [--keep]"},
        "Runs vantrel-cli and the reference host vantrel-bench-reference (raw termios, one blocking poll per "
        "reply, one thread) against vantrel-sim on a pty, with the same freshly built scripts, and prints each "
        "figure beside the reference's and their ratio: N send1 records of 4 KiB played R times by each host "
        "in turn (the turnaround between records, its median and p99, and vantrel-cli's turnaround split into "
        "stages from its VANTREL_STAGE_TRACE); a 2 MiB script of 4 KiB records (wall time, transfer time, CPU "
        "seconds per MiB); and a pause with the port open (vantrel-cli's CPU while it idles, per thread, beside "
        "a process that only wakes as often as the idle receive watcher).",
        {
            {"--records", "N", "The number of 4 KiB records of each round, 2 to 10000 (default 400)."},
            {"--rounds", "R", "How many times each host plays them, taking turns, 1 to 20 (default 4)."},
            {"--idle-seconds", "S", "The length of the idle measurement, 1 to 60 (default 5)."},
            {"--cli", "PATH", "The vantrel-cli to measure (default the one built beside this program)."},
            {"--reference", "PATH",
             "The reference host to measure it against (default the vantrel-bench-reference built beside this "
             "program)."},
            {"--sim", "PATH", "The vantrel-sim to measure against (default the one built beside this program)."},
            {"--keep", "", "Keep the scripts and logs in the temporary directory."},
        },
        {
            {"0", "the table was printed"},
            {"1", "a run failed (the cause is on stderr)"},
            {"2", "usage, or a program that cannot be run"},
        },
        {},
    };
    return program;
}

int Usage(const std::string& why) { return usage::UsageError(BenchProgram(), why); }

bool ParseCount(const std::string& text, unsigned low, unsigned high, unsigned& out) {
    auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), out);
    return !text.empty() && ec == std::errc() && ptr == text.data() + text.size() && out >= low && out <= high;
}

// Turnarounds of one host over all rounds, and each round's median.
struct Turns {
    std::vector<std::int64_t> all;
    std::vector<double> round_medians_us;
    void Add(const Played& p) {
        const auto t = tools::sim::Turnarounds(p.timing);
        if (t.empty())
            throw std::runtime_error("the timing file holds no turnaround");
        all.insert(all.end(), t.begin(), t.end());
        round_medians_us.push_back(Us(Percentile(t, 50)));
    }
    double MedianUs() const { return Us(Percentile(all, 50)); }
    double P99Us() const { return Us(Percentile(all, 99)); }
    double MaxUs() const { return Us(Percentile(all, 100)); }
    std::string Rounds() const {
        std::string out;
        for (double m : round_medians_us)
            out += (out.empty() ? "" : " / ") + Fmt("%.1f", m);
        return out;
    }
};

// Stage splits of one host over all rounds.
struct Splits {
    std::vector<vantrel::bench::StageSplit> all;
    std::size_t skipped = 0;
    void Add(const Played& p) {
        std::size_t left_out = 0;
        const auto split = vantrel::bench::SplitTurnarounds(p.timing, p.stages, &left_out);
        all.insert(all.end(), split.begin(), split.end());
        skipped += left_out;
    }
    std::string Median(int stage) const {
        if (all.empty())
            return "-";
        std::vector<std::int64_t> v;
        for (const auto& s : all)
            v.push_back(stage < 0 ? s.total : s.ns[stage]);
        return Fmt("%.1f us", Us(Percentile(v, 50)));
    }
    std::string P99(int stage) const {
        if (all.empty())
            return "-";
        std::vector<std::int64_t> v;
        for (const auto& s : all)
            v.push_back(stage < 0 ? s.total : s.ns[stage]);
        return Fmt("%.1f us", Us(Percentile(v, 99)));
    }
};

void PrintStages(const Splits& cli, const Splits& ref) {
    std::printf(
        "\nThe turnaround by stage (vantrel-cli: %zu turnarounds with every stamp, %zu without; "
        "reference: %zu, %zu):\n\n",
        cli.all.size(), cli.skipped, ref.all.size(), ref.skipped);
    std::printf("| %-50s | %-22s | %-22s |\n", "stage", "vantrel-cli median/p99", "reference median/p99");
    std::printf("|%s|%s|%s|\n", std::string(52, '-').c_str(), std::string(24, '-').c_str(),
                std::string(24, '-').c_str());
    for (int k = -1; k < vantrel::bench::kStageCount; ++k) {
        const char* name = k < 0 ? "turnaround (the records split)" : vantrel::bench::kStageNames[k];
        std::printf("| %-50s | %-22s | %-22s |\n", name, (cli.Median(k) + " / " + cli.P99(k)).c_str(),
                    (ref.Median(k) + " / " + ref.P99(k)).c_str());
    }
}

int Run(int argc, char** argv) {
    const usage::Scan scan = usage::ScanArguments(BenchProgram(), argc, argv);
    if (scan.action != usage::Action::kRun)
        return usage::Finish(BenchProgram(), scan);
    Settings s;
    for (const usage::Arg& a : scan.args) {
        if (a.name == "--records") {
            if (!ParseCount(a.value, 2, 10000, s.records))
                return Usage("--records: '" + a.value + "' is not 2 to 10000");
        } else if (a.name == "--rounds") {
            if (!ParseCount(a.value, 1, 20, s.rounds))
                return Usage("--rounds: '" + a.value + "' is not 1 to 20");
        } else if (a.name == "--idle-seconds") {
            if (!ParseCount(a.value, 1, 60, s.idle_seconds))
                return Usage("--idle-seconds: '" + a.value + "' is not 1 to 60");
        } else if (a.name == "--cli") {
            s.cli = a.value;
        } else if (a.name == "--reference") {
            s.reference = a.value;
        } else if (a.name == "--sim") {
            s.sim = a.value;
        } else if (a.name == "--keep") {
            s.keep = true;
        }
    }
    for (const auto& [option, path] :
         {std::pair<const char*, std::string>{"--cli", s.cli}, {"--reference", s.reference}, {"--sim", s.sim}}) {
        if (::access(path.c_str(), X_OK) != 0)
            return Usage(std::string(option) + " " + path + ": cannot be run: " + std::strerror(errno));
    }
    ::signal(SIGPIPE, SIG_IGN);
    vantrel::bench::WorkDir work(s.keep);
    const Host cli{"vantrel-cli", s.cli, Host::Stages::Environment};
    const Host ref{"reference", s.reference, Host::Stages::Argument};

    // 1. Turnarounds of 4 KiB records, the hosts taking turns so that both
    // meet the same load on a shared machine.
    std::string many = "open\n";
    for (unsigned i = 0; i < s.records; ++i)
        many += "send1 4096\n";
    many += "close\n";
    const auto limit = std::chrono::seconds(60 + s.records / 10);
    Turns cli_turns, ref_turns;
    Splits cli_splits, ref_splits;
    for (unsigned round = 1; round <= s.rounds; ++round) {
        std::fprintf(stderr, "vantrel-bench: round %u of %u: %u records of 4 KiB by each host ...\n", round, s.rounds,
                     s.records);
        const auto dir = work.path() / ("records-" + std::to_string(round));
        auto play_reference = [&] {
            const Played r = vantrel::bench::Play(s.sim, ref, dir / "reference", many, limit);
            ref_turns.Add(r);
            ref_splits.Add(r);
        };
        auto play_cli = [&] {
            const Played c = vantrel::bench::Play(s.sim, cli, dir / "cli", many, limit);
            cli_turns.Add(c);
            cli_splits.Add(c);
        };
        if (round % 2 == 1) {
            play_reference();
            play_cli();
        } else {
            play_cli();
            play_reference();
        }
    }

    // 2. A 2 MiB script of 4 KiB records.
    std::string big = "open\n";
    for (unsigned i = 0; i < kBulkRecords; ++i)
        big += "send1 4096\n";
    big += "close\n";
    std::fprintf(stderr, "vantrel-bench: 2 MiB script, reference and vantrel-cli ...\n");
    const Played big_ref = vantrel::bench::Play(s.sim, ref, work.path() / "2mib" / "reference", big, 120s);
    const Played big_cli = vantrel::bench::Play(s.sim, cli, work.path() / "2mib" / "cli", big, 120s);
    auto transfer_s = [](const Played& p) {
        if (p.timing.empty() || !p.timing.front().payload_first_ns || !p.timing.back().reply_last_ns)
            return 0.0;
        return static_cast<double>(*p.timing.back().reply_last_ns - *p.timing.front().payload_first_ns) / 1e9;
    };
    const double mib = static_cast<double>(big_cli.payload_bytes) / (1024.0 * 1024.0);

    // 3. Idle CPU in a pause.
    std::fprintf(stderr, "vantrel-bench: %u s pause with the port open ...\n", s.idle_seconds);
    const auto idle = vantrel::bench::MeasureIdle(s.sim, cli, work.path() / "idle", s.idle_seconds);
    const auto floor = vantrel::bench::MeasureWakeFloor(s.reference, kWatcherWakeMs, s.idle_seconds);

    const auto machine = vantrel::bench::DescribeMachine();
    std::printf("vantrel-bench, %s; %u CPUs (nproc), %s; %s\n", machine.date.c_str(), machine.cpus,
                machine.cpu_model.c_str(), machine.kernel.c_str());
    std::printf("load average at the end: %s\n", machine.load.c_str());
    std::printf(
        "vantrel-cli and the reference host against vantrel-sim on a pty, the same scripts in the same run\n\n");
    Row("figure", "vantrel-cli", "reference", "ratio", "goal", "met");
    Rule();
    const double med = cli_turns.MedianUs(), ref_med = ref_turns.MedianUs();
    const double p99 = cli_turns.P99Us(), ref_p99 = ref_turns.P99Us();
    const std::string turns_label = std::to_string(cli_turns.all.size()) + " x 4 KiB send1";
    Row("turnaround median (" + turns_label + ")", Fmt("%.1f us", med), Fmt("%.1f us", ref_med),
        Fmt("%.2fx", med / ref_med), "reported, no goal", "");
    Row("turnaround p99", Fmt("%.1f us", p99), Fmt("%.1f us", ref_p99), Fmt("%.2fx", p99 / ref_p99),
        "<= 2x the reference", p99 <= kP99RatioGoal * ref_p99 ? "yes" : "no");
    Row("turnaround max", Fmt("%.1f us", cli_turns.MaxUs()), Fmt("%.1f us", ref_turns.MaxUs()), "", "", "");
    std::string round_ratios;
    for (std::size_t i = 0; i < cli_turns.round_medians_us.size(); ++i) {
        round_ratios += (round_ratios.empty() ? "" : " ") +
                        Fmt("%.2f", cli_turns.round_medians_us[i] / ref_turns.round_medians_us[i]);
    }
    // The share of a record's time the line carries its payload: its bytes at
    // the line rate against those plus the median turnaround.
    for (double rate : {kLineBytesPerSecond, kSlowLineBytesPerSecond}) {
        const double wire_us = static_cast<double>(kRecordBytes) / rate * 1e6;
        const double eff = wire_us / (wire_us + med);
        const double ref_eff = wire_us / (wire_us + ref_med);
        Row(Fmt("line-rate efficiency, 4 KiB at %.0f baud", rate * 10), Fmt("%.2f %%", eff * 100),
            Fmt("%.2f %%", ref_eff * 100), Fmt("%.4f", eff / ref_eff), ">= 99 % of the reference",
            eff >= kEfficiencyRatioGoal * ref_eff ? "yes" : "no");
    }
    Row("idle CPU, port open, whole process", Fmt("%.3f %%", idle.percent()), "", "", "< 1 % of one core",
        idle.percent() < kIdlePercentGoal ? "yes" : "no");
    Row(Fmt("  over %.1f s: ", idle.seconds) + Fmt("%.0f ms by ticks", idle.tick_ms) +
            (idle.sched_ms ? Fmt(", %.1f ms by schedstat", *idle.sched_ms) : std::string()),
        "", "", "", "", "");
    std::string per_thread;
    for (double ms : idle.thread_ms)
        per_thread += (per_thread.empty() ? "" : " / ") + Fmt("%.3f %%", ms / 10.0 / idle.seconds);
    Row("  per thread: window / presence monitor / watcher", per_thread, "", "", "", "");
    Row(Fmt("  floor: a process waking every %.0f ms, nothing else", kWatcherWakeMs), "",
        Fmt("%.3f %%", floor.percent()), "", "", "");
    Row(Fmt("2 MiB script (%.0f x 4 KiB): wall time", kBulkRecords), Fmt("%.2f s", big_cli.wall_s),
        Fmt("%.2f s", big_ref.wall_s), Fmt("%.2fx", big_cli.wall_s / big_ref.wall_s), "", "");
    Row("  first payload byte .. last reply", Fmt("%.3f s", transfer_s(big_cli)), Fmt("%.3f s", transfer_s(big_ref)),
        Fmt("%.2fx", transfer_s(big_cli) / transfer_s(big_ref)), "", "");
    Row("  CPU (user + system) per MiB", Fmt("%.3f s", big_cli.cpu_s / mib), Fmt("%.3f s", big_ref.cpu_s / mib),
        Fmt("%.2fx", big_cli.cpu_s / big_ref.cpu_s), "", "");
    Row("  its bytes at the line rate", Fmt("%.2f s", static_cast<double>(big_cli.payload_bytes) / kLineBytesPerSecond),
        "", "", "", "");
    std::printf("\nturnaround median of each round, vantrel-cli (us): %s\n", cli_turns.Rounds().c_str());
    std::printf("turnaround median of each round, reference (us):   %s\n", ref_turns.Rounds().c_str());
    std::printf("their ratio, round by round:                        %s\n", round_ratios.c_str());
    PrintStages(cli_splits, ref_splits);
    std::printf(
        "\nvantrel-cli's wall time holds its fixed waits (a second before the open, the close's pause);\n"
        "the reference has none. Turnarounds include the pty's latency both ways and the simulator's\n"
        "own wake-up, and grow with the machine's load; the ratios are what the goals judge.\n");
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const std::exception& e) {
        std::fprintf(stderr, "vantrel-bench: %s\n", e.what());
        return 1;
    }
}
