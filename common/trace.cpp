// DebugTrace and DebugMessage: fixed 512-character formatting, then the
// debugger output or the application message box.
#include "common/trace.h"

#include <cstdarg>
#include <cwchar>
#include <vector>

#include "framework/afxwin.h"

void FormatTraceText(wchar_t (&out)[kTraceChars], const wchar_t* format, va_list args) {
    // vswprintf reports overflow without promising what it left in the
    // buffer, so format into a buffer that is large enough and cut after the
    // 511th character ourselves.
    std::vector<wchar_t> wide(kTraceChars * 2);
    for (;;) {
        va_list copy;
        va_copy(copy, args);
        const int n = std::vswprintf(wide.data(), wide.size(), format, copy);
        va_end(copy);
        if (n >= 0 && static_cast<size_t>(n) < wide.size())
            break;
        if (wide.size() >= (1u << 20)) {  // a format that cannot be formatted at all
            wide[0] = L'\0';
            break;
        }
        wide.resize(wide.size() * 4);
    }
    size_t i = 0;
    for (; i < kTraceChars - 1 && wide[i] != L'\0'; ++i)
        out[i] = wide[i];
    out[i] = L'\0';
}

void DebugTrace(const wchar_t* format, ...) {
    wchar_t text[kTraceChars];
    va_list args;
    va_start(args, format);
    FormatTraceText(text, format, args);
    va_end(args);
    OutputDebugStringW(text);
}

void DebugMessage(const wchar_t* format, ...) {
    wchar_t text[kTraceChars];
    va_list args;
    va_start(args, format);
    FormatTraceText(text, format, args);
    va_end(args);
    // The type names no icon, so the framework adds the exclamation icon.
    AfxMessageBox(text, MB_OK, 0);
}
