// MultiByteToWideChar and WideCharToMultiByte with CP_UTF8: the sizes, the
// terminator, the strict flags and the failures Windows reports.
#include <gtest/gtest.h>

#include <string>

#include "platform/posix/win32.h"

namespace {

TEST(MultiByteToWideChar, AsksForTheSizeThenConvertsWithTheTerminator) {
    const char* utf8 = "COM5 \xe7\xbb\x88\xe7\xab\xaf \xf0\x9f\x98\x80";
    const int needed = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    ASSERT_EQ(needed, 10);  // one unit per code point here, and the terminator
    std::wstring out(static_cast<size_t>(needed), L'?');
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, utf8, -1, out.data(), needed), needed);
    EXPECT_EQ(out, std::wstring(L"COM5 \u7ec8\u7aef \U0001F600", 10));
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, utf8, 4, out.data(), needed), 4) << "a counted text has no terminator";
}

TEST(MultiByteToWideChar, InvalidBytesAreReplacedOrRefusedOnRequest) {
    const char bad[] =
        "a\xff"
        "b";
    wchar_t out[8] = {};
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, bad, 3, out, 8), 3);
    EXPECT_EQ(std::wstring(out, 3), L"a\ufffdb");
    SetLastError(0);
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, bad, 3, out, 8), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
}

TEST(MultiByteToWideChar, ABufferTooSmallFailsAndIsLeftUntouched) {
    wchar_t out[3] = {L'x', L'x', L'x'};
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "abcd", 4, out, 3), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::wstring(out, 3), L"xxx");
}

TEST(MultiByteToWideChar, BadCallsFailWithWindowsErrors) {
    wchar_t out[4];
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, nullptr, 3, out, 4), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0, "a", 0, out, 4), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(MultiByteToWideChar(CP_UTF8, 0x1, "a", 1, out, 4), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_FLAGS));
    EXPECT_EQ(MultiByteToWideChar(CP_ACP, 0, "a", 1, out, 4), 0) << "only UTF-8 is implemented";
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
}

TEST(WideCharToMultiByte, AsksForTheSizeThenConvertsJoiningSurrogatePairs) {
    const wchar_t wide[] = {L'C', 0x7EC8, 0xD83D, 0xDE00, 0};
    const int needed = WideCharToMultiByte(CP_UTF8, 0, wide, -1, nullptr, 0, nullptr, nullptr);
    ASSERT_EQ(needed, 9);
    std::string out(static_cast<size_t>(needed), '?');
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide, -1, out.data(), needed, nullptr, nullptr), needed);
    EXPECT_EQ(out, std::string("C\xe7\xbb\x88\xf0\x9f\x98\x80", 9));
}

TEST(WideCharToMultiByte, LoneSurrogatesAreReplacedOrRefusedOnRequest) {
    const wchar_t wide[] = {L'a', 0xDC00, L'b'};
    char out[8] = {};
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, wide, 3, out, 8, nullptr, nullptr), 5);
    EXPECT_EQ(std::string(out, 5),
              "a\xef\xbf\xbd"
              "b");
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, wide, 3, out, 8, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_UNICODE_TRANSLATION));
}

TEST(WideCharToMultiByte, ADefaultCharacterIsRefusedForUtf8) {
    char out[8];
    BOOL used = FALSE;
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"a", 1, out, 8, "?", nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"a", 1, out, 8, nullptr, &used), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(WideCharToMultiByte(CP_UTF8, 0, L"abc", 3, out, 2, nullptr, nullptr), 0);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
}

}  // namespace
