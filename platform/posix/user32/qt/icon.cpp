// Drawing the window icon: a terminal (a dark body with a screen) and a
// downward arrow, the upgrade going onto it. Simple shapes only, so that it
// reads at 16 pixels too.
#include "platform/posix/user32/qt/icon.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>

namespace ui_qt {
namespace {

QPixmap Draw(int size) {
    QPixmap pixmap(size, size);
    pixmap.fill(Qt::transparent);
    QPainter p(&pixmap);
    p.setRenderHint(QPainter::Antialiasing);
    const qreal s = size;
    // The terminal's body and screen.
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x2f, 0x3b, 0x4c));
    p.drawRoundedRect(QRectF(s * 0.18, s * 0.08, s * 0.64, s * 0.84), s * 0.08, s * 0.08);
    p.setBrush(QColor(0x7f, 0xc8, 0xf8));
    p.drawRect(QRectF(s * 0.26, s * 0.16, s * 0.48, s * 0.34));
    // The arrow onto the screen.
    p.setBrush(QColor(0x2e, 0xa0, 0x43));
    QPainterPath arrow;
    arrow.moveTo(s * 0.44, s * 0.56);
    arrow.lineTo(s * 0.56, s * 0.56);
    arrow.lineTo(s * 0.56, s * 0.68);
    arrow.lineTo(s * 0.66, s * 0.68);
    arrow.lineTo(s * 0.50, s * 0.88);
    arrow.lineTo(s * 0.34, s * 0.68);
    arrow.lineTo(s * 0.44, s * 0.68);
    arrow.closeSubpath();
    p.drawPath(arrow);
    return pixmap;
}

}  // namespace

QIcon ApplicationIcon() {
    QIcon icon;
    for (int size : {16, 32, 48})
        icon.addPixmap(Draw(size));
    return icon;
}

}  // namespace ui_qt
