// The debugger trace and the application message box used by every subsystem.
//
// Both format a wide printf-style text into 512 wide characters; longer
// output is cut after the 511th character. Nothing is added: each format
// carries its own "\r\n". Use %ls for wide string arguments (glibc's %s is
// narrow in wide formats; the Windows CRT takes %ls as wide too).
#pragma once

#include <cstdarg>

#include "platform/api.h"

constexpr int kTraceChars = 512;

void DebugTrace(const wchar_t* format, ...);
void DebugMessage(const wchar_t* format, ...);

// Formats into out[kTraceChars] with the truncation above; shared by both.
void FormatTraceText(wchar_t (&out)[kTraceChars], const wchar_t* format, va_list args);
