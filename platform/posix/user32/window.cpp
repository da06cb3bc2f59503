// Window objects: handles, the tree of parents and children, text, enabled
// state, visibility, focus, long values, rectangles, destruction, and the
// default window procedure.
//
// Handles are never reused (a counter that only grows), so a stale handle held
// by a worker thread fails cleanly instead of reaching a newer window.
// Windows of a thread are changed on that thread: calls that change what the
// operator sees (EnableWindow, ShowWindow, SetFocus) run on the window's
// thread through a sent call, as Win32 sends WM_ENABLE there.
//
// Not here: messages and queues (message.cpp), the built-in control classes
// (controls.cpp), dialogs (dialog.cpp), painting (paint.cpp).
#include <unistd.h>

#include <algorithm>

#include "platform/posix/user32/window_driver.h"
#include "platform/posix/user32/window_state.h"

namespace user32 {

Registry& Reg() {
    static Registry registry;
    return registry;
}

DWORD CurrentThread() { return GetCurrentThreadId(); }

std::shared_ptr<Window> FindLocked(HWND hwnd) {
    if (!hwnd)
        return nullptr;
    auto& reg = Reg();
    auto it = reg.windows.find(hwnd);
    return it == reg.windows.end() ? nullptr : it->second;
}

bool IsSelfOrDescendantLocked(HWND ancestor, HWND child) {
    for (auto w = FindLocked(child); w; w = FindLocked(w->parent)) {
        if (w->hwnd == ancestor)
            return true;
        if (!(w->style & WS_CHILD))
            break;  // an owned top-level window is not a descendant
    }
    return false;
}

LRESULT CopyTextOut(const std::wstring& text, WPARAM bufferChars, LPARAM buffer) {
    auto* out = reinterpret_cast<wchar_t*>(buffer);
    if (!out || bufferChars == 0)
        return 0;
    size_t n = std::min<size_t>(text.size(), bufferChars - 1);
    std::copy_n(text.data(), n, out);
    out[n] = L'\0';
    return static_cast<LRESULT>(n);
}

void NotifyChanged(HWND hwnd, UINT what) {
    DWORD owner = 0;
    {
        std::lock_guard<std::mutex> lock(Reg().lock);
        auto w = FindLocked(hwnd);
        if (!w)
            return;
        owner = w->thread;
    }
    if (owner == CurrentThread()) {
        Driver().WindowChanged(hwnd, what);
    } else {
        RunOnWindowThread(hwnd, [hwnd, what]() -> LRESULT {
            Driver().WindowChanged(hwnd, what);
            return 0;
        });
    }
}

HWND CreateWindowInternal(const std::wstring& className, const std::wstring& text, DWORD style, DWORD exStyle,
                          const RECT& rect, HWND parent, LONG_PTR id, DLGPROC dlgProc) {
    std::wstring canonical = className;
    WNDPROC proc = DialogWindowProc;
    if (className != kDialogClass && !LookupClass(className, &canonical, &proc)) {
        // Only the built-in classes exist; a template naming another class cannot be built.
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return nullptr;
    }
    HWND hwnd = nullptr;
    {
        auto& reg = Reg();
        std::lock_guard<std::mutex> lock(reg.lock);
        std::shared_ptr<Window> parentWindow;
        if (parent) {
            parentWindow = FindLocked(parent);
            if (!parentWindow) {
                SetLastError(ERROR_INVALID_WINDOW_HANDLE);
                return nullptr;
            }
        }
        auto w = std::make_shared<Window>();
        hwnd = reinterpret_cast<HWND>(reg.nextHandle);
        reg.nextHandle += 4;
        w->hwnd = hwnd;
        w->thread = CurrentThread();
        w->className = canonical;
        w->proc = proc;
        w->id = id;
        w->text = text;
        w->style = style;
        w->exStyle = exStyle;
        w->rect = rect;
        w->parent = parent;
        w->isDialog = className == kDialogClass;
        reg.windows[hwnd] = w;
        if (parentWindow && (style & WS_CHILD))
            parentWindow->children.push_back(hwnd);
        MyQueueLocked();
    }
    if (!CallWindow(hwnd, WM_NCCREATE, 0, 0) || CallWindow(hwnd, WM_CREATE, 0, 0) == -1) {
        DestroyWindow(hwnd);
        SetLastError(ERROR_INVALID_DATA);
        return nullptr;
    }
    {
        // The dialog procedure starts receiving messages with WM_INITDIALOG,
        // once every control exists.
        std::lock_guard<std::mutex> lock(Reg().lock);
        if (auto w = FindLocked(hwnd))
            w->dlgProc = dlgProc;
    }
    Driver().WindowCreated(hwnd);
    return hwnd;
}

namespace {

void DestroyTree(HWND hwnd) {
    std::vector<HWND> children;
    {
        std::lock_guard<std::mutex> lock(Reg().lock);
        auto w = FindLocked(hwnd);
        if (!w || w->destroying)
            return;
        w->destroying = true;
    }
    CallWindow(hwnd, WM_DESTROY, 0, 0);
    {
        std::lock_guard<std::mutex> lock(Reg().lock);
        if (auto w = FindLocked(hwnd))
            children = w->children;
    }
    for (HWND child : children)
        DestroyTree(child);
    CallWindow(hwnd, WM_NCDESTROY, 0, 0);
    Driver().WindowDestroyed(hwnd);
    auto& reg = Reg();
    {
        std::lock_guard<std::mutex> lock(reg.lock);
        auto w = FindLocked(hwnd);
        if (!w)
            return;
        if (auto p = FindLocked(w->parent))
            std::erase(p->children, hwnd);
        for (auto& [thread, focus] : reg.focus)
            if (focus == hwnd)
                focus = nullptr;
        PurgeWindowLocked(hwnd);
        reg.windows.erase(hwnd);
    }
    reg.sendDone.notify_all();
}

LONG_PTR* LongSlotLocked(Window& w, int index) {
    switch (index) {
        case GWLP_USERDATA:
            return &w.userData;
        case GWLP_ID:
            return &w.id;
        default:
            break;
    }
    if (w.isDialog) {
        if (index == DWLP_MSGRESULT)
            return &w.msgResult;
        if (index == DWLP_USER)
            return &w.dlgUser;
    }
    return nullptr;
}

}  // namespace

}  // namespace user32

