// The keyboard and focus seam between Qt and the dialog manager.
//
// Installed on the application, it sees every key before any widget does.
// In a window of the window system, Esc, Enter, Tab, Shift+Tab and Alt+F4 go
// to the dialog manager (user32::OperatorKey) and no further, so neither Qt's
// focus chain nor any default-button or reject logic of Qt ever acts. A
// click that moves the focus is told to the window system, which owns the
// focus. In a message box without a Cancel button, Esc and the close request
// do nothing, as on Windows.
#pragma once

#include <QObject>

namespace ui_qt {

class InputFilter : public QObject {
public:
    bool eventFilter(QObject* watched, QEvent* event) override;
};

// Marks a message box whose Esc and close request must be ignored.
void MarkNoEscape(QObject* box);

}  // namespace ui_qt
