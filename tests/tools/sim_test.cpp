// vantrel-sim end to end: the simulator runs as a child on a built script
// and the test acts as the upgrader on the printed pty with plain POSIX
// calls. Scripts avoid delays where they can and every read has a deadline.
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>

#include "tests/tools/harness.h"
#include "tools/process/child.h"
#include "tools/script/description.h"
#include "tools/script_format.h"
#include "tools/simulator/reply_plan.h"

namespace tools::sim {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<std::uint8_t>;
using process::Child;
using testing::TempDir;

// The upgrader's end of the line, opened raw like a serial port.
class Host {
public:
    explicit Host(const std::string& path) {
        fd_ = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0)
            return;
        termios t{};
        tcgetattr(fd_, &t);
        cfmakeraw(&t);
        tcsetattr(fd_, TCSANOW, &t);
    }
    ~Host() { Close(); }
    bool ok() const { return fd_ >= 0; }
    void Close() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }
    bool Write(std::span<const std::uint8_t> bytes) {
        std::size_t done = 0;
        const auto until = Clock::now() + 2s;
        while (done < bytes.size() && Clock::now() < until) {
            const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (n > 0) {
                done += static_cast<std::size_t>(n);
            } else if (n < 0 && errno != EAGAIN) {
                return false;
            } else {
                pollfd p{fd_, POLLOUT, 0};
                ::poll(&p, 1, 20);
            }
        }
        return done == bytes.size();
    }
    // Up to `want` bytes, returning early once `want` have come or at the
    // deadline; `hangup` tells whether the port went away meanwhile.
    Bytes Read(std::size_t want, std::chrono::milliseconds timeout, bool* hangup = nullptr) {
        Bytes got;
        const auto until = Clock::now() + timeout;
        while (got.size() < want) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(until - Clock::now());
            if (left.count() <= 0)
                break;
            pollfd p{fd_, POLLIN, 0};
            ::poll(&p, 1, static_cast<int>(left.count()));
            if (p.revents & POLLIN) {
                std::uint8_t buf[256];
                const ssize_t n = ::read(fd_, buf, std::min(sizeof buf, want - got.size()));
                if (n > 0) {
                    got.insert(got.end(), buf, buf + n);
                    continue;
                }
            }
            if (p.revents & (POLLHUP | POLLERR)) {
                if (hangup)
                    *hangup = true;
                break;
            }
        }
        return got;
    }

private:
    int fd_ = -1;
};

