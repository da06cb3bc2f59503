// vantrel-station end to end: terminals plugged into a umockdev device tree,
// each a simulator on a pty, upgraded by the station's vantrel-cli children.
// Real time throughout (the runs' own open and close waits are a second
// each); every wait is bounded.
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "tests/station/fixture.h"
#include "tools/script_format.h"
#include "tests/fakes/umockdev.h"

namespace station::testing {
namespace {

using namespace std::chrono_literals;

// Four records: a run takes about two seconds (the waits after open and close).
constexpr const char* kScript = "open\nsend1 2048\nsend2 2048\nclose\n";

int CountWhere(const std::vector<EndLine>& ends, const std::string& port, const std::string& result) {
    return static_cast<int>(std::count_if(ends.begin(), ends.end(), [&](const EndLine& e) {
        return e.port == port && (result.empty() || e.result == result);
    }));
}

// Processes holding a descriptor on the path's target.
std::vector<pid_t> Holders(const std::string& path) {
    std::vector<pid_t> holders;
    std::error_code ec;
    const auto target = std::filesystem::canonical(path, ec);
    if (ec)
        return holders;
    for (const auto& process : std::filesystem::directory_iterator("/proc", ec)) {
        const pid_t pid = std::atoi(process.path().filename().c_str());
        if (pid <= 0)
            continue;
        std::error_code ignored;
        for (const auto& fd : std::filesystem::directory_iterator(process.path() / "fd", ignored)) {
            std::error_code linkError;
            if (std::filesystem::read_symlink(fd.path(), linkError) == target)
                holders.push_back(pid);
        }
    }
    return holders;
}

TEST_F(StationE2ETest, FourTerminalsPluggedAtDifferentTimesAreEachUpgradedOnceWithOneRecordEach) {
    UseScript(kScript);
    const std::string hostile = "Q\"\n\x1b[31mX\\";
    Plug("ttyACM1", hostile);
    StartStation({"--jobs", "4", "--count", "5"});
    ASSERT_TRUE(WaitForLine("start: ttyACM1", 5s));
    Plug("ttyACM2", "SN-0002", {"1:status:01"});  // the terminal refuses the format-1 block
    ASSERT_TRUE(WaitForLine("start: ttyACM2", 5s));
    Plug("ttyACM3", "SN-0003");
    std::this_thread::sleep_for(300ms);
    Plug("ttyACM4", "", {"2:byte3:00"});  // the format-2 block refused
    for (int i = 0; i < 4; ++i)
        ASSERT_TRUE(WaitForLine("end: ", 20s)) << i;
    // Still plugged in: no second run comes, though the count allows one.
    EXPECT_FALSE(WaitForLine("start: ", 1500ms));
    station_->Signal(SIGINT);
    ASSERT_EQ(FinishStation(10s), 130);

    const auto ends = Ends();
    ASSERT_EQ(ends.size(), 4u);
    EXPECT_EQ(CountWhere(ends, "ttyACM1", "success"), 1);
    EXPECT_EQ(CountWhere(ends, "ttyACM2", "format1-refused"), 1);
    EXPECT_EQ(CountWhere(ends, "ttyACM3", "success"), 1);
    EXPECT_EQ(CountWhere(ends, "ttyACM4", "format2-refused"), 1);
    const auto summary = WaitForLine("summary: ", 1s);
    ASSERT_TRUE(summary);
    EXPECT_NE(summary->find("runs=4 format1-refused=1 format2-refused=1 success=2"), std::string::npos) << *summary;

    // Nothing of the hostile serial number reaches the screen raw.
    const std::string out = station_->text(tools::process::Stream::Out);
    EXPECT_EQ(out.find('\x1b'), std::string::npos);
    EXPECT_NE(out.find("start: ttyACM1 serial=Q\"\\x0a\\x1b[31mX\\\\"), std::string::npos) << out;

    const auto log = LogLines();
    ASSERT_EQ(log.size(), 4u) << "one line per run, the serial's newline escaped";
    const std::string sha = SystemSha256(script_);
    const std::uint64_t payload = vantrel::e2e::SendPayloadBytes(script_);
    std::set<std::string> ports;
    for (const auto& line : log) {
        SCOPED_TRACE(line);
        ports.insert(JsonField(line, "port"));
        EXPECT_EQ(JsonField(line, "script_sha256"), "\"" + sha + "\"");
        EXPECT_EQ(JsonField(line, "script_size"), std::to_string(std::filesystem::file_size(script_)));
        EXPECT_EQ(JsonField(line, "baud"), "\"3686400\"");
        EXPECT_EQ(JsonField(line, "hardware_id"), "\"USB\\\\VID_0483&PID_5740&REV_0200\"");
        EXPECT_EQ(JsonField(line, "start").size(), 26u);  // "2026-12-08T11:14:38.123Z"
        EXPECT_EQ(JsonField(line, "end").back(), '"');
        const std::string port = JsonField(line, "port");
        if (port == "\"ttyACM1\"") {
            EXPECT_EQ(JsonField(line, "serial"), "\"Q\\\"\\n\\u001b[31mX\\\\\"");
            EXPECT_EQ(JsonField(line, "result"), "\"success\"");
            EXPECT_EQ(JsonField(line, "exit_code"), "0");
            EXPECT_EQ(JsonField(line, "payload_bytes"), std::to_string(payload));
        } else if (port == "\"ttyACM2\"") {
            EXPECT_EQ(JsonField(line, "serial"), "\"SN-0002\"");
            EXPECT_EQ(JsonField(line, "result"), "\"format1-refused\"");
            EXPECT_EQ(JsonField(line, "exit_code"), "7");
        } else if (port == "\"ttyACM4\"") {
            EXPECT_EQ(JsonField(line, "serial"), "\"\"");
            EXPECT_EQ(JsonField(line, "exit_code"), "8");
        }
    }
    EXPECT_EQ(ports, (std::set<std::string>{"\"ttyACM1\"", "\"ttyACM2\"", "\"ttyACM3\"", "\"ttyACM4\""}));
    for (auto& [name, t] : terminals_) {
        if (name == "ttyACM1" || name == "ttyACM3") {
            t.sim->Finish(5s);
            const auto s = t.sim->summary();
            ASSERT_TRUE(s) << t.sim->output();
            EXPECT_EQ(s->mismatches, 0u) << name;
            EXPECT_EQ(s->payload_bytes, payload) << name;
        }
    }
}

TEST_F(StationE2ETest, AReplugAfterASuccessGivesASecondRun) {
    UseScript(kScript);
    Plug("ttyACM1", "SN-1");
    StartStation({"--count", "2"});
    const auto first = WaitForLine("end: ttyACM1", 15s);
    ASSERT_TRUE(first);
    EXPECT_NE(first->find(" success "), std::string::npos) << *first;
    Unplug("ttyACM1");
    std::this_thread::sleep_for(300ms);  // several polls see it gone
    Replug("ttyACM1");
    ASSERT_TRUE(WaitForLine("start: ttyACM1", 5s));
    EXPECT_EQ(FinishStation(15s), 0);
    EXPECT_EQ(CountWhere(Ends(), "ttyACM1", "success"), 2);
    EXPECT_EQ(LogLines().size(), 2u);
}

TEST_F(StationE2ETest, AnUnplugDuringARunFailsOnlyThatRun) {
    // The delay keeps both runs going while one terminal goes away.
    UseScript("open\nsend1 1024\ndelay 2\nsend2 1024\nclose\n");
    Plug("ttyACM1", "SN-1");
    Plug("ttyACM2", "SN-2", {"3:unplug"});
    StartStation({"--count", "2", "--jobs", "2"});
    ASSERT_TRUE(WaitForLine("start: ", 5s));
    ASSERT_TRUE(WaitForLine("start: ", 5s));
    vantrel::e2e::Simulator& leaving = *terminals_.at("ttyACM2").sim;
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (leaving.output().find("unplugged") == std::string::npos && std::chrono::steady_clock::now() < deadline)
        leaving.ReadLineStartingWith("\x01", 50ms);  // pumps its output; no line starts so
    ASSERT_NE(leaving.output().find("unplugged"), std::string::npos) << leaving.output();
    Unplug("ttyACM2");
    EXPECT_EQ(FinishStation(30s), 1);
    const auto ends = Ends();
    ASSERT_EQ(ends.size(), 2u);
    EXPECT_EQ(CountWhere(ends, "ttyACM1", "success"), 1);
    EXPECT_EQ(CountWhere(ends, "ttyACM2", ""), 1);
    EXPECT_EQ(CountWhere(ends, "ttyACM2", "success"), 0);
}

TEST_F(StationE2ETest, TwoJobsWithFourTerminalsNeverRunMoreThanTwoAtOnce) {
    UseScript(kScript);
    for (int i = 1; i <= 4; ++i)
        Plug("ttyACM" + std::to_string(i), "SN-" + std::to_string(i));
    StartStation({"--jobs", "2", "--count", "4"});
    EXPECT_EQ(FinishStation(40s), 0);
    EXPECT_EQ(Ends().size(), 4u);
    EXPECT_EQ(MostAtOnce(), 2);
    EXPECT_EQ(LogLines().size(), 4u);
}

TEST_F(StationE2ETest, SigintStopsTheRunsAndLeavesNoChildAndNoPortHeld) {
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    UseScript("open\nsend1 1024\ndelay 8\nsend2 1024\nclose\n");
    Plug("ttyACM1", "SN-1");
    Plug("ttyACM2", "SN-2");
    const auto list = ChildrenOf(::getpid());
    std::set<pid_t> before(list.begin(), list.end());
    StartStation({"--jobs", "2"});
    ASSERT_TRUE(WaitForLine("progress: ", 5s));
    std::this_thread::sleep_for(1500ms);  // both into their delay
    station_->Signal(SIGINT);
    EXPECT_EQ(FinishStation(15s), 130);
    const auto ends = Ends();
    ASSERT_EQ(ends.size(), 2u);
    for (const auto& e : ends) {
        EXPECT_EQ(e.result, "interrupted") << e.port;
        EXPECT_EQ(e.exit, 130) << e.port;
    }
    EXPECT_TRUE(WaitForLine("summary: ", 1s));
    EXPECT_EQ(LogLines().size(), 2u);
    const auto now = ChildrenOf(::getpid());
    const std::set<pid_t> after(now.begin(), now.end());
    for (pid_t pid : after) {
        std::ifstream cmdline("/proc/" + std::to_string(pid) + "/cmdline");
        std::string argv0;
        std::getline(cmdline, argv0, '\0');
        EXPECT_EQ(before.count(pid), 1u) << "pid " << pid << " (" << argv0 << ") outlived the station";
    }
    for (const auto& [name, t] : terminals_) {
        const auto holders = Holders(t.sim->port());
        EXPECT_TRUE(holders.empty()) << name << " is still held by pid " << holders.front();
    }
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 0), 0);
}

