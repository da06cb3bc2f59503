// The built-in control classes and their messages: Button, Static, ComboBox
// and msctls_progress32; Edit, ListBox and ScrollBar exist as plain windows
// holding a text (the tool's template uses none of them).
//
// The controls keep their whole state in the Window record, so a back end
// shows them by reading it and a test observes them through the messages.
// Behaviour follows Windows where the tool depends on it:
// - an editable drop-down (CBS_DROPDOWN) keeps whatever text is set or typed,
//   and setting a text leaves no item selected (CB_GETCURSEL is CB_ERR);
// - a drop-down list (CBS_DROPDOWNLIST) always shows its selected item, and a
//   text can only be set by naming an item;
// - the progress position is always clamped into the range;
// - a click reaches the parent as WM_COMMAND BN_CLICKED only from an enabled
//   button.
#include <algorithm>
#include <cwctype>

#include "platform/posix/user32/window_driver.h"
#include "platform/posix/user32/window_state.h"

namespace user32 {

namespace {

constexpr UINT kStmGetIcon = 0x0171;        // STM_GETICON
constexpr LRESULT kDlgcStatic = 0x0100;     // DLGC_STATIC
constexpr LRESULT kDlgcWantChars = 0x0080;  // DLGC_WANTCHARS

// Runs `fn` on the window's record with the lock held; `fallback` when the window is gone.
template <class Fn>
LRESULT WithWindow(HWND hwnd, LRESULT fallback, Fn fn) {
    std::lock_guard<std::mutex> lock(Reg().lock);
    auto w = FindLocked(hwnd);
    return w ? fn(*w) : fallback;
}

void NotifyParent(HWND hwnd, WORD code) {
    HWND parent = nullptr;
    int id = 0;
    {
        std::lock_guard<std::mutex> lock(Reg().lock);
        auto w = FindLocked(hwnd);
        if (!w)
            return;
        parent = w->parent;
        id = static_cast<int>(w->id);
    }
    if (parent)
        SendMessageW(parent, WM_COMMAND, MAKEWPARAM(id, code), reinterpret_cast<LPARAM>(hwnd));
}

// ---------------------------------------------------------------- Button

LRESULT CALLBACK ButtonProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    DWORD type =
        static_cast<DWORD>(WithWindow(hwnd, 0, [](Window& w) { return static_cast<LRESULT>(w.style & BS_TYPEMASK); }));
    switch (message) {
        case WM_GETDLGCODE:
            if (type == BS_GROUPBOX)
                return kDlgcStatic;
            if (type == BS_DEFPUSHBUTTON)
                return DLGC_BUTTON | DLGC_DEFPUSHBUTTON;
            if (type == BS_PUSHBUTTON)
                return DLGC_BUTTON | DLGC_UNDEFPUSHBUTTON;
            return DLGC_BUTTON;
        case BM_CLICK:
            // A group box is no button; a disabled button takes no clicks.
            if (type == BS_GROUPBOX || !IsWindowEnabled(hwnd))
                return 0;
            NotifyParent(hwnd, BN_CLICKED);
            return 0;
        case BM_GETCHECK:
            return 0;  // BST_UNCHECKED: only push buttons exist here
        default:
            return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

// ---------------------------------------------------------------- Static

LRESULT CALLBACK StaticProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_GETDLGCODE:
            return kDlgcStatic;
        case STM_SETICON: {
            LRESULT old = WithWindow(hwnd, 0, [wParam](Window& w) {
                HICON previous = w.iconBig;
                w.iconBig = reinterpret_cast<HICON>(wParam);
                return reinterpret_cast<LRESULT>(previous);
            });
            NotifyChanged(hwnd, WM_SETICON);
            return old;
        }
        case kStmGetIcon:
            return WithWindow(hwnd, 0, [](Window& w) { return reinterpret_cast<LRESULT>(w.iconBig); });
        default:
            return DefWindowProcW(hwnd, message, wParam, lParam);
    }
}

// ---------------------------------------------------------------- ComboBox

bool EqualNoCase(const std::wstring& a, const wchar_t* b, bool prefixOnly) {
    size_t n = wcslen(b);
    if (prefixOnly ? a.size() < n : a.size() != n)
        return false;
    for (size_t i = 0; i < n; ++i)
        if (std::towlower(a[i]) != std::towlower(b[i]))
            return false;
    return true;
}

bool LessNoCase(const std::wstring& a, const std::wstring& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](wchar_t x, wchar_t y) { return std::towlower(x) < std::towlower(y); });
}