using namespace user32;

BOOL WINAPI IsWindow(HWND hWnd) {
    std::lock_guard<std::mutex> lock(Reg().lock);
    return FindLocked(hWnd) ? TRUE : FALSE;
}

BOOL WINAPI DestroyWindow(HWND hWnd) {
    {
        std::lock_guard<std::mutex> lock(Reg().lock);
        auto w = FindLocked(hWnd);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        // As on Windows, only the owner thread may destroy a window.
        if (w->thread != CurrentThread()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return FALSE;
        }
    }
    DestroyTree(hWnd);
    return TRUE;
}

BOOL WINAPI ShowWindow(HWND hWnd, int nCmdShow) {
    return static_cast<BOOL>(RunOnWindowThread(hWnd, [hWnd, nCmdShow]() -> LRESULT {
        bool wasVisible = false, visible = false, wasIconic = false, iconic = false;
        {
            std::lock_guard<std::mutex> lock(Reg().lock);
            auto w = FindLocked(hWnd);
            if (!w)
                return 0;
            wasVisible = w->style & WS_VISIBLE;
            wasIconic = w->style & WS_MINIMIZE;
            switch (nCmdShow) {
                case SW_HIDE:
                    w->style &= ~WS_VISIBLE;
                    break;
                case SW_MINIMIZE:
                    w->style |= WS_VISIBLE | WS_MINIMIZE;
                    break;
                case SW_RESTORE:
                case SW_SHOWNORMAL:
                    w->style = (w->style | WS_VISIBLE) & ~WS_MINIMIZE;
                    break;
                default:
                    w->style |= WS_VISIBLE;
                    break;
            }
            visible = w->style & WS_VISIBLE;
            iconic = w->style & WS_MINIMIZE;
            if (visible && !wasVisible && !(w->style & WS_CHILD))
                w->needsPaint = true;
        }
        if (visible != wasVisible) {
            CallWindow(hWnd, WM_SHOWWINDOW, visible, 0);
            NotifyChanged(hWnd, WM_SHOWWINDOW);
        }
        if (iconic != wasIconic)
            NotifyChanged(hWnd, WM_SIZE);
        return wasVisible ? TRUE : FALSE;
    }));
}

BOOL WINAPI IsWindowVisible(HWND hWnd) {
    std::lock_guard<std::mutex> lock(Reg().lock);
    for (auto w = FindLocked(hWnd); w; w = FindLocked(w->parent)) {
        if (!(w->style & WS_VISIBLE))
            return FALSE;
        if (!(w->style & WS_CHILD))
            return TRUE;
    }
    return FALSE;
}