TEST_F(StationE2ETest, ADamagedScriptIsRefusedAtStart) {
    UseScript("open\nsend1 16\nraw 05 00 01 aa\nclose\n");
    Plug("ttyACM1", "SN-1");
    StartStation({});
    EXPECT_EQ(FinishStation(10s), 3);
    EXPECT_TRUE(StationLines().empty());
    EXPECT_NE(station_->text(tools::process::Stream::Err).find("unknown command"), std::string::npos)
        << station_->text(tools::process::Stream::Err);
    EXPECT_FALSE(terminals_.at("ttyACM1").sim->SawHostOpen());
    EXPECT_TRUE(LogLines().empty());
}

TEST_F(StationE2ETest, BadInputStartsNothingAndExitsWithItsCode) {
    UseScript(kScript);
    Plug("ttyACM1", "SN-1");
    const auto run = [&](const std::vector<std::string>& args) {
        readLines_ = 0;
        StartStation(args);
        return FinishStation(10s);
    };
    EXPECT_EQ(run({"--jobs", "0"}), 2);
    EXPECT_NE(station_->text(tools::process::Stream::Err).find("usage: vantrel-station"), std::string::npos);
    EXPECT_EQ(run({"--frobnicate"}), 2);
    EXPECT_EQ(run({"--baud", "9600"}), 2);
    EXPECT_EQ(run({"--ports", "a,,b"}), 2);
    EXPECT_EQ(run({"--log", dir_.path("no-such-folder/runs.log")}), 2);
    EXPECT_NE(station_->text(tools::process::Stream::Err).find("No such file or directory"), std::string::npos);
    EXPECT_EQ(run({"--script", dir_.path("missing.asc")}), 3);
    EXPECT_NE(station_->text(tools::process::Stream::Err).find("missing.asc"), std::string::npos);
    EXPECT_FALSE(terminals_.at("ttyACM1").sim->SawHostOpen());
}

