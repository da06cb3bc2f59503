// CreateFileW on regular files: exclusive opens, reading, size and seeking,
// as CFile uses them to load the upgrade script.
#include <gtest/gtest.h>
#include <sys/file.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "platform/posix/kernel32/error.h"
#include "platform/posix/win32.h"

namespace {

class TempFile {
public:
    explicit TempFile(const std::vector<BYTE>& content) {
        char name[] = "/tmp/vantrel_k32_XXXXXX";
        const int fd = ::mkstemp(name);
        if (fd >= 0) {
            if (!content.empty())
                (void)!::write(fd, content.data(), content.size());
            ::close(fd);
            path_ = name;
        }
    }
    ~TempFile() {
        if (!path_.empty())
            ::unlink(path_.c_str());
    }
    const std::string& Path() const { return path_; }
    std::wstring Wide() const { return std::wstring(path_.begin(), path_.end()); }

private:
    std::string path_;
};

HANDLE OpenForRead(const std::wstring& path, DWORD share = 0) {
    return CreateFileW(path.c_str(), GENERIC_READ, share, nullptr, OPEN_EXISTING, 0, nullptr);
}

std::vector<BYTE> Sample() {
    std::vector<BYTE> bytes;
    for (int i = 0; i < 1000; ++i)
        bytes.push_back(static_cast<BYTE>(i * 7));
    return bytes;
}

TEST(FileTest, ReadsTheWholeFileAndItsSize) {
    const std::vector<BYTE> content = Sample();
    TempFile file(content);
    HANDLE h = OpenForRead(file.Wide());
    ASSERT_NE(h, INVALID_HANDLE_VALUE) << platform::LastErrorCause();
    DWORD high = 99;
    EXPECT_EQ(GetFileSize(h, &high), content.size());
    EXPECT_EQ(high, 0u);
    std::vector<BYTE> got(content.size() + 10);
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(h, got.data(), static_cast<DWORD>(got.size()), &read, nullptr));
    got.resize(read);
    EXPECT_EQ(got, content);
    EXPECT_TRUE(ReadFile(h, got.data(), 1, &read, nullptr));  // at the end: success, nothing read
    EXPECT_EQ(read, 0u);
    EXPECT_TRUE(CloseHandle(h));
}

