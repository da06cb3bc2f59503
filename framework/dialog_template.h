// Dialog templates as portable data, and what turns them into what the Win32
// dialog manager takes: the binary extended dialog template (DLGTEMPLATEEX)
// that DialogBoxIndirectParamW takes, on every platform, and the
// initialisation data (DLGINIT) applied to a live dialog.
//
// Not here: any application's dialogs. A program's resources define
// FindDialogTemplate with its own templates, as its .rc would on Windows.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "platform/api.h"

struct DialogItemData {
    int id;  // IDC_STATIC is -1
    const wchar_t* windowClass;
    const wchar_t* text;
    DWORD style;
    DWORD exStyle;
    short x, y, cx, cy;  // dialog units
};

struct DialogTemplateData {
    UINT id;
    const wchar_t* caption;
    const wchar_t* font;
    WORD pointSize;
    WORD weight;
    BYTE italic;
    BYTE charset;
    DWORD style;
    DWORD exStyle;
    short x, y, cx, cy;
    std::span<const DialogItemData> items;  // template order, which is the tab order
    // DLGINIT resource bytes: entries of control id (16 bits), message (16 bits),
    // data length (32 bits) and 8-bit data; a 16-bit 0 ends the list. Empty when none.
    std::span<const BYTE> dlgInit;
};

// The template with this id, or null. Defined by the program's resources
// (res/ for this tool); the framework looks its dialogs up through it.
const DialogTemplateData* FindDialogTemplate(UINT id);

namespace framework {

// The DLGTEMPLATEEX bytes for t, as 16-bit units (the buffer is DWORD aligned).
std::vector<WORD> BuildDialogTemplate(const DialogTemplateData& t);

// Applies DLGINIT entries to the dialog's controls: combo-box and list-box
// strings. Returns FALSE when the data is damaged (nothing after the damage
// is applied).
BOOL ApplyDialogInit(HWND hDlg, const DialogTemplateData& t);

}  // namespace framework
