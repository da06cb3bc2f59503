// Sleep, GetTickCount, GetCurrentThreadId, GetModuleHandleW and
// GetModuleFileNameW. The process has one module, the executable; its
// handle is the classic image base, a value that is never null and that no
// other handle kind uses.
#include <pthread.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <string>
#include <thread>

#include "platform/posix/kernel32/error.h"
#include "tools/text/utf8.h"

namespace {

const HMODULE kMainModule = reinterpret_cast<HMODULE>(static_cast<uintptr_t>(0x00400000));

std::string ExecutablePath() {
    std::string path(256, '\0');
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
        if (n < 0)
            return {};
        if (static_cast<size_t>(n) < path.size()) {
            path.resize(static_cast<size_t>(n));
            return path;
        }
        path.resize(path.size() * 2);
    }
}

// "name", "name.exe" and the full path all name the main module.
bool NamesMainModule(std::wstring_view name) {
    const std::wstring path = text::Utf8ToWide(ExecutablePath());
    const std::wstring base = path.substr(path.find_last_of(L'/') + 1);
    if (name == path || name == base)
        return true;
    return name.size() > 4 && name.substr(name.size() - 4) == L".exe" && name.substr(0, name.size() - 4) == base;
}

}  // namespace

void WINAPI Sleep(DWORD dwMilliseconds) {
    if (dwMilliseconds == INFINITE) {
        for (;;)
            std::this_thread::sleep_for(std::chrono::hours(24));
    }
    if (dwMilliseconds == 0) {
        std::this_thread::yield();  // Sleep(0) gives up the rest of the time slice
        return;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(dwMilliseconds));
}

DWORD WINAPI GetTickCount(void) {
    // Milliseconds of a clock that never jumps, wrapping at 2^32 as on Windows.
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    const auto ms = static_cast<ULONGLONG>(now.tv_sec) * 1000u + static_cast<ULONGLONG>(now.tv_nsec) / 1000000u;
    return static_cast<DWORD>(ms);
}

namespace {

// The window system asks for the calling thread's id on every message, and
// gettid is a system call (a microsecond on a virtual machine): each thread
// asks the kernel once. A child made by fork() starts with a copy of the
// forking thread's value, but it is a new thread: it asks anew.
thread_local pid_t t_threadId = 0;

void ForgetThreadIdInChild() { t_threadId = 0; }

[[maybe_unused]] const int g_forkHandler = ::pthread_atfork(nullptr, nullptr, ForgetThreadIdInChild);

}  // namespace

DWORD WINAPI GetCurrentThreadId(void) {
    if (t_threadId == 0)
        t_threadId = static_cast<pid_t>(::syscall(SYS_gettid));
    return static_cast<DWORD>(t_threadId);
}

HMODULE WINAPI GetModuleHandleW(LPCWSTR lpModuleName) {
    if (lpModuleName == nullptr || NamesMainModule(lpModuleName))
        return kMainModule;
    SetLastError(ERROR_MOD_NOT_FOUND);
    return nullptr;
}

DWORD WINAPI GetModuleFileNameW(HMODULE hModule, LPWSTR lpFilename, DWORD nSize) {
    if (hModule != nullptr && hModule != kMainModule) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return 0;
    }
    const std::string utf8 = ExecutablePath();
    if (utf8.empty()) {
        platform::SetLastErrorFromErrno(errno, platform::ErrorObject::File);
        return 0;
    }
    if (lpFilename == nullptr || nSize == 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    const std::wstring path = text::Utf8ToWide(utf8);
    // Too small a buffer: as Windows since Vista, the name is cut and
    // terminated, the size is returned and the last error says why.
    if (path.size() >= nSize) {
        path.copy(lpFilename, nSize - 1);
        lpFilename[nSize - 1] = L'\0';
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return nSize;
    }
    path.copy(lpFilename, path.size());
    lpFilename[path.size()] = L'\0';
    SetLastError(ERROR_SUCCESS);
    return static_cast<DWORD>(path.size());
}
