// The run engine against the scripted port, on the manual clock: timers,
// progress, records, replies and every way a run ends.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/messages.h"
#include "common/state.h"
#include "engine/outcome.h"
#include "engine/run.h"
#include "serial/port.h"
#include "tests/engine/dialog_fixture.h"
#include "tests/engine/test_port.h"

namespace {

const std::string kTimerLinePrefix = "upgrade_timer_process: upg_event = ";

class RunEngineTest : public DialogFixture {
protected:
    void SetUp() override {
        DialogFixture::SetUp();
        testport::Reset();
        testport::AddPort("COM5");
        dlg_->m_Port.SetWindowText(L"COM5");
        ASSERT_EQ(dlg_->m_Baud.GetCurSel(), 0);
    }
    void TearDown() override {
        DialogFixture::TearDown();
        testport::Reset();
    }

    void Start(const ScriptBuilder& script) {
        WriteScript(script.Bytes());
        RunUpgradeEvent(UPG_EVENT_START);
    }
    // The terminal sends bytes; returns once the window thread has read them.
    void Receive(const std::vector<BYTE>& bytes) {
        testport::Receive(bytes);
        ASSERT_TRUE(PumpUntil([] { return testport::Pending() == 0; })) << "bytes were never read";
    }
    int TimerTicks() const {
        int ticks = 0;
        for (const std::string& line : Trace())
            if (line.rfind(kTimerLinePrefix, 0) == 0)
                ++ticks;
        return ticks;
    }
    void ExpectArmed(int seconds, int event) const {
        EXPECT_EQ(State().g_TimerSeconds, seconds);
        EXPECT_EQ(State().upg_event, event);
    }
    // The timer fires exactly at its period, not before.
    void ExpectFiresAfter(unsigned ms) {
        const int before = TimerTicks();
        if (ms > 0)
            Advance(ms - 1);
        EXPECT_EQ(TimerTicks(), before) << "fired early";
        Advance(1);
        EXPECT_EQ(TimerTicks(), before + 1) << "did not fire at " << ms << " ms";
    }
    void ExpectIdleAfterRun() const {
        EXPECT_FALSE(State().g_Upgrading);
        EXPECT_TRUE(Enabled(IDC_BTN_LOADER));
        EXPECT_TRUE(Enabled(IDC_BTN_QUIT));
        EXPECT_EQ(Text(IDC_BTN_LOADER), L"loader");
        EXPECT_EQ(State().g_PortHandle.load(), nullptr);
        EXPECT_FALSE(State().g_PortOpen);
        EXPECT_EQ(State().script.buffer, nullptr);
    }
    // Nothing fires any more: the timer was stopped.
    void ExpectTimerStopped() {
        const int before = TimerTicks();
        Advance(20000);
        EXPECT_EQ(TimerTicks(), before);
    }
};

TEST_F(RunEngineTest, HeaderOnlyScriptSucceedsAtOnce) {
    Start(ScriptBuilder());
    EXPECT_EQ(LastRunOutcome(), RunOutcome::Success);
    EXPECT_EQ(Text(IDC_PROGRESS_STATUS), L"loader Success!");
    EXPECT_TRUE(Traced("UpgradeInit - TRUE\r\n"));
    EXPECT_TRUE(Traced("UpgradeClosePort\r\n"));
    EXPECT_TRUE(Traced("UpgradeInit - FALSE\r\n"));
    ExpectIdleAfterRun();
}

TEST_F(RunEngineTest, MissingScriptShowsOpenObjFailed) {
    RunUpgradeEvent(UPG_EVENT_START);
    EXPECT_EQ(LastRunOutcome(), RunOutcome::NoScript);
    EXPECT_EQ(Text(IDC_PROGRESS_STATUS), L"Open Obj failed!");
    EXPECT_TRUE(Traced("UpgradeClosePort\r\n"));
    EXPECT_FALSE(Traced("UpgradeInit - TRUE\r\n"));
    EXPECT_TRUE(Boxes().empty());
    ExpectIdleAfterRun();
}

TEST_F(RunEngineTest, ScriptShorterThanHeaderShowsOpenObjFailed) {
    WriteScript(std::vector<unsigned char>(31, 0x11));
    RunUpgradeEvent(UPG_EVENT_START);
    EXPECT_EQ(LastRunOutcome(), RunOutcome::NoScript);
    EXPECT_EQ(Text(IDC_PROGRESS_STATUS), L"Open Obj failed!");
    ExpectIdleAfterRun();
}

TEST_F(RunEngineTest, IdleEngineIgnoresEverythingButStart) {
    for (int event : std::initializer_list<int>{0, UPG_EVENT_NEXT, UPG_EVENT_OPEN_PORT, UPG_EVENT_REPLY,
                                                UPG_EVENT_WAIT_TIMEOUT, UPG_EVENT_REPLY_TIMEOUT, UPG_EVENT_STOP, 99})
        RunUpgradeEvent(event);
    EXPECT_TRUE(Trace().empty());
    EXPECT_EQ(LastRunOutcome(), RunOutcome::None);
}

TEST_F(RunEngineTest, StartDisablesButtonsAndSetsProgressRange) {
    Start(ScriptBuilder().Wait().Wait());
    EXPECT_TRUE(State().g_Upgrading);
    EXPECT_FALSE(Enabled(IDC_BTN_LOADER));
    EXPECT_FALSE(Enabled(IDC_BTN_QUIT));
    EXPECT_EQ(ProgressHigh(), 6);
    EXPECT_EQ(ProgressPos(), 3);
    EXPECT_EQ(LastRunOutcome(), RunOutcome::Running);
}

TEST_F(RunEngineTest, EveryCommandArmsItsPeriodAndEvent) {
    const std::vector<BYTE> f2 = {0xAA, 0xBB};
    const std::vector<BYTE> f1 = {0x01, 0x02, 0x03};
    Start(ScriptBuilder().OpenPort().Delay(7).SendF2(f2).Wait().SendF1(f1).ClosePort());

    // CMD_OPEN_PORT: the typed port, then a second before the next record.
    EXPECT_TRUE(Traced("serial port = COM5\r\n"));
    EXPECT_TRUE(Traced(Utf8(L"已指定串口: \\\\.\\COM5\r\n")));
    EXPECT_EQ(Text(IDC_CONNECT_STATUS), L"COM5: Open");
    ExpectArmed(1, UPG_EVENT_NEXT);
    ExpectFiresAfter(1000);

    // CMD_DELAY 7.
    EXPECT_EQ(Text(IDC_PROGRESS_STATUS), L"ready loader!");
    EXPECT_TRUE(Traced(Utf8(L"7秒后下载\r\n")));
    ExpectArmed(7, UPG_EVENT_NEXT);
    ExpectFiresAfter(7000);

    // CMD_SEND_F2: payload written, reply timeout armed.
    ASSERT_EQ(testport::Writes().size(), 1u);
    EXPECT_EQ(testport::Writes()[0], f2);
    ExpectArmed(5, UPG_EVENT_REPLY_TIMEOUT);
    Receive(Format2Reply('$'));

    // CMD_WAIT, taken at once after the accepted reply.
    EXPECT_EQ(Text(IDC_PROGRESS_STATUS), L"waiting ...!");
    ExpectArmed(15, UPG_EVENT_WAIT_TIMEOUT);
    Receive(Format1Reply(0));

    // CMD_SEND_F1.
    ASSERT_EQ(testport::Writes().size(), 2u);
    EXPECT_EQ(testport::Writes()[1], f1);
    EXPECT_EQ(Text(IDC_PROGRESS_STATUS), L"loading ...");
    ExpectArmed(5, UPG_EVENT_REPLY_TIMEOUT);
    Receive(Format1Reply(0));

    // CMD_CLOSE_PORT, then the end of the script on the next tick.
    EXPECT_EQ(State().g_PortHandle.load(), nullptr);
    ExpectArmed(1, UPG_EVENT_NEXT);
    ExpectFiresAfter(1000);
    EXPECT_EQ(LastRunOutcome(), RunOutcome::Success);
    EXPECT_EQ(Text(IDC_PROGRESS_STATUS), L"loader Success!");
    ExpectIdleAfterRun();
    ExpectTimerStopped();
}

TEST_F(RunEngineTest, PortIsConfiguredWithTheFixedSettings) {
    Start(ScriptBuilder().OpenPort().Wait());
    const DCB dcb = testport::LastDcb();
    EXPECT_EQ(dcb.BaudRate, 3686400u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    const COMMTIMEOUTS t = testport::LastTimeouts();
    EXPECT_EQ(t.ReadIntervalTimeout, 100u);
    EXPECT_EQ(t.ReadTotalTimeoutMultiplier, 10u);
    EXPECT_EQ(t.ReadTotalTimeoutConstant, 1000u);
    EXPECT_EQ(t.WriteTotalTimeoutMultiplier, 10u);
    EXPECT_EQ(t.WriteTotalTimeoutConstant, 1000u);
    EXPECT_EQ(testport::LastInQueue(), 1024u);
    EXPECT_EQ(testport::LastOutQueue(), 1024u);
}

TEST_F(RunEngineTest, SecondLineSpeedItemRunsAt115200) {
    dlg_->m_Baud.SetCurSel(1);
    Start(ScriptBuilder().OpenPort().Wait());
    EXPECT_EQ(testport::LastDcb().BaudRate, 115200u);
}

TEST_F(RunEngineTest, ProgressStandsAtTotalOnceTheLastRecordIsTaken) {
    // 3 + 3 + (3 + 2) = 11 record bytes.
    Start(ScriptBuilder().OpenPort().Wait().SendF1({0x10, 0x20}));
    EXPECT_EQ(ProgressHigh(), 11);
    EXPECT_EQ(ProgressPos(), 3);
    Advance(1000);
    EXPECT_EQ(ProgressPos(), 6);
    Receive(Format1Reply(0));
    // The last record is taken and executing: waiting for its reply.
    EXPECT_EQ(ProgressPos(), 11);
    EXPECT_TRUE(State().g_Upgrading);
    EXPECT_EQ(State().script.remaining, 0);
    Receive(Format1Reply(0));
    EXPECT_EQ(LastRunOutcome(), RunOutcome::Success);
}

TEST_F(RunEngineTest, Format1RefusalTracesItsCode) {
    Start(ScriptBuilder().OpenPort().Wait().Wait());
    Advance(1000);
    Receive(Format1Reply(0x05));
    EXPECT_EQ(LastRunOutcome(), RunOutcome::Format1Refused);
    EXPECT_TRUE(Traced(Utf8(L"格式1应答错误: 错误码[05H]\r\n")));
    EXPECT_EQ(Text(IDC_PROGRESS_STATUS), L"waiting ...!");  // the status keeps its last text
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(State().g_LastCmd, CMD_WAIT);
    ExpectIdleAfterRun();
    ExpectTimerStopped();
}

TEST_F(RunEngineTest, Format2RefusalTracesTheByteItFound) {
    Start(ScriptBuilder().OpenPort().SendF2({0x01}).Wait());
    Advance(1000);
    Receive(Format2Reply(0xA7));
    EXPECT_EQ(LastRunOutcome(), RunOutcome::Format2Refused);
    EXPECT_TRUE(Traced(Utf8(L"格式2应答错误: 错误码[A7H]\r\n")));
    EXPECT_TRUE(Boxes().empty());
    ExpectIdleAfterRun();
}

TEST_F(RunEngineTest, Format2AcceptedWhateverItsOtherBytes) {
    Start(ScriptBuilder().OpenPort().SendF2({0x01}));
    Advance(1000);
    Receive({0xFF, 0x00, 0x13, '$', 0xEE});
    EXPECT_EQ(LastRunOutcome(), RunOutcome::Success);
}

TEST_F(RunEngineTest, Format1StatusIsTheOnlyByteExamined) {
    Start(ScriptBuilder().OpenPort().Wait());
    Advance(1000);
    Receive({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    EXPECT_EQ(LastRunOutcome(), RunOutcome::Success);
}

TEST_F(RunEngineTest, MissingFormat2ReplyLetsTheRunGoOn) {
    Start(ScriptBuilder().OpenPort().SendF2({0x01}).Wait());
    Advance(1000);
    ExpectFiresAfter(5000);
    EXPECT_TRUE(State().g_Upgrading);
    EXPECT_EQ(State().g_LastCmd, CMD_WAIT);
    ExpectArmed(15, UPG_EVENT_WAIT_TIMEOUT);
}

TEST_F(RunEngineTest, MissingFormat1ReplyFailsTheRun) {
    Start(ScriptBuilder().OpenPort().SendF1({0x01}).Wait());
    Advance(1000);
    ExpectFiresAfter(5000);
    EXPECT_EQ(LastRunOutcome(), RunOutcome::ReplyTimeout);
    EXPECT_EQ(Text(IDC_PROGRESS_STATUS), L"loading ...");
    EXPECT_TRUE(Boxes().empty());
    ExpectIdleAfterRun();
}

// ---------------------------------------------------------------- payloads that cannot be written
// A send whose payload did not reach the port whole ends the run at once,
// as a failure: never a success, even when every later record is a format-2
// send, whose missing reply would otherwise let the run go on.
class UnwrittenPayloadTest : public RunEngineTest {
protected:
    // The open, a delay of one second, then sends that only format-2
    // replies follow; the first send is at offset 40.
    static ScriptBuilder Send2Script() {
        return ScriptBuilder().OpenPort().Delay(1).SendF2({1, 2, 3, 4}).Delay(1).SendF2({5, 6}).ClosePort();
    }
    void ExpectFailedAtOnce(const std::wstring& statusBefore) {
        EXPECT_EQ(LastRunOutcome(), RunOutcome::WriteFailed);
        EXPECT_EQ(Text(IDC_PROGRESS_STATUS), statusBefore) << "the status line keeps its last text";
        EXPECT_TRUE(Boxes().empty());
        ExpectIdleAfterRun();
        ExpectTimerStopped();
        EXPECT_NE(Text(IDC_PROGRESS_STATUS), L"loader Success!");
    }
};

TEST_F(UnwrittenPayloadTest, FailedFormat2WriteFailsTheRun) {
    Start(Send2Script());
    Advance(1000);  // open
    testport::FailWrites(ERROR_BAD_UNIT);
    Advance(1000);  // delay, then the first send
    ExpectFailedAtOnce(L"ready loader!");
    EXPECT_EQ(State().g_LastCmd, CMD_SEND_F2);
}

TEST_F(UnwrittenPayloadTest, TraceNamesTheOffsetAndTheCause) {
    Start(Send2Script());
    Advance(1000);
    testport::Unplug();
    Advance(1000);
    bool found = false;
    for (const std::string& line : Trace())
        if (line.find("offset 40") != std::string::npos) {
            found = true;
            EXPECT_NE(line.find("unplugged"), std::string::npos) << line;
            EXPECT_NE(line.find("0 of 4"), std::string::npos) << line;
        }
    EXPECT_TRUE(found) << "no trace line names the record's offset";
    EXPECT_EQ(LastRunOutcome(), RunOutcome::WriteFailed);
}

TEST_F(UnwrittenPayloadTest, PartialFormat1WriteFailsTheRun) {
    Start(ScriptBuilder().OpenPort().SendF1({1, 2, 3, 4, 5, 6}).Wait());
    testport::LimitWrites(4);
    const std::wstring before = Text(IDC_PROGRESS_STATUS);
    Advance(1000);
    ASSERT_EQ(testport::Writes().size(), 1u);
    EXPECT_EQ(testport::Writes()[0].size(), 4u);
    ExpectFailedAtOnce(before);
    EXPECT_TRUE(Traced("payload not written at offset 35 (4 of 6 bytes): the write timed out\r\n"));
}

TEST_F(UnwrittenPayloadTest, WholeFormat2WriteWithoutReplyStillGoesOn) {
    Start(Send2Script());
    Advance(1000);  // open
    Advance(1000);  // delay: the first send is written whole
    ASSERT_EQ(testport::Writes().size(), 1u);
    ExpectFiresAfter(5000);
    EXPECT_TRUE(State().g_Upgrading);
    EXPECT_EQ(State().g_LastCmd, CMD_DELAY);
}

TEST_F(RunEngineTest, WaitWithoutReplyFailsAfterFifteenSeconds) {
    Start(ScriptBuilder().OpenPort().Wait());
    Advance(1000);
    ExpectFiresAfter(15000);
    EXPECT_EQ(LastRunOutcome(), RunOutcome::WaitTimeout);
    EXPECT_EQ(Text(IDC_PROGRESS_STATUS), L"waiting ...!");
    EXPECT_TRUE(Boxes().empty());
    ExpectIdleAfterRun();
}

TEST_F(RunEngineTest, FrameInPiecesIsJudgedWhenComplete) {
    Start(ScriptBuilder().OpenPort().Wait());
    Advance(1000);
    const std::vector<BYTE> frame = Format1Reply(0);
    Receive(std::vector<BYTE>(frame.begin(), frame.begin() + 6));
    EXPECT_EQ(State().g_RxCount, 6u);
    EXPECT_TRUE(State().g_Upgrading);
    Receive(std::vector<BYTE>(frame.begin() + 6, frame.end()));
    EXPECT_EQ(LastRunOutcome(), RunOutcome::Success);
    EXPECT_EQ(State().g_RxCount, 0u);
}

TEST_F(RunEngineTest, ThirteenBytesAreNeverAccepted) {
    Start(ScriptBuilder().OpenPort().SendF1({0x01}).Wait());
    Advance(1000);
    std::vector<BYTE> bytes = Format1Reply(0);
    bytes.push_back(0x00);
    Receive(bytes);
    EXPECT_EQ(State().g_RxCount, 13u);
    EXPECT_TRUE(State().g_Upgrading);
    ExpectFiresAfter(5000);
    EXPECT_EQ(LastRunOutcome(), RunOutcome::ReplyTimeout);
}

TEST_F(RunEngineTest, ReceiveBufferHoldsAtMost2047Bytes) {
    Start(ScriptBuilder().OpenPort().Delay(100));
    Advance(1000);
    ASSERT_EQ(State().g_LastCmd, CMD_DELAY);
    State().g_RxCount = 2040;
    Receive(std::vector<BYTE>(8, 0x11));  // 2048 is not below 2048: dropped whole
    EXPECT_EQ(State().g_RxCount, 2040u);
    Receive(std::vector<BYTE>(7, 0x22));
    EXPECT_EQ(State().g_RxCount, 2047u);
    EXPECT_EQ(State().g_RxBuffer[2046], 0x22);
    Receive(std::vector<BYTE>(1, 0x33));  // full: every chunk is dropped
    EXPECT_EQ(State().g_RxCount, 2047u);
    EXPECT_EQ(State().g_RxBuffer[2047], 0x00);
}

TEST_F(RunEngineTest, BytesDuringADelayCountTowardTheNextReply) {
    Start(ScriptBuilder().OpenPort().Delay(2).Wait());
    Advance(1000);
    const std::vector<BYTE> frame = Format1Reply(0);
    Receive(std::vector<BYTE>(frame.begin(), frame.begin() + 5));
    EXPECT_EQ(State().g_RxCount, 5u);
    EXPECT_TRUE(State().g_Upgrading);
    Advance(2000);
    ASSERT_EQ(State().g_LastCmd, CMD_WAIT);
    Receive(std::vector<BYTE>(frame.begin() + 5, frame.end()));
    EXPECT_EQ(LastRunOutcome(), RunOutcome::Success);
}

TEST_F(RunEngineTest, BytesLeftFromAnEarlierRunAreNotJudged) {
    State().g_RxCount = 6;
    Start(ScriptBuilder().OpenPort().Wait());
    EXPECT_EQ(State().g_RxCount, 0u);
    Advance(1000);
    const std::vector<BYTE> frame = Format1Reply(0);
    Receive(std::vector<BYTE>(frame.begin(), frame.begin() + 6));
    EXPECT_TRUE(State().g_Upgrading);
    Receive(std::vector<BYTE>(frame.begin() + 6, frame.end()));
    EXPECT_EQ(LastRunOutcome(), RunOutcome::Success);
}

TEST_F(RunEngineTest, BytesWhileIdleAreReadAndDropped) {
    Start(ScriptBuilder().OpenPort().Delay(1).Wait());
    Advance(1000);
    State().g_Upgrading = false;  // as between the end of a run and the port's close
    Receive({1, 2, 3});
    EXPECT_EQ(State().g_RxCount, 0u);
    State().g_Upgrading = true;
}

TEST_F(RunEngineTest, UnknownCommandEndsTheRunWithItsNumber) {
    Start(ScriptBuilder().OpenPort().Record(0x05, {0x01}).Wait());
    Advance(1000);
    EXPECT_EQ(LastRunOutcome(), RunOutcome::BadCommand);
    EXPECT_TRUE(Traced("instruction: 5\r\n"));
    EXPECT_TRUE(Boxes().empty());
    EXPECT_EQ(Text(IDC_PROGRESS_STATUS), L"Progress Status");  // never written in this run
    ExpectIdleAfterRun();
    ExpectTimerStopped();
}

TEST_F(RunEngineTest, StopEndsTheRunSilently) {
    Start(ScriptBuilder().OpenPort().Wait());
    Advance(1000);
    RunUpgradeEvent(UPG_EVENT_STOP);
    EXPECT_EQ(LastRunOutcome(), RunOutcome::Stopped);
    EXPECT_TRUE(Boxes().empty());
    ExpectIdleAfterRun();
    ExpectTimerStopped();
}

TEST_F(RunEngineTest, ZeroLengthSendWritesNothingAndArmsTheTimeout) {
    Start(ScriptBuilder().OpenPort().SendF1({}));
    Advance(1000);
    for (const auto& write : testport::Writes())
        EXPECT_TRUE(write.empty());
    ExpectArmed(5, UPG_EVENT_REPLY_TIMEOUT);
}

TEST_F(RunEngineTest, LaterOpenReopensTheSamePathWithoutReadingThePortBox) {
    Start(ScriptBuilder().OpenPort().ClosePort().OpenPort().Wait());
    dlg_->m_Port.SetWindowText(L"COM7");
    Advance(1000);  // close
    EXPECT_EQ(State().g_PortHandle.load(), nullptr);
    Advance(1000);  // open again
    EXPECT_NE(State().g_PortHandle.load(), nullptr);
    EXPECT_EQ(testport::Opens(), 2);
    EXPECT_EQ(CountTraced("serial port = COM5\r\n"), 1);
    EXPECT_FALSE(Traced("serial port = COM7\r\n"));
    EXPECT_EQ(std::wstring(State().g_DebugDevFileName), L"\\\\.\\COM5");
}

// ---------------------------------------------------------------- the port choice
TEST_F(RunEngineTest, AutoDetectWithoutTerminalWaitsFifteenSeconds) {
    dlg_->m_Port.SetWindowText(L"Auto Detect");
    Start(ScriptBuilder().OpenPort().Wait());
    EXPECT_EQ(State().g_PortWaitMode, PORT_WAIT_WAITING);
    EXPECT_EQ(Text(IDC_PROGRESS_STATUS), L"waiting ...!");
    EXPECT_EQ(testport::Opens(), 0);
    EXPECT_TRUE(Traced(Utf8(L"等待连接: \r\n")));
    ExpectArmed(15, UPG_EVENT_WAIT_TIMEOUT);
    ExpectFiresAfter(15000);
    EXPECT_EQ(LastRunOutcome(), RunOutcome::WaitTimeout);
    EXPECT_TRUE(Boxes().empty());
}

TEST_F(RunEngineTest, AutoDetectWaitEndsWhenTheTerminalArrives) {
    dlg_->m_Port.SetWindowText(L"Auto Detect");
    Start(ScriptBuilder().OpenPort().Wait());
    Advance(10000);
    // What DeviceConnected does when the terminal appears during the wait.
    std::wcscpy(State().g_DebugDevFileName, L"\\\\.\\COM5");
    State().g_PortWaitMode = PORT_WAIT_DETECTED;
    ArmUpgradeTimer(3, UPG_EVENT_OPEN_PORT);
    ExpectFiresAfter(3000);
    EXPECT_NE(State().g_PortHandle.load(), nullptr);
    // The next record is taken at once after this open.
    EXPECT_EQ(State().g_LastCmd, CMD_WAIT);
    ExpectArmed(15, UPG_EVENT_WAIT_TIMEOUT);
}

TEST_F(RunEngineTest, AutoDetectTerminalWhosePortCannotBeOpenedFailsTheRun) {
    dlg_->m_Port.SetWindowText(L"Auto Detect");
    Start(ScriptBuilder().OpenPort().Wait());
    std::wcscpy(State().g_DebugDevFileName, L"\\\\.\\COM9");
    ArmUpgradeTimer(3, UPG_EVENT_OPEN_PORT);
    Advance(3000);
    EXPECT_EQ(LastRunOutcome(), RunOutcome::PortOpenFailed);
    EXPECT_EQ(Text(IDC_CONNECT_STATUS), L"COM9: Open Failed");
    const std::vector<ShownBox> boxes = Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, L"设备打开失败[COM9]");
    ExpectIdleAfterRun();
}

TEST_F(RunEngineTest, AutoDetectWithTerminalPresentOpensItsPort) {
    dlg_->m_Port.SetWindowText(L"Auto Detect");
    State().g_DevicePresent = true;
    std::wcscpy(State().g_DebugDevFileName, L"\\\\.\\COM5");
    Start(ScriptBuilder().OpenPort().Wait());
    EXPECT_EQ(State().g_PortWaitMode, PORT_WAIT_DETECTED);
    EXPECT_TRUE(Traced(Utf8(L"已检测到串口: \\\\.\\COM5, GO...\r\n")));
    EXPECT_EQ(testport::Opens(), 1);
    ExpectArmed(1, UPG_EVENT_NEXT);
}

TEST_F(RunEngineTest, PortThatCannotBeOpenedFailsWithAMessage) {
    dlg_->m_Port.SetWindowText(L"COM9");
    Start(ScriptBuilder().OpenPort().Wait());
    EXPECT_EQ(LastRunOutcome(), RunOutcome::PortOpenFailed);
    EXPECT_TRUE(Traced(Utf8(L"通讯口[\\\\.\\COM9]打开失败\r\n")));
    EXPECT_TRUE(Traced("g_DebugDevFileName = \\\\.\\COM9\r\n"));
    EXPECT_EQ(Text(IDC_CONNECT_STATUS), L"COM9: Open Failed");
    const std::vector<ShownBox> boxes = Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, L"设备打开失败[COM9]");
    EXPECT_EQ(boxes[0].type & MB_TYPEMASK, static_cast<UINT>(MB_OK));
    EXPECT_TRUE(boxes[0].buttonsEnabled) << "the box came before the buttons were enabled";
    ExpectIdleAfterRun();
}

TEST_F(RunEngineTest, NoLineSpeedSelectedFailsTheOpen) {
    dlg_->m_Baud.SetCurSel(-1);
    Start(ScriptBuilder().OpenPort().Wait());
    EXPECT_TRUE(Traced("BAUDRATE ERROR\r\n"));
    EXPECT_EQ(LastRunOutcome(), RunOutcome::PortOpenFailed);
    EXPECT_EQ(Text(IDC_CONNECT_STATUS), L"COM5: Open Failed");
    EXPECT_EQ(testport::Opens(), 1);
    EXPECT_EQ(testport::Closes(), 1);  // the failure path closed what the open left
    ExpectIdleAfterRun();
}

TEST_F(RunEngineTest, RefusedLineSettingsFailTheOpen) {
    testport::FailSetCommState(true);
    Start(ScriptBuilder().OpenPort().Wait());
    EXPECT_EQ(LastRunOutcome(), RunOutcome::PortOpenFailed);
    EXPECT_EQ(testport::Closes(), 1);
    EXPECT_TRUE(Traced("CloseDevice\r\n"));
    EXPECT_FALSE(Traced(Utf8(L"设备已初始化\r\n")));
    ExpectIdleAfterRun();
}

TEST_F(RunEngineTest, PortTextOf59CharactersIsOpenedWhole) {
    const std::wstring name(59, L'X');
    dlg_->m_Port.SetWindowText(name.c_str());
    Start(ScriptBuilder().OpenPort().Wait());
    EXPECT_EQ(std::wstring(State().g_DebugDevFileName), L"\\\\.\\" + name);
    EXPECT_TRUE(Traced(Utf8(L"通讯口[\\\\.\\" + name + L"]打开失败\r\n")));
}

TEST_F(RunEngineTest, PortTextTooLongIsNeverCutIntoAnotherPort) {
    // Cut to fit, this text would name COM5, which exists.
    const std::wstring typed = L"COM5" + std::wstring(56, L'7');
    std::wcscpy(State().g_DebugDevFileName, L"\\\\.\\COM5");
    dlg_->m_Port.SetWindowText(typed.c_str());
    Start(ScriptBuilder().OpenPort().Wait());
    EXPECT_EQ(LastRunOutcome(), RunOutcome::PortOpenFailed);
    EXPECT_EQ(testport::Opens(), 0);
    EXPECT_TRUE(Traced(Utf8(L"g_DebugDevFileName = \\\\.\\" + typed + L"\r\n")));
    // Refused, yet named whole: the operator sees what was typed.
    EXPECT_EQ(Text(IDC_CONNECT_STATUS), typed + L": Open Failed");
    const std::vector<ShownBox> boxes = Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, L"设备打开失败[" + typed + L"]");
    ExpectIdleAfterRun();
}

TEST_F(RunEngineTest, LongPortNameThatCannotBeOpenedIsShownWhole) {
    // A Linux by-id path: far over 40 characters, within the 59 that fit.
    const std::wstring name = L"/dev/serial/by-id/usb-Vantrel_Terminal_0042-if00-port0";
    ASSERT_GT(name.size(), 40u);
    ASSERT_LE(name.size(), 59u);
    dlg_->m_Port.SetWindowText(name.c_str());
    Start(ScriptBuilder().OpenPort().Wait());
    EXPECT_EQ(LastRunOutcome(), RunOutcome::PortOpenFailed);
    EXPECT_EQ(Text(IDC_CONNECT_STATUS), name + L": Open Failed");
    const std::vector<ShownBox> boxes = Boxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_EQ(boxes[0].text, L"设备打开失败[" + name + L"]");
}

TEST_F(RunEngineTest, LongPortNameIsShownWholeWhenOpen) {
    const std::wstring name = L"/dev/serial/by-id/usb-Vantrel_Terminal_0042-if00-port0";
    testport::AddPort(Utf8(name));
    dlg_->m_Port.SetWindowText(name.c_str());
    Start(ScriptBuilder().OpenPort().Wait());
    EXPECT_EQ(Text(IDC_CONNECT_STATUS), name + L": Open");
}

// ---------------------------------------------------------------- damaged scripts
struct DamagedCase {
    const char* name;
    std::vector<unsigned char> tail;  // record bytes after a CMD_OPEN_PORT
};

class DamagedScriptTest : public RunEngineTest, public ::testing::WithParamInterface<DamagedCase> {};

TEST_P(DamagedScriptTest, EndsTheRunAtOnce) {
    Start(ScriptBuilder().OpenPort().Raw(GetParam().tail));
    Advance(1000);
    EXPECT_EQ(LastRunOutcome(), RunOutcome::MalformedScript);
    EXPECT_TRUE(Traced("script damaged at offset 35\r\n"));
    EXPECT_NE(Text(IDC_PROGRESS_STATUS), L"loader Success!");
    EXPECT_TRUE(Boxes().empty());
    ExpectIdleAfterRun();
    ExpectTimerStopped();
}

INSTANTIATE_TEST_SUITE_P(Records, DamagedScriptTest,
                         ::testing::Values(DamagedCase{"OneByteLeft", {0x11}},
                                           DamagedCase{"TwoBytesLeft", {0x11, 0x00}},
                                           DamagedCase{"PayloadRunsPastTheEnd", {0x11, 0x00, 0x0A, 1, 2, 3, 4}},
                                           DamagedCase{"LengthFarBeyondTheFile", {0x01, 0xFF, 0xFF}},
                                           DamagedCase{"DelayWithOnePayloadByte", {0x02, 0x00, 0x01, 0x05}},
                                           DamagedCase{"DelayWithoutPayload", {0x02, 0x00, 0x00, 0x01, 0x00, 0x00}}),
                         [](const ::testing::TestParamInfo<DamagedCase>& info) {
                             return std::string(info.param.name);
                         });

TEST_F(RunEngineTest, DamagedRecordAfterAnAcceptedReplyEndsTheRun) {
    // After an accepted reply the timer is already stopped; nothing else would fire.
    Start(ScriptBuilder().OpenPort().Wait().Raw({0x11, 0x00, 0x09, 1}));
    Advance(1000);
    Receive(Format1Reply(0));
    EXPECT_EQ(LastRunOutcome(), RunOutcome::MalformedScript);
    EXPECT_TRUE(Traced("script damaged at offset 38\r\n"));
    ExpectIdleAfterRun();
}

}  // namespace
