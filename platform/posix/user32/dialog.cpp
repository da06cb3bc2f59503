// Dialogs: reading an in-memory extended dialog template (DLGTEMPLATEEX),
// creating the dialog and its controls, the modal loop, EndDialog, the
// dialog keyboard interface (IsDialogMessageW), the dialog window procedure
// and DefDlgProcW.
//
// Dialog units become pixels with fixed base units, those of the 8-point
// "MS Shell Dlg" font at 96 dpi: 4 horizontal dialog units are 6 pixels and 8
// vertical ones 13 pixels, whatever font the template names. Headless
// windows have no frame, so the dialog's window and client rectangles have
// the template's size.
//
// The dialog procedure protocol is the Windows one: the dialog's window
// procedure calls the DLGPROC; when that returns FALSE, DefDlgProcW's default
// processing runs; otherwise the result is DWLP_MSGRESULT (or the DLGPROC's
// own value for the messages that return one directly). DefDlgProcW here is
// the default processing alone and never calls the DLGPROC, so a DLGPROC may
// call it for its default without recursing.
//
// Not supported (creation fails with ERROR_CALL_NOT_IMPLEMENTED): the old
// DLGTEMPLATE form, menus and private dialog classes in a template.
#include <algorithm>
#include <cstring>

#include "platform/posix/user32/window_driver.h"
#include "platform/posix/user32/window_state.h"

namespace user32 {

const wchar_t kDialogClass[] = L"#32770";

namespace {

constexpr int kBaseUnitX = 6;                // pixels per 4 horizontal dialog units
constexpr int kBaseUnitY = 13;               // pixels per 8 vertical dialog units
constexpr size_t kMaxTemplateString = 4096;  // a longer string means the data is not a template

int MulDivRound(int value, int numerator, int denominator) {
    long long product = static_cast<long long>(value) * numerator;
    long long half = denominator / 2;
    return static_cast<int>(product >= 0 ? (product + half) / denominator : (product - half) / denominator);
}

RECT DialogUnitsToPixels(int x, int y, int cx, int cy) {
    int left = MulDivRound(x, kBaseUnitX, 4);
    int top = MulDivRound(y, kBaseUnitY, 8);
    return RECT{left, top, left + MulDivRound(cx, kBaseUnitX, 4), top + MulDivRound(cy, kBaseUnitY, 8)};
}

// Reads the template's 16-bit units in place. The data carries no length, so
// strings are bounded to refuse garbage rather than run through memory.
class TemplateReader {
public:
    explicit TemplateReader(const void* base) : base_(static_cast<const BYTE*>(base)) {}

    WORD Word() {
        WORD v;
        std::memcpy(&v, base_ + offset_, sizeof v);
        offset_ += sizeof v;
        return v;
    }
    DWORD Dword() {
        DWORD low = Word();
        DWORD high = Word();
        return low | (high << 16);
    }
    short Short() { return static_cast<short>(Word()); }
    BYTE Byte() { return base_[offset_++]; }
    void AlignDword() { offset_ = (offset_ + 3) & ~size_t{3}; }
    void Skip(size_t bytes) { offset_ += bytes; }

