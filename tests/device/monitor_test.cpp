// The presence monitor against a scripted device set that the tests change
// while the monitor thread runs, and the connection of a found terminal to
// a run (DeviceConnected, OnDevRemoved, AppUninit, OnDeviceChange).
#include <atomic>
#include <chrono>
#include <cwchar>
#include <string>
#include <thread>

#include "common/messages.h"
#include "common/state.h"
#include "device/lookup.h"
#include "device/monitor.h"
#include "framework/afxwin.h"
#include "platform/posix/user32/headless/harness.h"
#include "tests/device/fixture.h"
#include "tests/fakes/setupapi.h"

using fake::PortDevice;

namespace {

const std::wstring kTerminalMi00 = L"USB\\VID_03EB&PID_6133&REV_0100&MI_00";
const std::wstring kOtherTerminal = L"USB\\VID_0483&PID_5740&REV_0200";
// One poll cycle is 50 ms; a change must be seen within about two.
constexpr auto kNoticeBound = std::chrono::milliseconds(150);

fake::FakeDevice Terminal(const std::wstring& suffix) {
    return PortDevice({kTerminalMi00}, FriendlyName(L"Terminal", suffix));
}
fake::FakeDevice OtherTerminal(const std::wstring& suffix) {
    return PortDevice({kOtherTerminal}, FriendlyName(L"Pad", suffix));
}
std::wstring PathOf(const std::wstring& suffix) { return L"\\\\.\\" + PortName(suffix); }

class MonitorTest : public DeviceTest {
protected:
    // Waits until the monitor has finished at least `cycles` more scans.
    bool WaitScans(int cycles) {
        const int from = fake::FakeClassDevsCalls();
        // Each cycle asks for the set once or twice; one more than asked for
        // guarantees the cycle that was running has completed.
        return PumpUntil([&] { return fake::FakeClassDevsCalls() >= from + 2 * cycles + 1; }, 3000);
    }
    int Arrivals() const { return CountTraced("OnDevArrival\r\n"); }
    int Removals() const { return CountTraced("OnDevRemoved\r\n"); }
    // Changes the devices and returns how long the monitor took to report it.
    std::chrono::milliseconds ChangeAndWait(std::vector<fake::FakeDevice> devices, const std::string& line) {
        const int before = CountTraced(line);
        const auto start = std::chrono::steady_clock::now();
        fake::SetFakeDevices(std::move(devices));
        EXPECT_TRUE(PumpUntil([&] { return CountTraced(line) > before; }, 3000)) << line;
        return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
    }
};

using DeviceConnectedTest = DeviceTest;
using DeviceEventsTest = DeviceTest;

}  // namespace

TEST_F(MonitorTest, TerminalPresentAtStartIsRecordedAndTheFirstScanPostsNothing) {
    fake::SetFakeDevices({Terminal(L"5")});
    OpenDialog(true);
    EXPECT_TRUE(State().g_DevicePresent);
    EXPECT_EQ(std::wstring(State().g_DebugDevFileName), PathOf(L"5"));
    ASSERT_TRUE(WaitScans(3));
    EXPECT_EQ(State().g_ListenState.load(), LISTEN_PRESENT);
    EXPECT_EQ(Arrivals(), 0);
    EXPECT_EQ(CountTraced("MyThreadListenDeviceExist\r\n"), 1);
}

TEST_F(MonitorTest, ArrivalIsPostedOnceAndQuickly) {
    OpenDialog(true);
    ASSERT_TRUE(WaitScans(2));
    EXPECT_EQ(State().g_ListenState.load(), LISTEN_ABSENT);
    const auto took = ChangeAndWait({Terminal(L"7")}, "OnDevArrival\r\n");
    EXPECT_LT(took, kNoticeBound);
    ASSERT_TRUE(WaitScans(3));
    EXPECT_EQ(Arrivals(), 1);
    EXPECT_TRUE(State().g_DevicePresent);
    EXPECT_EQ(std::wstring(State().g_DebugDevFileName), PathOf(L"7"));
    EXPECT_EQ(CountTraced("设备已连接\r\n"), 1);
    // No run: the connection status is not touched.
    EXPECT_EQ(CountTraced("OnDevRemoved\r\n"), 0);
    EXPECT_EQ(Text(IDC_CONNECT_STATUS).find(L"Connected"), std::wstring::npos);
}

