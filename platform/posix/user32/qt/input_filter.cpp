// Routing keys and focus to the window system.
#include "platform/posix/user32/qt/input_filter.h"

#include <QFocusEvent>
#include <QKeyEvent>
#include <QMessageBox>
#include <QVariant>
#include <QWidget>

#include "platform/posix/user32/qt/event_wait.h"
#include "platform/posix/user32/qt/widgets.h"
#include "platform/posix/user32/window_driver.h"

namespace ui_qt {
namespace {

constexpr char kNoEscapeProperty[] = "vantrelNoEscape";

// The top-level window of the window system that `object` lies in.
HWND DialogOf(QObject* object) {
    auto* widget = qobject_cast<QWidget*>(object);
    if (!widget)
        return nullptr;
    return HwndOf(widget->window());
}

bool InNoEscapeBox(QObject* object) {
    auto* widget = qobject_cast<QWidget*>(object);
    return widget && widget->window()->property(kNoEscapeProperty).toBool();
}

bool RouteKey(HWND dlg, const QKeyEvent* key) {
    const Qt::KeyboardModifiers mods = key->modifiers() & ~Qt::KeypadModifier;
    switch (key->key()) {
        case Qt::Key_Escape:
            user32::OperatorKey(dlg, VK_ESCAPE, false);
            return true;
        case Qt::Key_Return:
        case Qt::Key_Enter:
            user32::OperatorKey(dlg, VK_RETURN, (mods & Qt::AltModifier) != 0);
            return true;
        case Qt::Key_Tab:
            if (mods & Qt::ShiftModifier) {
                SendMessageW(dlg, WM_NEXTDLGCTL, TRUE, FALSE);  // the previous tab stop
            } else {
                user32::OperatorKey(dlg, VK_TAB, false);
            }
            return true;
        case Qt::Key_Backtab:
            SendMessageW(dlg, WM_NEXTDLGCTL, TRUE, FALSE);
            return true;
        case Qt::Key_F4:
            if (mods & Qt::AltModifier) {
                user32::OperatorKey(dlg, VK_F4, true);
                return true;
            }
            return false;
        default:
            return false;
    }
}

}  // namespace

void MarkNoEscape(QObject* box) { box->setProperty(kNoEscapeProperty, true); }

bool InputFilter::eventFilter(QObject* watched, QEvent* event) {
    switch (event->type()) {
        case QEvent::KeyPress: {
            auto* key = static_cast<QKeyEvent*>(event);
            if (InNoEscapeBox(watched))
                return key->key() == Qt::Key_Escape;
            const HWND dlg = DialogOf(watched);
            if (!dlg)
                return false;
            if (!RouteKey(dlg, key))
                return false;
            InputHandled();
            return true;
        }
        case QEvent::KeyRelease: {
            // The release of a routed key must not reach a widget either: a push
            // button clicks on the release of Enter when it saw the press.
            auto* key = static_cast<QKeyEvent*>(event);
            if (!DialogOf(watched))
                return false;
            switch (key->key()) {
                case Qt::Key_Escape:
                case Qt::Key_Return:
                case Qt::Key_Enter:
                case Qt::Key_Tab:
                case Qt::Key_Backtab:
                    return true;
                default:
                    return false;
            }
        }
        case QEvent::Close: {
            // A pressed button closes the box through a close event too; only a
            // close request without an answer is refused.
            auto* box = qobject_cast<QMessageBox*>(watched);
            if (box && InNoEscapeBox(box) && !box->clickedButton()) {
                event->ignore();
                return true;
            }
            return false;
        }
        case QEvent::FocusIn: {
            // The mouse moved the focus; the window system must follow, or Enter
            // would still act on the control it thinks has the focus.
            auto* focus = static_cast<QFocusEvent*>(event);
            if (focus->reason() != Qt::MouseFocusReason)
                return false;
            const HWND hwnd = HwndOf(watched);
            const HWND dlg = DialogOf(watched);
            if (!hwnd || !dlg || hwnd == dlg || GetFocus() == hwnd)
                return false;
            SetFocus(hwnd);
            return false;
        }
        default:
            return false;
    }
}

}  // namespace ui_qt