    // A zero-terminated UTF-16 string, surrogate pairs joined for wchar_t.
    bool String(std::wstring* out) {
        out->clear();
        for (;;) {
            if (out->size() > kMaxTemplateString)
                return false;
            WORD unit = Word();
            if (unit == 0)
                return true;
            if (unit >= 0xD800 && unit < 0xDC00) {
                WORD low = Word();
                if (low < 0xDC00 || low > 0xDFFF)
                    return false;
                out->push_back(static_cast<wchar_t>(0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00)));
            } else {
                out->push_back(static_cast<wchar_t>(unit));
            }
        }
    }
    // sz_Or_Ord: 0x0000 none, 0xFFFF and an ordinal, or a string.
    bool StringOrOrdinal(std::wstring* text, WORD* ordinal) {
        *ordinal = 0;
        text->clear();
        WORD first = Word();
        if (first == 0x0000)
            return true;
        if (first == 0xFFFF) {
            *ordinal = Word();
            return true;
        }
        offset_ -= sizeof(WORD);
        return String(text);
    }

private:
    const BYTE* base_;
    size_t offset_ = 0;
};

struct ItemTemplate {
    DWORD exStyle = 0;
    DWORD style = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    LONG_PTR id = 0;
    std::wstring className;
    std::wstring text;
};

struct DialogTemplate {
    DWORD exStyle = 0;
    DWORD style = 0;
    short x = 0, y = 0, cx = 0, cy = 0;
    std::wstring title;
    std::vector<ItemTemplate> items;
};

const wchar_t* AtomClass(WORD atom) {
    switch (atom) {
        case 0x80:
            return L"Button";
        case 0x81:
            return L"Edit";
        case 0x82:
            return L"Static";
        case 0x83:
            return L"ListBox";
        case 0x84:
            return L"ScrollBar";
        case 0x85:
            return L"ComboBox";
        default:
            return nullptr;
    }
}

// Fills `out` only when the whole template reads; the last error says why not.
bool ParseTemplate(const void* data, DialogTemplate* out) {
    if (!data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    TemplateReader r(data);
    WORD version = r.Word();
    WORD signature = r.Word();
    if (version != 1 || signature != 0xFFFF) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);  // only DLGTEMPLATEEX is read
        return false;
    }
    DialogTemplate t;
    r.Dword();  // helpID
    t.exStyle = r.Dword();
    t.style = r.Dword();
    WORD count = r.Word();
    t.x = r.Short();
    t.y = r.Short();
    t.cx = r.Short();
    t.cy = r.Short();
    std::wstring menu, windowClass;
    WORD menuOrdinal = 0, classOrdinal = 0, titleOrdinal = 0;
    if (!r.StringOrOrdinal(&menu, &menuOrdinal) || !r.StringOrOrdinal(&windowClass, &classOrdinal) ||
        !r.StringOrOrdinal(&t.title, &titleOrdinal)) {
        SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    if (!menu.empty() || menuOrdinal || !windowClass.empty() || classOrdinal) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return false;
    }
    if (t.style & DS_SETFONT) {
        r.Word();  // point size
        r.Word();  // weight
        r.Byte();  // italic
        r.Byte();  // character set
        std::wstring typeface;
        if (!r.String(&typeface)) {
            SetLastError(ERROR_INVALID_DATA);
            return false;
        }
    }
    for (WORD i = 0; i < count; ++i) {
        r.AlignDword();
        ItemTemplate item;
        r.Dword();  // helpID
        item.exStyle = r.Dword();
        item.style = r.Dword();
        item.x = r.Short();
        item.y = r.Short();
        item.cx = r.Short();
        item.cy = r.Short();
        item.id = static_cast<int32_t>(r.Dword());
        WORD atom = 0, textOrdinal = 0;
        if (!r.StringOrOrdinal(&item.className, &atom) || !r.StringOrOrdinal(&item.text, &textOrdinal)) {
            SetLastError(ERROR_INVALID_DATA);
            return false;
        }
        if (atom) {
            const wchar_t* name = AtomClass(atom);
            if (!name) {
                SetLastError(ERROR_INVALID_DATA);
                return false;
            }
            item.className = name;
        }
        WORD extra = r.Word();
        r.Skip(extra);  // creation data for the control; the built-in classes take none
        t.items.push_back(std::move(item));
    }
    *out = std::move(t);
    return true;
}

bool IsTabStopLocked(HWND hwnd) {
    auto w = FindLocked(hwnd);
    return w && (w->style & WS_TABSTOP) && (w->style & WS_VISIBLE) && !(w->style & WS_DISABLED);
}

