// Painting, icons and system metrics: WM_PAINT requests, BeginPaint /
// EndPaint with a device context that draws nothing, LoadIconW, DrawIcon,
// GetSystemMetrics.
//
// The window system draws nothing itself; a back end draws from the windows'
// state. A device context here is a token valid from BeginPaint to EndPaint,
// so that DrawIcon can tell a painting call from a stray one.
//
// Differences from Windows: only a top-level window's first showing and
// InvalidateRect ask for WM_PAINT, and a WM_PAINT retrieved from the queue
// counts as handled even when the procedure does not validate the window, so
// a procedure that never calls BeginPaint cannot make a loop spin.
#include <set>

#include "platform/posix/user32/window_driver.h"
#include "platform/posix/user32/window_state.h"

namespace user32 {

namespace {

struct IconObject {
    int resourceId;
};
// The tool's picture, IDR_MAINFRAME in the application's resources.
constexpr WORD kMainFrameIconId = 128;
const IconObject kMainFrameIcon{kMainFrameIconId};
const IconObject kApplicationIcon{32512};

HICON AsHandle(const IconObject& icon) { return reinterpret_cast<HICON>(const_cast<IconObject*>(&icon)); }

// Lock held for both (Registry::lock).
std::set<HDC>& OpenPaintDCs() {
    static std::set<HDC> dcs;
    return dcs;
}
uintptr_t g_nextDC = 0x20000;

}  // namespace

bool TakePaintLocked(DWORD thread, HWND filter, bool remove, MSG* msg) {
    for (auto& [hwnd, w] : Reg().windows) {
        if (w->thread != thread || !w->needsPaint)
            continue;
        if (filter && !IsSelfOrDescendantLocked(filter, hwnd))
            continue;
        *msg = MSG{hwnd, WM_PAINT, 0, 0, Driver().Now(), {0, 0}};
        if (remove)
            w->needsPaint = false;
        return true;
    }
    return false;
}

}  // namespace user32

using namespace user32;

BOOL WINAPI InvalidateRect(HWND hWnd, const RECT* /*lpRect*/, BOOL /*bErase*/) {
    auto& reg = Reg();
    DWORD owner = CurrentThread();
    {
        std::lock_guard<std::mutex> lock(reg.lock);
        if (!hWnd) {
            // No window: every top-level window of the calling thread.
            for (auto& [h, w] : reg.windows)
                if (w->thread == owner && !(w->style & WS_CHILD))
                    w->needsPaint = true;
        } else {
            auto w = FindLocked(hWnd);
            if (!w) {
                SetLastError(ERROR_INVALID_WINDOW_HANDLE);
                return FALSE;
            }
            w->needsPaint = true;
            owner = w->thread;
        }
    }
    Driver().Wake(owner);
    return TRUE;
}

BOOL WINAPI UpdateWindow(HWND hWnd) {
    bool paint = false;
    {
        std::lock_guard<std::mutex> lock(Reg().lock);
        auto w = FindLocked(hWnd);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        paint = w->needsPaint;
    }
    if (paint)
        SendMessageW(hWnd, WM_PAINT, 0, 0);
    return TRUE;
}

HDC WINAPI BeginPaint(HWND hWnd, LPPAINTSTRUCT lpPaint) {
    if (!lpPaint) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(Reg().lock);
    auto w = FindLocked(hWnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    w->needsPaint = false;
    HDC dc = reinterpret_cast<HDC>(g_nextDC);
    g_nextDC += 4;
    OpenPaintDCs().insert(dc);
    *lpPaint = PAINTSTRUCT{};
    lpPaint->hdc = dc;
    lpPaint->fErase = FALSE;
    lpPaint->rcPaint = RECT{0, 0, w->rect.right - w->rect.left, w->rect.bottom - w->rect.top};
    return dc;
}

BOOL WINAPI EndPaint(HWND /*hWnd*/, const PAINTSTRUCT* lpPaint) {
    // Windows documents EndPaint as always succeeding.
    if (lpPaint) {
        std::lock_guard<std::mutex> lock(Reg().lock);
        OpenPaintDCs().erase(lpPaint->hdc);
    }
    return TRUE;
}

HICON WINAPI LoadIconW(HINSTANCE hInstance, LPCWSTR lpIconName) {
    if (IS_INTRESOURCE(lpIconName)) {
        auto id = static_cast<WORD>(reinterpret_cast<ULONG_PTR>(lpIconName));
        // The application's one icon; the module handle is not checked
        // because the executable is the only resource module there is.
        if (id == kMainFrameIconId)
            return AsHandle(kMainFrameIcon);
        if (!hInstance && id == kApplicationIcon.resourceId)
            return AsHandle(kApplicationIcon);
    }
    SetLastError(ERROR_RESOURCE_NAME_NOT_FOUND);
    return nullptr;
}

BOOL WINAPI DrawIcon(HDC hDC, int /*X*/, int /*Y*/, HICON hIcon) {
    bool knownIcon = hIcon == AsHandle(kMainFrameIcon) || hIcon == AsHandle(kApplicationIcon);
    std::lock_guard<std::mutex> lock(Reg().lock);
    if (!knownIcon || !OpenPaintDCs().count(hDC)) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    return TRUE;
}

int WINAPI GetSystemMetrics(int nIndex) {
    switch (nIndex) {
        case SM_CXICON:
        case SM_CYICON:
            return 32;
        case SM_CXSMICON:
        case SM_CYSMICON:
            return 16;
        case SM_CXSCREEN:
            return Driver().ScreenWidth();
        case SM_CYSCREEN:
            return Driver().ScreenHeight();
        default:
            return 0;  // as Windows does for an index it does not know
    }
}