bool IsDropList(const Window& w) { return (w.style & 0x3) == CBS_DROPDOWNLIST; }

// Searches after `start` (-1: from the top), wrapping around, as CB_FINDSTRING* do.
int FindItemLocked(const Window& w, WPARAM start, const wchar_t* text, bool prefixOnly) {
    if (!text)
        return CB_ERR;
    int count = static_cast<int>(w.items.size());
    int first = static_cast<int>(start);
    if (first < -1 || first >= count)
        first = -1;
    for (int k = 1; k <= count; ++k) {
        int i = (first + k) % count;
        if (EqualNoCase(w.items[i], text, prefixOnly))
            return i;
    }
    return CB_ERR;
}

// Lock held. Selects `index` (or nothing); the shown text follows the selection.
void SelectLocked(Window& w, int index) {
    if (index < 0 || index >= static_cast<int>(w.items.size())) {
        w.curSel = -1;
        w.text.clear();
    } else {
        w.curSel = index;
        w.text = w.items[index];
    }
}

LRESULT CALLBACK ComboProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* str = reinterpret_cast<const wchar_t*>(lParam);
    UINT changed = 0;  // what to tell the back end afterwards
    LRESULT result = 0;
    switch (message) {
        case CB_ADDSTRING:
        case CB_INSERTSTRING:
            result = WithWindow(hwnd, CB_ERR, [&](Window& w) -> LRESULT {
                if (!str)
                    return CB_ERR;
                int count = static_cast<int>(w.items.size());
                int at = count;
                if (message == CB_INSERTSTRING) {
                    at = static_cast<int>(wParam);
                    if (at == -1)
                        at = count;
                    if (at < 0 || at > count)
                        return CB_ERR;
                } else if (w.style & CBS_SORT) {
                    std::wstring item(str);
                    at = static_cast<int>(std::upper_bound(w.items.begin(), w.items.end(), item, LessNoCase) -
                                          w.items.begin());
                }
                w.items.insert(w.items.begin() + at, str);
                if (w.curSel >= at)
                    ++w.curSel;
                changed = message;
                return at;
            });
            break;
        case CB_DELETESTRING:
            result = WithWindow(hwnd, CB_ERR, [&](Window& w) -> LRESULT {
                int at = static_cast<int>(wParam);
                if (at < 0 || at >= static_cast<int>(w.items.size()))
                    return CB_ERR;
                w.items.erase(w.items.begin() + at);
                if (w.curSel == at) {
                    w.curSel = -1;
                    if (IsDropList(w))
                        w.text.clear();
                } else if (w.curSel > at) {
                    --w.curSel;
                }
                changed = CB_DELETESTRING;
                return static_cast<LRESULT>(w.items.size());
            });
            break;
        case CB_RESETCONTENT:
            result = WithWindow(hwnd, CB_ERR, [&](Window& w) -> LRESULT {
                if (!w.items.empty() || !w.text.empty() || w.curSel != -1)
                    changed = CB_RESETCONTENT;
                w.items.clear();
                w.curSel = -1;
                w.text.clear();
                return CB_OKAY;
            });
            break;
        case CB_SETCURSEL:
            result = WithWindow(hwnd, CB_ERR, [&](Window& w) -> LRESULT {
                int before = w.curSel;
                std::wstring textBefore = w.text;
                int index = static_cast<int>(wParam);
                SelectLocked(w, index);
                if (w.curSel != before || w.text != textBefore)
                    changed = CB_SETCURSEL;
                return w.curSel == -1 ? CB_ERR : w.curSel;
            });
            break;
        case CB_SELECTSTRING:
            result = WithWindow(hwnd, CB_ERR, [&](Window& w) -> LRESULT {
                int found = FindItemLocked(w, wParam, str, true);
                if (found == CB_ERR)
                    return CB_ERR;  // Windows leaves the selection alone then
                if (found != w.curSel || w.text != w.items[found])
                    changed = CB_SETCURSEL;
                SelectLocked(w, found);
                return found;
            });
            break;
        case CB_GETCURSEL:
            return WithWindow(hwnd, CB_ERR, [](Window& w) -> LRESULT { return w.curSel; });
        case CB_GETCOUNT:
            return WithWindow(hwnd, CB_ERR, [](Window& w) { return static_cast<LRESULT>(w.items.size()); });
        case CB_GETLBTEXT:
            return WithWindow(hwnd, CB_ERR, [&](Window& w) -> LRESULT {
                int at = static_cast<int>(wParam);
                auto* out = reinterpret_cast<wchar_t*>(lParam);
                if (at < 0 || at >= static_cast<int>(w.items.size()) || !out)
                    return CB_ERR;
                // As on Windows the buffer must hold CB_GETLBTEXTLEN + 1 characters.
                std::copy(w.items[at].begin(), w.items[at].end(), out);
                out[w.items[at].size()] = L'\0';
                return static_cast<LRESULT>(w.items[at].size());
            });
        case CB_GETLBTEXTLEN:
            return WithWindow(hwnd, CB_ERR, [&](Window& w) -> LRESULT {
                int at = static_cast<int>(wParam);
                if (at < 0 || at >= static_cast<int>(w.items.size()))
                    return CB_ERR;
                return static_cast<LRESULT>(w.items[at].size());
            });
        case CB_FINDSTRINGEXACT:
        case CB_FINDSTRING:
            return WithWindow(hwnd, CB_ERR, [&](Window& w) -> LRESULT {
                return FindItemLocked(w, wParam, str, message == CB_FINDSTRING);
            });
        case CB_SHOWDROPDOWN: {
            bool open = wParam != 0;
            bool toggled = WithWindow(hwnd, 0, [open](Window& w) -> LRESULT {
                if (w.dropped == open)
                    return 0;
                w.dropped = open;
                return 1;
            });
            if (toggled)
                NotifyParent(hwnd, open ? CBN_DROPDOWN : CBN_CLOSEUP);
            return TRUE;
        }
        case CB_GETDROPPEDSTATE:
            return WithWindow(hwnd, 0, [](Window& w) -> LRESULT { return w.dropped; });
        case CB_LIMITTEXT:
            return TRUE;
        case CB_GETEDITSEL:
            return 0;
        case CB_SETEDITSEL:
            return WithWindow(hwnd, CB_ERR, [](Window& w) -> LRESULT { return IsDropList(w) ? CB_ERR : TRUE; });
        case WM_SETTEXT:
            result = WithWindow(hwnd, CB_ERR, [&](Window& w) -> LRESULT {
                std::wstring text = str ? str : L"";
                if (IsDropList(w)) {
                    int found = FindItemLocked(w, static_cast<WPARAM>(-1), text.c_str(), false);
                    if (found == CB_ERR)
                        return CB_ERR;
                    if (found != w.curSel)
                        changed = CB_SETCURSEL;
                    SelectLocked(w, found);
                    return TRUE;
                }
                // Typing or setting the edit text of a drop-down leaves no item selected.
                if (w.text != text)
                    changed = WM_SETTEXT;
                w.text = text;
                w.curSel = -1;
                return TRUE;
            });
            break;
        case WM_GETDLGCODE: {
            bool dropped = WithWindow(hwnd, 0, [](Window& w) -> LRESULT { return w.dropped; });
            // An open list takes Enter and Esc itself, to close.
            return DLGC_WANTARROWS | kDlgcWantChars | (dropped ? DLGC_WANTALLKEYS : 0);
        }
        case WM_KEYDOWN:
            if (wParam == VK_RETURN || wParam == VK_ESCAPE)
                ComboProc(hwnd, CB_SHOWDROPDOWN, FALSE, 0);
            return 0;
        default:
            return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    if (changed)
        NotifyChanged(hwnd, changed);
    return result;
}

