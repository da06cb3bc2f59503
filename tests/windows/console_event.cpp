// console-event: a test's stand-in for the console and the session. It
// delivers a console control event to a running program by the route the
// system itself takes: a new thread in that process at kernel32's
// CtrlRoutine, with the event as its argument. GenerateConsoleCtrlEvent
// cannot serve: it sends only Ctrl+C and Ctrl+Break, and only within the
// caller's console; a close, logoff or shutdown comes from the console and
// the session alone.
//
//   console-event PROGRAM.exe c|break|close|logoff|shutdown
//
// The program is found by its image name among this session's processes
// and must be the only one of that name. Exit 0 once the event's thread has
// started, 1 with the cause on stderr.
#include <windows.h>
#include <tlhelp32.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

int Fail(const char* what) {
    std::fprintf(stderr, "console-event: %s (error %lu)\n", what, GetLastError());
    return 1;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: console-event PROGRAM.exe c|break|close|logoff|shutdown\n");
        return 2;
    }
    const std::wstring which = argv[2];
    DWORD event;
    if (which == L"c")
        event = CTRL_C_EVENT;
    else if (which == L"break")
        event = CTRL_BREAK_EVENT;
    else if (which == L"close")
        event = CTRL_CLOSE_EVENT;
    else if (which == L"logoff")
        event = CTRL_LOGOFF_EVENT;
    else if (which == L"shutdown")
        event = CTRL_SHUTDOWN_EVENT;
    else
        return Fail("unknown event");

    HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    if (snapshot == INVALID_HANDLE_VALUE)
        return Fail("listing the processes");
    PROCESSENTRY32W entry{};
    entry.dwSize = sizeof(entry);
    DWORD pid = 0;
    int found = 0;
    for (BOOL more = Process32FirstW(snapshot, &entry); more; more = Process32NextW(snapshot, &entry)) {
        if (_wcsicmp(entry.szExeFile, argv[1]) == 0) {
            pid = entry.th32ProcessID;
            ++found;
        }
    }
    CloseHandle(snapshot);
    if (found != 1) {
        std::fprintf(stderr, "console-event: %d processes named %ls, expected 1\n", found, argv[1]);
        return 1;
    }

    // The system's libraries sit at the same address in every process of a
    // session (of one bitness), so this process's CtrlRoutine is the target's.
    FARPROC routine = nullptr;
    for (const wchar_t* library : {L"kernel32.dll", L"kernelbase.dll"}) {
        if (HMODULE module = GetModuleHandleW(library); module != nullptr && routine == nullptr)
            routine = GetProcAddress(module, "CtrlRoutine");
    }
    if (routine == nullptr)
        return Fail("finding CtrlRoutine");

    HANDLE process = OpenProcess(
        PROCESS_CREATE_THREAD | PROCESS_QUERY_INFORMATION | PROCESS_VM_OPERATION | PROCESS_VM_WRITE | PROCESS_VM_READ,
        FALSE, pid);
    if (process == nullptr)
        return Fail("opening the process");
    // CtrlRoutine has a thread procedure's type; GetProcAddress gives every
    // export as FARPROC.
    HANDLE thread = CreateRemoteThread(process, nullptr, 0,
                                       reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void*>(routine)),
                                       reinterpret_cast<LPVOID>(static_cast<DWORD_PTR>(event)), 0, nullptr);
    if (thread == nullptr) {
        const int code = Fail("starting the event's thread in the process");
        CloseHandle(process);
        return code;
    }
    CloseHandle(thread);
    CloseHandle(process);
    return 0;
}
