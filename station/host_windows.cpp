// The station's operating-system part on Windows: each run's vantrel-cli
// made with CreateProcessW in a console process group of its own and in a
// job object that ends it with the station, its stdout and stderr read by a
// thread each; listed ports looked up in the DOS device namespace; the log
// and the journal as append-only handles that children do not inherit; the
// console's control events for stopping. Not here: anything portable (the
// scheduler, the log's lines, the screen).
//
// Stopping: a run's child shares the station's console but not its process
// group, and a new group starts with Ctrl+C disabled, so the Ctrl+C an
// operator types reaches the station alone. The station then sends each run
// a Ctrl+Break of its own (GenerateConsoleCtrlEvent to the child's group),
// which vantrel-cli takes as a confirmed "STOP?".
//
// Reading: a child that TerminateProcess does not end (stuck in a driver)
// keeps its pipes open, so a reader may block for ever. The readers share
// their state with the child object and are never joined: giving up on such
// a child, or destroying its object, never waits for them.
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <filesystem>
#include <memory>
#include <mutex>
#include <thread>
#include <utility>

#include "station/host.h"
#include "tools/text/utf8.h"

namespace station {
namespace {

std::wstring Wide(const std::string& text) { return text::Utf8ToWide(text); }
std::string Narrow(const std::wstring& text) { return text::WideToUtf8(text); }

// The system's words for an error code, with the code: "Access is denied
// (error 5)".
std::string Reason(DWORD error) {
    wchar_t* buffer = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, error, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    std::wstring text;
    if (length > 0 && buffer != nullptr)
        text.assign(buffer, length);
    if (buffer != nullptr)
        LocalFree(buffer);
    while (!text.empty() &&
           (text.back() == L'\n' || text.back() == L'\r' || text.back() == L' ' || text.back() == L'.'))
        text.pop_back();
    const std::string code = "error " + std::to_string(error);
    return text.empty() ? code : Narrow(text) + " (" + code + ")";
}

struct Handle {
    HANDLE h = nullptr;
    Handle() = default;
    explicit Handle(HANDLE handle) : h(handle) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { Close(); }
    void Close() {
        if (h != nullptr && h != INVALID_HANDLE_VALUE)
            CloseHandle(h);
        h = nullptr;
    }
    HANDLE Release() { return std::exchange(h, nullptr); }
    bool valid() const { return h != nullptr && h != INVALID_HANDLE_VALUE; }
};

// One argument quoted the way the C runtime's command-line parser reads it
// back: backslashes doubled only before a quote.
void AppendQuoted(std::wstring& line, const std::wstring& arg) {
    if (!line.empty())
        line += L' ';
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line += L'"';
    size_t slashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++slashes;
            continue;
        }
        line.append(c == L'"' ? slashes * 2 + 1 : slashes, L'\\');
        slashes = 0;
        line += c;
    }
    line.append(slashes * 2, L'\\');
    line += L'"';
}

// Set by every reader when it takes bytes or reaches the end of its pipe;
// what ChildHost::Wait waits on. Never closed: a reader left behind with a
// hung child may still set it while the process ends.
HANDLE WakeEvent() {
    static const HANDLE event = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    return event;
}

// The exit code Kill gives the child, and what it is reported as: the
// shell's code of a SIGKILL, so a killed run reads as it does on Linux.
constexpr UINT kKilledCode = 137;

// How long the pipes of an ended child may take to reach their end.
constexpr ULONGLONG kPipeEndWaitMs = 1000;

// A line longer than this without a newline is handed on as it is, so a
// child that never ends a line cannot grow the station's memory without end.
constexpr std::size_t kLongestLine = 1 << 20;

// What a child's two readers give the station, shared with them.
struct Streams {
    std::mutex mutex;
    std::deque<ChildLine> lines;
    int reading = 2;  // readers not yet at the end of their pipe
};

void ReadPipe(std::shared_ptr<Streams> streams, HANDLE pipe, bool error) {
    Handle owned(pipe);
    char buffer[4096];
    std::string partial;
    const auto add = [&](std::string line) {
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        streams->lines.push_back(ChildLine{error, std::move(line)});
    };
    DWORD n = 0;
    // Ends with the child (ERROR_BROKEN_PIPE) once no process holds the write end.
    while (ReadFile(owned.h, buffer, sizeof(buffer), &n, nullptr) && n > 0) {
        std::lock_guard<std::mutex> lock(streams->mutex);
        partial.append(buffer, n);
        size_t at = 0;
        for (size_t nl; (nl = partial.find('\n', at)) != std::string::npos; at = nl + 1)
            add(partial.substr(at, nl - at));
        partial.erase(0, at);
        if (partial.size() > kLongestLine)
            add(std::exchange(partial, {}));
        SetEvent(WakeEvent());
    }
    std::lock_guard<std::mutex> lock(streams->mutex);
    if (!partial.empty())
        add(std::move(partial));
    --streams->reading;
    SetEvent(WakeEvent());
}

