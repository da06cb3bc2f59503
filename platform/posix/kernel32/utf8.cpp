// MultiByteToWideChar and WideCharToMultiByte for UTF-8, over the one codec
// all our programs share (tools/text/utf8.h). Other code pages are not
// here: the tool's 8-bit texts (code page 936) reach only
// OutputDebugStringA, which has its own converter.
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <mutex>
#include <string>

#include "platform/posix/win32.h"
#include "tools/text/utf8.h"

namespace {

// What Windows checks before converting anything. False with the last error set.
bool CheckCall(const char* function, UINT code_page, DWORD flags, DWORD allowed_flags, const void* in, int in_size,
               const void* out, int out_size) {
    if (code_page != CP_UTF8) {
        static std::once_flag once;
        std::call_once(once, [&] {
            std::fprintf(stderr, "%s: code page %u is not implemented (CP_UTF8 only)\n", function,
                         static_cast<unsigned>(code_page));
        });
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return false;
    }
    if (in == nullptr || in_size == 0 || in_size < -1 || out_size < 0 || (out == nullptr && out_size != 0)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if ((flags & ~allowed_flags) != 0) {
        SetLastError(ERROR_INVALID_FLAGS);
        return false;
    }
    return true;
}

// The converted text into the caller's buffer, or its size when out_size is
// 0. The buffer is left untouched when it is too small.
template <typename Char>
int Deliver(const std::basic_string<Char>& text, Char* out, int out_size) {
    if (text.size() > static_cast<size_t>(INT32_MAX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const int size = static_cast<int>(text.size());
    if (out_size == 0)
        return size;
    if (size > out_size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(out, text.data(), text.size() * sizeof(Char));
    return size;
}

}  // namespace

int WINAPI MultiByteToWideChar(UINT CodePage, DWORD dwFlags, LPCCH lpMultiByteStr, int cbMultiByte,
                               LPWSTR lpWideCharStr, int cchWideChar) {
    if (!CheckCall("MultiByteToWideChar", CodePage, dwFlags, MB_ERR_INVALID_CHARS, lpMultiByteStr, cbMultiByte,
                   lpWideCharStr, cchWideChar)) {
        return 0;
    }
    // With -1 the terminator is converted too, and counted.
    const size_t length = cbMultiByte == -1 ? std::strlen(lpMultiByteStr) + 1 : static_cast<size_t>(cbMultiByte);
    const std::string_view in(lpMultiByteStr, length);
    if (dwFlags & MB_ERR_INVALID_CHARS) {
        for (size_t at = 0; at < in.size();) {
            char32_t code = 0;
            size_t step = 1;
            if (!text::DecodeUtf8(in, at, &code, &step)) {
                SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                return 0;
            }
            at += step;
        }
    }
    return Deliver(text::Utf8ToWide(in), lpWideCharStr, cchWideChar);
}

int WINAPI WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWCH lpWideCharStr, int cchWideChar,
                               LPSTR lpMultiByteStr, int cbMultiByte, LPCCH lpDefaultChar, LPBOOL lpUsedDefaultChar) {
    if (!CheckCall("WideCharToMultiByte", CodePage, dwFlags, WC_ERR_INVALID_CHARS, lpWideCharStr, cchWideChar,
                   lpMultiByteStr, cbMultiByte)) {
        return 0;
    }
    // Windows refuses a default character for UTF-8: every code point has a form.
    if (lpDefaultChar != nullptr || lpUsedDefaultChar != nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const size_t length = cchWideChar == -1 ? std::wcslen(lpWideCharStr) + 1 : static_cast<size_t>(cchWideChar);
    const std::wstring_view in(lpWideCharStr, length);
    if (dwFlags & WC_ERR_INVALID_CHARS) {
        for (size_t at = 0; at < in.size();) {
            size_t step = 1;
            const char32_t code = text::DecodeWide(in, at, &step);
            if (text::IsSurrogate(code) || code > 0x10FFFF) {
                SetLastError(ERROR_NO_UNICODE_TRANSLATION);
                return 0;
            }
            at += step;
        }
    }
    return Deliver(text::WideToUtf8(in), lpMultiByteStr, cbMultiByte);
}
