// Builds the binary extended dialog template (DLGTEMPLATEEX) that
// DialogBoxIndirectParamW takes from portable template data, as the resource
// compiler lays it out, so the window system's tests run on the tool's real
// dialog and on small variations of it.
#pragma once

#include <string>
#include <vector>

#include "framework/dialog_template.h"

namespace user32test {

// The template words; pass Words().data() as the LPCDLGTEMPLATEW.
class TemplateImage {
public:
    explicit TemplateImage(const DialogTemplateData& data);
    LPCDLGTEMPLATEW Get() const { return reinterpret_cast<LPCDLGTEMPLATEW>(words_.data()); }
    std::vector<WORD>& Words() { return words_; }

private:
    std::vector<WORD> words_;
};

// One control for a hand-made template.
struct ItemSpec {
    int id;
    std::wstring windowClass;
    std::wstring text;
    DWORD style;
    DWORD exStyle = 0;
    short x = 0, y = 0, cx = 40, cy = 12;
};

// A small dialog with the given controls (no DS_SETFONT unless asked).
TemplateImage MakeDialog(const std::wstring& caption, DWORD style, const std::vector<ItemSpec>& items);

}  // namespace user32test