class WindowsChildHost;

class WindowsChild : public RunChild {
public:
    WindowsChild(WindowsChildHost* host, HANDLE process, DWORD pid, HANDLE job, std::shared_ptr<Streams> streams);
    ~WindowsChild() override;

    std::optional<ChildLine> TakeLine() override {
        std::lock_guard<std::mutex> lock(streams_->mutex);
        if (streams_->lines.empty())
            return std::nullopt;
        ChildLine line = std::move(streams_->lines.front());
        streams_->lines.pop_front();
        return line;
    }

    std::optional<ChildEnd> End() override {
        if (abandoned_ || !exited())
            return std::nullopt;
        const ULONGLONG now = GetTickCount64();
        if (!exitSeen_)
            exitSeen_ = now;
        {
            // A process the child started may hold its pipes after it ended
            // (Wine's desktop process keeps the std handles of the program that
            // started it): past a short wait, what is still unread is not the run's.
            std::lock_guard<std::mutex> lock(streams_->mutex);
            if (!streams_->lines.empty())
                return std::nullopt;
            if (streams_->reading > 0 && now - *exitSeen_ < kPipeEndWaitMs)
                return std::nullopt;
        }
        DWORD code = 0;
        if (!GetExitCodeProcess(process_.h, &code))
            return EndOf(-1, 0);
        if (killed_ && code == kKilledCode)
            return EndOf(-1, 9);
        return EndOf(static_cast<int>(code), 0);
    }

    void Stop() override {
        // Its own group: this Ctrl+Break reaches this run alone. Without a
        // console (the station started detached) there is no group to reach;
        // the scheduler kills the run after its grace time.
        if (!abandoned_ && !exited())
            GenerateConsoleCtrlEvent(CTRL_BREAK_EVENT, pid_);
    }

    void Kill() override {
        if (abandoned_)
            return;
        killed_ = true;
        // The job holds the child (what it started has broken away).
        if (!TerminateJobObject(job_.h, kKilledCode))
            TerminateProcess(process_.h, kKilledCode);
    }

    void Abandon() override { abandoned_ = true; }

    // The handle Wait may wait on: a living child not given up.
    HANDLE waitable() const { return abandoned_ || exited() ? nullptr : process_.h; }

private:
    bool exited() const { return WaitForSingleObject(process_.h, 0) == WAIT_OBJECT_0; }

    WindowsChildHost* host_;
    Handle process_;
    DWORD pid_;
    Handle job_;
    std::shared_ptr<Streams> streams_;
    bool killed_ = false;
    bool abandoned_ = false;
    std::optional<ULONGLONG> exitSeen_;  // when End first found the process ended
};

// A pipe whose write end the child inherits and whose read end it does not.
bool MakePipe(Handle* read, Handle* write, std::string* error) {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    HANDLE r = nullptr, w = nullptr;
    if (!CreatePipe(&r, &w, &inherit, 0)) {
        *error = Reason(GetLastError());
        return false;
    }
    read->h = r;
    write->h = w;
    if (!SetHandleInformation(r, HANDLE_FLAG_INHERIT, 0)) {
        *error = Reason(GetLastError());
        return false;
    }
    return true;
}

