// The one QApplication of the process, made when the window system first
// needs a window or a message box, and the thread it belongs to.
//
// Qt widgets live on one thread only: the thread that made the application.
// The window system's own windows are all made on the window thread, so that
// thread becomes Qt's GUI thread.
#pragma once

#include <QApplication>

#include "platform/api.h"

namespace ui_qt {

// The running QApplication, created on the calling thread when none exists.
// An application made by someone else (a test's own) is used as it is.
QApplication* EnsureApplication();
// True when an application exists and the caller is its thread.
bool OnGuiThread();
// The Win32 thread id of the GUI thread, 0 before an application exists.
DWORD GuiThreadId();

}  // namespace ui_qt
