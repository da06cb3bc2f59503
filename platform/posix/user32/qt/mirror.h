// Mirroring the window system's windows in widgets: which widget stands for
// which window class and style, and bringing a widget up to date with its
// window's text, enabled state, visibility, list and progress.
//
// Everything is read back through the Win32 calls, never from the window
// system's internals, so the widgets show exactly what a program would read.
#pragma once

#include <QComboBox>
#include <QProgressBar>
#include <QWidget>
#include <string>

#include "platform/api.h"
#include "platform/posix/user32/qt/dialog_units.h"

namespace ui_qt {

std::wstring WindowClass(HWND hwnd);
std::wstring WindowText(HWND hwnd);
DWORD WindowStyle(HWND hwnd);
DWORD WindowExStyle(HWND hwnd);

// The window system's base units for a dialog: what MapDialogRect maps
// (4, 8) dialog units to. `fallback` when the window has none.
BaseUnits WindowSystemBaseUnits(HWND dlg, const BaseUnits& fallback);

// Makes the widget for a child window of `parentWidget` (Button, Static,
// ComboBox, msctls_progress32; any other class gets a plain widget) and
// places it: `from` are the window system's base units, `to` the widget
// font's.
QWidget* CreateControl(HWND hwnd, QWidget* parentWidget, const BaseUnits& from, const BaseUnits& to);

void MirrorText(HWND hwnd, QWidget* widget);
void MirrorEnabled(HWND hwnd, QWidget* widget);
void MirrorVisible(HWND hwnd, QWidget* widget);
// Items, selection and (for an editable box) the edit text.
void MirrorComboItems(HWND hwnd, QComboBox* combo);
void MirrorProgress(HWND hwnd, QProgressBar* bar);

}  // namespace ui_qt
