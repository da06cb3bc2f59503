// MessageBoxW as a modal QMessageBox.
//
// The caption, text, icon (MB_ICON*) and buttons (MB_OK, MB_YESNO ...) are
// those of the call; the answer is the Win32 id of the button pressed. The
// caller keeps the window system's messages flowing while it is open.
#pragma once

#include <QWidget>
#include <string>

#include "platform/api.h"

namespace ui_qt {

// Runs the box over `owner` (may be null) and returns IDOK, IDYES ...
int RunMessageBox(QWidget* owner, const std::wstring& text, const std::wstring& caption, UINT type);

}  // namespace ui_qt