class SimTest : public ::testing::Test {
protected:
    // Builds the script and starts the simulator on it.
    void Start(const std::string& description, std::vector<std::string> extra = {}) {
        script_ = BuildScript(description);
        const std::string file = dir_.path("upgrader.asc");
        WriteFileBytes(file, script_);
        records_ = ParseScript(script_).records;
        std::vector<std::string> argv = {VANTREL_SIM_EXE,    "--script", file, "--wait-reply-ms", "50",
                                         "--idle-timeout-s", "3"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        process::Options options;
        options.error_output = process::Options::ErrorOutput::Merge;
        sim_ = std::make_unique<Child>(argv, options);
        auto line = sim_->ReadLineStartingWith("port: ", 3s);
        ASSERT_TRUE(line) << Output();
        port_ = line->text.substr(6);
    }
    Bytes Payload(std::size_t index) const {
        return Bytes(records_[index].payload.begin(), records_[index].payload.end());
    }
    int Finish() {
        const process::ExitStatus end = sim_->Wait(5s);
        EXPECT_FALSE(end.timed_out) << "simulator did not end: " << Output();
        return end.timed_out ? -1 : end.shell_code();
    }
    // stdout and stderr together, as they came.
    const std::string& Output() const { return sim_->text(process::Stream::Out); }
    bool Said(const std::string& text) const { return Output().find(text) != std::string::npos; }

    TempDir dir_;
    Bytes script_;
    std::vector<Record> records_;
    std::unique_ptr<Child> sim_;
    std::string port_;
};

TEST_F(SimTest, SuccessfulRunIsByteExactAndExitsZero) {
    Start("open\nsend1 300\nsend2 40\nsend1 hex 00\n");
    Host host(port_);
    ASSERT_TRUE(host.ok());
    ASSERT_TRUE(host.Write(Payload(1)));
    EXPECT_EQ(host.Read(12, 2s), Format1Reply(0));
    ASSERT_TRUE(host.Write(Payload(2)));
    EXPECT_EQ(host.Read(5, 2s), Format2Reply('$'));
    ASSERT_TRUE(host.Write(Payload(3)));
    EXPECT_EQ(host.Read(12, 2s), Format1Reply(0));
    // Nothing more: the terminal sends exactly one frame per record.
    EXPECT_TRUE(host.Read(1, 100ms).empty());
    host.Close();
    EXPECT_EQ(Finish(), 0) << Output();
    EXPECT_TRUE(Said("sim: records=4 payload_bytes=341 mismatches=0 faults=0")) << Output();
}

TEST_F(SimTest, WaitIsAnsweredOnlyAfterTheUpgraderHasTakenIt) {
    Start("open\nwait\n");
    Host host(port_);
    ASSERT_TRUE(host.ok());
    const auto opened = Clock::now();
    const Bytes reply = host.Read(12, 4s);
    const auto elapsed = Clock::now() - opened;
    EXPECT_EQ(reply, Format1Reply(0));
    // The upgrader takes the record 1 s after opening; the margin is 50 ms.
    EXPECT_GE(elapsed, 1040ms);
    EXPECT_LE(elapsed, 2500ms);
    host.Close();
    EXPECT_EQ(Finish(), 0) << Output();
}

TEST_F(SimTest, EmptySendIsAnsweredWithoutReading) {
    Start("open\nsend2 0\n");
    Host host(port_);
    ASSERT_TRUE(host.ok());
    EXPECT_EQ(host.Read(5, 3s), Format2Reply('$'));
    host.Close();
    EXPECT_EQ(Finish(), 0) << Output();
}

TEST_F(SimTest, PayloadMismatchIsReportedWithOffsetAndFailsTheRun) {
    Start("open\nsend1 64\n");
    Host host(port_);
    ASSERT_TRUE(host.ok());
    Bytes wrong = Payload(1);
    wrong[10] ^= 0xFF;
    wrong[20] ^= 0x01;
    ASSERT_TRUE(host.Write(wrong));
    EXPECT_EQ(host.Read(12, 2s).size(), 12u);
    host.Close();
    EXPECT_EQ(Finish(), 1) << Output();
    EXPECT_TRUE(Said("2 of 64 byte(s) differ, first at payload offset 10")) << Output();
    EXPECT_TRUE(Said("mismatches=2")) << Output();
}

TEST_F(SimTest, StatusFaultSetsOffsetSixOnly) {
    Start("open\nsend1 8\n", {"--fault", "1:status:05"});
    Host host(port_);
    ASSERT_TRUE(host.ok());
    ASSERT_TRUE(host.Write(Payload(1)));
    Bytes expected = Format1Reply(0);
    expected[6] = 0x05;
    EXPECT_EQ(host.Read(12, 2s), expected);
    host.Close();
    EXPECT_EQ(Finish(), 0) << Output();
    EXPECT_TRUE(Said("faults=1")) << Output();
}

TEST_F(SimTest, SplitFaultSendsTheFrameInPiecesWithGaps) {
    Start("open\nsend1 8\n", {"--fault", "1:split:4:200"});
    Host host(port_);
    ASSERT_TRUE(host.ok());
    ASSERT_TRUE(host.Write(Payload(1)));
    const Bytes first = host.Read(4, 2s);
    ASSERT_EQ(first.size(), 4u);
    // Well inside the 200 ms gap nothing else may come.
    EXPECT_TRUE(host.Read(8, 100ms).empty());
    Bytes all = first;
    const Bytes rest = host.Read(8, 2s);
    all.insert(all.end(), rest.begin(), rest.end());
    EXPECT_EQ(all, Format1Reply(0));
    host.Close();
    EXPECT_EQ(Finish(), 0) << Output();
}

TEST_F(SimTest, NoReplyFaultLeavesTheLineSilentAndTheRunGoesOn) {
    Start("open\nsend2 6\nsend2 6\n", {"--fault", "1:noreply"});
    Host host(port_);
    ASSERT_TRUE(host.ok());
    ASSERT_TRUE(host.Write(Payload(1)));
    EXPECT_TRUE(host.Read(1, 400ms).empty());
    ASSERT_TRUE(host.Write(Payload(2)));
    EXPECT_EQ(host.Read(5, 2s), Format2Reply('$'));
    host.Close();
    EXPECT_EQ(Finish(), 0) << Output();
    EXPECT_TRUE(Said("faults=1")) << Output();
}

TEST_F(SimTest, LengthFaultsPutTheWrongCountOnTheWire) {
    Start("open\nsend1 4\nsend2 4\nsend1 4\n",
          {"--fault", "1:extra:1", "--fault", "2:short:3", "--fault", "3:garbage:2"});
    Host host(port_);
    ASSERT_TRUE(host.ok());
    ASSERT_TRUE(host.Write(Payload(1)));
    Bytes thirteen = Format1Reply(0);
    thirteen.push_back(kExtraByte);
    EXPECT_EQ(host.Read(13, 2s), thirteen);
    ASSERT_TRUE(host.Write(Payload(2)));
    EXPECT_EQ(host.Read(5, 500ms), (Bytes{0xF2, 0x01, 0x02}));  // then silence
    ASSERT_TRUE(host.Write(Payload(3)));
    Bytes junk = {kGarbageByte, kGarbageByte};
    const Bytes frame = Format1Reply(0);
    junk.insert(junk.end(), frame.begin(), frame.end());
    EXPECT_EQ(host.Read(14, 2s), junk);
    host.Close();
    EXPECT_EQ(Finish(), 0) << Output();
    EXPECT_TRUE(Said("faults=3")) << Output();
}

TEST_F(SimTest, UnplugMakesThePortVanish) {
    Start("open\nsend1 8\n", {"--fault", "1:unplug"});
    Host host(port_);
    ASSERT_TRUE(host.ok());
    bool hangup = false;
    EXPECT_TRUE(host.Read(1, 2s, &hangup).empty());
    EXPECT_TRUE(hangup);
    EXPECT_EQ(Finish(), 4) << Output();
    EXPECT_FALSE(std::filesystem::exists(port_));
    EXPECT_TRUE(Said("unplugged")) << Output();
}

TEST_F(SimTest, ExpectedUnplugExitsZero) {
    Start("open\nclose\n", {"--fault", "1:unplug", "--expect-unplug"});
    Host host(port_);
    ASSERT_TRUE(host.ok());
    bool hangup = false;
    host.Read(1, 2s, &hangup);
    EXPECT_TRUE(hangup);
    EXPECT_EQ(Finish(), 0) << Output();
}

TEST_F(SimTest, ReplugMovesTheLinkToANewPort) {
    const std::string link = dir_.path("terminal");
    Start("open\nsend2 4\nclose\nopen\nsend2 4\n", {"--link", link, "--fault", "3:replug:" + link});
    EXPECT_EQ(std::filesystem::read_symlink(link), port_);
    {
        Host host(link);
        ASSERT_TRUE(host.ok());
        ASSERT_TRUE(host.Write(Payload(1)));
        EXPECT_EQ(host.Read(5, 2s), Format2Reply('$'));
    }
    // The new pty may well get the old number back; the link must follow it.
    auto second = sim_->ReadLineStartingWith("port: ", 3s);
    ASSERT_TRUE(second) << Output();
    const std::string new_port = second->text.substr(6);
    EXPECT_EQ(std::filesystem::read_symlink(link), new_port);
    {
        Host host(link);
        ASSERT_TRUE(host.ok());
        ASSERT_TRUE(host.Write(Payload(4)));
        EXPECT_EQ(host.Read(5, 2s), Format2Reply('$'));
    }
    EXPECT_EQ(Finish(), 0) << Output();
    EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link)));
}

