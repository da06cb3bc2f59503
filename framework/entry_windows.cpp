// The program entry of a windowed tool on Windows: the wide entry point
// (linked with -municode) reads the program's own command line first
// (framework/entry.h), then hands over to the framework's AfxWinMain.
//
// A window program has no console of its own. Its answers to --help,
// --version or a mistake go where the caller can read them: to the standard
// handles it was given (a redirection, or a parent that passes its own, as
// Wine does), else to the console of the command prompt that started it,
// else into a message box.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "framework/afxwin.h"
#include "framework/entry.h"

// After the system header afxwin.h brings in.
#include <fcntl.h>
#include <io.h>
#include <shellapi.h>

namespace {

bool HasHandle(DWORD which) {
    const HANDLE h = GetStdHandle(which);
    return h != nullptr && h != INVALID_HANDLE_VALUE && GetFileType(h) != FILE_TYPE_UNKNOWN;
}

// The C runtime of a window program may leave stdout and stderr unconnected
// even when the process was given standard handles: connect such a stream to
// its handle (through NUL first, so that the stream has a descriptor to
// replace). A stream the runtime did connect is left alone: reopening it
// would close the very handle it writes to.
bool BindStream(DWORD which, FILE* stream) {
    if (!HasHandle(which))
        return false;
    const int current = _fileno(stream);
    if (current >= 0 && _get_osfhandle(current) != -1)
        return true;
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(GetStdHandle(which)), _O_BINARY);
    if (fd < 0)
        return false;
    FILE* reopened = nullptr;
    if (freopen_s(&reopened, "NUL", "wb", stream) != 0 || _dup2(fd, _fileno(stream)) != 0)
        return false;
    std::setvbuf(stream, nullptr, _IONBF, 0);
    return true;
}

std::string Utf8(const wchar_t* text) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0)
        return {};
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), bytes, nullptr, nullptr);
    out.resize(static_cast<size_t>(bytes) - 1);
    return out;
}

std::wstring Wide(const std::string& text) {
    const int chars = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (chars <= 0)
        return {};
    std::wstring out(static_cast<size_t>(chars), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, out.data(), chars);
    out.resize(static_cast<size_t>(chars) - 1);
    return out;
}

// Reads the command line with stdout and stderr going where the caller sees
// them; -1 means start the window.
int ReadCommandLine() {
    int argc = 0;
    LPWSTR* wide = CommandLineToArgvW(GetCommandLineW(), &argc);
    if (wide == nullptr || argc <= 1) {
        if (wide != nullptr)
            LocalFree(wide);
        return -1;
    }
    std::vector<std::string> args;
    for (int i = 0; i < argc; ++i)
        args.push_back(Utf8(wide[i]));
    LocalFree(wide);
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);

    const bool out = BindStream(STD_OUTPUT_HANDLE, stdout);
    const bool err = BindStream(STD_ERROR_HANDLE, stderr);
    if (out || err)
        return ReadWindowCommandLine(argc, argv.data());
    if (AttachConsole(ATTACH_PARENT_PROCESS)) {
        FILE* ignored = nullptr;
        (void)freopen_s(&ignored, "CONOUT$", "w", stdout);
        (void)freopen_s(&ignored, "CONOUT$", "w", stderr);
        return ReadWindowCommandLine(argc, argv.data());
    }
    // Started from a shortcut or Explorer: the text goes into a box.
    FILE* text = std::tmpfile();
    if (text == nullptr)
        return ReadWindowCommandLine(argc, argv.data());
    (void)fflush(stdout);
    (void)fflush(stderr);
    const int oldOut = _dup(_fileno(stdout));
    const int oldErr = _dup(_fileno(stderr));
    (void)_dup2(_fileno(text), _fileno(stdout));
    (void)_dup2(_fileno(text), _fileno(stderr));
    const int code = ReadWindowCommandLine(argc, argv.data());
    (void)fflush(stdout);
    (void)fflush(stderr);
    if (oldOut >= 0)
        (void)_dup2(oldOut, _fileno(stdout));
    if (oldErr >= 0)
        (void)_dup2(oldErr, _fileno(stderr));
    std::string shown;
    std::rewind(text);
    char buffer[512];
    for (size_t n; (n = std::fread(buffer, 1, sizeof buffer, text)) > 0;)
        shown.append(buffer, n);
    std::fclose(text);
    if (code >= 0)
        MessageBoxW(nullptr, Wide(shown).c_str(), L"Vantrel", code == 0 ? MB_OK : MB_OK | MB_ICONWARNING);
    return code;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE hInstance, HINSTANCE hPrevInstance, LPWSTR lpCmdLine, int nCmdShow) {
    if (const int done = ReadCommandLine(); done >= 0) {
        std::fflush(nullptr);
        return done;
    }
    const int code = AfxWinMain(hInstance, hPrevInstance, lpCmdLine, nCmdShow);
    std::fflush(nullptr);
    // A worker that is still running (a receive watcher on a port left open
    // by a quit during a run) must not meet static destructors: leave at once.
    if (AfxRunningThreadCount() > 0)
        std::_Exit(code);
    return code;
}
