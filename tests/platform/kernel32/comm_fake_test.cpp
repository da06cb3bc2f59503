// The scripted port's own contract, reached through the Win32 calls as the
// code under test reaches it.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/posix/kernel32/error.h"
#include "platform/posix/win32.h"
#include "tests/fakes/comm.h"

namespace {

using fakecomm::Call;

class CommFakeTest : public ::testing::Test {
protected:
    void SetUp() override {
        fakecomm::Reset();
        port_.emplace(fakecomm::AddPort("COM5"));
    }
    void TearDown() override {
        for (HANDLE h : handles_)
            CloseHandle(h);
        fakecomm::Reset();
    }
    HANDLE Open(const wchar_t* name = L"\\\\.\\COM5") {
        HANDLE h = CreateFileW(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        if (h != INVALID_HANDLE_VALUE)
            handles_.push_back(h);
        return h;
    }
    void Close(HANDLE h) {
        std::erase(handles_, h);
        CloseHandle(h);
    }
    fakecomm::Port& Port() { return *port_; }

    std::optional<fakecomm::Port> port_;
    std::vector<HANDLE> handles_;
};

TEST_F(CommFakeTest, OnlyRegisteredNamesOpen) {
    EXPECT_NE(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(L"\\\\.\\COM6"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Port().Opens(), 1);
}

TEST_F(CommFakeTest, AbsoluteNamesOpenAsThemselves) {
    fakecomm::AddPort("/dev/ttyACM3");
    EXPECT_NE(Open(L"\\\\.\\ttyACM3"), INVALID_HANDLE_VALUE);
}

TEST_F(CommFakeTest, SecondOpenIsRefusedLikeABusyPort) {
    ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_NE(platform::LastErrorCause().find("in use"), std::string::npos);
}

TEST_F(CommFakeTest, OpenFailsWithTheChosenError) {
    Port().FailOpen(ERROR_ACCESS_DENIED);
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    Port().FailOpen(ERROR_SUCCESS);
    EXPECT_NE(Open(), INVALID_HANDLE_VALUE);
}

TEST_F(CommFakeTest, CountsOpensAndCloses) {
    HANDLE h = Open();
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(Port().IsOpen());
    Close(h);
    EXPECT_FALSE(Port().IsOpen());
    ASSERT_NE(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Port().Opens(), 2);
    EXPECT_EQ(Port().Closes(), 1);
}

TEST_F(CommFakeTest, RecordsEachWriteSeparatelyEmptyOnesToo) {
    HANDLE h = Open();
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, "\x01\x02\x00", 3, &written, nullptr));
    EXPECT_EQ(written, 3u);
    ASSERT_TRUE(WriteFile(h, "", 0, &written, nullptr));
    ASSERT_TRUE(WriteFile(h, "\xFF", 1, &written, nullptr));
    const std::vector<std::vector<BYTE>> expected = {{1, 2, 0}, {}, {0xFF}};
    EXPECT_EQ(Port().Writes(), expected);
    EXPECT_EQ(Port().Written(), (std::vector<BYTE>{1, 2, 0, 0xFF}));
}

TEST_F(CommFakeTest, QueuedBytesAreCountedAndReadInOrder) {
    HANDLE h = Open();
    Port().Receive(std::vector<BYTE>{1, 2, 3, 4, 5, 6, 7});
    DWORD errors = 9;
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(stat.cbInQue, 7u);
    EXPECT_EQ(errors, 0u);
    BYTE buffer[5] = {};
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(read, 5u);
    EXPECT_EQ(buffer[0], 1);
    EXPECT_EQ(buffer[4], 5);
    EXPECT_EQ(Port().Pending(), 2u);
    ASSERT_TRUE(ReadFile(h, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(read, 2u);
    EXPECT_EQ(buffer[1], 7);
}

TEST_F(CommFakeTest, ReadOfAnEmptyQueueReturnsAtOnceWithNothing) {
    HANDLE h = Open();
    BYTE buffer[4];
    DWORD read = 9;
    EXPECT_TRUE(ReadFile(h, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(read, 0u);
}

TEST_F(CommFakeTest, UnplugFailsTheWatchersPollAndWrites) {
    HANDLE h = Open();
    Port().Unplug();
    DWORD errors = 0;
    COMSTAT stat{};
    EXPECT_FALSE(ClearCommError(h, &errors, &stat));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_UNIT));
    DWORD written = 9;
    EXPECT_FALSE(WriteFile(h, "x", 1, &written, nullptr));
    EXPECT_EQ(written, 0u);
    EXPECT_TRUE(Port().Writes().empty());
    Port().Replug();
    EXPECT_TRUE(ClearCommError(h, &errors, &stat));
}

TEST_F(CommFakeTest, UnpluggedPortCannotBeOpened) {
    Port().Unplug();
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
}

TEST_F(CommFakeTest, RecordsTheSettingsApplied) {
    HANDLE h = Open();
    EXPECT_FALSE(Port().LastDcb().has_value());
    DCB dcb{};
    ASSERT_TRUE(GetCommState(h, &dcb));
    EXPECT_EQ(dcb.fBinary, 1u);
    EXPECT_EQ(dcb.ByteSize, 8);
    dcb.BaudRate = 3686400;
    ASSERT_TRUE(SetCommState(h, &dcb));
    ASSERT_TRUE(SetupComm(h, 1024, 2048));
    COMMTIMEOUTS t{100, 10, 1000, 10, 1000};
    ASSERT_TRUE(SetCommTimeouts(h, &t));
    ASSERT_TRUE(Port().LastDcb().has_value());
    EXPECT_EQ(Port().LastDcb()->BaudRate, 3686400u);
    ASSERT_TRUE(Port().LastQueues().has_value());
    EXPECT_EQ(Port().LastQueues()->in, 1024u);
    EXPECT_EQ(Port().LastQueues()->out, 2048u);
    ASSERT_TRUE(Port().LastTimeouts().has_value());
    EXPECT_EQ(Port().LastTimeouts()->ReadTotalTimeoutConstant, 1000u);
    DCB back{};
    ASSERT_TRUE(GetCommState(h, &back));
    EXPECT_EQ(back.BaudRate, 3686400u);
}

TEST_F(CommFakeTest, FailedCallLeavesOutputAndRecordUntouched) {
    HANDLE h = Open();
    Port().FailCall(Call::GetCommState, ERROR_GEN_FAILURE);
    Port().FailCall(Call::SetCommState, ERROR_INVALID_PARAMETER);
    DCB dcb{};
    dcb.BaudRate = 1234;
    EXPECT_FALSE(GetCommState(h, &dcb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_GEN_FAILURE));
    EXPECT_EQ(dcb.BaudRate, 1234u);
    EXPECT_FALSE(SetCommState(h, &dcb));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_FALSE(Port().LastDcb().has_value());
    EXPECT_EQ(Port().Calls(Call::SetCommState), 1);
}

TEST_F(CommFakeTest, EachSettingCallCanBeMadeToFail) {
    HANDLE h = Open();
    Port().FailCall(Call::SetupComm, ERROR_GEN_FAILURE);
    Port().FailCall(Call::SetCommTimeouts, ERROR_GEN_FAILURE);
    EXPECT_FALSE(SetupComm(h, 1024, 1024));
    COMMTIMEOUTS t{};
    EXPECT_FALSE(SetCommTimeouts(h, &t));
    EXPECT_FALSE(Port().LastQueues().has_value());
    EXPECT_FALSE(Port().LastTimeouts().has_value());
}

TEST_F(CommFakeTest, WriteHookCanQueueTheReply) {
    HANDLE h = Open();
    Port().OnWrite([](fakecomm::Port& port, const std::vector<BYTE>& written) {
        if (!written.empty() && written[0] == 0x02)
            port.Receive(std::vector<BYTE>{0x06, written.back()});
    });
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, "\x02\x10\x20", 3, &written, nullptr));
    BYTE reply[2] = {};
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(h, reply, sizeof reply, &read, nullptr));
    EXPECT_EQ(read, 2u);
    EXPECT_EQ(reply[0], 0x06);
    EXPECT_EQ(reply[1], 0x20);
}

