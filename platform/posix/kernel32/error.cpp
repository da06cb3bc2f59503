// GetLastError / SetLastError: one code per thread, as on Windows, plus the
// cause recorded with it. A plain SetLastError forgets any earlier cause so a
// stale explanation never sticks to a new code.
#include "platform/posix/kernel32/error.h"

#include <cwchar>
#include <utility>

#include "tools/text/utf8.h"

namespace {

struct LastError {
    DWORD code = ERROR_SUCCESS;
    std::string cause;  // empty: use the generic words for the code
};

thread_local LastError t_last;

}  // namespace

DWORD WINAPI GetLastError(void) { return t_last.code; }

DWORD WINAPI FormatMessageW(DWORD dwFlags, LPCVOID lpSource, DWORD dwMessageId, DWORD dwLanguageId, LPWSTR lpBuffer,
                            DWORD nSize, va_list* Arguments) {
    (void)lpSource;
    (void)dwLanguageId;  // one language: the causes are English
    (void)Arguments;     // the system's texts here hold no inserts
    if (dwFlags != (FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS)) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return 0;
    }
    // The cause recorded with the thread's last error says more than the
    // generic words for its code ("the port is in use by another program"
    // rather than "access denied"), so it is used while it still belongs to
    // that code.
    const std::string cause =
        dwMessageId == t_last.code ? platform::LastErrorCause() : platform::ErrorCause(dwMessageId);
    const std::wstring text = text::Utf8ToWide(cause) + L"\r\n";
    if (lpBuffer == nullptr || nSize <= text.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::wmemcpy(lpBuffer, text.c_str(), text.size() + 1);
    return static_cast<DWORD>(text.size());
}

void WINAPI SetLastError(DWORD dwErrCode) {
    t_last.code = dwErrCode;
    t_last.cause.clear();
}

namespace platform {

void SetLastErrorWithCause(DWORD code, std::string cause) {
    t_last.code = code;
    t_last.cause = std::move(cause);
}

void SetLastErrorFromErrno(int err, ErrorObject object) {
    SetLastErrorWithCause(ErrorFromErrno(err, object), ErrnoCause(err, object));
}

std::string LastErrorCause() { return t_last.cause.empty() ? ErrorCause(t_last.code) : t_last.cause; }

}  // namespace platform
