// Sleep, GetTickCount, thread ids and the module calls.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "platform/posix/win32.h"

namespace {

TEST(ProcessTest, MainModuleHandleIsNeverNull) {
    HMODULE module = GetModuleHandleW(nullptr);
    EXPECT_NE(module, nullptr);
    EXPECT_EQ(GetModuleHandleW(nullptr), module);
}

TEST(ProcessTest, UnknownModuleIsNotFound) {
    EXPECT_EQ(GetModuleHandleW(L"no_such_module.dll"), nullptr);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_MOD_NOT_FOUND));
}

TEST(ProcessTest, ModuleFileNameIsTheExecutable) {
    wchar_t path[MAX_PATH * 4] = {};
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    ASSERT_GT(n, 0u);
    const std::wstring name(path, n);
    EXPECT_EQ(name.front(), L'/');
    EXPECT_NE(name.find(L"vantrel_kernel32_tests"), std::wstring::npos);
    const std::wstring base = name.substr(name.find_last_of(L'/') + 1);
    EXPECT_EQ(GetModuleHandleW(base.c_str()), GetModuleHandleW(nullptr));
    EXPECT_EQ(GetModuleHandleW((base + L".exe").c_str()), GetModuleHandleW(nullptr));
}

TEST(ProcessTest, ShortBufferGetsATerminatedPrefix) {
    wchar_t full[MAX_PATH * 4] = {};
    const DWORD n = GetModuleFileNameW(nullptr, full, MAX_PATH * 4);
    ASSERT_GT(n, 5u);
    wchar_t small[5];
    EXPECT_EQ(GetModuleFileNameW(nullptr, small, 5), 5u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    EXPECT_EQ(std::wstring(small), std::wstring(full, 4));
}

TEST(ProcessTest, TickCountFollowsSleep) {
    const DWORD before = GetTickCount();
    Sleep(20);
    const DWORD elapsed = GetTickCount() - before;  // unsigned difference survives the wrap
    EXPECT_GE(elapsed, 20u);
    EXPECT_LT(elapsed, 1000u);
}

TEST(ProcessTest, ThreadsHaveDifferentIds) {
    const DWORD mine = GetCurrentThreadId();
    DWORD other = mine;
    std::thread([&] { other = GetCurrentThreadId(); }).join();
    EXPECT_NE(mine, 0u);
    EXPECT_NE(other, mine);
    EXPECT_EQ(GetCurrentThreadId(), mine);
}

}  // namespace