class WindowsChildHost : public ChildHost {
public:
    std::unique_ptr<RunChild> Start(const std::vector<std::string>& argv, const std::string& cwd,
                                    std::string* error) override {
        const std::string running = "running " + argv[0] + ": ";
        std::string why;
        Handle outRead, outWrite, errRead, errWrite;
        if (!MakePipe(&outRead, &outWrite, &why) || !MakePipe(&errRead, &errWrite, &why)) {
            *error = running + "making a pipe: " + why;
            return nullptr;
        }
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        Handle null(
            CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr));
        // The job ends the child when its last handle closes, which the system
        // does when the station dies however it dies.
        Handle job(CreateJobObjectW(nullptr, nullptr));
        JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
        // Only the child itself: what it starts breaks away, so that a process
        // serving the whole session (Wine starts its desktop process from the
        // first program that makes a window) never ends with a run.
        limits.BasicLimitInformation.LimitFlags =
            JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE | JOB_OBJECT_LIMIT_SILENT_BREAKAWAY_OK;
        if (!job.valid() ||
            !SetInformationJobObject(job.h, JobObjectExtendedLimitInformation, &limits, sizeof(limits))) {
            *error = running + "making a job object: " + Reason(GetLastError());
            return nullptr;
        }
        std::wstring line;
        for (const auto& a : argv)
            AppendQuoted(line, Wide(a));
        STARTUPINFOW startup{};
        startup.cb = sizeof(startup);
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = null.h;
        startup.hStdOutput = outWrite.h;
        startup.hStdError = errWrite.h;
        PROCESS_INFORMATION info{};
        const std::wstring folder = Wide(cwd);
        // Suspended until it is in the job: a child that ran before would not be
        // stopped with the station if the station died in between.
        if (!CreateProcessW(Wide(argv[0]).c_str(), line.data(), nullptr, nullptr, TRUE,
                            CREATE_NEW_PROCESS_GROUP | CREATE_SUSPENDED, nullptr,
                            folder.empty() ? nullptr : folder.c_str(), &startup, &info)) {
            *error = running + Reason(GetLastError());
            return nullptr;
        }
        Handle process(info.hProcess), thread(info.hThread);
        if (!AssignProcessToJobObject(job.h, process.h)) {
            *error = running + "putting it in a job object: " + Reason(GetLastError());
            TerminateProcess(process.h, 1);
            return nullptr;
        }
        if (ResumeThread(thread.h) == static_cast<DWORD>(-1)) {
            *error = running + "starting its thread: " + Reason(GetLastError());
            TerminateJobObject(job.h, 1);
            return nullptr;
        }
        // Only the child holds the write ends now: its end is the pipes' end.
        outWrite.Close();
        errWrite.Close();
        auto streams = std::make_shared<Streams>();
        try {
            std::thread(ReadPipe, streams, outRead.h, false).detach();
            outRead.Release();
            std::thread(ReadPipe, streams, errRead.h, true).detach();
            errRead.Release();
        } catch (const std::system_error& e) {
            *error = running + "starting a reader: " + e.what();
            TerminateJobObject(job.h, 1);
            return nullptr;
        }
        return std::make_unique<WindowsChild>(this, process.Release(), info.dwProcessId, job.Release(),
                                              std::move(streams));
    }

    void Wait(std::chrono::milliseconds timeout) override {
        // The readers' event, and the children still running: an exit is seen
        // even when something else still holds its pipes.
        std::vector<HANDLE> handles{WakeEvent()};
        for (WindowsChild* c : children_) {
            if (HANDLE h = c->waitable(); h != nullptr && handles.size() < MAXIMUM_WAIT_OBJECTS)
                handles.push_back(h);
        }
        const auto ms = std::clamp<std::chrono::milliseconds::rep>(timeout.count(), 0, INFINITE - 1);
        WaitForMultipleObjects(static_cast<DWORD>(handles.size()), handles.data(), FALSE, static_cast<DWORD>(ms));
    }

    void Add(WindowsChild* child) { children_.push_back(child); }
    void Remove(WindowsChild* child) {
        children_.erase(std::remove(children_.begin(), children_.end(), child), children_.end());
    }

private:
    std::vector<WindowsChild*> children_;
};

WindowsChild::WindowsChild(WindowsChildHost* host, HANDLE process, DWORD pid, HANDLE job,
                           std::shared_ptr<Streams> streams)
    : host_(host), process_(process), pid_(pid), job_(job), streams_(std::move(streams)) {
    host_->Add(this);
}

WindowsChild::~WindowsChild() {
    host_->Remove(this);
    // Never waits: closing the job (last) ends a child still running, and
    // its readers end with its pipes or are left behind.
    if (!abandoned_ && !exited())
        Kill();
}

class WindowsAppendFile : public AppendFile {
public:
    WindowsAppendFile(HANDLE handle, std::string path, std::string what)
        : file_(handle), path_(std::move(path)), what_(std::move(what)) {}