TEST_F(MonitorTest, RemovalIsPostedOnceAndQuickly) {
    fake::SetFakeDevices({OtherTerminal(L"2")});
    OpenDialog(true);
    ASSERT_TRUE(WaitScans(2));
    const auto took = ChangeAndWait({}, "OnDevRemoved\r\n");
    EXPECT_LT(took, kNoticeBound);
    ASSERT_TRUE(WaitScans(3));
    EXPECT_EQ(Removals(), 1);
    EXPECT_EQ(Arrivals(), 0);
    EXPECT_FALSE(State().g_DevicePresent);
    // The old path stays until a terminal is found again.
    EXPECT_EQ(std::wstring(State().g_DebugDevFileName), PathOf(L"2"));
}

TEST_F(MonitorTest, EachPlugAndUnplugPostsOneMessage) {
    OpenDialog(true);
    ASSERT_TRUE(WaitScans(2));
    for (int i = 0; i < 3; ++i) {
        ChangeAndWait({Terminal(L"4")}, "OnDevArrival\r\n");
        ChangeAndWait({}, "OnDevRemoved\r\n");
    }
    ASSERT_TRUE(WaitScans(2));
    EXPECT_EQ(Arrivals(), 3);
    EXPECT_EQ(Removals(), 3);
}

TEST_F(MonitorTest, SwitchingFromOneTerminalToTheOtherPostsNothing) {
    fake::SetFakeDevices({Terminal(L"1"), OtherTerminal(L"2")});
    OpenDialog(true);
    EXPECT_EQ(std::wstring(State().g_DebugDevFileName), PathOf(L"1"));
    ASSERT_TRUE(WaitScans(2));
    fake::SetFakeDevices({OtherTerminal(L"2")});
    ASSERT_TRUE(WaitScans(3));
    EXPECT_EQ(Arrivals(), 0);
    EXPECT_EQ(Removals(), 0);
    EXPECT_TRUE(State().g_DevicePresent);
    EXPECT_EQ(std::wstring(State().g_DebugDevFileName), PathOf(L"1"));
}

TEST_F(MonitorTest, AppUninitDuringAScanPostsNothingAndTheThreadEnds) {
    OpenDialog(true);
    ASSERT_TRUE(WaitScans(2));
    ASSERT_EQ(State().g_ListenState.load(), LISTEN_ABSENT);
    // Hold the monitor inside its next scan, stop it there, and let the scan
    // find a terminal: the result must not be posted.
    const auto windowThread = std::this_thread::get_id();
    std::atomic<bool> inScan{false};
    std::atomic<bool> release{false};
    fake::SetFakeScanHook([&] {
        if (std::this_thread::get_id() == windowThread)
            return;
        inScan.store(true);
        WaitReal([&] { return release.load(); }, 3000);
    });
    ASSERT_TRUE(WaitReal([&] { return inScan.load(); }, 3000));
    fake::SetFakeDevices({Terminal(L"3")});
    AppUninit();
    EXPECT_EQ(State().g_ListenThread.load(), nullptr);
    EXPECT_FALSE(State().g_DevicePresent);
    release.store(true);
    EXPECT_TRUE(PumpUntil([] { return AfxRunningThreadCount() == 0; }, 3000)) << "monitor did not end";
    PumpFor(120);
    EXPECT_EQ(Arrivals(), 0);
    EXPECT_EQ(State().g_ListenState.load(), LISTEN_STOP);
    EXPECT_EQ(CountTraced("设备未连接\r\n"), 1);
}

TEST_F(MonitorTest, AppUninitEndsTheThreadWithinACycle) {
    OpenDialog(true);
    ASSERT_TRUE(WaitScans(1));
    EXPECT_EQ(AfxRunningThreadCount(), 1);
    AppUninit();
    EXPECT_TRUE(WaitReal([] { return AfxRunningThreadCount() == 0; }, 500));
}

TEST_F(DeviceConnectedTest, NothingFoundChangesNothing) {
    OpenDialog(false);
    State().g_DevicePresent = true;
    std::wcscpy(State().g_DebugDevFileName, L"\\\\.\\typed");
    DeviceConnected();
    EXPECT_TRUE(State().g_DevicePresent);
    EXPECT_EQ(std::wstring(State().g_DebugDevFileName), L"\\\\.\\typed");
    EXPECT_EQ(Trace(), std::vector<std::string>{"DeviceConnected\r\n"});
}

TEST_F(DeviceConnectedTest, RowZeroIsPreferredOverRowOne) {
    OpenDialog(false);
    fake::SetFakeDevices({OtherTerminal(L"2"), Terminal(L"6")});
    DeviceConnected();
    EXPECT_EQ(std::wstring(State().g_DebugDevFileName), PathOf(L"6"));
}

