// The command-line runner's host on Windows: the tool's real dialog on the
// real window system, kept hidden, with the runner watching it from outside.
//
// - Controls are watched by subclassing them (GWLP_WNDPROC): the observer
//   runs after the control has handled WM_SETTEXT, PBM_SETPOS or
//   PBM_SETRANGE32, so it reads the new state.
// - Message boxes and the trace are taken at the executable's import table
//   (import_hook.h): MessageBoxW is answered without a box being shown, and
//   OutputDebugStringW/A, which only a debugger could read, go to stderr.
//   A hook on the window system (WH_CBT) could close a box only after it was
//   made, and would have to read its text back out of a control whose id
//   differs between systems; the import table sees the call itself, with
//   its text and type.
#include <windows.h>
#include <commctrl.h>

#include <csignal>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <type_traits>

#include "cli/host.h"
#include "cli/import_hook.h"

namespace cli {
namespace {

// The dialog's progress bar is a common control: its window class exists
// only once comctl32 has registered it, which the window's InitInstance does
// and the runner, having no application start of its own, does here, before
// the dialog is made.
const bool g_commonControlsReady = [] {
    INITCOMMONCONTROLSEX controls{sizeof(INITCOMMONCONTROLSEX), ICC_WIN95_CLASSES};
    return InitCommonControlsEx(&controls) != FALSE;
}();

// ---------------------------------------------------------------- text

std::string Encode(UINT codePage, const wchar_t* text, int length) {
    if (length == 0)
        return {};
    const int bytes = WideCharToMultiByte(codePage, 0, text, length, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return {};
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(codePage, 0, text, length, out.data(), bytes, nullptr, nullptr);
    return out;
}

// Lines for a console go out in its code page, which a console shows
// correctly; anything else (a pipe, a file) gets UTF-8.
UINT OutputCodePage() {
    static const UINT codePage = [] {
        DWORD mode = 0;
        if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode)) {
            const UINT cp = GetConsoleOutputCP();
            if (cp != 0)
                return cp;
        }
        return static_cast<UINT>(CP_UTF8);
    }();
    return codePage;
}

// ---------------------------------------------------------------- controls

// Window thread only: subclassing, the observer and the control procedures
// all run on the thread that owns the dialog.
std::function<void(HWND, UINT)> g_observer;
std::map<HWND, WNDPROC> g_originalProcs;

LRESULT CALLBACK WatchedControlProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    const auto found = g_originalProcs.find(hwnd);
    if (found == g_originalProcs.end())
        return DefWindowProcW(hwnd, message, wParam, lParam);
    const WNDPROC original = found->second;
    if (message == WM_NCDESTROY) {
        SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(original));
        g_originalProcs.erase(found);
        return CallWindowProcW(original, hwnd, message, wParam, lParam);
    }
    const LRESULT result = CallWindowProcW(original, hwnd, message, wParam, lParam);
    if ((message == WM_SETTEXT || message == PBM_SETPOS || message == PBM_SETRANGE32) && g_observer) {
        // Copied: the observer may replace itself.
        const auto observer = g_observer;
        observer(hwnd, message);
    }
    return result;
}

BOOL CALLBACK SubclassChild(HWND child, LPARAM) {
    if (g_originalProcs.count(child) != 0)
        return TRUE;
    const LONG_PTR original = SetWindowLongPtrW(child, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&WatchedControlProc));
    if (original != 0)
        g_originalProcs[child] = reinterpret_cast<WNDPROC>(original);
    return TRUE;
}

BOOL CALLBACK WatchTopLevel(HWND window, LPARAM) {
    // The runner shows nothing: the dialog is made visible by its template.
    ShowWindow(window, SW_HIDE);
    EnumChildWindows(window, &SubclassChild, 0);
    return TRUE;
}

// ---------------------------------------------------------------- message boxes

using MessageBoxWFn = int(WINAPI*)(HWND, LPCWSTR, LPCWSTR, UINT);
MessageBoxWFn g_systemMessageBox = nullptr;
std::function<int(const std::wstring&, UINT)> g_answer;

int WINAPI AnsweredMessageBox(HWND owner, LPCWSTR text, LPCWSTR caption, UINT type) {
    if (g_answer)
        return g_answer(text ? text : L"", type);
    return g_systemMessageBox ? g_systemMessageBox(owner, text, caption, type) : 0;
}

// ---------------------------------------------------------------- trace

// Each text is one write, under a lock, so that lines of the three threads
// never mix inside a line. The bytes go out unchanged: the stream's text
// mode would turn each line's "\r\n" into "\r\r\n".
std::mutex g_traceLock;

