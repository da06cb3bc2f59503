// The binary extended dialog template (DLGTEMPLATEEX) and DLGINIT.
//
// Windows reads templates in 16-bit units with UTF-16 strings and DWORD-
// aligned items; wchar_t is 32 bits on glibc, so strings are encoded here
// rather than copied.
#include "framework/dialog_template.h"

#include <cstring>
#include <string>

namespace framework {
namespace {

class TemplateWriter {
public:
    void Word(WORD w) { out_.push_back(w); }
    void Dword(DWORD d) {
        Word(static_cast<WORD>(d & 0xFFFF));
        Word(static_cast<WORD>(d >> 16));
    }
    void Short(short s) { Word(static_cast<WORD>(s)); }
    void String(const wchar_t* s) {
        for (; s && *s; ++s) {
            const uint32_t c = static_cast<uint32_t>(*s);
            if (c > 0xFFFF) {  // outside the BMP: a surrogate pair
                const uint32_t v = c - 0x10000;
                Word(static_cast<WORD>(0xD800 + (v >> 10)));
                Word(static_cast<WORD>(0xDC00 + (v & 0x3FF)));
            } else {
                Word(static_cast<WORD>(c));
            }
        }
        Word(0);
    }
    void AlignDword() {
        if (out_.size() % 2)
            Word(0);
    }
    std::vector<WORD> Take() { return std::move(out_); }

private:
    std::vector<WORD> out_;
};

// The predefined control classes are stored as atoms, as the resource compiler does.
WORD ClassAtom(const wchar_t* name) {
    if (std::wcscmp(name, L"Button") == 0)
        return 0x0080;
    if (std::wcscmp(name, L"Edit") == 0)
        return 0x0081;
    if (std::wcscmp(name, L"Static") == 0)
        return 0x0082;
    if (std::wcscmp(name, L"ListBox") == 0)
        return 0x0083;
    if (std::wcscmp(name, L"ScrollBar") == 0)
        return 0x0084;
    if (std::wcscmp(name, L"ComboBox") == 0)
        return 0x0085;
    return 0;
}

}  // namespace

std::vector<WORD> BuildDialogTemplate(const DialogTemplateData& t) {
    TemplateWriter w;
    w.Word(1);       // dlgVer
    w.Word(0xFFFF);  // signature: extended template
    w.Dword(0);      // helpID
    w.Dword(t.exStyle);
    w.Dword(t.style);
    w.Word(static_cast<WORD>(t.items.size()));
    w.Short(t.x);
    w.Short(t.y);
    w.Short(t.cx);
    w.Short(t.cy);
    w.Word(0);  // no menu
    w.Word(0);  // the standard dialog class
    w.String(t.caption);
    if (t.style & DS_SETFONT) {
        w.Word(t.pointSize);
        w.Word(t.weight);
        w.Word(static_cast<WORD>(t.italic | (t.charset << 8)));
        w.String(t.font);
    }
    for (const DialogItemData& item : t.items) {
        w.AlignDword();
        w.Dword(0);  // helpID
        w.Dword(item.exStyle);
        w.Dword(item.style);
        w.Short(item.x);
        w.Short(item.y);
        w.Short(item.cx);
        w.Short(item.cy);
        w.Dword(static_cast<DWORD>(item.id));
        if (const WORD atom = ClassAtom(item.windowClass)) {
            w.Word(0xFFFF);
            w.Word(atom);
        } else {
            w.String(item.windowClass);
        }
        w.String(item.text);
        w.Word(0);  // no creation data
    }
    return w.Take();
}

BOOL ApplyDialogInit(HWND hDlg, const DialogTemplateData& t) {
    // Win16 message codes, which the resource compiler still writes.
    constexpr WORD kWin16LbAddString = 0x0401;
    constexpr WORD kWin16CbAddString = 0x0403;
    constexpr UINT kLbAddString = 0x0180;

    const BYTE* p = t.dlgInit.data();
    size_t left = t.dlgInit.size();
    auto take16 = [&](WORD& v) {
        if (left < 2)
            return false;
        v = static_cast<WORD>(p[0] | (p[1] << 8));
        p += 2;
        left -= 2;
        return true;
    };
    while (left > 0) {
        WORD id = 0, message = 0, lenLow = 0, lenHigh = 0;
        if (!take16(id))
            return FALSE;
        if (id == 0)
            return TRUE;
        if (!take16(message) || !take16(lenLow) || !take16(lenHigh))
            return FALSE;
        const DWORD length = lenLow | (static_cast<DWORD>(lenHigh) << 16);
        if (length > left)
            return FALSE;
        // The data is 8-bit text with its terminator; it is never trusted to
        // carry one.
        std::wstring text;
        for (DWORD i = 0; i < length && p[i] != 0; ++i)
            text.push_back(static_cast<wchar_t>(p[i]));
        if (message == kWin16CbAddString) {
            SendDlgItemMessageW(hDlg, id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
        } else if (message == kWin16LbAddString) {
            SendDlgItemMessageW(hDlg, id, kLbAddString, 0, reinterpret_cast<LPARAM>(text.c_str()));
        }
        p += length;
        left -= length;
    }
    return TRUE;
}

}  // namespace framework