TEST_F(DeviceConnectedTest, OutsideARunOnlyRecordsTheTerminal) {
    OpenDialog(false);
    const std::wstring status = Text(IDC_CONNECT_STATUS);
    fake::SetFakeDevices({Terminal(L"8")});
    DeviceConnected();
    EXPECT_TRUE(State().g_DevicePresent);
    EXPECT_EQ(std::wstring(State().g_DebugDevFileName), PathOf(L"8"));
    EXPECT_EQ(Text(IDC_CONNECT_STATUS), status);
    EXPECT_EQ(Trace(), (std::vector<std::string>{"DeviceConnected\r\n", "设备已连接\r\n"}));
}

TEST_F(DeviceConnectedTest, RunWithTypedPortTakesThePathButLeavesStatusAndTimer) {
    OpenDialog(false);
    UpgradeState& st = State();
    st.g_Upgrading = true;
    st.g_PortWaitMode = PORT_WAIT_NONE;
    st.g_TimerSeconds = 5;
    st.upg_event = UPG_EVENT_REPLY_TIMEOUT;
    dlg_->m_ConnectStatus.SetWindowText(L"ttyS0: Connected");
    fake::SetFakeDevices({Terminal(L"8")});
    DeviceConnected();
    EXPECT_EQ(std::wstring(st.g_DebugDevFileName), PathOf(L"8"));
    EXPECT_EQ(Text(IDC_CONNECT_STATUS), L"ttyS0: Connected");
    EXPECT_EQ(st.g_PortWaitMode, PORT_WAIT_NONE);
    EXPECT_EQ(st.g_TimerSeconds, 5);
    EXPECT_EQ(st.upg_event, UPG_EVENT_REPLY_TIMEOUT);
    st.g_Upgrading = false;
}

TEST_F(DeviceConnectedTest, WaitingRunIsMovedOnWithAThreeSecondOpenTimer) {
    OpenDialog(false);
    UpgradeState& st = State();
    st.g_Upgrading = true;
    st.g_PortWaitMode = PORT_WAIT_WAITING;
    st.g_TimerSeconds = 15;
    st.upg_event = UPG_EVENT_WAIT_TIMEOUT;
    fake::SetFakeDevices({Terminal(L"ACM0")});
    DeviceConnected();
    EXPECT_EQ(Text(IDC_CONNECT_STATUS), PortName(L"ACM0") + L": Connected");
    EXPECT_EQ(st.g_PortWaitMode, PORT_WAIT_DETECTED);
    EXPECT_EQ(st.g_TimerSeconds, 3);
    EXPECT_EQ(st.upg_event, UPG_EVENT_OPEN_PORT);
    EXPECT_EQ(CountTraced("设备已连接\r\n"), 1);
    st.g_Upgrading = false;
    KillTimer(dlg_->GetSafeHwnd(), UPGRADE_TIMER_ID);
}

TEST_F(DeviceConnectedTest, DetectedRunShowsTheConnectionWithoutRearming) {
    OpenDialog(false);
    UpgradeState& st = State();
    st.g_Upgrading = true;
    st.g_PortWaitMode = PORT_WAIT_DETECTED;
    st.g_TimerSeconds = 1;
    st.upg_event = UPG_EVENT_NEXT;
    fake::SetFakeDevices({OtherTerminal(L"USB3")});
    DeviceConnected();
    EXPECT_EQ(Text(IDC_CONNECT_STATUS), PortName(L"USB3") + L": Connected");
    EXPECT_EQ(st.g_PortWaitMode, PORT_WAIT_DETECTED);
    EXPECT_EQ(st.g_TimerSeconds, 1);
    EXPECT_EQ(st.upg_event, UPG_EVENT_NEXT);
    st.g_Upgrading = false;
}

TEST_F(DeviceEventsTest, RemovalDuringADetectingRunShowsDisconnect) {
    OpenDialog(false);
    UpgradeState& st = State();
    st.g_Upgrading = true;
    st.g_PortWaitMode = PORT_WAIT_DETECTED;
    st.g_DevicePresent = true;
    std::wcscpy(st.g_DebugDevFileName, L"\\\\.\\ttyACM0");
    EXPECT_EQ(dlg_->OnDevRemoved(0, 0), 1);
    EXPECT_FALSE(st.g_DevicePresent);
    EXPECT_EQ(Text(IDC_CONNECT_STATUS), L"Disconnect");
    EXPECT_EQ(std::wstring(st.g_DebugDevFileName), L"\\\\.\\ttyACM0");
    EXPECT_TRUE(st.g_Upgrading);
    EXPECT_EQ(Trace(), (std::vector<std::string>{"OnDevRemoved\r\n", "设备未连接\r\n"}));
    st.g_Upgrading = false;
}

