// What the window toolkit under the window program reads from its command
// line, for the program's help and man page. One definition per toolkit,
// chosen by the build: Qt on Linux (toolkit_qt.cpp), the system's own
// windows on Windows (toolkit_win32.cpp), which read nothing.
#pragma once

#include <string>
#include <vector>

#include "tools/usage/program.h"

// The synopsis form ("[-platform NAME] ..."), empty when the toolkit reads none.
std::string ToolkitSynopsis();
std::vector<usage::Option> ToolkitOptions();
// Sentences for the ENVIRONMENT section, each starting with a space; empty
// when the toolkit reads no variable.
std::string ToolkitEnvironment();
