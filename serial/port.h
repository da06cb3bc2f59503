// The serial port of a run: open, configure, close and write, on the window
// thread, over the Win32 communications calls.
//
// Layers: UpgradeOpenPort/UpgradeClosePort for the run engine,
// OpenDebugDevice/CloseDebugDevice for the port and its receive watcher,
// OpenDevice/ConfigDevice/CloseDevice for the handle. The port path is
// g_DebugDevFileName; the handle lives in g_PortHandle.
#pragma once

#include <string>

#include "platform/api.h"

// The line settings handed to ConfigDevice, built afresh at every open.
struct PortSettings {
    DWORD baudRate;                     // 3686400 or 115200, from IDC_BAUD
    BYTE dataBits;                      // 8
    BYTE stopBits;                      // ONESTOPBIT
    BYTE parity;                        // NOPARITY
    DWORD readIntervalTimeout;          // ms between two bytes: 100
    DWORD readTotalTimeoutMultiplier;   // ms per byte: 10
    DWORD readTotalTimeoutConstant;     // ms: 1000
    DWORD writeTotalTimeoutMultiplier;  // ms per byte: 10
    DWORD writeTotalTimeoutConstant;    // ms: 1000
};

// The settings of every open at the given line speed.
PortSettings DefaultPortSettings(DWORD baudRate);

// Opens and configures the port and shows "<name>: Open" in the connection
// status line. False when the port cannot be opened or configured.
bool UpgradeOpenPort();
// Closes the port for the run engine; safe when none is open.
void UpgradeClosePort();

// Closes any old handle, opens g_DebugDevFileName, applies the line speed
// chosen in IDC_BAUD and the fixed settings, and makes sure one receive
// watcher runs.
bool OpenDebugDevice();
// Stops the watcher's loop, pauses so that it leaves before the handle goes,
// then closes the handle.
void CloseDebugDevice();

// Opens g_DebugDevFileName as this system wants the port opened
// (serial/port_io.h); the handle, or null on failure.
HANDLE OpenDevice();
// Applies settings to g_PortHandle; true when every setting was accepted.
bool ConfigDevice(const PortSettings& settings);
// Closes g_PortHandle when set and clears it.
void CloseDevice();

// One synchronous write of length bytes; the write's success flag. A write
// that timed out succeeds with fewer bytes: written, when given, receives
// the count that went.
BOOL PortWrite(const BYTE* data, DWORD length, DWORD* written = nullptr);

// The text after the last backslash of path; empty when it has none.
std::wstring PortShortName(const wchar_t* path);
