// CreateFileW, ReadFile, WriteFile, GetFileSize, GetFileInformationByHandle
// and SetFilePointer.
//
// Regular files are opened here; "\\.\NAME" names go to comm.cpp. Share
// mode 0 must keep every other open of the same file out, in this process
// and in others, as Windows does; a non-blocking flock on the open file
// description gives exactly that (a second open in the same process gets its
// own description and so conflicts too). Any share mode other than 0 takes a
// shared lock: it coexists with other sharing opens and keeps an exclusive
// one out. This is coarser than Windows' per-access sharing rules, which the
// tool never relies on.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <utility>

#include "platform/posix/kernel32/comm.h"
#include "platform/posix/kernel32/error.h"
#include "platform/posix/kernel32/file_steps.h"
#include "platform/posix/kernel32/handle.h"
#include "platform/posix/kernel32/unique_fd.h"
#include "tools/text/utf8.h"

namespace platform {
namespace {

FileStepObserver& StepObserver() {
    static FileStepObserver observer;
    return observer;
}

void Tell(FileStep step, const std::string& path) {
    if (const FileStepObserver& observer = StepObserver())
        observer(step, path);
}

class FileObject final : public KernelObject {
public:
    FileObject(int fd, DWORD access, std::string path) : fd_(fd), access_(access), path_(std::move(path)) {}

    HandleKind Kind() const override { return HandleKind::File; }
    int Fd() const { return fd_.Get(); }
    void Release() override { Tell(FileStep::Closing, path_); }