TEST(FileTest, SecondExclusiveOpenIsASharingViolation) {
    TempFile file(Sample());
    HANDLE first = OpenForRead(file.Wide());
    ASSERT_NE(first, INVALID_HANDLE_VALUE);
    EXPECT_EQ(OpenForRead(file.Wide()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_EQ(OpenForRead(file.Wide(), FILE_SHARE_READ), INVALID_HANDLE_VALUE);
    CloseHandle(first);
    HANDLE again = OpenForRead(file.Wide());
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
}

TEST(FileTest, ExclusiveOpenFailsWhileAnotherProgramHoldsTheFile) {
    TempFile file(Sample());
    // Another program's lock: a description of its own with flock held.
    const int other = ::open(file.Path().c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_SH | LOCK_NB), 0);
    EXPECT_EQ(OpenForRead(file.Wide()), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    EXPECT_NE(platform::LastErrorCause().find("in use"), std::string::npos);
    ::close(other);
}

TEST(FileTest, SharedOpensCoexist) {
    TempFile file(Sample());
    HANDLE a = OpenForRead(file.Wide(), FILE_SHARE_READ);
    HANDLE b = OpenForRead(file.Wide(), FILE_SHARE_READ);
    EXPECT_NE(a, INVALID_HANDLE_VALUE);
    EXPECT_NE(b, INVALID_HANDLE_VALUE);
    EXPECT_NE(a, b);
    CloseHandle(a);
    CloseHandle(b);
}

TEST(FileTest, MissingFileFailsWithFileNotFound) {
    EXPECT_EQ(OpenForRead(L"/tmp/vantrel_no_such_file_here.asc"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(platform::LastErrorCause(), "no such file");
}

TEST(FileTest, DirectoryIsRefused) {
    EXPECT_EQ(OpenForRead(L"/tmp"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
}

TEST(FileTest, OverlappedOpenFailsLoudly) {
    TempFile file(Sample());
    EXPECT_EQ(CreateFileW(file.Wide().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_CALL_NOT_IMPLEMENTED));
}

TEST(FileTest, WriteThroughReadOnlyHandleIsDenied) {
    TempFile file(Sample());
    HANDLE h = OpenForRead(file.Wide());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    DWORD written = 99;
    EXPECT_FALSE(WriteFile(h, "x", 1, &written, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(written, 0u);
    CloseHandle(h);
}

TEST(FileTest, CreateAlwaysWritesAndTruncates) {
    TempFile file(Sample());
    HANDLE h = CreateFileW(file.Wide().c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileSize(h, nullptr), 0u);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(h, "abc", 3, &written, nullptr));
    EXPECT_EQ(written, 3u);
    EXPECT_EQ(GetFileSize(h, nullptr), 3u);
    CloseHandle(h);
}

TEST(FileTest, RefusedCreateAlwaysLeavesTheHeldFileIntact) {
    const std::vector<BYTE> content = Sample();
    TempFile file(content);
    HANDLE holder = OpenForRead(file.Wide());
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    EXPECT_EQ(CreateFileW(file.Wide().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetFileSize(holder, nullptr), content.size());
    CloseHandle(holder);
}

TEST(FileTest, CreateNewRefusesAnExistingFile) {
    TempFile file(Sample());
    EXPECT_EQ(CreateFileW(file.Wide().c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));
}

TEST(FileTest, SetFilePointerMovesFromEachOrigin) {
    TempFile file(Sample());
    HANDLE h = OpenForRead(file.Wide());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(SetFilePointer(h, 10, nullptr, FILE_BEGIN), 10u);
    EXPECT_EQ(SetFilePointer(h, 5, nullptr, FILE_CURRENT), 15u);
    EXPECT_EQ(SetFilePointer(h, -3, nullptr, FILE_CURRENT), 12u);
    EXPECT_EQ(SetFilePointer(h, -100, nullptr, FILE_END), 900u);
    BYTE b = 0;
    DWORD read = 0;
    ASSERT_TRUE(ReadFile(h, &b, 1, &read, nullptr));
    EXPECT_EQ(b, Sample()[900]);
    LONG high = 0;
    EXPECT_EQ(SetFilePointer(h, 0, &high, FILE_BEGIN), 0u);
    EXPECT_EQ(high, 0);
    CloseHandle(h);
}

TEST(FileTest, SeekBeforeTheStartFailsAndKeepsThePosition) {
    TempFile file(Sample());
    HANDLE h = OpenForRead(file.Wide());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_EQ(SetFilePointer(h, 20, nullptr, FILE_BEGIN), 20u);
    EXPECT_EQ(SetFilePointer(h, -21, nullptr, FILE_CURRENT), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 20u);
    CloseHandle(h);
}

TEST(FileTest, ReadOnAClosedHandleFailsAndReportsNothingRead) {
    TempFile file(Sample());
    HANDLE h = OpenForRead(file.Wide());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    ASSERT_TRUE(CloseHandle(h));
    BYTE buffer[4];
    DWORD read = 1234;
    EXPECT_FALSE(ReadFile(h, buffer, sizeof buffer, &read, nullptr));
    EXPECT_EQ(read, 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    EXPECT_EQ(GetFileSize(h, nullptr), INVALID_FILE_SIZE);
}

TEST(FileTest, HandlesAreNeverNullInvalidOrReused) {
    TempFile file(Sample());
    std::vector<HANDLE> seen;
    for (int i = 0; i < 20; ++i) {
        HANDLE h = OpenForRead(file.Wide());
        ASSERT_NE(h, INVALID_HANDLE_VALUE);
        ASSERT_NE(h, nullptr);
        for (HANDLE old : seen)
            EXPECT_NE(h, old);
        seen.push_back(h);
        CloseHandle(h);
    }
}

TEST(FileTest, NonAsciiPathIsOpenedAsUtf8) {
    const std::string path = "/tmp/vantrel_升级_k32.asc";
    { std::ofstream(path) << "x"; }
    HANDLE h = OpenForRead(L"/tmp/vantrel_升级_k32.asc");
    EXPECT_NE(h, INVALID_HANDLE_VALUE) << platform::LastErrorCause();
    if (h != INVALID_HANDLE_VALUE) {
        EXPECT_EQ(GetFileSize(h, nullptr), 1u);
    }
    CloseHandle(h);
    ::unlink(path.c_str());
}

// ---------------------------------------------------------------- GetFileInformationByHandle
struct Identity {
    DWORD volume;
    ULONGLONG index, size, written;
};

Identity IdentityOf(HANDLE h) {
    BY_HANDLE_FILE_INFORMATION info{};
    EXPECT_TRUE(GetFileInformationByHandle(h, &info));
    return Identity{
        info.dwVolumeSerialNumber, (static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) | info.nFileIndexLow,
        (static_cast<ULONGLONG>(info.nFileSizeHigh) << 32) | info.nFileSizeLow,
        (static_cast<ULONGLONG>(info.ftLastWriteTime.dwHighDateTime) << 32) | info.ftLastWriteTime.dwLowDateTime};
}

TEST(FileInformationTest, TwoOpensOfOneFileReportTheSameFile) {
    TempFile file(Sample());
    HANDLE a = OpenForRead(file.Wide(), FILE_SHARE_READ);
    HANDLE b = OpenForRead(file.Wide(), FILE_SHARE_READ);
    ASSERT_NE(a, INVALID_HANDLE_VALUE);
    ASSERT_NE(b, INVALID_HANDLE_VALUE);
    const Identity ia = IdentityOf(a), ib = IdentityOf(b);
    EXPECT_EQ(ia.volume, ib.volume);
    EXPECT_EQ(ia.index, ib.index);
    EXPECT_EQ(ia.size, 1000u);
    EXPECT_EQ(ia.written, ib.written);
    CloseHandle(a);
    CloseHandle(b);
}

TEST(FileInformationTest, WriteTimeIsInFileTimeUnitsSince1601) {
    TempFile file(Sample());
    struct timespec times[2] = {{0, UTIME_OMIT}, {1700000000, 123456700}};
    ASSERT_EQ(::utimensat(AT_FDCWD, file.Path().c_str(), times, 0), 0);
    HANDLE h = OpenForRead(file.Wide());
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    // 1970-01-01 is 11644473600 s after 1601-01-01; one unit is 100 ns.
    EXPECT_EQ(IdentityOf(h).written, (1700000000ULL + 11644473600ULL) * 10000000ULL + 1234567ULL);
    CloseHandle(h);
}

TEST(FileInformationTest, AReplacedFileIsAnotherFile) {
    TempFile file(Sample());
    HANDLE before = OpenForRead(file.Wide(), FILE_SHARE_READ);
    ASSERT_NE(before, INVALID_HANDLE_VALUE);
    TempFile other(Sample());
    ASSERT_EQ(::rename(other.Path().c_str(), file.Path().c_str()), 0);
    HANDLE after = OpenForRead(file.Wide(), FILE_SHARE_READ);
    ASSERT_NE(after, INVALID_HANDLE_VALUE);
    EXPECT_NE(IdentityOf(before).index, IdentityOf(after).index);
    CloseHandle(before);
    CloseHandle(after);
}

TEST(FileInformationTest, FailsOnAnythingButAnOpenFile) {
    BY_HANDLE_FILE_INFORMATION info{};
    EXPECT_FALSE(GetFileInformationByHandle(reinterpret_cast<HANDLE>(0x7777770), &info));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

}  // namespace
