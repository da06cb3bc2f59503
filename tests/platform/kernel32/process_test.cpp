// Sleep, GetTickCount, thread ids and the module calls.
#include <gtest/gtest.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

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

TEST(ProcessTest, ThreadIdsAreTheKernelsAndAForkedChildHasItsOwn) {
    // Asked once and kept per thread: the kept value must be the kernel's,
    // in every thread, and not survive into a child made by fork().
    const DWORD mine = GetCurrentThreadId();
    EXPECT_EQ(mine, static_cast<DWORD>(::syscall(SYS_gettid)));
    DWORD other = 0;
    pid_t otherKernel = 0;
    std::thread([&] {
        other = GetCurrentThreadId();
        otherKernel = static_cast<pid_t>(::syscall(SYS_gettid));
    }).join();
    EXPECT_EQ(other, static_cast<DWORD>(otherKernel));

    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        const DWORD id = GetCurrentThreadId();
        const bool sent = ::write(fds[1], &id, sizeof id) == static_cast<ssize_t>(sizeof id);
        ::_exit(sent ? 0 : 1);
    }
    ::close(fds[1]);
    DWORD childsId = 0;
    const ssize_t got = ::read(fds[0], &childsId, sizeof childsId);
    ::close(fds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    ASSERT_EQ(got, static_cast<ssize_t>(sizeof childsId));
    // A child's only thread has the child's process id as its thread id.
    EXPECT_EQ(childsId, static_cast<DWORD>(child));
    EXPECT_NE(childsId, mine);
}

}  // namespace
