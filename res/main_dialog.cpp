// IDD_MAIN_DIALOG: the tool's only window.
#include "framework/dialog_template.h"
#include "res/ids.h"

namespace {

const DialogItemData kMainDialogItems[] = {
    {IDC_BTN_LOADER, L"Button", L"loader", 0x50010000, 0, 23, 58, 58, 14},
    {IDC_BTN_QUIT, L"Button", L"Quit", 0x50010000, 0, 105, 57, 58, 14},
    {IDC_PROGRESS, L"msctls_progress32", L"", 0x50800000, 0, 7, 129, 243, 7},
    {IDC_STATIC, L"Static", L"KORIMEX  upgrader v2.0", 0x50020001, 0, 73, 23, 107, 13},
    {IDC_STATIC, L"Button", L"", 0x50000007, 0, 16, 10, 231, 37},
    {IDC_CONNECT_STATUS, L"Static", L"connected status", 0x50020001, 0x00020000, 176, 59, 70, 11},
    {IDC_PROGRESS_STATUS, L"Static", L"Progress Status", 0x50020000, 0, 25, 114, 196, 10},
    {IDC_PORT_LABEL, L"Static", L"Port:", 0x50020000, 0, 28, 90, 23, 8},
    {IDC_PORT, L"ComboBox", L"", 0x50210002, 0, 50, 87, 54, 68},
    {IDC_BAUD_LABEL, L"Static", L"Baud:", 0x50020000, 0, 138, 89, 24, 8},
    {IDC_BAUD, L"ComboBox", L"", 0x50210003, 0, 175, 86, 54, 68},
};

// The line speeds of IDC_BAUD, as the resource compiler stores DLGINIT:
// id 1016 (0x03F8), message 0x0403 (add a combo-box string), length, text with its zero.
const BYTE kMainDialogInit[] = {
    0xF8, 0x03, 0x03, 0x04, 0x08, 0x00, 0x00, 0x00, '3', '6', '8', '6', '4', '0',  '0',  0x00, 0xF8,
    0x03, 0x03, 0x04, 0x07, 0x00, 0x00, 0x00, '1',  '1', '5', '2', '0', '0', 0x00, 0x00, 0x00,
};

const DialogTemplateData kMainDialog = {
    IDD_MAIN_DIALOG,  L"Vantrel",      L"MS Shell Dlg", 8, 0, 0, 1, 0x90C000C8, 0x00040000, 0, 0, 257, 148,
    kMainDialogItems, kMainDialogInit,
};

}  // namespace

const DialogTemplateData* FindDialogTemplate(UINT id) { return id == IDD_MAIN_DIALOG ? &kMainDialog : nullptr; }
