// The Qt widgets that stand for the window system's windows, and the link
// from a widget back to its window handle.
//
// Widgets never own state: the window system does. They report the
// operator's actions (close, minimise, opening a list, picking, typing,
// clicking) through the user32 Operator calls and are then brought up to date
// by the window system's change notifications.
#pragma once

#include <QComboBox>
#include <QWidget>

#include "platform/api.h"

namespace ui_qt {

// The window a widget (or the nearest of its ancestors) stands for; null when
// it belongs to none.
HWND HwndOf(const QObject* object);
// Marks a widget as standing for hwnd.
void SetHwnd(QWidget* widget, HWND hwnd);

// A top-level window (the dialog). Closing it is only a request to the
// window system, which decides; so is minimising.
class TopLevelWindow : public QWidget {
public:
    explicit TopLevelWindow(HWND hwnd);

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    HWND hwnd_;
};

// A combo box whose list, before it opens, is refilled by the window system:
// the parent gets CBN_DROPDOWN first and may rebuild the items. However the
// list goes away (a pick, Esc, a click outside), the window system hears
// that it closed.
class DropDownCombo : public QComboBox {
public:
    DropDownCombo(HWND hwnd, bool editable, QWidget* parent);
    void showPopup() override;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    HWND hwnd_;
    QObject* watchedPopup_ = nullptr;
};

}  // namespace ui_qt