HWND CreateDialogInternal(LPCDLGTEMPLATEW tmpl, HWND parent, DLGPROC proc, LPARAM init) {
    DialogTemplate t;
    if (!ParseTemplate(tmpl, &t))
        return nullptr;
    if (parent && !IsWindow(parent)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return nullptr;
    }
    RECT rect = DialogUnitsToPixels(t.x, t.y, t.cx, t.cy);
    RECT owner{};
    if (parent && GetWindowRect(parent, &owner)) {
        rect.left += owner.left;
        rect.right += owner.left;
        rect.top += owner.top;
        rect.bottom += owner.top;
    }
    // Created hidden; shown after WM_INITDIALOG when the template says so.
    HWND dlg = CreateWindowInternal(kDialogClass, t.title, t.style & ~WS_VISIBLE, t.exStyle, rect, parent, 0, proc);
    if (!dlg)
        return nullptr;
    for (const auto& item : t.items) {
        RECT r = DialogUnitsToPixels(item.x, item.y, item.cx, item.cy);
        if (!CreateWindowInternal(item.className, item.text, item.style | WS_CHILD, item.exStyle, r, dlg, item.id,
                                  nullptr)) {
            DWORD cause = GetLastError();
            DestroyWindow(dlg);
            SetLastError(cause);
            return nullptr;
        }
    }
    HWND first = NextTabStop(dlg, nullptr, false);
    LRESULT wantsFocus = CallWindow(dlg, WM_INITDIALOG, reinterpret_cast<WPARAM>(first), init);
    if (!IsWindow(dlg)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);  // the dialog procedure destroyed it
        return nullptr;
    }
    // TRUE asks for the default focus: the first tab stop as it is now.
    if (wantsFocus) {
        if (HWND focus = NextTabStop(dlg, nullptr, false))
            SetFocus(focus);
    }
    if (t.style & WS_VISIBLE)
        ShowWindow(dlg, SW_SHOWNORMAL);
    return dlg;
}

bool DialogEnded(HWND dlg) {
    std::lock_guard<std::mutex> lock(Reg().lock);
    auto w = FindLocked(dlg);
    return !w || w->ended;
}

// The id that Enter commands when no push button has the focus: the default
// push button's, else IDOK. Null `button` when none is there.
int DefaultCommandId(HWND dlg, HWND* button) {
    std::lock_guard<std::mutex> lock(Reg().lock);
    *button = nullptr;
    auto w = FindLocked(dlg);
    if (!w)
        return IDOK;
    for (HWND child : w->children) {
        auto c = FindLocked(child);
        if (c && c->className == WC_BUTTONW && (c->style & BS_TYPEMASK) == BS_DEFPUSHBUTTON) {
            *button = child;
            return static_cast<int>(c->id);
        }
    }
    return IDOK;
}

void SendCommand(HWND dlg, int id) {
    HWND control = nullptr;
    {
        std::lock_guard<std::mutex> lock(Reg().lock);
        if (auto w = FindLocked(dlg)) {
            for (HWND child : w->children) {
                auto c = FindLocked(child);
                if (c && static_cast<int>(c->id) == id)
                    control = child;
            }
        }
    }
    SendMessageW(dlg, WM_COMMAND, MAKEWPARAM(id, BN_CLICKED), reinterpret_cast<LPARAM>(control));
}

bool ReturnsValueDirectly(UINT message) {
    switch (message) {
        case WM_INITDIALOG:
        case WM_QUERYDRAGICON:
        case 0x0039:  // WM_COMPAREITEM
        case 0x002E:  // WM_VKEYTOITEM
        case 0x002F:  // WM_CHARTOITEM
            return true;
        default:
            return message >= 0x0132 && message <= 0x0138;  // WM_CTLCOLOR*
    }
}

}  // namespace

HWND NextTabStop(HWND dlg, HWND from, bool backwards) {
    std::lock_guard<std::mutex> lock(Reg().lock);
    auto w = FindLocked(dlg);
    if (!w)
        return nullptr;
    std::vector<HWND> order = w->children;
    if (backwards)
        std::reverse(order.begin(), order.end());
    auto start = std::find(order.begin(), order.end(), from);
    size_t n = order.size();
    size_t begin = start == order.end() ? n - 1 : static_cast<size_t>(start - order.begin());
    for (size_t k = 1; k <= n; ++k) {
        HWND candidate = order[(begin + k) % n];
        if (IsTabStopLocked(candidate))
            return candidate;
    }
    return nullptr;
}