    BOOL Read(BYTE* buffer, DWORD count, DWORD& done) override {
        if ((access_ & GENERIC_READ) == 0)
            return Fail(ERROR_ACCESS_DENIED);
        Tell(FileStep::Reading, path_);
        // A regular file may return less than asked before its end; Windows
        // fills the request unless the end comes first.
        while (done < count) {
            const ssize_t n = ::read(fd_.Get(), buffer + done, count - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return FailErrno(errno);
            if (n == 0)
                break;
            done += static_cast<DWORD>(n);
        }
        return TRUE;
    }

    BOOL Write(const BYTE* buffer, DWORD count, DWORD& done) override {
        if ((access_ & GENERIC_WRITE) == 0)
            return Fail(ERROR_ACCESS_DENIED);
        while (done < count) {
            const ssize_t n = ::write(fd_.Get(), buffer + done, count - done);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                return FailErrno(errno);
            done += static_cast<DWORD>(n);
        }
        return TRUE;
    }

    static BOOL Fail(DWORD error) {
        SetLastError(error);
        return FALSE;
    }
    static BOOL FailErrno(int err) {
        SetLastErrorFromErrno(err, ErrorObject::File);
        return FALSE;
    }

private:
    UniqueFd fd_;
    const DWORD access_;
    const std::string path_;
};

// Windows refuses overlapped handles' synchronous use in ways the tool never
// needs; rather than half-emulate it, the flag is refused.
void ReportOverlappedOnce() {
    static std::once_flag once;
    std::call_once(once, [] { std::fprintf(stderr, "CreateFileW: FILE_FLAG_OVERLAPPED is not implemented\n"); });
}

HANDLE OpenRegularFile(const std::string& path, DWORD access, DWORD share_mode, DWORD disposition) {
    int flags = O_CLOEXEC | O_NOCTTY;
    if ((access & GENERIC_READ) && (access & GENERIC_WRITE))
        flags |= O_RDWR;
    else if (access & GENERIC_WRITE)
        flags |= O_WRONLY;
    else
        flags |= O_RDONLY;
    bool truncate = false;
    switch (disposition) {
        case OPEN_EXISTING:
            break;
        case OPEN_ALWAYS:
            flags |= O_CREAT;
            break;
        case CREATE_NEW:
            flags |= O_CREAT | O_EXCL;
            break;
        // Truncated only once the lock is held, so that a refused open never
        // empties a file another program holds.
        case CREATE_ALWAYS:
            flags |= O_CREAT, truncate = true;
            break;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_HANDLE_VALUE;
    }
    UniqueFd fd(::open(path.c_str(), flags, 0666));
    if (fd.Get() < 0) {
        const int err = errno;
        if (err == EEXIST)
            SetLastErrorWithCause(ERROR_FILE_EXISTS, "the file exists");
        else
            SetLastErrorFromErrno(err, ErrorObject::File);
        return INVALID_HANDLE_VALUE;
    }
    struct stat info {};
    if (::fstat(fd.Get(), &info) != 0) {
        SetLastErrorFromErrno(errno, ErrorObject::File);
        return INVALID_HANDLE_VALUE;
    }
    // Windows opens a directory only with FILE_FLAG_BACKUP_SEMANTICS.
    if (S_ISDIR(info.st_mode)) {
        SetLastErrorFromErrno(EISDIR, ErrorObject::File);
        return INVALID_HANDLE_VALUE;
    }
    const int lock = share_mode == 0 ? LOCK_EX : LOCK_SH;
    if (::flock(fd.Get(), lock | LOCK_NB) != 0) {
        SetLastErrorFromErrno(errno, ErrorObject::File);
        return INVALID_HANDLE_VALUE;
    }
    if (truncate && ::ftruncate(fd.Get(), 0) != 0) {
        SetLastErrorFromErrno(errno, ErrorObject::File);
        return INVALID_HANDLE_VALUE;
    }
    HANDLE handle = InsertHandle(std::make_shared<FileObject>(fd.Release(), access, path));
    if (handle == nullptr)
        return INVALID_HANDLE_VALUE;
    Tell(FileStep::Opened, path);
    SetLastError(ERROR_SUCCESS);
    return handle;
}

std::shared_ptr<FileObject> File(HANDLE handle) { return LookupHandleAs<FileObject>(handle, HandleKind::File); }

// Windows counts file times in 100 ns steps since 1601-01-01.
FILETIME ToFileTime(const timespec& t) {
    constexpr ULONGLONG kSecondsFrom1601To1970 = 11644473600ULL;
    const ULONGLONG ticks = (static_cast<ULONGLONG>(t.tv_sec) + kSecondsFrom1601To1970) * 10000000ULL +
                            static_cast<ULONGLONG>(t.tv_nsec) / 100;
    return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

}  // namespace

void SetFileStepObserver(FileStepObserver observer) { StepObserver() = std::move(observer); }

}  // namespace platform

HANDLE WINAPI CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    (void)lpSecurityAttributes;  // no inheritance across exec: descriptors are O_CLOEXEC either way
    if (lpFileName == nullptr || hTemplateFile != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (dwFlagsAndAttributes & FILE_FLAG_OVERLAPPED) {
        platform::ReportOverlappedOnce();
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return INVALID_HANDLE_VALUE;
    }
    const std::wstring_view name(lpFileName);
    if (platform::IsDeviceName(name))
        return platform::OpenCommHandle(name, dwDesiredAccess, dwShareMode);
    if (name.empty()) {
        platform::SetLastErrorWithCause(ERROR_PATH_NOT_FOUND, "empty path");
        return INVALID_HANDLE_VALUE;
    }
    return platform::OpenRegularFile(text::WideToUtf8(name), dwDesiredAccess, dwShareMode, dwCreationDisposition);
}

BOOL WINAPI ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
    // Windows zeroes the count before anything else, so a failed read reads as 0 bytes.
    if (lpNumberOfBytesRead != nullptr)
        *lpNumberOfBytesRead = 0;
    auto object = platform::LookupHandle(hFile);
    if (!object)
        return FALSE;
    if (lpOverlapped != nullptr) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    if (lpBuffer == nullptr && nNumberOfBytesToRead != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD done = 0;
    const BOOL ok = object->Read(static_cast<BYTE*>(lpBuffer), nNumberOfBytesToRead, done);
    if (lpNumberOfBytesRead != nullptr)
        *lpNumberOfBytesRead = done;
    return ok;
}

BOOL WINAPI WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesWritten != nullptr)
        *lpNumberOfBytesWritten = 0;
    auto object = platform::LookupHandle(hFile);
    if (!object)
        return FALSE;
    if (lpOverlapped != nullptr) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    if (lpBuffer == nullptr && nNumberOfBytesToWrite != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    DWORD done = 0;
    const BOOL ok = object->Write(static_cast<const BYTE*>(lpBuffer), nNumberOfBytesToWrite, done);
    if (lpNumberOfBytesWritten != nullptr)
        *lpNumberOfBytesWritten = done;
    return ok;
}

DWORD WINAPI GetFileSize(HANDLE hFile, LPDWORD lpFileSizeHigh) {
    auto file = platform::File(hFile);
    if (!file)
        return INVALID_FILE_SIZE;
    struct stat info {};
    if (::fstat(file->Fd(), &info) != 0) {
        platform::SetLastErrorFromErrno(errno, platform::ErrorObject::File);
        return INVALID_FILE_SIZE;
    }
    const auto size = static_cast<ULONGLONG>(info.st_size);
    if (lpFileSizeHigh != nullptr)
        *lpFileSizeHigh = static_cast<DWORD>(size >> 32);
    // A size whose low part is 0xFFFFFFFF is told from a failure by the last error.
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(size);
}

BOOL WINAPI GetFileInformationByHandle(HANDLE hFile, LPBY_HANDLE_FILE_INFORMATION lpFileInformation) {
    auto file = platform::File(hFile);
    if (!file)
        return FALSE;
    if (lpFileInformation == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    struct stat info {};
    if (::fstat(file->Fd(), &info) != 0) {
        platform::SetLastErrorFromErrno(errno, platform::ErrorObject::File);
        return FALSE;
    }
    const auto size = static_cast<ULONGLONG>(info.st_size);
    const auto device = static_cast<ULONGLONG>(info.st_dev);
    const auto inode = static_cast<ULONGLONG>(info.st_ino);
    BY_HANDLE_FILE_INFORMATION out{};
    out.dwFileAttributes = FILE_ATTRIBUTE_NORMAL;
    out.ftCreationTime = platform::ToFileTime(info.st_ctim);
    out.ftLastAccessTime = platform::ToFileTime(info.st_atim);
    out.ftLastWriteTime = platform::ToFileTime(info.st_mtim);
    out.dwVolumeSerialNumber = static_cast<DWORD>(device ^ (device >> 32));
    out.nFileSizeHigh = static_cast<DWORD>(size >> 32);
    out.nFileSizeLow = static_cast<DWORD>(size);
    out.nNumberOfLinks = static_cast<DWORD>(info.st_nlink);
    out.nFileIndexHigh = static_cast<DWORD>(inode >> 32);
    out.nFileIndexLow = static_cast<DWORD>(inode);
    *lpFileInformation = out;
    SetLastError(ERROR_SUCCESS);
    return TRUE;
}

DWORD WINAPI SetFilePointer(HANDLE hFile, LONG lDistanceToMove, PLONG lpDistanceToMoveHigh, DWORD dwMoveMethod) {
    auto file = platform::File(hFile);
    if (!file)
        return INVALID_SET_FILE_POINTER;
    int whence = SEEK_SET;
    switch (dwMoveMethod) {
        case FILE_BEGIN:
            whence = SEEK_SET;
            break;
        case FILE_CURRENT:
            whence = SEEK_CUR;
            break;
        case FILE_END:
            whence = SEEK_END;
            break;
        default:
            SetLastError(ERROR_INVALID_PARAMETER);
            return INVALID_SET_FILE_POINTER;
    }
    // Without the high part the distance is a signed 32-bit value; with it,
    // the two halves form one signed 64-bit distance.
    const LONGLONG distance =
        lpDistanceToMoveHigh == nullptr
            ? static_cast<LONGLONG>(lDistanceToMove)
            : static_cast<LONGLONG>((static_cast<ULONGLONG>(static_cast<DWORD>(*lpDistanceToMoveHigh)) << 32) |
                                    static_cast<DWORD>(lDistanceToMove));
    // Work out the target first: a seek before the start fails on Windows
    // (ERROR_NEGATIVE_SEEK) and must leave the position where it was.
    LONGLONG base = 0;
    if (whence == SEEK_CUR)
        base = ::lseek(file->Fd(), 0, SEEK_CUR);
    if (whence == SEEK_END) {
        struct stat info {};
        base = ::fstat(file->Fd(), &info) == 0 ? static_cast<LONGLONG>(info.st_size) : -1;
    }
    if (base < 0) {
        platform::SetLastErrorFromErrno(errno, platform::ErrorObject::File);
        return INVALID_SET_FILE_POINTER;
    }
    const LONGLONG target = base + distance;
    if (target < 0) {
        platform::SetLastErrorWithCause(ERROR_NEGATIVE_SEEK, "seek before the start of the file");
        return INVALID_SET_FILE_POINTER;
    }
    if (lpDistanceToMoveHigh == nullptr && target > 0xFFFFFFFELL) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_SET_FILE_POINTER;
    }
    if (::lseek(file->Fd(), static_cast<off_t>(target), SEEK_SET) < 0) {
        platform::SetLastErrorFromErrno(errno, platform::ErrorObject::File);
        return INVALID_SET_FILE_POINTER;
    }
    if (lpDistanceToMoveHigh != nullptr)
        *lpDistanceToMoveHigh = static_cast<LONG>(target >> 32);
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(target);
}