    static HANDLE OpenPath(const std::string& path) {
        // FILE_APPEND_DATA without FILE_WRITE_DATA: every write goes to the end,
        // whoever else appends. Read access is only for the journal's reading
        // and the log's last byte; a log this user may only append to is still
        // written. Shared for delete, so the log can be rotated while open; not
        // inheritable, so no run's child holds it.
        SECURITY_ATTRIBUTES own{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
        const std::wstring name = Wide(path);
        const DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
        const DWORD access = FILE_APPEND_DATA | FILE_READ_ATTRIBUTES | SYNCHRONIZE;
        HANDLE h = CreateFileW(name.c_str(), access | FILE_READ_DATA, share, &own, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL,
                               nullptr);
        if (h == INVALID_HANDLE_VALUE && GetLastError() == ERROR_ACCESS_DENIED)
            h = CreateFileW(name.c_str(), access, share, &own, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        return h;
    }

    bool Follow(std::string* error) override {
        if (!PathMoved())
            return true;
        // Rotated, moved or removed: the next line belongs to the file the path
        // names now.
        HANDLE h = OpenPath(path_);
        if (h == INVALID_HANDLE_VALUE) {
            *error = "reopening the " + what_ + " " + path_ + ": " + Reason(GetLastError());
            return false;
        }
        file_.Close();
        file_.h = h;
        return true;
    }

    bool Write(const std::string& bytes, std::string* error) override {
        std::size_t done = 0;
        while (done < bytes.size()) {
            const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 20));
            DWORD wrote = 0;
            if (!WriteFile(file_.h, bytes.data() + done, chunk, &wrote, nullptr) || wrote == 0) {
                const DWORD why = GetLastError();
                *error = "writing the " + what_ + " " + path_ + ": " +
                         (wrote == 0 && why == ERROR_SUCCESS ? std::string("nothing was written") : Reason(why));
                if (done > 0)
                    *error += " (after a short write of " + std::to_string(done) + " of " +
                              std::to_string(bytes.size()) + " bytes)";
                return false;
            }
            done += wrote;
        }
        // A device (NUL, a console) has no buffers to flush and says so.
        if (!FlushFileBuffers(file_.h) && IsRegular()) {
            *error = "writing the " + what_ + " " + path_ + " through to the disk: " + Reason(GetLastError());
            return false;
        }
        return true;
    }

    bool EndsWithNewline() override {
        LARGE_INTEGER size{};
        if (!IsRegular() || !GetFileSizeEx(file_.h, &size) || size.QuadPart == 0)
            return true;
        char last = '\n';
        DWORD n = 0;
        if (!ReadAt(static_cast<std::uint64_t>(size.QuadPart) - 1, &last, 1, &n) || n != 1)
            return true;  // append-only: nothing to mend by reading
        return last == '\n';
    }

    bool ReadTail(std::size_t bytes, std::string* out, std::string* error) override {
        out->clear();
        LARGE_INTEGER size{};
        if (!GetFileSizeEx(file_.h, &size)) {
            *error = "reading the " + what_ + " " + path_ + ": " + Reason(GetLastError());
            return false;
        }
        const auto total = static_cast<std::uint64_t>(size.QuadPart);
        char buffer[4096];
        for (std::uint64_t at = total > bytes ? total - bytes : 0;;) {
            DWORD n = 0;
            if (!ReadAt(at, buffer, sizeof(buffer), &n)) {
                if (GetLastError() == ERROR_HANDLE_EOF)
                    return true;
                *error = "reading the " + what_ + " " + path_ + ": " + Reason(GetLastError());
                return false;
            }
            if (n == 0)
                return true;
            out->append(buffer, n);
            at += n;
        }
    }

