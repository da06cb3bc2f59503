// GetLastError / SetLastError: one code per thread, as on Windows, plus the
// cause recorded with it. A plain SetLastError forgets any earlier cause so a
// stale explanation never sticks to a new code.
#include "platform/posix/kernel32/error.h"

#include <utility>

namespace {

struct LastError {
    DWORD code = ERROR_SUCCESS;
    std::string cause;  // empty: use the generic words for the code
};

thread_local LastError t_last;

}  // namespace

DWORD WINAPI GetLastError(void) { return t_last.code; }

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

std::string LastErrorCause() {
    return t_last.cause.empty() ? ErrorCause(t_last.code) : t_last.cause;
}

}  // namespace platform
