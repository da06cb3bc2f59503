// The fault matrix: vantrel-cli plays a script against the simulated
// terminal while the terminal commits one kind of fault, and each case says
// how the run must end (the "result:" word and the exit code), how long it
// may take, and what the terminal must have received (payload bytes, no
// mismatched byte).
//
// Time is real here: the upgrader waits 1 s after every open and close,
// 5 s for a reply and 15 s for a terminal's first frame. Cases that must
// wait out a timeout assert that they did (a run that fails at once is as
// wrong as one that never fails); each case is its own ctest test so that
// ctest -j runs them side by side.
#include <gtest/gtest.h>

#include <chrono>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "tests/cli/e2e_fixture.h"

namespace vantrel::e2e {
namespace {

using namespace std::chrono_literals;
using std::chrono::milliseconds;

// The trace texts are UTF-8 on stderr; u8 literals are char8_t in C++20.
const char* u8str(const char8_t* s) { return reinterpret_cast<const char*>(s); }

// Payload bytes the terminal must have read: all the script's sends, or a
// given count (a run that ends early).
constexpr std::int64_t kAllSends = -1;

struct FaultCase {
    const char* name;
    const char* script;                 // description language of vantrel-script
    std::vector<std::string> sim_args;  // faults and other simulator options
    std::vector<std::string> cli_args;  // besides --port
    const char* result;
    int exit_code;
    milliseconds at_least;  // the run must not end before this
    milliseconds at_most;   // nor after this
    std::int64_t payload_bytes = kAllSends;
    const char* trace_has = nullptr;  // runs with --trace; stderr must hold this
    std::optional<int> sim_exit = std::nullopt;
};

// A short script for the faults on one record: the send is record 1.
constexpr const char* kOneSend1 = "open\nsend1 64\nclose\n";
constexpr const char* kOneSend2 = "open\nsend2 64\nclose\n";

constexpr const char* kLargeScript =
    "# several records, the largest payload the format holds, both reply formats, a reopen\n"
    "open\nwait\n"
    "send1 4096\nsend1 4096\nsend1 4096\nsend1 4096\nsend1 4096\nsend1 4096\n"
    "send1 65535\nsend1 65535 seed 99\n"
    "send2 1024\nsend2 1024\nsend2 3000\n"
    "send1 1\n"
    "close\nopen\n"
    "send1 2048\nsend2 16\n"
    "close\n";

const std::vector<FaultCase> kCases = {
    {"MultiRecordLargePayloadsArriveByteExact", kLargeScript, {}, {}, "success", 0, 3s, 9s, kAllSends, nullptr, 0},
    // The format-1 frame is the only way on after a send1.
    {"NoReplyAfterSend1TimesOut", kOneSend1, {"--fault", "1:noreply"}, {}, "reply-timeout", 6, 5900ms, 9s},
    // A format-2 record's silence is no failure: the run goes on after 5 s.
    {"NoReplyAfterSend2GoesOn",
     "open\nsend2 64\nsend1 32\nclose\n",
     {"--fault", "1:noreply"},
     {},
     "success",
     0,
     6900ms,
     10s,
     kAllSends,
     nullptr,
     0},
    // A second either side of the 5 s timeout: on a loaded machine the
    // terminal's reading of the payload can lag the runner's write by
    // hundreds of milliseconds, which a half-second margin did not absorb.
    {"LateReplyInsideTheTimeoutIsTaken",
     kOneSend1,
     {"--fault", "1:delay:4000"},
     {},
     "success",
     0,
     4900ms,
     9s,
     kAllSends,
     nullptr,
     0},
    {"LateReplyOutsideTheTimeoutFails", kOneSend1, {"--fault", "1:delay:6000"}, {}, "reply-timeout", 6, 5900ms, 9s},
    {"Format1StatusRefused",
     "open\nwait\nsend1 64\nclose\n",
     {"--fault", "2:status:05"},
     {},
     "format1-refused",
     7,
     900ms,
     4s,
     kAllSends,
     u8str(u8"格式1应答错误: 错误码[05H]\r\n")},
    {"Format2Byte3Refused",
     kOneSend2,
     {"--fault", "1:byte3:41"},
     {},
     "format2-refused",
     8,
     900ms,
     4s,
     kAllSends,
     u8str(u8"格式2应答错误: 错误码[41H]\r\n")},
    // Past the exact length no check can succeed; the timeout decides.
    {"ThirteenByteReplyTimesOut", kOneSend1, {"--fault", "1:extra:1"}, {}, "reply-timeout", 6, 5900ms, 9s},
    {"ElevenBytesThenSilenceTimesOut", kOneSend1, {"--fault", "1:short:11"}, {}, "reply-timeout", 6, 5900ms, 9s},
    {"RepliesInOneBytePiecesAreTaken",
     "open\nwait\nsend1 300\nsend2 200\nclose\n",
     {"--fault", "1:split:1:5", "--fault", "2:split:1:5", "--fault", "3:split:1:5"},
     {},
     "success",
     0,
     1900ms,
     6s,
     kAllSends,
     nullptr,
     0},
    // Three bytes ahead of the frame: the count goes 3, 15 and never meets 12.
    {"GarbageBeforeTheReplyTimesOut", kOneSend1, {"--fault", "1:garbage:3"}, {}, "reply-timeout", 6, 5900ms, 9s},
    // Bytes during a pause stay and count toward the next reply: four of
    // them and a full frame make 16, never 12.
    {"NoiseDuringADelaySpoilsTheNextReply",
     "open\ndelay 1\nsend1 64\nclose\n",
     {"--fault", "1:noise-during-delay:4"},
     {},
     "reply-timeout",
     6,
     6900ms,
     10s},
    // ... and four of them with the first 8 bytes of a frame make exactly
    // 12, judged with the frame's byte 2 (0x02) as the status.
    {"NoiseDuringADelayCountsTowardTheReply",
     "open\ndelay 1\nsend1 64\nclose\n",
     {"--fault", "1:noise-during-delay:4", "--fault", "2:short:8"},
     {},
     "format1-refused",
     7,
     1900ms,
     5s,
     kAllSends,
     u8str(u8"格式1应答错误: 错误码[02H]\r\n")},
    // The terminal vanishes after taking a format-2 payload that it leaves
    // unanswered (a reply sent just before the unplug would be lost with the
    // line): the run goes on after 5 s, and the 64 KiB payload that follows
    // cannot be written. The run ends at once, naming that record.
    {"UnplugBeforeASendFailsTheWrite",
     "open\nsend2 4096\nsend1 65535\nclose\n",
     {"--fault", "1:noreply", "--fault", "2:unplug", "--expect-unplug"},
     {},
     "write-failed",
     10,
     5900ms,
     9s,
     4096,
     "payload not written at offset 4134 (0 of 65535 bytes): "},
    // Only format-2 sends left: without their replies they would go on, one
    // after another, to "loader Success!". The first unwritten payload ends
    // the run instead.
    {"UnplugBeforeFormat2SendsFailsTheWrite",
     "open\nsend2 64\ndelay 1\nsend2 64\ndelay 1\nsend2 64\nclose\n",
     {"--fault", "1:noreply", "--fault", "2:unplug", "--expect-unplug"},
     {},
     "write-failed",
     10,
     6900ms,
     10s,
     64,
     "payload not written at offset 107 (0 of 64 bytes): the device is gone (unplugged)\r\n"},
    // The only case that waits out the 15 s terminal wait.
    {"UnplugDuringAWaitTimesOutTheWait",
     "open\nwait\n",
     {"--fault", "1:unplug", "--expect-unplug"},
     {},
     "wait-timeout",
     5,
     15900ms,
     20s,
     0},
    {"LargestPayloadAtTheSlowLineSpeed",
     "open\nsend1 65535\nsend2 65535\nclose\n",
     {},
     {"--baud", "115200"},
     "success",
     0,
     1900ms,
     8s,
     kAllSends,
     nullptr,
     0},
    {"UnknownCommandEndsTheRun",
     "open\nsend1 16\nraw 05 00 00\nsend1 16\nclose\n",
     {},
     {},
     "bad-command",
     9,
     900ms,
     4s,
     16,
     "instruction: 5\r\n"},
    {"RecordPastTheEndIsMalformed",
     "open\nsend1 16\nraw 11 FF FF 01 02 03\n",
     {},
     {},
     "malformed-script",
     9,
     900ms,
     4s,
     16},
};

// Names the case in gtest's messages instead of dumping its bytes.
void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class FaultMatrix : public ::testing::TestWithParam<FaultCase> {};

TEST_P(FaultMatrix, RunEndsAsTheRulesSay) {
    const FaultCase& c = GetParam();
    tools::testing::TempDir dir;
    const std::string script = BuildScript(dir, c.script);
    const std::uint64_t want_payload =
        c.payload_bytes == kAllSends ? SendPayloadBytes(script) : static_cast<std::uint64_t>(c.payload_bytes);

    Simulator sim(script, c.sim_args);
    std::vector<std::string> args = {"--port", sim.port()};
    args.insert(args.end(), c.cli_args.begin(), c.cli_args.end());
    if (c.trace_has)
        args.push_back("--trace");
    const CliResult run = RunCli(dir.path(""), args, c.at_most + 3s);

    ASSERT_TRUE(run.exit.has_value()) << "vantrel-cli still running after " << run.elapsed.count() << " ms\nstdout:\n"
                                      << run.out << "\nsim:\n"
                                      << sim.output();
    EXPECT_EQ(run.result(), c.result) << run.out << "\nstderr:\n" << run.err << "\nsim:\n" << sim.output();
    EXPECT_EQ(*run.exit, c.exit_code);
    ASSERT_FALSE(run.lines.empty());
    EXPECT_EQ(run.lines.back(), std::string("result: ") + c.result) << "the result line comes last";
    EXPECT_GE(run.elapsed, c.at_least) << "the run ended too early";
    EXPECT_LE(run.elapsed, c.at_most) << "the run took too long";
    if (c.trace_has) {
        EXPECT_NE(run.err.find(c.trace_has), std::string::npos) << "trace lacks '" << c.trace_has << "':\n" << run.err;
    }

    // The runner closed the port on every way out; the terminal sees that and
    // ends by itself (an unplugged one already has).
    const auto sim_exit = sim.Finish(5s);
    ASSERT_TRUE(sim_exit.has_value()) << "the simulator did not end:\n" << sim.output();
    if (c.sim_exit) {
        EXPECT_EQ(*sim_exit, *c.sim_exit) << sim.output();
    }
    const auto summary = sim.summary();
    ASSERT_TRUE(summary.has_value()) << sim.output();
    EXPECT_EQ(summary->mismatches, 0u) << sim.output();
    EXPECT_EQ(summary->payload_bytes, want_payload) << sim.output();
}

INSTANTIATE_TEST_SUITE_P(Cases, FaultMatrix, ::testing::ValuesIn(kCases),
                         [](const ::testing::TestParamInfo<FaultCase>& info) { return info.param.name; });

}  // namespace
}  // namespace vantrel::e2e
