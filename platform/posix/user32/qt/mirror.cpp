// Widgets for the built-in control classes and their state.
//
// The mapping follows how the classes look on Windows: push buttons do not
// act as default buttons (the dialog manager decides what Enter does), a
// group box is a frame behind its siblings, static text wraps and aligns by
// SS_LEFT / SS_CENTER / SS_RIGHT, a progress bar shows no percentage, and a
// combo box is editable only with CBS_DROPDOWN.
#include "platform/posix/user32/qt/mirror.h"

#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalBlocker>
#include <vector>

#include "platform/posix/user32/qt/event_wait.h"
#include "platform/posix/user32/qt/widgets.h"
#include "platform/posix/user32/window_driver.h"

namespace ui_qt {
namespace {

QString ToQString(const std::wstring& s) { return QString::fromStdWString(s); }

bool IsCombo(const std::wstring& cls) { return cls == WC_COMBOBOXW; }
bool IsButton(const std::wstring& cls) { return cls == WC_BUTTONW; }
bool IsStatic(const std::wstring& cls) { return cls == WC_STATICW; }
bool IsProgress(const std::wstring& cls) { return cls == PROGRESS_CLASSW; }

// The child's rectangle relative to its parent's client area. The window
// system's windows have no frame, so the offset of the two window
// rectangles is that position.
RECT RelativeRect(HWND hwnd) {
    RECT own{}, parent{};
    GetWindowRect(hwnd, &own);
    if (HWND p = GetParent(hwnd); p && GetWindowRect(p, &parent)) {
        own.left -= parent.left;
        own.right -= parent.left;
        own.top -= parent.top;
        own.bottom -= parent.top;
    }
    return own;
}

QWidget* MakeButton(HWND hwnd, DWORD style, QWidget* parent) {
    if ((style & BS_TYPEMASK) == BS_GROUPBOX) {
        auto* box = new QGroupBox(parent);
        box->setFocusPolicy(Qt::NoFocus);
        return box;
    }
    auto* button = new QPushButton(parent);
    // Enter belongs to the dialog manager, which clicks only a focused push
    // button; Qt's default-button logic must never act on its own.
    button->setAutoDefault(false);
    button->setDefault(false);
    QObject::connect(button, &QPushButton::clicked, button, [hwnd] {
        user32::OperatorClick(hwnd);
        InputHandled();
    });
    return button;
}

QWidget* MakeStatic(DWORD style, DWORD exStyle, QWidget* parent) {
    auto* label = new QLabel(parent);
    label->setTextFormat(Qt::PlainText);
    label->setWordWrap(true);
    Qt::Alignment align = Qt::AlignTop;
    switch (style & SS_TYPEMASK) {
        case SS_CENTER:
            align |= Qt::AlignHCenter;
            break;
        case SS_RIGHT:
            align |= Qt::AlignRight;
            break;
        default:
            align |= Qt::AlignLeft;
            break;
    }
    label->setAlignment(align);
    if (exStyle & WS_EX_STATICEDGE) {
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setLineWidth(1);
    }
    label->setFocusPolicy(Qt::NoFocus);
    return label;
}

QWidget* MakeProgress(DWORD style, QWidget* parent) {
    auto* bar = new QProgressBar(parent);
    bar->setTextVisible(false);
    bar->setFocusPolicy(Qt::NoFocus);
    // Without PBS_SMOOTH Windows draws blocks; Qt's bar draws as it draws.
    (void)style;
    return bar;
}

QWidget* MakeCombo(HWND hwnd, DWORD style, QWidget* parent) {
    const bool editable = (style & 0x3) == CBS_DROPDOWN;
    auto* combo = new DropDownCombo(hwnd, editable, parent);
    QObject::connect(combo, qOverload<int>(&QComboBox::activated), combo, [hwnd](int index) {
        user32::OperatorSelect(hwnd, index);
        InputHandled();
    });
    if (editable) {
        QObject::connect(combo->lineEdit(), &QLineEdit::textEdited, combo, [hwnd](const QString& text) {
            user32::OperatorType(hwnd, text.toStdWString());
            InputHandled();
        });
    }
    return combo;
}

}  // namespace

std::wstring WindowClass(HWND hwnd) {
    wchar_t name[64] = {};
    const int n = GetClassNameW(hwnd, name, static_cast<int>(std::size(name)));
    return std::wstring(name, n > 0 ? static_cast<size_t>(n) : 0);
}

std::wstring WindowText(HWND hwnd) {
    const int length = GetWindowTextLengthW(hwnd);
    if (length <= 0)
        return {};
    std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1);
    const int n = GetWindowTextW(hwnd, buffer.data(), static_cast<int>(buffer.size()));
    return std::wstring(buffer.data(), n > 0 ? static_cast<size_t>(n) : 0);
}

DWORD WindowStyle(HWND hwnd) { return static_cast<DWORD>(GetWindowLongW(hwnd, GWL_STYLE)); }
DWORD WindowExStyle(HWND hwnd) { return static_cast<DWORD>(GetWindowLongW(hwnd, GWL_EXSTYLE)); }

BaseUnits WindowSystemBaseUnits(HWND dlg, const BaseUnits& fallback) {
    RECT r{0, 0, 4, 8};
    if (!MapDialogRect(dlg, &r) || r.right <= 0 || r.bottom <= 0)
        return fallback;
    return BaseUnits{static_cast<int>(r.right), static_cast<int>(r.bottom)};
}