TEST_F(StationE2ETest, ARunSilentPastTheHangLimitIsEndedAsAHang) {
    // Sends only: the longest quiet a healthy run can have is one 5 s reply
    // wait, so with a 1 s margin a run silent for 6 s is a hang.
    UseScript(kScript);
    Plug("ttyACM1", "SN-1");
    StartStation({"--count", "1", "--hang-margin", "1"});
    ASSERT_TRUE(WaitForLine("progress: ttyACM1", 5s));
    // Freeze the run's child where it stands.
    const auto runs = ChildrenOf(station_->pid());
    ASSERT_EQ(runs.size(), 1u);
    const pid_t cli = runs[0];
    ASSERT_GT(cli, 0);
    ASSERT_EQ(::kill(cli, SIGSTOP), 0);
    const auto stopped = std::chrono::steady_clock::now();
    const auto end = WaitForLine("end: ttyACM1", 15s);
    ASSERT_TRUE(end);
    EXPECT_GE(std::chrono::steady_clock::now() - stopped, 4s) << "not before the script's own 5 s wait is out";
    EXPECT_NE(end->find("end: ttyACM1 hang exit=137"), std::string::npos) << *end;
    EXPECT_EQ(FinishStation(5s), 1);
}

TEST_F(StationE2ETest, TheLiveTableShowsAHostileSerialNumberAsText) {
    UseScript(kScript);
    Plug("ttyACM1", "Q\"\n\x1b[31mX\x1b]0;t\x07");
    // The station with its stdout on a terminal: the live table.
    const std::vector<std::string> args = StationArgv({"--count", "1"});
    std::vector<char*> argv;
    for (const auto& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    winsize size{};
    size.ws_row = 24;
    size.ws_col = 120;
    int master = -1;
    const pid_t pid = ::forkpty(&master, nullptr, nullptr, &size);
    ASSERT_GE(pid, 0) << std::strerror(errno);
    if (pid == 0) {
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    std::string screen;
    const auto deadline = std::chrono::steady_clock::now() + 20s;
    int status = -1;
    while (std::chrono::steady_clock::now() < deadline) {
        pollfd fd{master, POLLIN, 0};
        if (::poll(&fd, 1, 50) > 0) {
            char buffer[4096];
            const ssize_t n = ::read(master, buffer, sizeof(buffer));
            if (n > 0)
                screen.append(buffer, static_cast<std::size_t>(n));
            if (n <= 0 && ::waitpid(pid, &status, WNOHANG) == pid)
                break;
        } else if (::waitpid(pid, &status, WNOHANG) == pid) {
            break;
        }
    }
    if (status == -1) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        ::close(master);
        FAIL() << "the station did not end: " << screen;
    }
    ::close(master);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << screen;
    // The table's own sequences: home, clear to the end of the line and of the screen.
    std::string rest = screen;
    for (const std::string own : {"\x1b[H", "\x1b[K", "\x1b[J"}) {
        for (std::size_t at; (at = rest.find(own)) != std::string::npos;)
            rest.erase(at, own.size());
    }
    EXPECT_EQ(rest.find('\x1b'), std::string::npos) << rest;
    EXPECT_EQ(rest.find('\x07'), std::string::npos) << rest;
    EXPECT_NE(rest.find("ttyACM1       Q\"\\x0a\\x1b[31mX"), std::string::npos) << rest;
    EXPECT_NE(rest.find("summary: runs=1 success=1"), std::string::npos) << rest;
}

TEST_F(StationE2ETest, ListedPortsRunTheSameWayAndOneAppearingLaterIsServed) {
    UseScript(kScript);
    const std::string first = dir_.path("line1"), second = dir_.path("line2");
    vantrel::e2e::Simulator one(script_, {"--link", first});
    StartStation({"--ports", first + "," + second, "--count", "2"});
    ASSERT_TRUE(WaitForLine("start: " + first, 5s));
    vantrel::e2e::Simulator two(script_, {"--link", second, "--fault", "1:status:01"});
    ASSERT_TRUE(WaitForLine("start: " + second, 5s));
    EXPECT_EQ(FinishStation(20s), 1);
    const auto ends = Ends();
    EXPECT_EQ(CountWhere(ends, first, "success"), 1);
    EXPECT_EQ(CountWhere(ends, second, "format1-refused"), 1);
    const auto log = LogLines();
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(JsonField(log[0], "hardware_id"), "\"\"");
}

}  // namespace
}  // namespace station::testing

int main(int argc, char** argv) {
    if (const int failed = vantrel::testing::EnterUmockdev(argc, argv); failed >= 0)
        return failed;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
