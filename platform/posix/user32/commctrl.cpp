// InitCommonControlsEx. The common control classes this system has
// (msctls_progress32 among the built-in classes) always exist, so the call
// only checks its structure, as comctl32 does.
#include "platform/posix/user32/window_state.h"

BOOL WINAPI InitCommonControlsEx(const INITCOMMONCONTROLSEX* picce) {
    if (!picce || picce->dwSize != sizeof(INITCOMMONCONTROLSEX)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return TRUE;
}
