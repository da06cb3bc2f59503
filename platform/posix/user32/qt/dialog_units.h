// Dialog units and the dialog font.
//
// Dialog templates measure everything in dialog units: a quarter of the
// font's average character width across, an eighth of its height down. The
// template's font, "MS Shell Dlg" at 8 points, does not exist here; a sans
// font of the same size stands in, and the base units are measured from it
// the way the dialog manager measures them.
#pragma once

#include <QFont>
#include <QRect>

#include "platform/api.h"

namespace ui_qt {

struct BaseUnits {
    int x = 0;  // average character width, pixels
    int y = 0;  // character height, pixels
};

// The stand-in for the dialog font of the given point size.
QFont DialogFont(int pointSize);
// The base units of a font: the average width of the 52 Latin letters,
// rounded, and the font's height.
BaseUnits MeasureBaseUnits(const QFont& font);

// A dialog-unit coordinate to pixels; rounds as MulDiv does.
int DialogToPixelsX(int du, const BaseUnits& base);
int DialogToPixelsY(int du, const BaseUnits& base);
// The dialog-unit coordinate that maps to `px` under `base` (the inverse of
// the above); used to read back rectangles the window system stored in its
// own pixels.
int PixelsToDialogX(int px, const BaseUnits& base);
int PixelsToDialogY(int px, const BaseUnits& base);

// A rectangle of the window system (pixels under `from`) re-laid out in Qt
// pixels under `to`: its position and its size, each read back to dialog
// units and mapped again.
QRect ConvertRect(const RECT& r, const BaseUnits& from, const BaseUnits& to);

}  // namespace ui_qt
