// Wide text (wchar_t, UTF-32 on glibc) to UTF-8 and back, without the C
// locale: the tool's wide strings must reach files, paths and the trace the
// same way whatever LANG says.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// Surrogate pairs (text that came from UTF-16) are joined; a lone surrogate
// or a value beyond U+10FFFF becomes U+FFFD.
std::string WideToUtf8(std::wstring_view wide);
// Invalid or truncated sequences become U+FFFD, one per bad byte.
std::wstring Utf8ToWide(std::string_view utf8);

}  // namespace platform
