// The Qt window back end: user32::WindowDriver over Qt 6 widgets.
//
// Every window of the window system made on the GUI thread gets a widget
// (see mirror.h for which); the widget follows the window's state through
// WindowChanged and reports the operator's actions back. Waiting, waking and
// message boxes are in event_wait.h and message_box.h.
//
// Also the one entry point tests use to look at what is shown.
#pragma once

#include <QWidget>

#include "platform/api.h"

namespace ui_qt {

// The widget showing `hwnd`, or null. GUI thread.
QWidget* WidgetFor(HWND hwnd);

}  // namespace ui_qt
