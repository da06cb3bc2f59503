// The Windows side of system.h: names go to the system as UTF-16, and a file
// is replaced by MoveFileExW, since the C runtime's rename() refuses an
// existing target there.
#include <windows.h>
#include <shellapi.h>

#include <cstdio>
#include <memory>

#include "tools/system.h"
#include "tools/text/utf8.h"

namespace tools {

namespace {

struct LocalFreer {
    void operator()(wchar_t** p) const { LocalFree(p); }
};

std::string SystemText(DWORD code) {
    wchar_t* text = nullptr;
    const DWORD n =
        FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                       nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::wstring message(text ? text : L"", n);
    if (text)
        LocalFree(text);
    while (!message.empty() && (message.back() == L'\n' || message.back() == L'\r' || message.back() == L'.'))
        message.pop_back();
    if (message.empty())
        message = L"system error";
    return text::WideToUtf8(message) + " (error " + std::to_string(code) + ")";
}

}  // namespace

std::vector<std::string> Utf8Arguments(int argc, char** argv) {
    int count = 0;
    std::unique_ptr<wchar_t*, LocalFreer> wide(CommandLineToArgvW(GetCommandLineW(), &count));
    // Without the wide line (it cannot fail short of memory), argv is all we have.
    if (!wide || count != argc)
        return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> args;
    for (int i = 0; i < count; ++i)
        args.push_back(text::WideToUtf8(wide.get()[i]));
    return args;
}

std::FILE* OpenFile(const std::string& path, const char* mode) {
    return _wfopen(text::Utf8ToWide(path).c_str(), text::Utf8ToWide(mode).c_str());
}

void RemoveFile(const std::string& path) { _wremove(text::Utf8ToWide(path).c_str()); }

std::string MoveFileOver(const std::string& from, const std::string& to) {
    // Write-through: the move reaches the disk before we report success, as a
    // rename on a journalled POSIX file system does in effect.
    if (MoveFileExW(text::Utf8ToWide(from).c_str(), text::Utf8ToWide(to).c_str(),
                    MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
        return {};
    return SystemText(GetLastError());
}

std::string LastErrorText() { return SystemText(GetLastError()); }

}  // namespace tools
