// Building and answering the message box.
//
// Windows gives a box without a Cancel button (MB_YESNO,
// MB_ABORTRETRYIGNORE) no way out by Esc or the close box; Qt would take its
// No button instead, so those boxes are marked to ignore both. The first
// button is the default, as with MB_DEFBUTTON1.
#include "platform/posix/user32/qt/message_box.h"

#include <QMessageBox>
#include <QPushButton>
#include <utility>
#include <vector>

#include "platform/posix/user32/qt/input_filter.h"

namespace ui_qt {
namespace {

QMessageBox::Icon IconFor(UINT type) {
    switch (type & MB_ICONMASK) {
        case MB_ICONHAND:
            return QMessageBox::Critical;
        case MB_ICONQUESTION:
            return QMessageBox::Question;
        case MB_ICONEXCLAMATION:
            return QMessageBox::Warning;
        case MB_ICONASTERISK:
            return QMessageBox::Information;
        default:
            return QMessageBox::NoIcon;
    }
}

struct ButtonSpec {
    QMessageBox::StandardButton button;
    int id;
};

std::vector<ButtonSpec> ButtonsFor(UINT type) {
    switch (type & MB_TYPEMASK) {
        case MB_OKCANCEL:
            return {{QMessageBox::Ok, IDOK}, {QMessageBox::Cancel, IDCANCEL}};
        case MB_ABORTRETRYIGNORE:
            return {{QMessageBox::Abort, IDABORT}, {QMessageBox::Retry, IDRETRY}, {QMessageBox::Ignore, IDIGNORE}};
        case MB_YESNOCANCEL:
            return {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}, {QMessageBox::Cancel, IDCANCEL}};
        case MB_YESNO:
            return {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}};
        case MB_RETRYCANCEL:
            return {{QMessageBox::Retry, IDRETRY}, {QMessageBox::Cancel, IDCANCEL}};
        default:
            return {{QMessageBox::Ok, IDOK}};
    }
}

}  // namespace

int RunMessageBox(QWidget* owner, const std::wstring& text, const std::wstring& caption, UINT type) {
    QMessageBox box(owner);
    box.setIcon(IconFor(type));
    box.setWindowTitle(QString::fromStdWString(caption));
    box.setText(QString::fromStdWString(text));
    box.setTextFormat(Qt::PlainText);
    const std::vector<ButtonSpec> buttons = ButtonsFor(type);
    QMessageBox::StandardButtons all;
    for (const ButtonSpec& b : buttons)
        all |= b.button;
    box.setStandardButtons(all);
    box.setDefaultButton(buttons.front().button);

    int escapeId = 0;
    for (const ButtonSpec& b : buttons)
        if (b.id == IDCANCEL)
            escapeId = IDCANCEL;
    if (buttons.size() == 1)
        escapeId = buttons.front().id;  // MB_OK: Esc is OK
    if (escapeId != 0) {
        for (const ButtonSpec& b : buttons)
            if (b.id == escapeId)
                box.setEscapeButton(b.button);
    } else {
        MarkNoEscape(&box);
    }

    box.exec();
    const auto* clicked = box.clickedButton();
    for (const ButtonSpec& b : buttons)
        if (clicked && clicked == box.button(b.button))
            return b.id;
    // Closed without a button (Esc or the close box): the escape button's
    // answer. A box that has none cannot be closed that way; should it go
    // anyhow, no button was pressed and, as MessageBoxW on failure, 0 says so
    // rather than a Yes nobody gave.
    return escapeId;
}

}  // namespace ui_qt
