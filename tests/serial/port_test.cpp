// Port open, configure, close and write on a real pseudo-terminal, and
// PortShortName.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/state.h"
#include "framework/afxwin.h"
#include "serial/port.h"
#include "tests/engine/dialog_fixture.h"
#include "tests/serial/pty_terminal.h"

namespace {

TEST(PortShortNameTest, TakesTheTextAfterTheLastBackslash) {
    EXPECT_EQ(PortShortName(L"\\\\.\\COM12"), L"COM12");
    EXPECT_EQ(PortShortName(L"\\\\.\\/dev/pts/3"), L"/dev/pts/3");
    EXPECT_EQ(PortShortName(L"a\\b\\c"), L"c");
}

TEST(PortShortNameTest, IsEmptyWithoutABackslashOrAfterATrailingOne) {
    EXPECT_EQ(PortShortName(L"COM3"), L"");
    EXPECT_EQ(PortShortName(L""), L"");
    EXPECT_EQ(PortShortName(L"\\\\.\\"), L"");
    EXPECT_EQ(PortShortName(nullptr), L"");
}

class PortTest : public DialogFixture {
protected:
    void SetUp() override {
        DialogFixture::SetUp();
        ASSERT_TRUE(pty_.Ok());
        SetPath(L"\\\\.\\" + pty_.SlaveWide());
    }
    static void SetPath(const std::wstring& path) {
        ASSERT_LT(path.size(), static_cast<size_t>(kDevFileNameChars));
        std::wcscpy(State().g_DebugDevFileName, path.c_str());
    }
    // The trace without the watcher's own line, whose place is not fixed.
    std::vector<std::string> WindowTrace() const {
        std::vector<std::string> lines;
        for (const std::string& line : Trace())
            if (line != "DebugReadThread\r\n")
                lines.push_back(line);
        return lines;
    }

    PtyTerminal pty_;
};

TEST_F(PortTest, SuccessfulOpenTracesEveryStepInOrder) {
    ASSERT_TRUE(UpgradeOpenPort());
    const std::vector<std::string> expected = {
        "UpgradeOpenPort\r\n",        "OpenDebugDevice\r\n",     "OpenDevice\r\n",
        Utf8(L"设备已打开\r\n"),      "ConfigDevice\r\n",        Utf8(L"波特率设置\r\n"),
        Utf8(L"读/写(超时)设置\r\n"), Utf8(L"设备已初始化\r\n"), Utf8(L"串口打开成功\r\n"),
    };
    EXPECT_EQ(WindowTrace(), expected);
    EXPECT_EQ(Text(IDC_CONNECT_STATUS), pty_.SlaveWide() + L": Open");
    EXPECT_TRUE(State().g_PortOpen);
    EXPECT_NE(State().g_PortHandle.load(), nullptr);
    EXPECT_TRUE(PumpUntil([this] { return Traced("DebugReadThread\r\n"); }));
}

TEST_F(PortTest, LineSpeedFollowsTheSelectedIndex) {
    ASSERT_TRUE(UpgradeOpenPort());
    DCB dcb{};
    ASSERT_TRUE(GetCommState(State().g_PortHandle.load(), &dcb));
    EXPECT_EQ(dcb.BaudRate, 3686400u);
    EXPECT_EQ(dcb.ByteSize, 8);
    UpgradeClosePort();

    dlg_->m_Baud.SetCurSel(1);
    ASSERT_TRUE(UpgradeOpenPort());
    ASSERT_TRUE(GetCommState(State().g_PortHandle.load(), &dcb));
    EXPECT_EQ(dcb.BaudRate, 115200u);
    COMMTIMEOUTS timeouts{};
    ASSERT_TRUE(GetCommTimeouts(State().g_PortHandle.load(), &timeouts));
    EXPECT_EQ(timeouts.ReadIntervalTimeout, 100u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 1000u);
}

TEST_F(PortTest, NothingSelectedLeavesTheNewHandleForTheCloseToRelease) {
    dlg_->m_Baud.SetCurSel(-1);
    EXPECT_FALSE(OpenDebugDevice());
    EXPECT_TRUE(Traced("BAUDRATE ERROR\r\n"));
    EXPECT_NE(State().g_PortHandle.load(), nullptr);
    EXPECT_FALSE(State().g_PortOpen);
    UpgradeClosePort();
    EXPECT_EQ(State().g_PortHandle.load(), nullptr);
}

TEST_F(PortTest, NonexistentPortTracesTheFullPath) {
    SetPath(L"\\\\.\\ttyVANTREL_NONE");
    const std::wstring before = Text(IDC_CONNECT_STATUS);
    EXPECT_FALSE(UpgradeOpenPort());
    EXPECT_TRUE(Traced(Utf8(L"通讯口[\\\\.\\ttyVANTREL_NONE]打开失败\r\n")));
    EXPECT_EQ(State().g_PortHandle.load(), nullptr);
    EXPECT_FALSE(State().g_PortOpen);
    EXPECT_EQ(Text(IDC_CONNECT_STATUS), before);
    EXPECT_EQ(State().g_ReadThread.load(), nullptr);
}

TEST_F(PortTest, CloseWithNoPortOpenClosesNothing) {
    UpgradeClosePort();
    const std::vector<std::string> expected = {"UpgradeClosePort\r\n", "CloseDebugDevice\r\n"};
    EXPECT_EQ(Trace(), expected);
}

TEST_F(PortTest, PortWriteReachesTheTerminalUntouched) {
    ASSERT_TRUE(UpgradeOpenPort());
    std::vector<BYTE> all(256);
    for (int i = 0; i < 256; ++i)
        all[i] = static_cast<BYTE>(i);
    EXPECT_TRUE(PortWrite(all.data(), static_cast<DWORD>(all.size())));
    EXPECT_EQ(pty_.Take(all.size()), all);
}

TEST_F(PortTest, SecondOpenReplacesTheHandleAndKeepsTheWatcher) {
    ASSERT_TRUE(UpgradeOpenPort());
    CWinThread* watcher = State().g_ReadThread.load();
    ASSERT_NE(watcher, nullptr);
    ClearTrace();
    ASSERT_TRUE(OpenDebugDevice());
    const std::vector<std::string> lines = WindowTrace();
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], "OpenDebugDevice\r\n");
    EXPECT_EQ(lines[1], "CloseDevice\r\n");
    EXPECT_EQ(lines[2], "OpenDevice\r\n");
    EXPECT_EQ(State().g_ReadThread.load(), watcher);
    EXPECT_EQ(AfxRunningThreadCount(), 1);
}

}  // namespace
