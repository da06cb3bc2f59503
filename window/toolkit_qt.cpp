// Qt reads its own options from the real command line when the window
// system starts; the window program accepts them and passes them on.
#include "window/toolkit.h"

std::string ToolkitSynopsis() { return "[-platform NAME] [-style NAME] [-reverse]"; }

std::vector<usage::Option> ToolkitOptions() {
    return {
        {"-platform", "NAME", "Qt's window system plugin: xcb, wayland or offscreen."},
        {"-style", "NAME", "Qt's widget style, such as Fusion."},
        {"-reverse", "", "Lay the window out right to left (Qt)."},
    };
}

std::string ToolkitEnvironment() { return " QT_QPA_PLATFORM chooses the window system as -platform does."; }
