// The window icon: a picture drawn in code at the icon sizes the tool
// declares (48, 32 and 16 pixels), standing for any icon the program sets.
#pragma once

#include <QIcon>

namespace ui_qt {

QIcon ApplicationIcon();

}  // namespace ui_qt
