// vantrel-cli end to end around the port and the run itself: ports that
// cannot be opened (busy, missing, too long a name, no permission), the
// script and the options, an interrupt during a pause, the trace on stderr
// and the exact order of the stdout lines.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "tests/cli/e2e_fixture.h"

namespace vantrel::e2e {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;
using tools::testing::TempDir;

constexpr const char* kShortScript = "open\nsend1 16\nclose\n";

// UTF-8 text for the tool's Chinese lines; u8 literals are char8_t in C++20.
std::string Utf8(const char8_t* s) { return reinterpret_cast<const char*>(s); }

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

// The stdout lines of a port that failed to open, as the contract has them.
void ExpectPortOpenFailed(const CliResult& run, const std::string& shown_name) {
    ASSERT_TRUE(run.exit.has_value()) << run.out;
    EXPECT_EQ(*run.exit, 4) << run.out << run.err;
    EXPECT_EQ(run.result(), "port-open-failed");
    EXPECT_TRUE(Contains(run.out, "connect: " + shown_name + ": Open Failed\n")) << run.out;
    EXPECT_TRUE(Contains(run.out, Utf8(u8"message: 设备打开失败[") + shown_name + "]\n")) << run.out;
    EXPECT_LT(run.elapsed, 5s) << "a port that cannot be opened fails at once";
}

// --- ports that cannot be opened --------------------------------------------

// Another program holds the terminal's port: it took the advisory lock and
// exclusive mode as a serial program does (root passes exclusive mode, not
// the lock).
TEST(PortOpen, PortHeldByAnotherProgramIsReportedInUse) {
    TempDir dir;
    const std::string script = BuildScript(dir, kShortScript);
    Simulator sim(script, {});
    const int holder = ::open(sim.port().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(holder, 0) << "opening " << sim.port() << ": " << std::strerror(errno);
    ASSERT_EQ(::flock(holder, LOCK_EX | LOCK_NB), 0) << std::strerror(errno);
    ASSERT_EQ(::ioctl(holder, TIOCEXCL), 0) << std::strerror(errno);

    const CliResult run = RunCli(dir.path(""), {"--port", sim.port()}, 8s);
    ::close(holder);
    ExpectPortOpenFailed(run, sim.port());
    EXPECT_TRUE(Contains(run.err, "cannot open " + sim.port() + ": ")) << run.err;
    EXPECT_TRUE(Contains(run.err, "in use")) << run.err;
    // Nothing of the script went out on the held port.
    EXPECT_FALSE(Contains(sim.output(), "payload of")) << sim.output();
}

TEST(PortOpen, MissingPortsNameTheCause) {
    TempDir dir;
    BuildScript(dir, kShortScript);
    // A path that names nothing, and a bare name the runner maps into /dev.
    for (const std::string& port : {dir.path("no-such-port"), std::string("ttyVNT97")}) {
        SCOPED_TRACE(port);
        const CliResult run = RunCli(dir.path(""), {"--port", port}, 8s);
        ExpectPortOpenFailed(run, port);
        EXPECT_TRUE(Contains(run.err, "cannot open " + port + ": no such port")) << run.err;
    }
}

// The port path holds 63 characters with its 4-character prefix: a typed
// text of 59 fits, one of 60 must fail rather than be cut to a name that
// exists (here the 59-character link to a live terminal).
class LongPortText : public ::testing::Test {
protected:
    void SetUp() override {
        std::string base = dir_.path("");
        if (base.size() >= 50)
            GTEST_SKIP() << "the temporary directory's path is too long to build a 59-character port: " << base;
        link_ = base + std::string(59 - base.size(), 'p');
        ASSERT_EQ(link_.size(), 59u);
        script_ = BuildScript(dir_, kShortScript);
    }
    TempDir dir_;
    std::string link_;
    std::string script_;
};

TEST_F(LongPortText, FiftyNineCharactersOpenThePort) {
    Simulator sim(script_, {"--link", link_});
    const CliResult run = RunCli(dir_.path(""), {"--port", link_}, 10s);
    ASSERT_TRUE(run.exit.has_value());
    EXPECT_EQ(run.result(), "success") << run.out << run.err;
    EXPECT_EQ(*run.exit, 0);
    ASSERT_TRUE(sim.Finish(5s).has_value()) << sim.output();
    ASSERT_TRUE(sim.summary().has_value()) << sim.output();
    EXPECT_EQ(sim.summary()->payload_bytes, 16u);
}

TEST_F(LongPortText, SixtyCharactersFailAndNeverOpenAnotherPort) {
    Simulator sim(script_, {"--link", link_});
    for (const std::string& typed : {link_ + "x", link_ + "/../" + std::string(40, 'q')}) {
        SCOPED_TRACE(typed);
        const CliResult run = RunCli(dir_.path(""), {"--port", typed, "--trace"}, 8s);
        ASSERT_TRUE(run.exit.has_value());
        EXPECT_EQ(*run.exit, 4) << run.out << run.err;
        EXPECT_EQ(run.result(), "port-open-failed");
        EXPECT_TRUE(
            Contains(run.err, "port name too long (" + std::to_string(typed.size()) + " characters, at most 59)"))
            << run.err;
        EXPECT_TRUE(Contains(run.err, "cannot open " + typed + ": a port name has at most 59 characters")) << run.err;
    }
    // Give a stray open time to show before looking.
    sim.ReadLineStartingWith("sim: host opened", 300ms);
    EXPECT_FALSE(sim.SawHostOpen()) << "a cut name opened the live terminal:\n" << sim.output();
}

// Permissions are checked with the file-permission bypass dropped, so the
// case also runs as root; mode 000 on the terminal's own node.
TEST(PortOpen, PortWithoutPermissionIsRefused) {
    if (!CanRunWithoutFileOverride()) {
        GTEST_SKIP() << "running as root without CAP_SETPCAP: the runner would bypass the port's permissions";
    }
    TempDir dir;
    const std::string script = BuildScript(dir, kShortScript);
    Simulator sim(script, {});
    struct stat before {};
    ASSERT_EQ(::stat(sim.port().c_str(), &before), 0);
    ASSERT_EQ(::chmod(sim.port().c_str(), 0), 0) << std::strerror(errno);
    CliOptions options;
    options.without_file_override = true;
    const CliResult run = RunCli(dir.path(""), {"--port", sim.port()}, 8s, options);
    ::chmod(sim.port().c_str(), before.st_mode & 07777);
    ExpectPortOpenFailed(run, sim.port());
    EXPECT_TRUE(Contains(run.err, "access denied") || Contains(run.err, "permission denied")) << run.err;
    sim.ReadLineStartingWith("sim: host opened", 200ms);
    EXPECT_FALSE(sim.SawHostOpen()) << sim.output();
}

// --- the script and the options ---------------------------------------------

TEST(RunSetup, MissingScriptEndsBeforeAnyPort) {
    TempDir dir;
    Simulator sim(BuildScript(dir, kShortScript), {});
    TempDir empty;  // the runner's directory has no upgrader.asc
    const CliResult run = RunCli(empty.path(""), {"--port", sim.port()}, 8s);
    ASSERT_TRUE(run.exit.has_value());
    EXPECT_EQ(*run.exit, 3);
    EXPECT_EQ(run.lines, (std::vector<std::string>{"status: Open Obj failed!", "result: no-script"}));
    sim.ReadLineStartingWith("sim: host opened", 200ms);
    EXPECT_FALSE(sim.SawHostOpen()) << sim.output();
}

// A whole script that another program holds (exclusive lock) is refused
// as no script, and the reason given is not that it is empty or short.
TEST(RunSetup, ScriptHeldByAnotherProgramIsNoScriptAndNotCalledEmpty) {
    TempDir dir;
    const std::string script = BuildScript(dir, kShortScript);
    const int held = ::open(script.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(held, 0);
    ASSERT_EQ(::flock(held, LOCK_EX | LOCK_NB), 0);
    const CliResult run = RunCli(dir.path(""), {"--port", "/dev/vantrel-no-such-port"}, 8s);
    ::close(held);
    ASSERT_TRUE(run.exit.has_value());
    EXPECT_EQ(*run.exit, 3);
    EXPECT_EQ(run.result(), "no-script");
    EXPECT_NE(run.err.find("upgrader.asc could not be loaded: another program held or changed it"), std::string::npos)
        << run.err;
    EXPECT_EQ(run.err.find("empty"), std::string::npos) << run.err;
}

TEST(RunSetup, UnknownLineSpeedIsAUsageError) {
    TempDir dir;
    BuildScript(dir, kShortScript);
    for (const char* const baud : {"9600", "", "3686400x"}) {
        SCOPED_TRACE(baud);
        const CliResult run = RunCli(dir.path(""), {"--port", dir.path("nothing"), "--baud", baud}, 5s);
        ASSERT_TRUE(run.exit.has_value());
        EXPECT_EQ(*run.exit, 2);
        EXPECT_EQ(run.out, "") << "no run starts";
        EXPECT_TRUE(Contains(run.err, std::string("no line speed '") + baud + "'")) << run.err;
    }
    const CliResult missing = RunCli(dir.path(""), {"--baud"}, 5s);
    ASSERT_TRUE(missing.exit.has_value());
    EXPECT_EQ(*missing.exit, 2);
    EXPECT_TRUE(Contains(missing.err, "--baud needs a value")) << missing.err;
}

// --- the run ----------------------------------------------------------------

// SIGINT during a pause stops the run as a confirmed "STOP?": the port is
// closed (the terminal sees the close), no further record is played.
TEST(RunControl, InterruptDuringADelayClosesThePort) {
    TempDir dir;
    Simulator sim(BuildScript(dir, "open\ndelay 5\nsend1 64\nclose\n"), {});
    const auto started = Clock::now();
    const auto cli = StartCli({"--port", sim.port()}, {.cwd = dir.path("")});
    const auto ready = cli->ReadLineStartingWith("status: ready loader!", 5s);
    ASSERT_TRUE(ready) << cli->text(tools::process::Stream::Out) << cli->text(tools::process::Stream::Err);
    ASSERT_EQ(ready->text, "status: ready loader!");
    ASSERT_TRUE(cli->Signal(SIGINT));
    const auto signalled = Clock::now();
    const CliResult run = FinishCli(*cli, started, 3s);
    ASSERT_TRUE(run.exit.has_value()) << "the runner did not stop on SIGINT";
    EXPECT_EQ(*run.exit, 130);
    EXPECT_EQ(run.lines.back(), "result: interrupted");
    EXPECT_LT(Clock::now() - signalled, 2s) << "the stop waited for the pause";
    EXPECT_FALSE(Contains(run.out, "loading")) << "the send after the pause was taken:\n" << run.out;

    EXPECT_TRUE(sim.ReadLineStartingWith("sim: host closed the port", 3s).has_value()) << sim.output();
    ASSERT_TRUE(sim.Finish(3s).has_value());
    ASSERT_TRUE(sim.summary().has_value()) << sim.output();
    EXPECT_EQ(sim.summary()->payload_bytes, 0u);
}

// --trace writes the trace lines to stderr exactly as produced, CR LF kept,
// UTF-8 for the wide texts; without it stderr stays quiet.
TEST(RunOutput, TraceGoesToStderrWithItsLineEnds) {
    TempDir dir;
    const std::string script = BuildScript(dir, kShortScript);
    ::unsetenv("VANTREL_TRACE");
    {
        Simulator sim(script, {});
        const CliResult run = RunCli(dir.path(""), {"--port", sim.port(), "--trace"}, 8s);
        ASSERT_TRUE(run.exit.has_value());
        EXPECT_EQ(*run.exit, 0) << run.out << run.err;
        for (const std::string& line : {std::string("UpgradeInit\r\n"), std::string("UpgradeInit - TRUE\r\n"),
                                        std::string("UpgradeOpenPort\r\n"), "serial port = " + sim.port() + "\r\n",
                                        // "port given" in the engine's own words
                                        Utf8(u8"已指定串口: \\\\.\\") + sim.port() + "\r\n",
                                        std::string("UpgradeClosePort\r\n"), std::string("UpgradeInit - FALSE\r\n")}) {
            EXPECT_TRUE(Contains(run.err, line)) << "missing trace line " << line << " in:\n" << run.err;
        }
        // The order of the run's own steps.
        EXPECT_LT(run.err.find("UpgradeInit - TRUE\r\n"), run.err.find("UpgradeOpenPort\r\n"));
        EXPECT_LT(run.err.find("UpgradeOpenPort\r\n"), run.err.find("UpgradeInit - FALSE\r\n"));
        // Trace lines never reach stdout.
        EXPECT_FALSE(Contains(run.out, "Upgrade")) << run.out;
    }
    {
        Simulator sim(script, {});
        const CliResult run = RunCli(dir.path(""), {"--port", sim.port()}, 8s);
        ASSERT_TRUE(run.exit.has_value());
        EXPECT_EQ(*run.exit, 0);
        EXPECT_EQ(run.err, "");
    }
}

// One line per event, in the order the run makes them. The script's 125
// bytes after the header: open (3), wait (3), send1 of 100 (103), send2 of
// 10 (13), close (3); the progress position is taken before each record
// runs, and the port's connection line follows the open record's position.
TEST(RunOutput, StdoutLinesComeInTheRunsOrder) {
    TempDir dir;
    Simulator sim(BuildScript(dir, "open\nwait\nsend1 100\nsend2 10\nclose\n"), {});
    const CliResult run = RunCli(dir.path(""), {"--port", sim.port()}, 8s);
    ASSERT_TRUE(run.exit.has_value());
    EXPECT_EQ(*run.exit, 0);
    const std::vector<std::string> want = {
        "progress: 3/125",         "connect: " + sim.port() + ": Open",
        "progress: 6/125",         "status: waiting ...!",
        "progress: 109/125",       "status: loading ...",
        "progress: 122/125",       "progress: 125/125",
        "status: loader Success!", "result: success",
    };
    EXPECT_EQ(run.lines, want) << run.out;
}

}  // namespace
}  // namespace vantrel::e2e
