// vantrel-station on a production line, end to end: what the line does to
// it (hangups, a killed station, a second Ctrl+C, a full disk, a stdout
// nobody reads, device nodes that come late, units plugged and pulled at
// random) and what it must never do in return: cut a unit mid-flash, lose a
// record, flash a unit twice or flash a unit in no slot. Real time
// throughout; every wait is bounded.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <set>
#include <thread>

#include "tests/station/fixture.h"

namespace station::testing {
namespace {

using namespace std::chrono_literals;

// Four records: a run takes about two seconds (the waits after open and close).
constexpr const char* kScript = "open\nsend1 2048\nsend2 2048\nclose\n";
// A run that spends several seconds in a delay, with the port open.
constexpr const char* kSlowScript = "open\nsend1 1024\ndelay 4\nsend2 1024\nclose\n";

// Waits (bounded) until the log has n lines.
bool WaitForLogLines(const std::string& path, std::size_t n, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (ReadLines(path).size() >= n)
            return true;
        std::this_thread::sleep_for(50ms);
    }
    return ReadLines(path).size() >= n;
}

TEST_F(StationE2ETest, AHangupNeverCutsARunningUpgradeAndEndsWith129OnceTheyEnd) {
    UseScript(kSlowScript);
    Plug("ttyACM1", "H-1");
    Plug("ttyACM2", "H-2");
    StartStation({});
    ASSERT_TRUE(WaitForLine("progress: ", 5s));
    station_->Signal(SIGHUP);  // the operator's SSH session closed
    std::this_thread::sleep_for(300ms);
    Plug("ttyACM3", "H-3");  // nothing new starts after a hangup
    EXPECT_EQ(FinishStation(20s), 129);
    const auto ends = Ends();
    ASSERT_EQ(ends.size(), 2u);
    for (const auto& e : ends)
        EXPECT_EQ(e.result, "success") << e.port;
    const auto log = LogLines();
    ASSERT_EQ(log.size(), 2u);
    for (const auto& line : log)
        EXPECT_EQ(JsonField(line, "result"), "\"success\"") << line;
    EXPECT_FALSE(terminals_.at("ttyACM3").sim->SawHostOpen());
}

TEST_F(StationE2ETest, RunsInFlightWhenTheStationIsKilledAreLoggedAsInterruptedAtTheNextStart) {
    UseScript(kSlowScript);
    Plug("ttyACM1", "K-1");
    Plug("ttyACM2", "K-2");
    StartStation({});
    ASSERT_TRUE(WaitForLine("progress: ttyACM1", 5s));
    ASSERT_TRUE(WaitForLine("progress: ttyACM2", 5s));
    const std::vector<pid_t> runs = ChildrenOf(station_->pid());
    ASSERT_EQ(runs.size(), 2u);
    station_->Signal(SIGKILL);
    EXPECT_EQ(FinishStation(5s), 137);
    // The kernel tells the runs their station died: each stops and closes its port.
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    for (pid_t run : runs) {
        while (::kill(run, 0) == 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(20ms);
        EXPECT_NE(::kill(run, 0), 0) << "run " << run << " outlived its station";
    }
    EXPECT_TRUE(LogLines().empty());

    // The next start, with the same log (and no terminal of its own).
    readLines_ = 0;
    StartStation({"--ports", "ttyNONE"});
    ASSERT_TRUE(WaitForLogLines(log_, 2, 5s));
    station_->Signal(SIGINT);
    EXPECT_EQ(FinishStation(10s), 130);
    const auto log = LogLines();
    ASSERT_EQ(log.size(), 2u);
    std::set<std::string> serials;
    for (const auto& line : log) {
        SCOPED_TRACE(line);
        EXPECT_EQ(JsonField(line, "result"), "\"interrupted\"");
        EXPECT_EQ(JsonField(line, "exit_code"), "-1");
        EXPECT_EQ(JsonField(line, "start").size(), 26u);
        EXPECT_EQ(JsonField(line, "end").size(), 26u);
        serials.insert(JsonField(line, "serial"));
    }
    EXPECT_EQ(serials, (std::set<std::string>{"\"K-1\"", "\"K-2\""}));
    // Said once: a third start finds nothing to add.
    StartStation({"--ports", "ttyNONE"});
    std::this_thread::sleep_for(500ms);
    station_->Signal(SIGINT);
    EXPECT_EQ(FinishStation(10s), 130);
    EXPECT_EQ(LogLines().size(), 2u);
}

TEST_F(StationE2ETest, ASecondSigintStopsWaitingKillsWhatIsLeftAndRecordsItAsKilled) {
    UseScript(kSlowScript);
    Plug("ttyACM1", "S-1");
    StartStation({});
    ASSERT_TRUE(WaitForLine("progress: ttyACM1", 5s));
    const auto runs = ChildrenOf(station_->pid());
    ASSERT_EQ(runs.size(), 1u);
    // The log and the journal stay the station's: a run inherits neither.
    std::error_code ec;
    for (const auto& fd : std::filesystem::directory_iterator("/proc/" + std::to_string(runs[0]) + "/fd", ec)) {
        std::error_code linkError;
        const std::string target = std::filesystem::read_symlink(fd.path(), linkError).string();
        EXPECT_EQ(target.find(log_), std::string::npos) << "the run holds " << target;
    }
    EXPECT_FALSE(ec) << ec.message();
    ASSERT_EQ(::kill(runs[0], SIGSTOP), 0);  // a run that cannot answer its SIGTERM
    station_->Signal(SIGINT);
    std::this_thread::sleep_for(1s);
    EXPECT_TRUE(station_->Running()) << "the first Ctrl+C waits for the runs";
    const auto asked = std::chrono::steady_clock::now();
    station_->Signal(SIGINT);
    EXPECT_EQ(FinishStation(10s), 130);
    EXPECT_LT(std::chrono::steady_clock::now() - asked, 5s) << "not the 10 s grace";
    const auto ends = Ends();
    ASSERT_EQ(ends.size(), 1u);
    EXPECT_EQ(ends[0].result, "killed");
    ASSERT_EQ(LogLines().size(), 1u);
    EXPECT_EQ(JsonField(LogLines()[0], "result"), "\"killed\"");
}

TEST_F(StationE2ETest, ASlotMapLabelsTheRunsAndAUnitInNoSlotIsNeverRun) {
    UseScript(kScript);
    tools::testing::WriteText(dir_.path("slots"), "# fixture 1\n1-1 A1\n1-9 A2\n");
    Plug("ttyACM1", "SL-1");  // USB device 1-1
    Plug("ttyACM2", "SL-2");  // 1-2: the engineer's own unit on the next port
    StartStation({"--slots", dir_.path("slots")});
    const auto start = WaitForLine("start: ", 5s);
    ASSERT_TRUE(start);
    EXPECT_EQ(*start, "start: ttyACM1 serial=SL-1 location=1-1 slot=A1");
    const auto end = WaitForLine("end: ", 15s);
    ASSERT_TRUE(end);
    EXPECT_NE(end->find("success"), std::string::npos) << *end;
    EXPECT_NE(end->find(" location=1-1 slot=A1"), std::string::npos) << *end;
    EXPECT_FALSE(WaitForLine("start: ", 1500ms));
    station_->Signal(SIGINT);
    EXPECT_EQ(FinishStation(10s), 130);
    EXPECT_FALSE(terminals_.at("ttyACM2").sim->SawHostOpen());
    const auto log = LogLines();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(JsonField(log[0], "slot"), "\"A1\"");
    EXPECT_EQ(JsonField(log[0], "location"), "\"1-1\"");
    EXPECT_EQ(JsonField(log[0], "attempt"), "1");
    EXPECT_EQ(JsonField(log[0], "duplicate_serial"), "false");

    // A bad map: one message naming the line, exit 2, nothing run.
    tools::testing::WriteText(dir_.path("bad"), "1-1 A1\n1-2 A1\n");
    StartStation({"--slots", dir_.path("bad")});
    EXPECT_EQ(FinishStation(10s), 2);
    EXPECT_NE(station_->text(tools::process::Stream::Err).find("bad line 2: the label A1 is given twice (line 1)"),
              std::string::npos)
        << station_->text(tools::process::Stream::Err);
}

TEST_F(StationE2ETest, ANodeThatAppearsAfterItsDeviceIsUpgradedNotFailed) {
    UseScript(kScript);
    Plug("ttyACM1", "LATE-1", {}, /*nodeLate=*/true);
    StartStation({"--count", "1"});
    std::this_thread::sleep_for(1500ms);
    ShowNode("ttyACM1");
    const auto end = WaitForLine("end: ", 15s);
    ASSERT_TRUE(end);
    EXPECT_NE(end->find("end: ttyACM1 success exit=0"), std::string::npos) << *end;
    EXPECT_EQ(FinishStation(10s), 0);
    ASSERT_EQ(LogLines().size(), 1u);
    EXPECT_EQ(JsonField(LogLines()[0], "result"), "\"success\"");
}

TEST_F(StationE2ETest, ALogThatCannotBeWrittenStopsNewRunsAndTheLinesGoToStderr) {
    UseScript(kScript);
    Plug("ttyACM1", "F-1");
    StartStation({"--log", "/dev/full"});
    ASSERT_TRUE(WaitForLine("end: ttyACM1 success", 15s));
    Plug("ttyACM2", "F-2");
    EXPECT_FALSE(WaitForLine("start: ", 3s)) << "no record, no run";
    station_->Signal(SIGINT);
    EXPECT_EQ(FinishStation(10s), 1);
    EXPECT_FALSE(terminals_.at("ttyACM2").sim->SawHostOpen());
    const std::string err = station_->text(tools::process::Stream::Err);
    EXPECT_NE(err.find("No space left on device"), std::string::npos) << err;
    EXPECT_NE(err.find("{\"start\":"), std::string::npos) << "the record is saved on stderr: " << err;
    EXPECT_NE(err.find("\"serial\":\"F-1\""), std::string::npos) << err;
}

TEST_F(StationE2ETest, ALogRotatedDuringARunEndsWholeAndTheNextLineLandsInTheNewFile) {
    UseScript(kSlowScript);
    Plug("ttyACM1", "ROT-1");
    StartStation({});
    ASSERT_TRUE(WaitForLine("end: ttyACM1", 20s));
    Plug("ttyACM2", "ROT-2");
    ASSERT_TRUE(WaitForLine("progress: ttyACM2", 5s));
    // logrotate's way: the file is moved aside during the run, a new one is made.
    ASSERT_EQ(std::rename(log_.c_str(), (log_ + ".1").c_str()), 0);
    tools::testing::WriteText(log_, "");
    ASSERT_TRUE(WaitForLine("end: ttyACM2", 20s));
    station_->Signal(SIGINT);
    EXPECT_EQ(FinishStation(10s), 130);
    const auto old = ReadLines(log_ + ".1");
    ASSERT_EQ(old.size(), 1u);
    EXPECT_EQ(JsonField(old[0], "serial"), "\"ROT-1\"");
    std::ifstream whole(log_ + ".1", std::ios::binary);
    const std::string bytes(std::istreambuf_iterator<char>(whole), {});
    EXPECT_EQ(bytes.back(), '\n') << "the old file ends whole";
    const auto fresh = LogLines();
    ASSERT_EQ(fresh.size(), 1u);
    EXPECT_EQ(JsonField(fresh[0], "serial"), "\"ROT-2\"");
}

TEST_F(StationE2ETest, AStdoutNobodyReadsHoldsNoRunAndNoLogLine) {
    UseScript(kScript);
    Plug("ttyACM1", "P-1");
    Plug("ttyACM2", "P-2");
    int pipe[2];
    ASSERT_EQ(::pipe2(pipe, O_CLOEXEC), 0);
    // Full before the station writes its first byte.
    ASSERT_EQ(::fcntl(pipe[1], F_SETFL, O_NONBLOCK), 0);
    const std::string block(4096, 'x');
    while (::write(pipe[1], block.data(), block.size()) > 0) {
    }
    ASSERT_EQ(::fcntl(pipe[1], F_SETFL, 0), 0);
    const auto args = StationArgv({});
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::dup2(pipe[1], STDOUT_FILENO);
        const int null = ::open("/dev/null", O_WRONLY);
        ::dup2(null, STDERR_FILENO);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(pipe[1]);
    const auto started = std::chrono::steady_clock::now();
    const bool logged = WaitForLogLines(log_, 2, 20s);
    const auto took = std::chrono::steady_clock::now() - started;
    ::kill(pid, SIGINT);
    int status = -1;
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (::waitpid(pid, &status, WNOHANG) == 0 && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(20ms);
    if (::waitpid(pid, &status, WNOHANG) == 0 && status == -1) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        ADD_FAILURE() << "the station did not end with its stdout full";
    }
    ::close(pipe[0]);
    ASSERT_TRUE(logged) << "the runs waited for the stdout reader";
    EXPECT_LT(took, 10s);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 130) << status;
    for (const auto& line : LogLines())
        EXPECT_EQ(JsonField(line, "result"), "\"success\"") << line;
}

TEST_F(StationE2ETest, AFailedRunIsRetriedWhileTheUnitStaysPlugged) {
    UseScript(kScript);
    // The unit fails its first attempt (the first vantrel-cli reports a reply
    // timeout) and passes the second.
    const std::string flaky = dir_.path("flaky-cli");
    tools::testing::WriteText(flaky,
                              "#!/bin/sh\n"
                              "if [ ! -e '" +
                                  dir_.path("failed-once") +
                                  "' ]; then\n"
                                  "  : > '" +
                                  dir_.path("failed-once") +
                                  "'\n"
                                  "  echo 'status: waiting for the reply'; echo 'result: reply-timeout'; exit 6\n"
                                  "fi\n"
                                  "exec '" +
                                  cliWrapper_ + "' \"$@\"\n");
    ASSERT_EQ(::chmod(flaky.c_str(), 0755), 0);
    Plug("ttyACM1", "R-1");
    auto argv = StationArgv({"--retries", "2", "--count", "2"});
    const auto cli = std::find(argv.begin(), argv.end(), "--cli");
    *(cli + 1) = flaky;
    station_ = std::make_unique<tools::process::Child>(argv);
    EXPECT_EQ(FinishStation(30s), 0) << "the last attempt succeeded";
    const auto log = LogLines();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(JsonField(log[0], "result"), "\"reply-timeout\"");
    EXPECT_EQ(JsonField(log[0], "attempt"), "1");
    EXPECT_EQ(JsonField(log[1], "result"), "\"success\"");
    EXPECT_EQ(JsonField(log[1], "attempt"), "2");
    EXPECT_NE(station_->text(tools::process::Stream::Out).find("end: ttyACM1 success exit=0"), std::string::npos);
    EXPECT_NE(station_->text(tools::process::Stream::Out).find(" attempt=2"), std::string::npos);
}

TEST_F(StationE2ETest, RelativePathsAreTakenFromWhereTheStationStarted) {
    UseScript(kScript);
    Plug("ttyACM1", "REL-1");
    const std::filesystem::path cli(cliWrapper_);
    station_ = std::make_unique<tools::process::Child>(
        std::vector<std::string>{StationArgv({})[0], "--script", script_, "--log", "runs.log", "--cli",
                                 "./" + cli.filename().string(), "--poll-ms", "50", "--count", "1"},
        tools::testing::InDirectory(cli.parent_path().string()));
    EXPECT_EQ(FinishStation(20s), 0) << station_->text(tools::process::Stream::Err);
    ASSERT_EQ(ReadLines(cli.parent_path() / "runs.log").size(), 1u);

    station_ = std::make_unique<tools::process::Child>(
        std::vector<std::string>{StationArgv({})[0], "--script", script_, "--cli", "./no-such-cli"},
        tools::testing::InDirectory(cli.parent_path().string()));
    EXPECT_EQ(FinishStation(10s), 2);
    EXPECT_NE(station_->text(tools::process::Stream::Err).find("no-such-cli: No such file or directory"),
              std::string::npos)
        << station_->text(tools::process::Stream::Err);
}

TEST_F(StationE2ETest, UnitsPluggedAndPulledAtRandomForAMinuteAreEachFlashedAtMostOnceAndWhole) {
    UseScript(kScript);
    std::mt19937 random(20261208);
    const std::vector<std::string> ports = {"ttyACM1", "ttyACM2", "ttyACM3", "ttyACM4"};
    std::map<std::string, bool> plugged;
    std::map<std::string, std::unique_ptr<vantrel::e2e::Simulator>> bySerial;
    int serial = 0;
    StartStation({});
    const auto until = std::chrono::steady_clock::now() + 60s;
    while (std::chrono::steady_clock::now() < until) {
        const std::string& port = ports[random() % ports.size()];
        if (plugged[port]) {
            Unplug(port);
            plugged[port] = false;
        } else {
            auto& t = Plug(port, "RND-" + std::to_string(++serial));
            plugged[port] = true;
            // The simulator outlives the next plug at this port: its summary is read at the end.
            bySerial[t.serial] = std::move(t.sim);
        }
        WaitForLine("\x01", std::chrono::milliseconds(200 + random() % 1800));  // lets the station's output flow
    }
    for (const auto& [port, in] : plugged) {
        if (in)
            Unplug(port);
    }
    std::this_thread::sleep_for(3s);
    station_->Signal(SIGINT);
    ASSERT_EQ(FinishStation(20s), 130);

    // No two runs at once on one port.
    std::map<std::string, int> running;
    for (const auto& line : StationLines()) {
        std::istringstream in(line);
        std::string tag, port;
        in >> tag >> port;
        if (tag == "start:") {
            EXPECT_EQ(++running[port], 1) << "two runs at once on " << port;
        } else if (tag == "end:") {
            --running[port];
        }
    }
    // Every unit at most one line, and every success had every payload intact.
    const auto log = LogLines();
    std::set<std::string> seen;
    int successes = 0;
    const std::uint64_t payload = vantrel::e2e::SendPayloadBytes(script_);
    for (const auto& line : log) {
        SCOPED_TRACE(line);
        const std::string quoted = JsonField(line, "serial");
        ASSERT_GE(quoted.size(), 2u);
        const std::string s = quoted.substr(1, quoted.size() - 2);
        EXPECT_TRUE(seen.insert(s).second) << "a unit flashed twice";
        if (JsonField(line, "result") != "\"success\"")
            continue;
        ++successes;
        auto& sim = bySerial.at(s);
        ASSERT_TRUE(sim->Finish(10s).has_value());
        const auto summary = sim->summary();
        ASSERT_TRUE(summary);
        EXPECT_EQ(summary->mismatches, 0u);
        EXPECT_EQ(summary->payload_bytes, payload);
    }
    EXPECT_GT(successes, 3) << "the minute upgraded some units";
    RecordProperty("plugs", serial);
    RecordProperty("successes", successes);
}

}  // namespace
}  // namespace station::testing