void WriteTrace(const std::string& bytes) {
    if (bytes.empty())
        return;
    std::lock_guard<std::mutex> lock(g_traceLock);
    const HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
    size_t at = 0;
    while (at < bytes.size()) {
        DWORD wrote = 0;
        if (!WriteFile(err, bytes.data() + at, static_cast<DWORD>(bytes.size() - at), &wrote, nullptr) || wrote == 0)
            return;  // the trace is best effort: a closed stderr must not stop the run
        at += wrote;
    }
}

void WINAPI TraceWide(LPCWSTR text) {
    if (text == nullptr)
        return;
    WriteTrace(Encode(CP_UTF8, text, lstrlenW(text)));
}

// The tool's 8-bit trace lines are in code page 936, whatever the system's
// own 8-bit code page is.
void WINAPI TraceNarrow(LPCSTR text) {
    if (text == nullptr)
        return;
    const int length = lstrlenA(text);
    if (length == 0)
        return;
    const int chars = MultiByteToWideChar(936, 0, text, length, nullptr, 0);
    if (chars <= 0) {
        WriteTrace(std::string(text, static_cast<size_t>(length)));
        return;
    }
    std::wstring wide(static_cast<size_t>(chars), L'\0');
    MultiByteToWideChar(936, 0, text, length, wide.data(), chars);
    WriteTrace(Encode(CP_UTF8, wide.data(), chars));
}

// ---------------------------------------------------------------- callback types

// The system calls these through pointers of its own types, but they reach
// it through casts to LONG_PTR and void*, which take any function. Each must
// have the system's type exactly, calling convention included: in the 32-bit
// build a function without WINAPI or CALLBACK is cdecl, and a call through
// the system's stdcall pointer would leave the stack unbalanced.
static_assert(std::is_same_v<decltype(&WatchedControlProc), WNDPROC>);
static_assert(std::is_same_v<decltype(&AnsweredMessageBox), decltype(&MessageBoxW)>);
static_assert(std::is_same_v<decltype(&TraceWide), decltype(&OutputDebugStringW)>);
static_assert(std::is_same_v<decltype(&TraceNarrow), decltype(&OutputDebugStringA)>);

// Replaces an import once; a second replacement would take our own function
// for the system's.
bool ReplaceOnce(const char* dll, const char* function, void* replacement, void** system) {
    if (*system != nullptr)
        return true;
    *system = ReplaceImport(dll, function, replacement);
    if (*system == nullptr) {
        std::fprintf(stderr, "vantrel-cli: cannot take over %s from %s\n", function, dll);
        return false;
    }
    return true;
}

void* g_systemTraceWide = nullptr;
void* g_systemTraceNarrow = nullptr;

// Plain words to go with the system's text, for the codes a port open meets.
const char* Advice(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_NAME:
            return "no such port: check the port name, and that the terminal is plugged in";
        case ERROR_ACCESS_DENIED:
        case ERROR_SHARING_VIOLATION:
            return "the port is in use: close the other program that has it open";
        case ERROR_GEN_FAILURE:
        case ERROR_BAD_COMMAND:
        case ERROR_DEVICE_NOT_CONNECTED:
        case ERROR_BAD_UNIT:
            return "the device does not answer: unplug the terminal and plug it in again";
        case ERROR_INVALID_PARAMETER:
            return "the port refused its settings: check the line speed";
        default:
            return nullptr;
    }
}

}  // namespace

void WatchControls(std::function<void(HWND control, UINT message)> observer) {
    g_observer = std::move(observer);
    if (g_observer)
        EnumThreadWindows(GetCurrentThreadId(), &WatchTopLevel, 0);
}

void AnswerMessageBoxes(std::function<int(const std::wstring& text, UINT type)> answer) {
    g_answer = std::move(answer);
    void* system = reinterpret_cast<void*>(g_systemMessageBox);
    if (ReplaceOnce("user32.dll", "MessageBoxW", reinterpret_cast<void*>(&AnsweredMessageBox), &system))
        g_systemMessageBox = reinterpret_cast<MessageBoxWFn>(system);
}

void TraceToStderr() {
    ReplaceOnce("kernel32.dll", "OutputDebugStringW", reinterpret_cast<void*>(&TraceWide), &g_systemTraceWide);
    ReplaceOnce("kernel32.dll", "OutputDebugStringA", reinterpret_cast<void*>(&TraceNarrow), &g_systemTraceNarrow);
}

void ClickButton(HWND button) {
    // What a mouse click on the button ends in; a disabled button takes none.
    if (!IsWindowEnabled(button))
        return;
    SendMessageW(GetParent(button), WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(button), BN_CLICKED),
                 reinterpret_cast<LPARAM>(button));
}

