// Turns portable dialog data into what the Win32 dialog manager takes: the
// binary extended dialog template, and the initialisation data applied to a
// live dialog.
#pragma once

#include <vector>

#include "platform/platform.h"
#include "res/dialog_template.h"

namespace framework {

// The DLGTEMPLATEEX bytes for t, as 16-bit units (the buffer is DWORD aligned).
std::vector<WORD> BuildDialogTemplate(const DialogTemplateData& t);

// Applies DLGINIT entries to the dialog's controls: combo-box and list-box
// strings. Returns FALSE when the data is damaged (nothing after the damage
// is applied).
BOOL ApplyDialogInit(HWND hDlg, const DialogTemplateData& t);

}  // namespace framework