// ---------------------------------------------------------------- msctls_progress32

LRESULT PackRange(int low, int high) { return static_cast<LRESULT>(MAKELONG(low, high)); }

int Clamp(int pos, int low, int high) { return low <= high ? std::clamp(pos, low, high) : std::clamp(pos, high, low); }

LRESULT CALLBACK ProgressProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    UINT changed = 0;
    bool rangeChanged = false;
    LRESULT result = 0;
    switch (message) {
        case PBM_SETRANGE:
        case PBM_SETRANGE32:
            result = WithWindow(hwnd, 0, [&](Window& w) {
                LRESULT old = PackRange(w.pbLow, w.pbHigh);
                int low = message == PBM_SETRANGE ? static_cast<int>(LOWORD(lParam)) : static_cast<int>(wParam);
                int high = message == PBM_SETRANGE ? static_cast<int>(HIWORD(lParam)) : static_cast<int>(lParam);
                rangeChanged = low != w.pbLow || high != w.pbHigh;
                w.pbLow = low;
                w.pbHigh = high;
                int pos = Clamp(w.pbPos, low, high);
                if (pos != w.pbPos) {
                    w.pbPos = pos;
                    changed = PBM_SETPOS;
                }
                return old;
            });
            break;
        case PBM_GETRANGE:
            return WithWindow(hwnd, 0, [&](Window& w) -> LRESULT {
                if (auto* range = reinterpret_cast<PBRANGE*>(lParam))
                    *range = PBRANGE{w.pbLow, w.pbHigh};
                return wParam ? w.pbLow : w.pbHigh;
            });
        case PBM_SETPOS:
        case PBM_DELTAPOS:
        case PBM_STEPIT:
            result = WithWindow(hwnd, 0, [&](Window& w) -> LRESULT {
                int old = w.pbPos;
                int pos = 0;
                if (message == PBM_SETPOS)
                    pos = static_cast<int>(wParam);
                else if (message == PBM_DELTAPOS)
                    pos = old + static_cast<int>(wParam);
                else {
                    // Stepping past the end starts again from the bottom, as Windows does.
                    pos = old + w.pbStep;
                    if (pos > std::max(w.pbLow, w.pbHigh))
                        pos = std::min(w.pbLow, w.pbHigh) + (pos - std::max(w.pbLow, w.pbHigh));
                }
                w.pbPos = Clamp(pos, w.pbLow, w.pbHigh);
                if (w.pbPos != old)
                    changed = PBM_SETPOS;
                return old;
            });
            break;
        case PBM_GETPOS:
            return WithWindow(hwnd, 0, [](Window& w) -> LRESULT { return w.pbPos; });
        case PBM_SETSTEP:
            return WithWindow(hwnd, 0, [&](Window& w) -> LRESULT {
                int old = w.pbStep;
                w.pbStep = static_cast<int>(wParam);
                return old;
            });
        case WM_GETDLGCODE:
            return kDlgcStatic;
        default:
            return DefWindowProcW(hwnd, message, wParam, lParam);
    }
    if (rangeChanged)
        NotifyChanged(hwnd, PBM_SETRANGE32);
    if (changed)
        NotifyChanged(hwnd, changed);
    return result;
}

struct ClassEntry {
    const wchar_t* name;
    WNDPROC proc;
};

const ClassEntry kClasses[] = {
    {WC_BUTTONW, ButtonProc},        {WC_STATICW, StaticProc},  {WC_COMBOBOXW, ComboProc},
    {PROGRESS_CLASSW, ProgressProc}, {L"Edit", DefWindowProcW}, {L"ListBox", DefWindowProcW},
    {L"ScrollBar", DefWindowProcW},
};

}  // namespace

bool LookupClass(const std::wstring& name, std::wstring* canonical, WNDPROC* proc) {
    // Class names are case-insensitive; the registered spelling is the one reported.
    for (const auto& entry : kClasses) {
        if (EqualNoCase(name, entry.name, false)) {
            *canonical = entry.name;
            *proc = entry.proc;
            return true;
        }
    }
    return false;
}

}  // namespace user32