bool RunFor(const std::function<bool()>& done, DWORD ms) {
    const ULONGLONG deadline = GetTickCount64() + ms;
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) {
                // Leave it for the outer loop, as a nested loop must.
                PostQuitMessage(static_cast<int>(msg.wParam));
                return done();
            }
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
            if (done())
                return true;
        }
        if (done())
            return true;
        const ULONGLONG now = GetTickCount64();
        if (now >= deadline)
            return false;
        // Wakes for posted and sent messages and for due timers.
        MsgWaitForMultipleObjectsEx(0, nullptr, static_cast<DWORD>(deadline - now), QS_ALLINPUT, MWMO_INPUTAVAILABLE);
    }
}

std::string PortErrorCause(DWORD error) {
    wchar_t* buffer = nullptr;
    const DWORD length =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, error, 0, reinterpret_cast<LPWSTR>(&buffer), 0, nullptr);
    std::wstring system;
    if (length > 0 && buffer != nullptr)
        system.assign(buffer, length);
    if (buffer != nullptr)
        LocalFree(buffer);
    while (!system.empty() &&
           (system.back() == L'\n' || system.back() == L'\r' || system.back() == L' ' || system.back() == L'.'))
        system.pop_back();
    std::string cause =
        system.empty() ? "error " + std::to_string(error) : Utf8(system) + " (error " + std::to_string(error) + ")";
    if (const char* advice = Advice(error))
        cause += std::string("; ") + advice;
    return cause;
}

std::string LastPortErrorCause() { return PortErrorCause(GetLastError()); }

std::string Utf8(const std::wstring& text) {
    return Encode(OutputCodePage(), text.data(), static_cast<int>(text.size()));
}

namespace {

void (*g_stopHandler)(int) = nullptr;

// A console close, a logoff or a shutdown ends the process as soon as its
// handlers return, and the C runtime has no signal for them: the run would
// be cut mid-flash. So the run is stopped as Ctrl+C stops it, and this
// handler waits (within the few seconds Windows allows) while the main
// thread closes the port and ends the process.
BOOL WINAPI OnConsoleEnd(DWORD event) {
    if (event != CTRL_CLOSE_EVENT && event != CTRL_LOGOFF_EVENT && event != CTRL_SHUTDOWN_EVENT)
        return FALSE;  // Ctrl+C and Ctrl+Break go on to the C runtime's signals
    if (g_stopHandler != nullptr)
        g_stopHandler(SIGINT);
    Sleep(4500);
    return TRUE;
}

}  // namespace

void CatchStopSignals(void (*handler)(int)) {
    std::signal(SIGINT, handler);
    std::signal(SIGTERM, handler);
    // The C runtime's console handler turns CTRL_BREAK_EVENT into SIGBREAK,
    // whose default ends the process at once, mid-run.
    std::signal(SIGBREAK, handler);
    g_stopHandler = handler;
    SetConsoleCtrlHandler(OnConsoleEnd, TRUE);
}

bool StdoutIsTerminal() {
    // A console draws the progress line only once it takes VT sequences
    // (Windows 10 and later); an older one gets the event lines.
    HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(out, &mode))
        return false;
    return SetConsoleMode(out, mode | ENABLE_VIRTUAL_TERMINAL_PROCESSING) != FALSE;
}

int TerminalColumns() {
    CONSOLE_SCREEN_BUFFER_INFO info{};
    if (GetConsoleScreenBufferInfo(GetStdHandle(STD_OUTPUT_HANDLE), &info))
        return info.srWindow.Right - info.srWindow.Left + 1;
    return 80;
}

OpenCheck CheckPortOpens(const std::wstring& port) {
    const std::wstring path = L"\\\\.\\" + port;
    HANDLE h = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    if (h != INVALID_HANDLE_VALUE) {
        CloseHandle(h);
        return {true, ""};
    }
    const DWORD error = GetLastError();
    if (error == ERROR_ACCESS_DENIED)
        return {false, "in use: Windows lets one program at a time open a port"};
    return {false, PortErrorCause(error)};
}

std::wstring Wide(const char* utf8) {
    if (utf8 == nullptr || *utf8 == '\0')
        return {};
    // The C runtime hands main() its arguments in the system's 8-bit code
    // page, which is UTF-8 only where the system is set so: text that is not
    // valid UTF-8 is read in that code page.
    for (const UINT codePage : {static_cast<UINT>(CP_UTF8), static_cast<UINT>(CP_ACP)}) {
        const DWORD flags = codePage == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
        const int chars = MultiByteToWideChar(codePage, flags, utf8, -1, nullptr, 0);
        if (chars <= 0)
            continue;
        std::wstring out(static_cast<size_t>(chars), L'\0');
        MultiByteToWideChar(codePage, flags, utf8, -1, out.data(), chars);
        out.resize(static_cast<size_t>(chars) - 1);  // the terminator
        return out;
    }
    return {};
}

}  // namespace cli