TEST_F(SimTest, NoiseDuringDelayArrivesBeforeTheNextRecord) {
    Start("open\ndelay 1\nsend2 4\n", {"--fault", "1:noise-during-delay:3"});
    Host host(port_);
    ASSERT_TRUE(host.ok());
    EXPECT_EQ(host.Read(3, 3s), Bytes(3, kNoiseByte));
    ASSERT_TRUE(host.Write(Payload(2)));
    EXPECT_EQ(host.Read(5, 2s), Format2Reply('$'));
    host.Close();
    EXPECT_EQ(Finish(), 0) << Output();
}

TEST_F(SimTest, UnplugDuringDelayPullsThePortHalfwayThroughThePause) {
    Start("open\ndelay 2\nsend2 4\n", {"--fault", "1:unplug-during-delay"});
    Host host(port_);
    ASSERT_TRUE(host.ok());
    const auto start = std::chrono::steady_clock::now();
    bool hangup = false;
    EXPECT_TRUE(host.Read(1, 5s, &hangup).empty());
    EXPECT_TRUE(hangup);
    // Halfway through the 2 s pause, not as the record is reached.
    EXPECT_GE(std::chrono::steady_clock::now() - start, 700ms);
    EXPECT_EQ(Finish(), 4) << Output();
    EXPECT_TRUE(Said("unplugged halfway through the pause")) << Output();
}

