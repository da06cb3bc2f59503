// The handle table under concurrent use: the watcher thread and the window
// thread meet on one handle, and closes race with calls.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "platform/posix/kernel32/handle.h"
#include "platform/posix/win32.h"

namespace {

std::wstring MakeTempFile() {
    char name[] = "/tmp/vantrel_handle_XXXXXX";
    const int fd = ::mkstemp(name);
    if (fd < 0)
        return {};
    (void)!::write(fd, "0123456789", 10);
    ::close(fd);
    const std::string path = name;
    return std::wstring(path.begin(), path.end());
}

TEST(HandleTableTest, ConcurrentOpensAndClosesLeaveNoHandleBehind) {
    const size_t before = platform::OpenHandleCount();
    std::vector<std::wstring> paths;
    for (int t = 0; t < 4; ++t)
        paths.push_back(MakeTempFile());
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                HANDLE h = CreateFileW(paths[t].c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
                if (h == INVALID_HANDLE_VALUE || GetFileSize(h, nullptr) != 10 || !CloseHandle(h))
                    ++failures;
            }
        });
    }
    for (auto& thread : threads)
        thread.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(platform::OpenHandleCount(), before);
    for (const auto& path : paths)
        ::unlink(std::string(path.begin(), path.end()).c_str());
}

TEST(HandleTableTest, CallsRacingACloseEitherWorkOrSeeAnInvalidHandle) {
    const std::wstring path = MakeTempFile();
    for (int round = 0; round < 50; ++round) {
        HANDLE h = CreateFileW(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        std::atomic<bool> bad{false};
        std::thread user([&] {
            for (int i = 0; i < 100; ++i) {
                const DWORD size = GetFileSize(h, nullptr);
                if (size != 10 && !(size == INVALID_FILE_SIZE && GetLastError() == ERROR_INVALID_HANDLE))
                    bad = true;
            }
        });
        EXPECT_TRUE(CloseHandle(h));
        user.join();
        EXPECT_FALSE(bad.load());
    }
    ::unlink(std::string(path.begin(), path.end()).c_str());
}

TEST(HandleTableTest, NullAndInvalidHandlesAreRefused) {
    EXPECT_FALSE(CloseHandle(nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_FALSE(CloseHandle(INVALID_HANDLE_VALUE));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    DWORD errors = 0;
    COMSTAT stat{};
    EXPECT_FALSE(ClearCommError(nullptr, &errors, &stat));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
