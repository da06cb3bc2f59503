// On Windows the window is the system's own dialog: nothing but the program
// reads the command line.
#include "window/toolkit.h"

std::string ToolkitSynopsis() { return ""; }
std::vector<usage::Option> ToolkitOptions() { return {}; }
std::string ToolkitEnvironment() { return ""; }