TEST_F(SimTest, StallLeavesTheHostsBytesUnreadForItsLength) {
    Start("open\nsend2 4\n", {"--fault", "1:stall:800"});
    Host host(port_);
    ASSERT_TRUE(host.ok());
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(host.Write(Payload(1)));
    EXPECT_EQ(host.Read(5, 5s), Format2Reply('$'));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 700ms);
    host.Close();
    EXPECT_EQ(Finish(), 0) << Output();
    EXPECT_TRUE(Said("reads nothing for 800 ms")) << Output();
}

TEST_F(SimTest, UnexpectedBytesFromTheHostAreReported) {
    Start("open\nclose\n");
    Host host(port_);
    ASSERT_TRUE(host.ok());
    ASSERT_TRUE(host.Write(Bytes{0xDE, 0xAD}));
    host.Close();
    EXPECT_EQ(Finish(), 0) << Output();
    EXPECT_TRUE(Said("2 unexpected byte(s) from the host during record 1 (CMD_CLOSE_PORT")) << Output();
    EXPECT_TRUE(Said("DE AD")) << Output();
}

TEST_F(SimTest, HostLeavingEarlyFailsTheRun) {
    Start("open\nsend1 16\nclose\n");
    {
        Host host(port_);
        ASSERT_TRUE(host.ok());
        // Held briefly, as any real host does: an open and close within the
        // simulator's polling interval leaves no trace on a pty master.
        host.Read(1, 100ms);
    }
    EXPECT_EQ(Finish(), 3) << Output();
    EXPECT_TRUE(Said("host closed the port during record 1")) << Output();
}

TEST_F(SimTest, IdleHostTimesOut) {
    Start("open\n", {"--idle-timeout-s", "1"});
    EXPECT_EQ(Finish(), 3) << Output();
    EXPECT_TRUE(Said("nothing happened for 1 s")) << Output();
}

TEST_F(SimTest, FaultOnARecordThatCannotTakeItIsRefused) {
    script_ = BuildScript("open\nsend2 4\n");
    const std::string file = dir_.path("upgrader.asc");
    WriteFileBytes(file, script_);
    const auto r = testing::RunTool({VANTREL_SIM_EXE, "--script", file, "--fault", "1:status:01"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.output.find("format-1"), std::string::npos) << r.output;
    const auto beyond = testing::RunTool({VANTREL_SIM_EXE, "--script", file, "--fault", "9:noreply"});
    EXPECT_EQ(beyond.status, 2);
    EXPECT_NE(beyond.output.find("2 records"), std::string::npos) << beyond.output;
}

// A named port is the Windows build's line; here the simulator makes its
// own pty, and the options that only go with a named port are refused
// rather than silently ignored.
TEST_F(SimTest, NamedPortOptionsAreRefusedWhereTheSimulatorMakesItsOwnPty) {
    script_ = BuildScript("open\n");
    const std::string file = dir_.path("upgrader.asc");
    WriteFileBytes(file, script_);
    const auto port = testing::RunTool({VANTREL_SIM_EXE, "--script", file, "--port", "COM9"});
    EXPECT_EQ(port.status, 2);
    EXPECT_NE(port.output.find("--port: here the simulator makes a pty of its own"), std::string::npos) << port.output;
    EXPECT_EQ(port.output.find("port: /dev/"), std::string::npos) << port.output;
    const auto baud = testing::RunTool({VANTREL_SIM_EXE, "--script", file, "--baud", "115200"});
    EXPECT_EQ(baud.status, 2);
    EXPECT_NE(baud.output.find("--baud goes with --port only"), std::string::npos) << baud.output;
    const auto dsr = testing::RunTool({VANTREL_SIM_EXE, "--script", file, "--ignore-dsr"});
    EXPECT_EQ(dsr.status, 2);
    EXPECT_NE(dsr.output.find("--ignore-dsr goes with --port only"), std::string::npos) << dsr.output;
}

}  // namespace
}  // namespace tools::sim