QWidget* CreateControl(HWND hwnd, QWidget* parentWidget, const BaseUnits& from, const BaseUnits& to) {
    const std::wstring cls = WindowClass(hwnd);
    const DWORD style = WindowStyle(hwnd);
    const DWORD exStyle = WindowExStyle(hwnd);
    QWidget* widget = nullptr;
    if (IsButton(cls)) {
        widget = MakeButton(hwnd, style, parentWidget);
    } else if (IsStatic(cls)) {
        widget = MakeStatic(style, exStyle, parentWidget);
    } else if (IsProgress(cls)) {
        widget = MakeProgress(style, parentWidget);
    } else if (IsCombo(cls)) {
        widget = MakeCombo(hwnd, style, parentWidget);
    } else {
        widget = new QWidget(parentWidget);
    }
    SetHwnd(widget, hwnd);

    QRect geometry = ConvertRect(RelativeRect(hwnd), from, to);
    if (auto* combo = qobject_cast<QComboBox*>(widget)) {
        // The template's height includes the open list; closed, the box is
        // as tall as its font makes it.
        geometry.setHeight(combo->sizeHint().height());
    }
    widget->setGeometry(geometry);
    if (qobject_cast<QGroupBox*>(widget))
        widget->lower();  // a frame behind what it frames

    MirrorText(hwnd, widget);
    if (auto* combo = qobject_cast<QComboBox*>(widget))
        MirrorComboItems(hwnd, combo);
    if (auto* bar = qobject_cast<QProgressBar*>(widget))
        MirrorProgress(hwnd, bar);
    MirrorEnabled(hwnd, widget);
    MirrorVisible(hwnd, widget);
    return widget;
}

void MirrorText(HWND hwnd, QWidget* widget) {
    const QString text = ToQString(WindowText(hwnd));
    if (auto* button = qobject_cast<QPushButton*>(widget)) {
        button->setText(text);
    } else if (auto* box = qobject_cast<QGroupBox*>(widget)) {
        box->setTitle(text);
    } else if (auto* label = qobject_cast<QLabel*>(widget)) {
        label->setText(text);
    } else if (auto* combo = qobject_cast<QComboBox*>(widget)) {
        if (combo->isEditable()) {
            if (combo->lineEdit()->text() != text) {
                const QSignalBlocker block(combo);
                combo->setEditText(text);
            }
        } else {
            MirrorComboItems(hwnd, combo);
        }
    } else if (widget->isWindow()) {
        widget->setWindowTitle(text);
    }
}

void MirrorEnabled(HWND hwnd, QWidget* widget) { widget->setEnabled(IsWindowEnabled(hwnd) != FALSE); }

void MirrorVisible(HWND hwnd, QWidget* widget) {
    const bool visible = (WindowStyle(hwnd) & WS_VISIBLE) != 0;
    if (widget->isWindow()) {
        if (!visible) {
            widget->hide();
        } else if (IsIconic(hwnd)) {
            widget->showMinimized();
        } else if (widget->isHidden() || widget->isMinimized()) {
            widget->showNormal();
        }
    } else {
        widget->setVisible(visible);
    }
}

void MirrorComboItems(HWND hwnd, QComboBox* combo) {
    QStringList items;
    const LRESULT count = SendMessageW(hwnd, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        const LRESULT length = SendMessageW(hwnd, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
        if (length < 0)
            break;  // the list changed under us; the next notification redraws it
        std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1);
        const LRESULT n =
            SendMessageW(hwnd, CB_GETLBTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(buffer.data()));
        if (n < 0)
            break;
        items.push_back(QString::fromWCharArray(buffer.data(), static_cast<qsizetype>(n)));
    }
    const int selection = static_cast<int>(SendMessageW(hwnd, CB_GETCURSEL, 0, 0));

    const QSignalBlocker block(combo);
    QStringList shown;
    for (int i = 0; i < combo->count(); ++i)
        shown.push_back(combo->itemText(i));
    if (shown != items) {
        combo->clear();
        combo->addItems(items);
    }
    combo->setCurrentIndex(selection >= 0 && selection < items.size() ? selection : -1);
    if (combo->isEditable()) {
        // The edit text is the window's text, which a typed name makes
        // different from every item.
        const QString text = ToQString(WindowText(hwnd));
        if (combo->lineEdit()->text() != text)
            combo->setEditText(text);
    }
}

void MirrorProgress(HWND hwnd, QProgressBar* bar) {
    PBRANGE range{0, 100};
    SendMessageW(hwnd, PBM_GETRANGE, TRUE, reinterpret_cast<LPARAM>(&range));
    int position = static_cast<int>(SendMessageW(hwnd, PBM_GETPOS, 0, 0));
    // Qt shows an empty range as a busy indicator, and ignores positions
    // outside the range; Windows draws an empty bar and clamps.
    if (range.iHigh <= range.iLow) {
        bar->setRange(0, 1);
        bar->setValue(0);
        return;
    }
    if (position < range.iLow)
        position = range.iLow;
    if (position > range.iHigh)
        position = range.iHigh;
    bar->setRange(range.iLow, range.iHigh);
    bar->setValue(position);
}

}  // namespace ui_qt