    bool Truncate(std::string* error) override {
        // An append-only handle cannot move the end back: a second handle with
        // write access does, shared with this one.
        SECURITY_ATTRIBUTES own{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
        Handle writer(CreateFileW(Wide(path_).c_str(), GENERIC_WRITE,
                                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &own, OPEN_EXISTING,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
        LARGE_INTEGER zero{};
        if (!writer.valid() || !SetFilePointerEx(writer.h, zero, nullptr, FILE_BEGIN) || !SetEndOfFile(writer.h) ||
            !FlushFileBuffers(writer.h)) {
            *error = "emptying the " + what_ + " " + path_ + ": " + Reason(GetLastError());
            return false;
        }
        return true;
    }

    bool Lock() override {
        // One byte far past any content, as a token: a lock on the content
        // itself would refuse this station's own second handle (Truncate) and
        // its reads, since locks on Windows bind every handle but the locker's.
        OVERLAPPED at{};
        at.Offset = 0;
        at.OffsetHigh = 0x40000000;
        return LockFileEx(file_.h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &at) != FALSE;
    }

    bool IsRegular() override {
        BY_HANDLE_FILE_INFORMATION info{};
        return GetFileType(file_.h) == FILE_TYPE_DISK && GetFileInformationByHandle(file_.h, &info) &&
               (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
    }

private:
    bool ReadAt(std::uint64_t offset, char* buffer, DWORD size, DWORD* n) {
        // A synchronous handle reads at the given offset and leaves the
        // appending untouched.
        OVERLAPPED at{};
        at.Offset = static_cast<DWORD>(offset);
        at.OffsetHigh = static_cast<DWORD>(offset >> 32);
        return ReadFile(file_.h, buffer, size, n, &at) != FALSE;
    }

    // Whether the path names another file than the one open: the volume and
    // the file index differ, or nothing is there. One open and two queries
    // per log line, which is nothing beside a run.
    bool PathMoved() {
        BY_HANDLE_FILE_INFORMATION open{}, named{};
        if (!IsRegular() || !GetFileInformationByHandle(file_.h, &open))
            return false;
        Handle probe(CreateFileW(Wide(path_).c_str(), FILE_READ_ATTRIBUTES,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                 FILE_FLAG_BACKUP_SEMANTICS, nullptr));
        if (!probe.valid()) {
            const DWORD why = GetLastError();
            return why == ERROR_FILE_NOT_FOUND || why == ERROR_PATH_NOT_FOUND;
        }
        if (!GetFileInformationByHandle(probe.h, &named))
            return false;
        return open.dwVolumeSerialNumber != named.dwVolumeSerialNumber || open.nFileIndexHigh != named.nFileIndexHigh ||
               open.nFileIndexLow != named.nFileIndexLow;
    }

    Handle file_;
    std::string path_;
    std::string what_;
};

// ---------------------------------------------------------------- console events

StopSignals* g_signals = nullptr;

// Set by StationFinished; what a close, logoff or shutdown handler waits for.
HANDLE FinishedEvent() {
    static const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    return event;
}

// Windows ends the process about 5 s after a close, logoff or shutdown
// event reached it, and at once when its handler returns: the handler
// returns a little before that time, or once the station is done.
constexpr DWORD kCloseWindowMs = 4500;

BOOL WINAPI OnConsoleEvent(DWORD event) {
    switch (event) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            if (g_signals != nullptr)
                g_signals->stops.fetch_add(1);
            return TRUE;
        case CTRL_CLOSE_EVENT:
        case CTRL_LOGOFF_EVENT:
        case CTRL_SHUTDOWN_EVENT: {
            if (g_signals != nullptr)
                g_signals->stops.fetch_add(1);
            const ULONGLONG deadline = GetTickCount64() + kCloseWindowMs;
            if (WaitForSingleObject(FinishedEvent(), kCloseWindowMs) == WAIT_OBJECT_0) {
                // Done: the station's own exit (and its exit code) comes first;
                // this returns only if that exit has not happened by the deadline.
                const ULONGLONG now = GetTickCount64();
                if (now < deadline)
                    Sleep(static_cast<DWORD>(deadline - now));
            }
            return TRUE;
        }
        default:
            return FALSE;
    }
}

}  // namespace

ChildHost& ChildHost::Get() {
    static WindowsChildHost host;
    return host;
}

std::optional<bool> ListedPortPresent(const std::string& port) {
    std::wstring name = Wide(port);
    if (name.rfind(L"\\\\.\\", 0) == 0)
        name.erase(0, 4);
    wchar_t target[512];
    if (QueryDosDeviceW(name.c_str(), target, 512) != 0 || GetLastError() == ERROR_INSUFFICIENT_BUFFER)
        return true;
    // Wine names a COM port in its device namespace only when it finds it at
    // start; a port linked later (dosdevices/comN) is still reachable by its
    // path, so it is asked for without any access (no read, no write). On
    // Windows the namespace answer is complete and this is not reached for a
    // present port. A port in use by a run answers "access denied": present.
    HANDLE h = CreateFileW((L"\\\\.\\" + name).c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                           0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return true;
    }
    switch (GetLastError()) {
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return true;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
        case ERROR_BAD_PATHNAME:
            return false;
        default:
            return std::nullopt;  // the question itself failed: no answer either way
    }
}

bool PortReady(const std::string&) { return true; }

std::string ExecutableDir() {
    wchar_t path[MAX_PATH * 4];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH * 4);
    if (n == 0 || n >= MAX_PATH * 4)
        return {};
    return Narrow(std::filesystem::path(path).parent_path().wstring());
}

std::string CliFileName() { return "vantrel-cli.exe"; }

std::string AbsolutePath(const std::string& path) {
    if (path.empty())
        return path;
    const std::wstring name = Wide(path);
    const DWORD n = GetFullPathNameW(name.c_str(), 0, nullptr, nullptr);
    if (n == 0)
        return path;
    std::wstring full(n, L'\0');
    const DWORD m = GetFullPathNameW(name.c_str(), n, full.data(), nullptr);
    if (m == 0 || m >= n)
        return path;
    full.resize(m);
    return Narrow(full);
}

std::string CheckRunnable(const std::string& path) {
    const std::wstring name = Wide(path);
    const DWORD attributes = GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES)
        return path + ": " + Reason(GetLastError());
    if (attributes & FILE_ATTRIBUTE_DIRECTORY)
        return path + ": not a file";
    DWORD type = 0;
    if (!GetBinaryTypeW(name.c_str(), &type))
        return path + ": not a program Windows can run";
    return {};
}

