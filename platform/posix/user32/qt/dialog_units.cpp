// Measuring base units and converting between dialog units and pixels.
#include "platform/posix/user32/qt/dialog_units.h"

#include <QFontMetrics>
#include <cmath>

namespace ui_qt {
namespace {

int MulDivRound(int value, int numerator, int denominator) {
    const long long product = static_cast<long long>(value) * numerator;
    // Rounds half away from zero, as MulDiv does.
    const long long half = denominator / 2;
    return static_cast<int>(product >= 0 ? (product + half) / denominator : -((-product + half) / denominator));
}

// The du whose image under `unit` is px; when px lies between two images the
// nearer one wins.
int Inverse(int px, int unit, int divisor) {
    if (unit <= 0)
        return px;
    int du = static_cast<int>(std::lround(static_cast<double>(px) * divisor / unit));
    for (int candidate : {du, du - 1, du + 1})
        if (MulDivRound(candidate, unit, divisor) == px)
            return candidate;
    return du;
}

}  // namespace

QFont DialogFont(int pointSize) {
    QFont font(QStringLiteral("Sans Serif"), pointSize > 0 ? pointSize : 8);
    font.setStyleHint(QFont::SansSerif);
    return font;
}

BaseUnits MeasureBaseUnits(const QFont& font) {
    const QFontMetrics metrics(font);
    const int width = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
    // The dialog manager's rounding of the average: (total / 26 + 1) / 2.
    BaseUnits base;
    base.x = (width / 26 + 1) / 2;
    base.y = metrics.height();
    if (base.x <= 0)
        base.x = 1;
    if (base.y <= 0)
        base.y = 1;
    return base;
}

int DialogToPixelsX(int du, const BaseUnits& base) { return MulDivRound(du, base.x, 4); }
int DialogToPixelsY(int du, const BaseUnits& base) { return MulDivRound(du, base.y, 8); }
int PixelsToDialogX(int px, const BaseUnits& base) { return Inverse(px, base.x, 4); }
int PixelsToDialogY(int px, const BaseUnits& base) { return Inverse(px, base.y, 8); }

QRect ConvertRect(const RECT& r, const BaseUnits& from, const BaseUnits& to) {
    // Position and size are mapped each on its own, as the dialog manager
    // places a template's controls (x, y, cx, cy), so a width does not move
    // with the rounding of its left edge.
    const int x = DialogToPixelsX(PixelsToDialogX(r.left, from), to);
    const int y = DialogToPixelsY(PixelsToDialogY(r.top, from), to);
    const int cx = DialogToPixelsX(PixelsToDialogX(r.right - r.left, from), to);
    const int cy = DialogToPixelsY(PixelsToDialogY(r.bottom - r.top, from), to);
    return QRect(x, y, cx, cy);
}

}  // namespace ui_qt
