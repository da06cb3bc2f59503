// The one header the core and the framework include for the operating system.
//
// On Windows it is the real Win32 API (user32, comctl32, kernel32, setupapi).
// Everywhere else it is our own declaration of exactly the subset the tool
// calls, implemented in platform/posix/. Nothing else in the tree chooses a
// platform.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <commctrl.h>
#include <dbt.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <devguid.h>
// The text that opens the port name inside a port's friendly name: "USB Serial (COM7)".
#define PLATFORM_PORT_NAME_OPENER L"(COM"
#else
#include "posix/win32.h"
// Linux ports are named ttyACM0, ttyUSB0 ...: "Terminal (ttyACM0)".
#define PLATFORM_PORT_NAME_OPENER L"(tty"
#endif
