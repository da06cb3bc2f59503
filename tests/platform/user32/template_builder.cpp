// DLGTEMPLATEEX writer for the tests: 16-bit units, UTF-16 strings, items
// aligned on 32 bits, the predefined classes as atoms (0xFFFF 0x0080 ...).
#include "tests/platform/user32/template_builder.h"

#include <deque>

namespace user32test {

namespace {

class Writer {
public:
    explicit Writer(std::vector<WORD>& out) : out_(out) {}
    void Word(WORD w) { out_.push_back(w); }
    void Dword(DWORD d) {
        Word(static_cast<WORD>(d & 0xFFFF));
        Word(static_cast<WORD>(d >> 16));
    }
    void String(const std::wstring& s) {
        for (wchar_t c : s) {
            if (c >= 0x10000) {
                DWORD v = static_cast<DWORD>(c) - 0x10000;
                Word(static_cast<WORD>(0xD800 + (v >> 10)));
                Word(static_cast<WORD>(0xDC00 + (v & 0x3FF)));
            } else {
                Word(static_cast<WORD>(c));
            }
        }
        Word(0);
    }
    void Class(const std::wstring& name) {
        static const std::pair<const wchar_t*, WORD> atoms[] = {{L"Button", 0x80},    {L"Edit", 0x81},
                                                                {L"Static", 0x82},    {L"ListBox", 0x83},
                                                                {L"ScrollBar", 0x84}, {L"ComboBox", 0x85}};
        for (auto& [atomName, atom] : atoms) {
            if (name == atomName) {
                Word(0xFFFF);
                Word(atom);
                return;
            }
        }
        String(name);
    }
    void AlignDword() {
        if (out_.size() % 2)
            Word(0);
    }

private:
    std::vector<WORD>& out_;
};

void WriteHeader(Writer& w, DWORD style, DWORD exStyle, WORD count, short x, short y, short cx, short cy,
                 const std::wstring& caption) {
    w.Word(1);
    w.Word(0xFFFF);
    w.Dword(0);  // helpID
    w.Dword(exStyle);
    w.Dword(style);
    w.Word(count);
    w.Word(static_cast<WORD>(x));
    w.Word(static_cast<WORD>(y));
    w.Word(static_cast<WORD>(cx));
    w.Word(static_cast<WORD>(cy));
    w.Word(0);  // no menu
    w.Word(0);  // the standard dialog class
    w.String(caption);
}

void WriteItem(Writer& w, DWORD id, const std::wstring& cls, const std::wstring& text, DWORD style, DWORD exStyle,
               short x, short y, short cx, short cy) {
    w.AlignDword();
    w.Dword(0);  // helpID
    w.Dword(exStyle);
    w.Dword(style);
    w.Word(static_cast<WORD>(x));
    w.Word(static_cast<WORD>(y));
    w.Word(static_cast<WORD>(cx));
    w.Word(static_cast<WORD>(cy));
    w.Dword(id);
    w.Class(cls);
    w.String(text);
    w.Word(0);  // no creation data
}

}  // namespace

TemplateImage::TemplateImage(const DialogTemplateData& d) {
    Writer w(words_);
    WriteHeader(w, d.style, d.exStyle, static_cast<WORD>(d.items.size()), d.x, d.y, d.cx, d.cy, d.caption);
    if (d.style & DS_SETFONT) {
        w.Word(d.pointSize);
        w.Word(d.weight);
        w.Word(static_cast<WORD>(d.italic | (d.charset << 8)));
        w.String(d.font);
    }
    for (const auto& item : d.items)
        WriteItem(w, static_cast<WORD>(item.id), item.windowClass, item.text, item.style, item.exStyle, item.x, item.y,
                  item.cx, item.cy);
}

TemplateImage MakeDialog(const std::wstring& caption, DWORD style, const std::vector<ItemSpec>& items) {
    static const DialogItemData kNone[1] = {};
    DialogTemplateData data{0, L"", L"", 8, 0, 0, 1, style, 0, 0, 0, 120, 80, std::span<const DialogItemData>(kNone, 0),
                            {}};
    // Keep the strings alive for the writer.
    std::deque<std::wstring> strings;
    std::vector<DialogItemData> converted;
    for (const auto& item : items) {
        strings.push_back(item.windowClass);
        const wchar_t* cls = strings.back().c_str();
        strings.push_back(item.text);
        converted.push_back(DialogItemData{item.id, cls, strings.back().c_str(), item.style, item.exStyle, item.x,
                                           item.y, item.cx, item.cy});
    }
    strings.push_back(caption);
    data.caption = strings.back().c_str();
    strings.push_back(L"MS Shell Dlg");
    data.font = strings.back().c_str();
    data.items = converted;
    return TemplateImage(data);
}

}  // namespace user32test