LRESULT CALLBACK DialogWindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam) {
    DLGPROC proc = nullptr;
    {
        std::lock_guard<std::mutex> lock(Reg().lock);
        auto w = FindLocked(hwnd);
        if (!w)
            return 0;
        proc = w->dlgProc;
    }
    if (proc) {
        INT_PTR handled = proc(hwnd, message, wParam, lParam);
        if (handled) {
            if (ReturnsValueDirectly(message))
                return handled;
            std::lock_guard<std::mutex> lock(Reg().lock);
            auto w = FindLocked(hwnd);
            return w ? w->msgResult : 0;
        }
        if (!IsWindow(hwnd))
            return 0;
    }
    return DefDlgProcW(hwnd, message, wParam, lParam);
}

}  // namespace user32

using namespace user32;

LRESULT WINAPI DefDlgProcW(HWND hDlg, UINT Msg, WPARAM wParam, LPARAM lParam) {
    switch (Msg) {
        case WM_INITDIALOG:
        case WM_COMMAND:
            return 0;
        case WM_CLOSE:
            // A dialog is closed by its Cancel command, which its procedure may refuse.
            PostMessageW(hDlg, WM_COMMAND, MAKEWPARAM(IDCANCEL, BN_CLICKED),
                         reinterpret_cast<LPARAM>(GetDlgItem(hDlg, IDCANCEL)));
            return 0;
        case WM_NEXTDLGCTL: {
            HWND target = lParam ? reinterpret_cast<HWND>(wParam) : NextTabStop(hDlg, GetFocus(), wParam != 0);
            if (target)
                SetFocus(target);
            return 0;
        }
        case WM_SETFOCUS: {
            HWND restore = nullptr;
            {
                std::lock_guard<std::mutex> lock(Reg().lock);
                auto w = FindLocked(hDlg);
                if (w && FindLocked(w->lastFocus))
                    restore = w->lastFocus;
            }
            if (!restore)
                restore = NextTabStop(hDlg, nullptr, false);
            if (restore)
                SetFocus(restore);
            return 0;
        }
        default:
            return DefWindowProcW(hDlg, Msg, wParam, lParam);
    }
}

HWND WINAPI CreateDialogIndirectParamW(HINSTANCE /*hInstance*/, LPCDLGTEMPLATEW lpTemplate, HWND hWndParent,
                                       DLGPROC lpDialogFunc, LPARAM dwInitParam) {
    return CreateDialogInternal(lpTemplate, hWndParent, lpDialogFunc, dwInitParam);
}

INT_PTR WINAPI DialogBoxIndirectParamW(HINSTANCE /*hInstance*/, LPCDLGTEMPLATEW hDialogTemplate, HWND hWndParent,
                                       DLGPROC lpDialogFunc, LPARAM dwInitParam) {
    if (hWndParent && !IsWindow(hWndParent)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;  // Windows answers 0 for a bad owner, -1 for other failures
    }
    // The owner takes no input while its modal dialog is up.
    bool ownerDisabled = hWndParent && IsWindowEnabled(hWndParent);
    if (ownerDisabled)
        EnableWindow(hWndParent, FALSE);
    HWND dlg = CreateDialogInternal(hDialogTemplate, hWndParent, lpDialogFunc, dwInitParam);
    INT_PTR result = -1;
    if (dlg) {
        bool quit = false;
        int quitCode = 0;
        while (!DialogEnded(dlg)) {
            MSG m;
            if (!NextMessage(&m, nullptr, 0, 0, true, true, [dlg] { return DialogEnded(dlg); }))
                continue;
            if (m.message == WM_QUIT) {
                // As on Windows the modal loop ends and leaves the quit for the outer loop.
                quit = true;
                quitCode = static_cast<int>(m.wParam);
                break;
            }
            if (!IsDialogMessageW(dlg, &m)) {
                TranslateMessage(&m);
                DispatchMessageW(&m);
            }
        }
        {
            std::lock_guard<std::mutex> lock(Reg().lock);
            auto w = FindLocked(dlg);
            if (w && w->ended)
                result = w->endResult;
        }
        if (IsWindow(dlg))
            DestroyWindow(dlg);
        if (quit)
            PostQuitMessage(quitCode);
    }
    if (ownerDisabled && IsWindow(hWndParent))
        EnableWindow(hWndParent, TRUE);
    return result;
}

