// Operator input as back ends report it: keys, close requests, opening a
// combo box's list, picking an item, typing, clicking, minimising. Each turns
// into the messages Windows would produce, on the window's own thread (a call
// from another thread waits until that thread has handled it).
//
// What the operator cannot do is refused quietly, as the screen refuses it:
// a disabled control, or a control in a disabled dialog, takes no input.
#include "platform/posix/user32/window_driver.h"
#include "platform/posix/user32/window_state.h"

namespace user32 {

namespace {

// The control and every window above it take input.
bool AcceptsInput(HWND hwnd) {
    std::lock_guard<std::mutex> lock(Reg().lock);
    auto w = FindLocked(hwnd);
    if (!w)
        return false;
    for (; w; w = (w->style & WS_CHILD) ? FindLocked(w->parent) : nullptr)
        if (w->style & WS_DISABLED)
            return false;
    return true;
}

void Notify(HWND control, WORD code) {
    HWND parent = GetParent(control);
    if (parent)
        SendMessageW(parent, WM_COMMAND, MAKEWPARAM(GetDlgCtrlID(control), code), reinterpret_cast<LPARAM>(control));
}

bool IsDropList(HWND combo) { return (GetWindowLongW(combo, GWL_STYLE) & 0x3) == CBS_DROPDOWNLIST; }

}  // namespace

void OperatorKey(HWND dlg, UINT vk, bool alt) {
    RunOnWindowThread(dlg, [dlg, vk, alt]() -> LRESULT {
        if (!AcceptsInput(dlg))
            return 0;
        HWND focus = GetFocus();
        bool inDialog = false;
        {
            std::lock_guard<std::mutex> lock(Reg().lock);
            inDialog = focus && IsSelfOrDescendantLocked(dlg, focus);
        }
        MSG m{inDialog ? focus : dlg,
              alt ? static_cast<UINT>(WM_SYSKEYDOWN) : static_cast<UINT>(WM_KEYDOWN),
              vk,
              0,
              Driver().Now(),
              {0, 0}};
        if (!IsDialogMessageW(dlg, &m))
            DispatchMessageW(&m);
        return 0;
    });
}

void OperatorClose(HWND hwnd) {
    RunOnWindowThread(hwnd, [hwnd]() -> LRESULT {
        if (AcceptsInput(hwnd))
            SendMessageW(hwnd, WM_SYSCOMMAND, SC_CLOSE, 0);
        return 0;
    });
}

void OperatorDropDown(HWND combo) {
    RunOnWindowThread(combo, [combo]() -> LRESULT {
        if (!AcceptsInput(combo))
            return 0;
        // Opening an open list closes it first, as a second click does.
        if (SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0))
            SendMessageW(combo, CB_SHOWDROPDOWN, FALSE, 0);
        SendMessageW(combo, CB_SHOWDROPDOWN, TRUE, 0);
        return 0;
    });
}

void OperatorCloseUp(HWND combo) {
    RunOnWindowThread(combo, [combo]() -> LRESULT {
        // Not input but what the screen shows: a list that is gone is closed
        // even if its control was disabled meanwhile. Otherwise the dialog
        // manager would keep giving Tab, Enter and Esc to a list nobody sees.
        if (SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0))
            SendMessageW(combo, CB_SHOWDROPDOWN, FALSE, 0);
        return 0;
    });
}

void OperatorSelect(HWND combo, int index) {
    RunOnWindowThread(combo, [combo, index]() -> LRESULT {
        if (!AcceptsInput(combo))
            return 0;
        if (SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0) == CB_ERR)
            return 0;
        Notify(combo, CBN_SELCHANGE);
        if (SendMessageW(combo, CB_GETDROPPEDSTATE, 0, 0))
            SendMessageW(combo, CB_SHOWDROPDOWN, FALSE, 0);
        Notify(combo, CBN_SELENDOK);
        return 0;
    });
}

void OperatorType(HWND combo, const std::wstring& text) {
    RunOnWindowThread(combo, [combo, &text]() -> LRESULT {
        if (!AcceptsInput(combo))
            return 0;
        if (IsDropList(combo)) {
            // Typing in a list that cannot be edited picks the first item that starts so.
            LRESULT found =
                SendMessageW(combo, CB_FINDSTRING, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(text.c_str()));
            if (found == CB_ERR)
                return 0;
            SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(found), 0);
            Notify(combo, CBN_SELCHANGE);
            return 0;
        }
        SendMessageW(combo, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(text.c_str()));
        Notify(combo, CBN_EDITUPDATE);
        Notify(combo, CBN_EDITCHANGE);
        return 0;
    });
}

void OperatorClick(HWND button) {
    RunOnWindowThread(button, [button]() -> LRESULT {
        if (!AcceptsInput(button))
            return 0;
        // A mouse click gives the button the focus before it acts.
        SetFocus(button);
        SendMessageW(button, BM_CLICK, 0, 0);
        return 0;
    });
}

void OperatorMinimize(HWND hwnd, bool minimized) {
    RunOnWindowThread(hwnd, [hwnd, minimized]() -> LRESULT {
        SendMessageW(hwnd, WM_SYSCOMMAND, minimized ? SC_MINIMIZE : SC_RESTORE, 0);
        return 0;
    });
}

}  // namespace user32