std::string MakePrivateFolder(std::string* error) {
    // The user's temporary folder is the user's own; the new folder inherits
    // its access list.
    wchar_t temp[MAX_PATH + 1];
    if (GetTempPathW(MAX_PATH + 1, temp) == 0) {
        *error = "finding the temporary folder: " + Reason(GetLastError());
        return {};
    }
    for (unsigned attempt = 0; attempt < 100; ++attempt) {
        const std::wstring folder = std::wstring(temp) + L"vantrel-station." + std::to_wstring(GetCurrentProcessId()) +
                                    L"." + std::to_wstring(GetTickCount64() + attempt);
        if (CreateDirectoryW(folder.c_str(), nullptr))
            return Narrow(folder);
        if (GetLastError() != ERROR_ALREADY_EXISTS) {
            *error = "making a private folder in " + Narrow(temp) + ": " + Reason(GetLastError());
            return {};
        }
    }
    *error = "making a private folder: every name taken";
    return {};
}

void RemoveFolder(const std::string& path) {
    std::error_code ignored;  // what cannot be removed stays in the temporary folder
    std::filesystem::remove_all(std::filesystem::path(Wide(path)), ignored);
}

std::unique_ptr<AppendFile> AppendFile::Open(const std::string& path, const std::string& what, std::string* error) {
    HANDLE h = WindowsAppendFile::OpenPath(path);
    if (h == INVALID_HANDLE_VALUE) {
        *error = "opening the " + what + " " + path + ": " + Reason(GetLastError());
        return nullptr;
    }
    return std::make_unique<WindowsAppendFile>(h, path, what);
}

std::string HostName() {
    wchar_t name[256];
    DWORD n = 256;
    if (!GetComputerNameExW(ComputerNameDnsHostname, name, &n) || n == 0)
        return "unknown";
    return Narrow(std::wstring(name, n));
}

bool StdoutIsTerminal() {
    DWORD mode = 0;
    return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != FALSE;
}

void EnableTerminalSequences() {
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (GetConsoleMode(out, &mode))
        SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
    SetConsoleOutputCP(CP_UTF8);
}

bool WriteStdout(const std::string& bytes) {
    // A console takes the bytes in its output code page (UTF-8, set above)
    // through WriteFile as a pipe or a file does. A console in selection mode
    // holds the write, which only the output thread feels.
    const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    if (out == nullptr || out == INVALID_HANDLE_VALUE)
        return false;
    std::size_t done = 0;
    while (done < bytes.size()) {
        const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1 << 16));
        DWORD wrote = 0;
        // ERROR_BROKEN_PIPE, ERROR_NO_DATA: the reader went away; the console's
        // handle fails once the console is gone.
        if (!WriteFile(out, bytes.data() + done, chunk, &wrote, nullptr) || wrote == 0)
            return false;
        done += wrote;
    }
    return true;
}

// The receive path's watcher still spins a processor per run here.
// The receive watcher waits for bytes instead of spinning: a run waits on its
// terminal, not on a processor.
unsigned DefaultJobs() { return 0; }

double ProcessCpuSeconds() {
    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user))
        return 0;
    const auto seconds = [](const FILETIME& t) {
        return (static_cast<double>(t.dwHighDateTime) * 4294967296.0 + t.dwLowDateTime) / 1e7;
    };
    return seconds(kernel) + seconds(user);
}

void CatchSignals(StopSignals* signals) {
    g_signals = signals;
    FinishedEvent();  // made now, not inside a handler
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}

void StationFinished() { SetEvent(FinishedEvent()); }

}  // namespace station
