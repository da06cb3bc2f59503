// The screenshot hook for the demo and the tests: with VANTREL_SCREENSHOT set
// to a PNG path, a top-level window saves a picture of itself there
// VANTREL_SCREENSHOT_DELAY_MS (default 1500) milliseconds after it appears
// and prints "screenshot: <path>"; with VANTREL_EXIT_AFTER_SCREENSHOT=1 the
// program then ends.
#pragma once

#include <QWidget>

#include "platform/api.h"

namespace ui_qt {

// Arms the hook for the top-level window `hwnd` shown by `widget`, when the
// environment asks for it. GUI thread.
void ArmScreenshot(HWND hwnd, QWidget* widget);

}  // namespace ui_qt