TEST_F(CommFakeTest, WriteHookCanPullThePlug) {
    HANDLE h = Open();
    Port().OnWrite([](fakecomm::Port& port, const std::vector<BYTE>&) { port.Unplug(); });
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(h, "a", 1, &written, nullptr));
    EXPECT_FALSE(WriteFile(h, "b", 1, &written, nullptr));
}

TEST_F(CommFakeTest, LimitedWriteSucceedsWithTheShortCount) {
    HANDLE h = Open();
    Port().LimitWrites(2);
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(h, "abcd", 4, &written, nullptr));
    EXPECT_EQ(written, 2u);
    EXPECT_EQ(Port().Written(), (std::vector<BYTE>{'a', 'b'}));
}

TEST_F(CommFakeTest, ResetForgetsNamesButOpenHandlesKeepWorking) {
    HANDLE h = Open();
    fakecomm::Reset();
    EXPECT_FALSE(fakecomm::FindPort("COM5").has_value());
    DWORD written = 0;
    EXPECT_TRUE(WriteFile(h, "z", 1, &written, nullptr));
    EXPECT_EQ(Port().Writes().size(), 1u);
    Close(h);
    EXPECT_EQ(Open(), INVALID_HANDLE_VALUE);
}

TEST_F(CommFakeTest, AddingANameTwiceGivesTheSamePort) {
    fakecomm::Port again = fakecomm::AddPort("COM5");
    again.Receive(std::string_view("xy"));
    EXPECT_EQ(Port().Pending(), 2u);
}

}  // namespace
