// MessageBoxW: checks the request and hands it to the back end, which shows
// the box and runs its modal loop (the calling thread's messages keep being
// handled while it is open).
#include "platform/posix/user32/window_driver.h"
#include "platform/posix/user32/window_state.h"

using namespace user32;

int WINAPI MessageBoxW(HWND hWnd, LPCWSTR lpText, LPCWSTR lpCaption, UINT uType) {
    if (hWnd && !IsWindow(hWnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if ((uType & MB_TYPEMASK) > MB_RETRYCANCEL) {
        SetLastError(ERROR_INVALID_FLAGS);  // a button set this system does not have
        return 0;
    }
    // Windows captions a box without a caption "Error".
    return Driver().MessageBox(hWnd, lpText ? lpText : L"", lpCaption ? lpCaption : L"Error", uType);
}