BOOL WINAPI EndDialog(HWND hDlg, INT_PTR nResult) {
    DWORD owner = 0;
    {
        std::lock_guard<std::mutex> lock(Reg().lock);
        auto w = FindLocked(hDlg);
        if (!w || !w->isDialog) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
        w->ended = true;
        w->endResult = nResult;
        owner = w->thread;
    }
    // The modal loop may be waiting: let it see that it is over.
    Driver().Wake(owner);
    if (owner == CurrentThread())
        ShowWindow(hDlg, SW_HIDE);
    return TRUE;
}

BOOL WINAPI IsDialogMessageW(HWND hDlg, LPMSG lpMsg) {
    if (!lpMsg)
        return FALSE;
    {
        std::lock_guard<std::mutex> lock(Reg().lock);
        if (!FindLocked(hDlg) || !IsSelfOrDescendantLocked(hDlg, lpMsg->hwnd))
            return FALSE;
    }
    HWND focus = GetFocus();
    bool focusInDialog = false;
    {
        std::lock_guard<std::mutex> lock(Reg().lock);
        focusInDialog = focus && focus != hDlg && IsSelfOrDescendantLocked(hDlg, focus);
    }
    // The focused control may claim the key for itself.
    bool key = lpMsg->message == WM_KEYDOWN;
    LRESULT code =
        key && focusInDialog ? SendMessageW(focus, WM_GETDLGCODE, lpMsg->wParam, reinterpret_cast<LPARAM>(lpMsg)) : 0;
    if (key && !(code & DLGC_WANTALLKEYS)) {
        switch (lpMsg->wParam) {
            case VK_ESCAPE:
                SendCommand(hDlg, IDCANCEL);
                return TRUE;
            case VK_RETURN: {
                // A focused push button takes Enter as a click; otherwise it is the
                // dialog's default command.
                if (code & (DLGC_DEFPUSHBUTTON | DLGC_UNDEFPUSHBUTTON)) {
                    SendMessageW(focus, BM_CLICK, 0, 0);
                    return TRUE;
                }
                HWND button = nullptr;
                int id = DefaultCommandId(hDlg, &button);
                if (button && !IsWindowEnabled(button))
                    return TRUE;
                SendCommand(hDlg, id);
                return TRUE;
            }
            case VK_TAB:
                if (code & DLGC_WANTTAB)
                    break;
                if (HWND next = NextTabStop(hDlg, focusInDialog ? focus : nullptr, false))
                    SetFocus(next);
                return TRUE;
            default:
                break;
        }
    }
    if (lpMsg->message == WM_SYSKEYDOWN && lpMsg->wParam == VK_F4) {
        SendMessageW(hDlg, WM_SYSCOMMAND, SC_CLOSE, 0);
        return TRUE;
    }
    TranslateMessage(lpMsg);
    DispatchMessageW(lpMsg);
    return TRUE;
}

BOOL WINAPI MapDialogRect(HWND hDlg, LPRECT lpRect) {
    if (!lpRect) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    {
        std::lock_guard<std::mutex> lock(Reg().lock);
        auto w = FindLocked(hDlg);
        if (!w || !w->isDialog) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return FALSE;
        }
    }
    RECT r = *lpRect;
    *lpRect = RECT{MulDivRound(r.left, kBaseUnitX, 4), MulDivRound(r.top, kBaseUnitY, 8),
                   MulDivRound(r.right, kBaseUnitX, 4), MulDivRound(r.bottom, kBaseUnitY, 8)};
    return TRUE;
}

LRESULT WINAPI SendDlgItemMessageW(HWND hDlg, int nIDDlgItem, UINT Msg, WPARAM wParam, LPARAM lParam) {
    HWND item = GetDlgItem(hDlg, nIDDlgItem);
    return item ? SendMessageW(item, Msg, wParam, lParam) : 0;
}
