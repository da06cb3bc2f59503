// Dialog templates as portable data.
//
// The framework turns a DialogTemplateData into the binary extended dialog
// template (DLGTEMPLATEEX) that DialogBoxIndirectParamW takes, on every
// platform, and applies its initialisation data (DLGINIT) when the dialog
// initialises.
#pragma once

#include <cstdint>
#include <span>

#include "platform/platform.h"

struct DialogItemData {
    int id;               // IDC_STATIC is -1
    const wchar_t* windowClass;
    const wchar_t* text;
    DWORD style;
    DWORD exStyle;
    short x, y, cx, cy;   // dialog units
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

// The template with this id, or null.
const DialogTemplateData* FindDialogTemplate(UINT id);
