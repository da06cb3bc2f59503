// The widget classes and the widget-to-handle link.
#include "platform/posix/user32/qt/widgets.h"

#include <QAbstractItemView>
#include <QCloseEvent>
#include <QLineEdit>
#include <QVariant>

#include "platform/posix/user32/qt/event_wait.h"
#include "platform/posix/user32/qt/mirror.h"
#include "platform/posix/user32/window_driver.h"

namespace ui_qt {
namespace {

constexpr char kHwndProperty[] = "vantrelHwnd";

}  // namespace

HWND HwndOf(const QObject* object) {
    for (; object; object = object->parent()) {
        const QVariant v = object->property(kHwndProperty);
        if (v.isValid())
            return reinterpret_cast<HWND>(v.value<quintptr>());
        // A separate top-level (a combo box's popup) does not belong to its
        // owner's window for this purpose.
        if (auto* w = qobject_cast<const QWidget*>(object); w && w->isWindow())
            return nullptr;
    }
    return nullptr;
}

void SetHwnd(QWidget* widget, HWND hwnd) {
    widget->setProperty(kHwndProperty, QVariant::fromValue(reinterpret_cast<quintptr>(hwnd)));
}

TopLevelWindow::TopLevelWindow(HWND hwnd) : hwnd_(hwnd) { SetHwnd(this, hwnd); }

void TopLevelWindow::closeEvent(QCloseEvent* event) {
    // The close box, the window manager's Alt+F4 and session requests all
    // land here; the window stays unless the window system destroys it.
    event->ignore();
    user32::OperatorClose(hwnd_);
    InputHandled();
}

void TopLevelWindow::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange)
        return;
    const bool minimized = (windowState() & Qt::WindowMinimized) != 0;
    if (minimized != (IsIconic(hwnd_) != FALSE)) {
        user32::OperatorMinimize(hwnd_, minimized);
        InputHandled();
    }
}

DropDownCombo::DropDownCombo(HWND hwnd, bool editable, QWidget* parent) : QComboBox(parent), hwnd_(hwnd) {
    SetHwnd(this, hwnd);
    setEditable(editable);
    // Typed text is the window system's edit text; Qt must not add it to the list.
    setInsertPolicy(QComboBox::NoInsert);
    if (editable)
        lineEdit()->setFocusPolicy(Qt::StrongFocus);
}

void DropDownCombo::showPopup() {
    // The parent hears of the opening before the list is shown, so that it
    // can rebuild the items (the port list is refreshed this way).
    user32::OperatorDropDown(hwnd_);
    if (!IsWindow(hwnd_))
        return;
    MirrorComboItems(hwnd_, this);
    QComboBox::showPopup();
    // The popup closes itself on Esc and on a press outside it, without
    // going through hidePopup(); its hiding is what every way out shares.
    if (QWidget* popup = view()->window(); popup != window() && popup != watchedPopup_) {
        popup->installEventFilter(this);
        watchedPopup_ = popup;
    }
    InputHandled();
}

bool DropDownCombo::eventFilter(QObject* watched, QEvent* event) {
    if (watched == watchedPopup_ && event->type() == QEvent::Hide && IsWindow(hwnd_)) {
        user32::OperatorCloseUp(hwnd_);
        InputHandled();
    }
    return QComboBox::eventFilter(watched, event);
}

}  // namespace ui_qt