TEST_F(DeviceEventsTest, RemovalOutsideADetectingRunLeavesTheStatus) {
    OpenDialog(false);
    UpgradeState& st = State();
    dlg_->m_ConnectStatus.SetWindowText(L"ttyS0: Connected");
    st.g_DevicePresent = true;
    dlg_->OnDevRemoved(0, 0);
    st.g_Upgrading = true;
    st.g_PortWaitMode = PORT_WAIT_NONE;
    dlg_->OnDevRemoved(0, 0);
    EXPECT_EQ(Text(IDC_CONNECT_STATUS), L"ttyS0: Connected");
    EXPECT_FALSE(st.g_DevicePresent);
    st.g_Upgrading = false;
}

TEST_F(DeviceEventsTest, AppUninitDuringAWaitingRunShowsDisconnect) {
    OpenDialog(false);
    UpgradeState& st = State();
    st.g_Upgrading = true;
    st.g_PortWaitMode = PORT_WAIT_WAITING;
    st.g_DevicePresent = true;
    AppUninit();
    EXPECT_EQ(Text(IDC_CONNECT_STATUS), L"Disconnect");
    EXPECT_FALSE(st.g_DevicePresent);
    EXPECT_EQ(Trace(), (std::vector<std::string>{"AppUninit\r\n", "设备未连接\r\n"}));
    st.g_Upgrading = false;
}

TEST_F(DeviceEventsTest, ArrivalMessageLooksForTheTerminal) {
    OpenDialog(false);
    fake::SetFakeDevices({Terminal(L"2")});
    EXPECT_EQ(dlg_->OnDevArrival(0, 0), 1);
    EXPECT_TRUE(State().g_DevicePresent);
    EXPECT_EQ(Trace(), (std::vector<std::string>{"OnDevArrival\r\n", "DeviceConnected\r\n", "设备已连接\r\n"}));
}

TEST_F(DeviceEventsTest, OtherDeviceChangeEventTracesBothLines) {
    OpenDialog(false);
    const LRESULT result = SendMessageW(dlg_->GetSafeHwnd(), WM_DEVICECHANGE, DBT_DEVNODES_CHANGED, 0);
    EXPECT_EQ(result, TRUE);
    EXPECT_EQ(Trace(), (std::vector<std::string>{"OnDeviceChange, nEventType = 07H\r\n", "unknown event: 07H\r\n"}));
}

TEST_F(DeviceEventsTest, PortArrivalBroadcastTracesOnlyAndPostsNothing) {
    OpenDialog(false);
    fake::SetFakeDevices({Terminal(L"2")});
    DEV_BROADCAST_HDR header{sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_PORT, 0};
    SendMessageW(dlg_->GetSafeHwnd(), WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&header));
    headless::PumpMessages();
    EXPECT_EQ(Trace(), std::vector<std::string>{"OnDeviceChange, nEventType = 8000H\r\n"});
}

TEST_F(DeviceEventsTest, InterfaceBroadcastsPostArrivalAndRemoval) {
    OpenDialog(false);
    fake::SetFakeDevices({Terminal(L"2")});
    DEV_BROADCAST_HDR header{sizeof(DEV_BROADCAST_HDR), DBT_DEVTYP_DEVICEINTERFACE, 0};
    SendMessageW(dlg_->GetSafeHwnd(), WM_DEVICECHANGE, DBT_DEVICEARRIVAL, reinterpret_cast<LPARAM>(&header));
    EXPECT_EQ(CountTraced("OnDevArrival\r\n"), 0) << "posted, not handled at once";
    headless::PumpMessages();
    EXPECT_EQ(CountTraced("OnDevArrival\r\n"), 1);
    SendMessageW(dlg_->GetSafeHwnd(), WM_DEVICECHANGE, DBT_DEVICEREMOVECOMPLETE, reinterpret_cast<LPARAM>(&header));
    headless::PumpMessages();
    EXPECT_EQ(CountTraced("OnDevRemoved\r\n"), 1);
    EXPECT_EQ(CountTraced("OnDeviceChange, nEventType = 8004H\r\n"), 1);
    EXPECT_EQ(CountTraced("unknown event: 8004H\r\n"), 0);
}

TEST_F(DeviceEventsTest, ArrivalBroadcastWithoutHeaderIsNotDereferenced) {
    OpenDialog(false);
    SendMessageW(dlg_->GetSafeHwnd(), WM_DEVICECHANGE, DBT_DEVICEARRIVAL, 0);
    headless::PumpMessages();
    EXPECT_EQ(Trace(), std::vector<std::string>{"OnDeviceChange, nEventType = 8000H\r\n"});
}