HWND WINAPI GetParent(HWND hWnd) {
    std::lock_guard<std::mutex> lock(Reg().lock);
    auto w = FindLocked(hWnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    return w->parent;
}

HWND WINAPI GetDlgItem(HWND hDlg, int nIDDlgItem) {
    std::lock_guard<std::mutex> lock(Reg().lock);
    auto w = FindLocked(hDlg);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    for (HWND child : w->children) {
        auto c = FindLocked(child);
        if (c && static_cast<int>(c->id) == nIDDlgItem)
            return child;
    }
    SetLastError(ERROR_CONTROL_ID_NOT_FOUND);
    return nullptr;
}

int WINAPI GetDlgCtrlID(HWND hWnd) {
    std::lock_guard<std::mutex> lock(Reg().lock);
    auto w = FindLocked(hWnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return static_cast<int>(w->id);
}

BOOL WINAPI SetWindowTextW(HWND hWnd, LPCWSTR lpString) {
    if (!IsWindow(hWnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return SendMessageW(hWnd, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(lpString)) > 0 ? TRUE : FALSE;
}

int WINAPI GetWindowTextW(HWND hWnd, LPWSTR lpString, int nMaxCount) {
    if (!lpString || nMaxCount <= 0)
        return 0;
    lpString[0] = L'\0';
    if (!IsWindow(hWnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return static_cast<int>(
        SendMessageW(hWnd, WM_GETTEXT, static_cast<WPARAM>(nMaxCount), reinterpret_cast<LPARAM>(lpString)));
}

int WINAPI GetWindowTextLengthW(HWND hWnd) {
    if (!IsWindow(hWnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return static_cast<int>(SendMessageW(hWnd, WM_GETTEXTLENGTH, 0, 0));
}

int WINAPI GetClassNameW(HWND hWnd, LPWSTR lpClassName, int nMaxCount) {
    std::lock_guard<std::mutex> lock(Reg().lock);
    auto w = FindLocked(hWnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (nMaxCount <= 0) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    return static_cast<int>(
        CopyTextOut(w->className, static_cast<WPARAM>(nMaxCount), reinterpret_cast<LPARAM>(lpClassName)));
}

BOOL WINAPI EnableWindow(HWND hWnd, BOOL bEnable) {
    if (!IsWindow(hWnd)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return static_cast<BOOL>(RunOnWindowThread(hWnd, [hWnd, bEnable]() -> LRESULT {
        bool wasDisabled = false;
        {
            std::lock_guard<std::mutex> lock(Reg().lock);
            auto w = FindLocked(hWnd);
            if (!w)
                return 0;
            wasDisabled = w->style & WS_DISABLED;
            if (bEnable)
                w->style &= ~WS_DISABLED;
            else
                w->style |= WS_DISABLED;
        }
        if (wasDisabled == !bEnable)
            return wasDisabled ? TRUE : FALSE;
        // A window that loses its enabled state loses the keyboard focus too.
        if (!bEnable && GetFocus() == hWnd)
            SetFocus(nullptr);
        CallWindow(hWnd, WM_ENABLE, bEnable ? TRUE : FALSE, 0);
        NotifyChanged(hWnd, WM_ENABLE);
        return wasDisabled ? TRUE : FALSE;
    }));
}

BOOL WINAPI IsWindowEnabled(HWND hWnd) {
    std::lock_guard<std::mutex> lock(Reg().lock);
    auto w = FindLocked(hWnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return (w->style & WS_DISABLED) ? FALSE : TRUE;
}

HWND WINAPI SetFocus(HWND hWnd) {
    auto& reg = Reg();
    if (hWnd) {
        DWORD owner = 0;
        {
            std::lock_guard<std::mutex> lock(reg.lock);
            auto w = FindLocked(hWnd);
            if (!w) {
                SetLastError(ERROR_INVALID_WINDOW_HANDLE);
                return nullptr;
            }
            owner = w->thread;
        }
        // The focus is per thread: give it on the thread that owns the window.
        if (owner != CurrentThread())
            return reinterpret_cast<HWND>(
                RunOnWindowThread(hWnd, [hWnd] { return reinterpret_cast<LRESULT>(SetFocus(hWnd)); }));
    }
    HWND old = nullptr;
    {
        std::lock_guard<std::mutex> lock(reg.lock);
        HWND& slot = reg.focus[CurrentThread()];
        old = FindLocked(slot) ? slot : nullptr;
        if (old == hWnd)
            return old;
        slot = hWnd;
        // The dialog remembers its focused control, for when it is activated again.
        for (auto w = FindLocked(hWnd); w; w = FindLocked(w->parent)) {
            if (w->isDialog) {
                w->lastFocus = hWnd;
                break;
            }
            if (!(w->style & WS_CHILD))
                break;
        }
    }
    if (old)
        CallWindow(old, WM_KILLFOCUS, reinterpret_cast<WPARAM>(hWnd), 0);
    if (hWnd) {
        CallWindow(hWnd, WM_SETFOCUS, reinterpret_cast<WPARAM>(old), 0);
        NotifyChanged(hWnd, WM_SETFOCUS);
    }
    return old;
}

HWND WINAPI GetFocus(void) {
    auto& reg = Reg();
    std::lock_guard<std::mutex> lock(reg.lock);
    auto it = reg.focus.find(CurrentThread());
    if (it == reg.focus.end() || !FindLocked(it->second))
        return nullptr;
    return it->second;
}

LONG_PTR WINAPI GetWindowLongPtrW(HWND hWnd, int nIndex) {
    std::lock_guard<std::mutex> lock(Reg().lock);
    auto w = FindLocked(hWnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (nIndex == GWL_STYLE)
        return static_cast<LONG_PTR>(w->style);
    if (nIndex == GWL_EXSTYLE)
        return static_cast<LONG_PTR>(w->exStyle);
    if (w->isDialog && nIndex == DWLP_DLGPROC)
        return reinterpret_cast<LONG_PTR>(w->dlgProc);
    if (LONG_PTR* slot = LongSlotLocked(*w, nIndex))
        return *slot;
    SetLastError(ERROR_INVALID_INDEX);
    return 0;
}

LONG_PTR WINAPI SetWindowLongPtrW(HWND hWnd, int nIndex, LONG_PTR dwNewLong) {
    LONG_PTR old = 0;
    DWORD changedStyle = 0;
    {
        std::lock_guard<std::mutex> lock(Reg().lock);
        auto w = FindLocked(hWnd);
        if (!w) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return 0;
        }
        if (nIndex == GWL_STYLE) {
            old = static_cast<LONG_PTR>(w->style);
            changedStyle = w->style ^ static_cast<DWORD>(dwNewLong);
            w->style = static_cast<DWORD>(dwNewLong);
        } else if (nIndex == GWL_EXSTYLE) {
            old = static_cast<LONG_PTR>(w->exStyle);
            w->exStyle = static_cast<DWORD>(dwNewLong);
        } else if (w->isDialog && nIndex == DWLP_DLGPROC) {
            old = reinterpret_cast<LONG_PTR>(w->dlgProc);
            w->dlgProc = reinterpret_cast<DLGPROC>(dwNewLong);
        } else if (LONG_PTR* slot = LongSlotLocked(*w, nIndex)) {
            old = *slot;
            *slot = dwNewLong;
        } else {
            SetLastError(ERROR_INVALID_INDEX);
            return 0;
        }
    }
    // Windows leaves the last error alone on success, so a zero previous value
    // is told apart only by a caller that cleared it first.
    if (changedStyle & WS_DISABLED)
        NotifyChanged(hWnd, WM_ENABLE);
    if (changedStyle & WS_VISIBLE)
        NotifyChanged(hWnd, WM_SHOWWINDOW);
    return old;
}

LONG WINAPI GetWindowLongW(HWND hWnd, int nIndex) { return static_cast<LONG>(GetWindowLongPtrW(hWnd, nIndex)); }

LONG WINAPI SetWindowLongW(HWND hWnd, int nIndex, LONG dwNewLong) {
    // Styles are 32-bit values: keep them unsigned rather than sign-extended.
    LONG_PTR value = (nIndex == GWL_STYLE || nIndex == GWL_EXSTYLE)
                         ? static_cast<LONG_PTR>(static_cast<DWORD>(dwNewLong))
                         : static_cast<LONG_PTR>(dwNewLong);
    return static_cast<LONG>(SetWindowLongPtrW(hWnd, nIndex, value));
}

BOOL WINAPI GetClientRect(HWND hWnd, LPRECT lpRect) {
    if (!lpRect) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(Reg().lock);
    auto w = FindLocked(hWnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    // Headless windows have no frame: the client area is the whole window.
    *lpRect = RECT{0, 0, w->rect.right - w->rect.left, w->rect.bottom - w->rect.top};
    return TRUE;
}

BOOL WINAPI GetWindowRect(HWND hWnd, LPRECT lpRect) {
    if (!lpRect) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    std::lock_guard<std::mutex> lock(Reg().lock);
    auto w = FindLocked(hWnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    RECT r = w->rect;
    for (auto p = (w->style & WS_CHILD) ? FindLocked(w->parent) : nullptr; p;
         p = (p->style & WS_CHILD) ? FindLocked(p->parent) : nullptr) {
        r.left += p->rect.left;
        r.right += p->rect.left;
        r.top += p->rect.top;
        r.bottom += p->rect.top;
    }
    *lpRect = r;
    return TRUE;
}

BOOL WINAPI IsIconic(HWND hWnd) {
    std::lock_guard<std::mutex> lock(Reg().lock);
    auto w = FindLocked(hWnd);
    return (w && (w->style & WS_MINIMIZE)) ? TRUE : FALSE;
}

DWORD WINAPI GetWindowThreadProcessId(HWND hWnd, LPDWORD lpdwProcessId) {
    std::lock_guard<std::mutex> lock(Reg().lock);
    auto w = FindLocked(hWnd);
    if (!w) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (lpdwProcessId)
        *lpdwProcessId = static_cast<DWORD>(getpid());
    return w->thread;
}

LRESULT WINAPI DefWindowProcW(HWND hWnd, UINT Msg, WPARAM wParam, LPARAM lParam) {
    auto& reg = Reg();
    switch (Msg) {
        case WM_NCCREATE:
            return TRUE;
        case WM_SETTEXT: {
            auto* text = reinterpret_cast<const wchar_t*>(lParam);
            bool changed = false;
            {
                std::lock_guard<std::mutex> lock(reg.lock);
                auto w = FindLocked(hWnd);
                if (!w)
                    return FALSE;
                std::wstring now = text ? text : L"";
                changed = now != w->text;
                w->text = std::move(now);
            }
            if (changed)
                NotifyChanged(hWnd, WM_SETTEXT);
            return TRUE;
        }
        case WM_GETTEXT: {
            std::lock_guard<std::mutex> lock(reg.lock);
            auto w = FindLocked(hWnd);
            return w ? CopyTextOut(w->text, wParam, lParam) : 0;
        }
        case WM_GETTEXTLENGTH: {
            std::lock_guard<std::mutex> lock(reg.lock);
            auto w = FindLocked(hWnd);
            return w ? static_cast<LRESULT>(w->text.size()) : 0;
        }
        case WM_SETICON: {
            HICON old = nullptr;
            {
                std::lock_guard<std::mutex> lock(reg.lock);
                auto w = FindLocked(hWnd);
                if (!w)
                    return 0;
                HICON& slot = wParam == ICON_BIG ? w->iconBig : w->iconSmall;
                old = slot;
                slot = reinterpret_cast<HICON>(lParam);
            }
            NotifyChanged(hWnd, WM_SETICON);
            return reinterpret_cast<LRESULT>(old);
        }
        case WM_GETICON: {
            std::lock_guard<std::mutex> lock(reg.lock);
            auto w = FindLocked(hWnd);
            if (!w)
                return 0;
            return reinterpret_cast<LRESULT>(wParam == ICON_BIG ? w->iconBig : w->iconSmall);
        }
        case WM_SETFONT: {
            std::lock_guard<std::mutex> lock(reg.lock);
            if (auto w = FindLocked(hWnd))
                w->font = reinterpret_cast<HFONT>(wParam);
            return 0;
        }
        case WM_GETFONT: {
            std::lock_guard<std::mutex> lock(reg.lock);
            auto w = FindLocked(hWnd);
            return w ? reinterpret_cast<LRESULT>(w->font) : 0;
        }
        case WM_PAINT: {
            PAINTSTRUCT ps;
            if (BeginPaint(hWnd, &ps))
                EndPaint(hWnd, &ps);
            return 0;
        }
        case WM_ERASEBKGND:
        case WM_ICONERASEBKGND:
            return TRUE;
        case WM_CLOSE:
            DestroyWindow(hWnd);
            return 0;
        case WM_SYSCOMMAND: {
            DWORD style = 0;
            {
                std::lock_guard<std::mutex> lock(reg.lock);
                auto w = FindLocked(hWnd);
                if (!w)
                    return 0;
                style = w->style;
            }
            switch (wParam & 0xFFF0) {
                // A window without a system menu has no close command.
                case SC_CLOSE:
                    if (style & WS_SYSMENU)
                        SendMessageW(hWnd, WM_CLOSE, 0, 0);
                    break;
                case SC_MINIMIZE:
                    ShowWindow(hWnd, SW_MINIMIZE);
                    break;
                case SC_RESTORE:
                    ShowWindow(hWnd, SW_RESTORE);
                    break;
                default:
                    break;
            }
            return 0;
        }
        default:
            return 0;
    }
}
