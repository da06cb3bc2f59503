// "Auto Detect" end to end: a run that waits for the terminal, the terminal
// appearing in the device list while the presence monitor runs, its port
// opened 3 seconds later, and the whole run played against the terminal
// simulator on that port. Real time: the waits here are the tool's own.
#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/state.h"
#include "device/monitor.h"
#include "engine/outcome.h"
#include "platform/posix/user32/headless/harness.h"
#include "tests/engine/dialog_fixture.h"
#include "tests/fakes/setupapi.h"
#include "tools/process/child.h"

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// The simulator as a child, its stdout and stderr read together.
tools::process::Options Merged() {
    tools::process::Options o;
    o.error_output = tools::process::Options::ErrorOutput::Merge;
    return o;
}
const std::string& Output(const tools::process::Child& sim) { return sim.text(tools::process::Stream::Out); }

class AutoDetectTest : public DialogFixture {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs to make a tty name in /dev (run as root, as CI does)";
        const char* sim = std::getenv("VANTREL_SIM_EXE");
        ASSERT_NE(sim, nullptr) << "VANTREL_SIM_EXE names the simulator";
        sim_ = std::filesystem::absolute(std::filesystem::path(sim), ignoredError_).string();
        fake::ResetFakeSetupApi();
        DialogFixture::SetUp();
        headless::UseManualClock(false);
        name_ = L"ttyVT" + std::to_wstring(getpid());
        link_ = "/dev/" + std::string(name_.begin(), name_.end());
        ASSERT_TRUE(AppInit());  // the fixture stopped the monitor; this run needs it
        // The monitor's first scan only learns the state; a terminal plugged
        // before it would be taken as present from the start, unannounced.
        ASSERT_TRUE(PumpUntil([] { return State().g_ListenState.load() == LISTEN_ABSENT; }, 2000));
    }
    void TearDown() override {
        if (geteuid() != 0)
            return;
        AppUninit();
        DialogFixture::TearDown();
        std::error_code ignored;
        std::filesystem::remove(link_, ignored);
        headless::UseManualClock(true);
        fake::ResetFakeSetupApi();
    }

    void PlugTerminal() {
        fake::SetFakeDevices({fake::PortDevice({L"USB\\VID_0483&PID_5740&REV_0200", L"USB\\VID_0483&PID_5740"},
                                               L"Terminal " PLATFORM_PORT_NAME_OPENER + name_.substr(3) + L")")});
    }

    std::wstring name_;
    std::string link_;
    std::string sim_;
    std::error_code ignoredError_;
};

TEST_F(AutoDetectTest, WaitsForTheTerminalThenOpensItsPortThreeSecondsLaterAndSucceeds) {
    std::vector<unsigned char> payload(3000);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<unsigned char>(i * 7 + 3);
    WriteScript(ScriptBuilder().OpenPort().Wait().SendF1(payload).ClosePort().Bytes());

    tools::process::Child sim(
        {sim_, "--script", (dir_ / "upgrader.asc").string(), "--link", link_, "--idle-timeout-s", "30"}, Merged());
    ASSERT_TRUE(sim.ReadLineStartingWith("port: ", 5000ms)) << Output(sim);

    ASSERT_EQ(Text(IDC_PORT), L"Auto Detect");
    SendMessageW(dlg_->GetSafeHwnd(), WM_COMMAND, MAKEWPARAM(IDC_BTN_LOADER, BN_CLICKED), 0);
    ASSERT_TRUE(State().g_Upgrading);
    EXPECT_EQ(Text(IDC_PROGRESS_STATUS), L"waiting ...!");
    EXPECT_EQ(State().g_PortWaitMode, PORT_WAIT_WAITING);

    PlugTerminal();
    const auto plugged = Clock::now();
    const std::wstring connected = name_ + L": Connected";
    ASSERT_TRUE(PumpUntil([&] { return Text(IDC_CONNECT_STATUS) == connected; }, 1000))
        << "monitor missed the terminal";
    const auto seen = Clock::now();
    EXPECT_LT(seen - plugged, 200ms);
    RecordProperty("arrival_latency_us",
                   static_cast<int>(std::chrono::duration_cast<std::chrono::microseconds>(seen - plugged).count()));
    EXPECT_EQ(State().g_PortWaitMode, PORT_WAIT_DETECTED);
    EXPECT_EQ(State().upg_event, UPG_EVENT_OPEN_PORT);
    EXPECT_EQ(State().g_TimerSeconds, 3);

    const std::wstring open = name_ + L": Open";
    ASSERT_TRUE(PumpUntil([&] { return Text(IDC_CONNECT_STATUS) == open; }, 5000));
    EXPECT_GE(Clock::now() - seen, 2900ms);

    ASSERT_TRUE(PumpUntil([] { return !State().g_Upgrading; }, 10000));
    EXPECT_EQ(LastRunOutcome(), RunOutcome::Success);
    EXPECT_EQ(Text(IDC_PROGRESS_STATUS), L"loader Success!");
    const tools::process::ExitStatus end = sim.Wait(5000ms);
    ASSERT_FALSE(end.timed_out);
    EXPECT_EQ(end.shell_code(), 0) << Output(sim);
    EXPECT_NE(Output(sim).find("mismatches=0"), std::string::npos) << Output(sim);
}

TEST_F(AutoDetectTest, AnUnplugDuringTheRunShowsDisconnectAndTheRunGoesOn) {
    PlugTerminal();
    ASSERT_TRUE(PumpUntil([] { return State().g_DevicePresent; }, 1000));
    WriteScript(ScriptBuilder().OpenPort().Delay(1).Wait().Bytes());
    tools::process::Child sim(
        {sim_, "--script", (dir_ / "upgrader.asc").string(), "--link", link_, "--idle-timeout-s", "30"}, Merged());
    ASSERT_TRUE(sim.ReadLineStartingWith("port: ", 5000ms)) << Output(sim);

    SendMessageW(dlg_->GetSafeHwnd(), WM_COMMAND, MAKEWPARAM(IDC_BTN_LOADER, BN_CLICKED), 0);
    EXPECT_TRUE(Traced(Utf8(L"已检测到串口: \\\\.\\" + name_ + L", GO...\r\n")));
    EXPECT_EQ(Text(IDC_CONNECT_STATUS), name_ + L": Open");

    fake::SetFakeDevices({});
    ASSERT_TRUE(PumpUntil([&] { return Text(IDC_CONNECT_STATUS) == L"Disconnect"; }, 1000));
    EXPECT_TRUE(State().g_Upgrading);  // removal alone ends nothing

    ASSERT_TRUE(PumpUntil([] { return !State().g_Upgrading; }, 8000));
    EXPECT_EQ(LastRunOutcome(), RunOutcome::Success);  // the port itself never went away
    const tools::process::ExitStatus end = sim.Wait(5000ms);
    EXPECT_FALSE(end.timed_out);
    EXPECT_EQ(end.shell_code(), 0) << Output(sim);
}

}  // namespace
