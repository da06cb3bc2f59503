// The errno table, the plain-words causes and the per-thread last error.
#include <gtest/gtest.h>

#include <cerrno>
#include <string>
#include <thread>

#include "platform/posix/kernel32/errno_map.h"
#include "platform/posix/kernel32/error.h"
#include "platform/posix/win32.h"

namespace {

using platform::ErrorObject;

TEST(ErrnoMapTest, PortErrorsMapAsWindowsReportsThem) {
    EXPECT_EQ(platform::ErrorFromErrno(ENOENT, ErrorObject::Port), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(platform::ErrorFromErrno(EACCES, ErrorObject::Port), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    // A busy COM port is "access denied" on Windows, not a sharing violation.
    EXPECT_EQ(platform::ErrorFromErrno(EBUSY, ErrorObject::Port), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(platform::ErrorFromErrno(EWOULDBLOCK, ErrorObject::Port), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(platform::ErrorFromErrno(EIO, ErrorObject::Port), static_cast<DWORD>(ERROR_BAD_UNIT));
    EXPECT_EQ(platform::ErrorFromErrno(ENXIO, ErrorObject::Port), static_cast<DWORD>(ERROR_BAD_UNIT));
}

TEST(ErrnoMapTest, FileErrorsMapAsWindowsReportsThem) {
    EXPECT_EQ(platform::ErrorFromErrno(ENOENT, ErrorObject::File), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(platform::ErrorFromErrno(ENOTDIR, ErrorObject::File), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(platform::ErrorFromErrno(EWOULDBLOCK, ErrorObject::File), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(platform::ErrorFromErrno(EMFILE, ErrorObject::File), static_cast<DWORD>(ERROR_TOO_MANY_OPEN_FILES));
    EXPECT_EQ(platform::ErrorFromErrno(EIO, ErrorObject::File), static_cast<DWORD>(ERROR_IO_DEVICE));
}

TEST(ErrnoMapTest, PortCausesSayWhatToDo) {
    EXPECT_EQ(platform::ErrnoCause(EACCES, ErrorObject::Port), "permission denied — add the user to the group dialout");
    EXPECT_EQ(platform::ErrnoCause(EBUSY, ErrorObject::Port), "the port is in use by another program");
    EXPECT_EQ(platform::ErrnoCause(ENOENT, ErrorObject::Port), "no such port");
    EXPECT_EQ(platform::ErrnoCause(EIO, ErrorObject::Port), "the device is gone (unplugged)");
}

TEST(ErrnoMapTest, FileCausesDoNotTalkAboutPorts) {
    EXPECT_EQ(platform::ErrnoCause(EACCES, ErrorObject::File), "permission denied");
    EXPECT_EQ(platform::ErrnoCause(ENOENT, ErrorObject::File), "no such file");
    EXPECT_EQ(platform::ErrnoCause(EWOULDBLOCK, ErrorObject::File), "the file is in use by another program");
}

TEST(ErrnoMapTest, EveryCodeHasWords) {
    const DWORD codes[] = {ERROR_SUCCESS,
                           ERROR_FILE_NOT_FOUND,
                           ERROR_ACCESS_DENIED,
                           ERROR_INVALID_HANDLE,
                           ERROR_BAD_UNIT,
                           ERROR_CALL_NOT_IMPLEMENTED,
                           4242};
    for (DWORD code : codes) {
        EXPECT_FALSE(platform::ErrorCause(code).empty()) << code;
    }
    EXPECT_NE(platform::ErrorCause(4242).find("4242"), std::string::npos);
}

TEST(LastErrorTest, IsKeptPerThread) {
    SetLastError(ERROR_BAD_UNIT);
    DWORD other = 1;
    std::thread([&] {
        other = GetLastError();
        SetLastError(ERROR_ACCESS_DENIED);
    }).join();
    EXPECT_EQ(other, static_cast<DWORD>(ERROR_SUCCESS));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_BAD_UNIT));
}

TEST(LastErrorTest, CauseFollowsTheErrno) {
    platform::SetLastErrorFromErrno(EBUSY, ErrorObject::Port);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(platform::LastErrorCause(), "the port is in use by another program");
}

TEST(LastErrorTest, PlainSetLastErrorForgetsAnEarlierCause) {
    platform::SetLastErrorWithCause(ERROR_ACCESS_DENIED, "the port is in use by another program");
    SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(platform::LastErrorCause(), platform::ErrorCause(ERROR_ACCESS_DENIED));
}

// ---------------------------------------------------------------- FormatMessageW
std::wstring SystemText(DWORD code) {
    wchar_t text[256] = {};
    const DWORD n = FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                                   256, nullptr);
    return std::wstring(text, n);
}

TEST(FormatMessageTest, GivesTheWordsForACodeWithTheSystemsLineEnd) {
    SetLastError(ERROR_SUCCESS);
    EXPECT_EQ(SystemText(ERROR_BAD_UNIT), L"the device is gone (unplugged)\r\n");
}

TEST(FormatMessageTest, PrefersTheCauseRecordedWithTheLastError) {
    platform::SetLastErrorFromErrno(EBUSY, ErrorObject::Port);
    EXPECT_EQ(SystemText(ERROR_ACCESS_DENIED), L"the port is in use by another program\r\n");
    // Another code than the last error's gets its generic words.
    EXPECT_EQ(SystemText(ERROR_SHARING_VIOLATION), L"the file is in use by another program\r\n");
}

TEST(FormatMessageTest, RefusesWhatItDoesNotImplementAndShortBuffers) {
    wchar_t text[4] = {L'x', 0, 0, 0};
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM, nullptr, ERROR_BAD_UNIT, 0, text, 4, nullptr), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
    EXPECT_EQ(FormatMessageW(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, ERROR_BAD_UNIT, 0,
                             text, 4, nullptr),
              0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(text[0], L'x') << "a short buffer is left untouched";
}

}  // namespace
