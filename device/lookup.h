// The table of supported terminals and the lookups over the present serial
// ports: a terminal's port path, the names of all ports, and the port box.
//
// Every call asks the device-setup interface afresh and destroys its device
// set before returning, so the presence monitor can poll without growing the
// process. Nothing here keeps state; the table is constant.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "common/state.h"
#include "platform/api.h"

// One supported terminal: the setup class searched and the texts its first
// hardware ID must contain. An empty mi accepts any interface.
struct DeviceIdEntry {
    GUID classGuid;
    wchar_t vid[16];
    wchar_t pid[16];
    wchar_t mi[8];
};

constexpr int kDeviceIdRows = 2;
extern const DeviceIdEntry g_DeviceIdTable[kDeviceIdRows];

// The port name inside a friendly name: the text strictly between the "(" of
// the first opener and the first ")" anywhere, when that ")" comes after the
// opener. Case-sensitive. Returns false when the name has none.
bool PortNameOf(const wchar_t* friendlyName, const wchar_t** name, size_t* length);

// Whether a device's first hardware ID contains the row's VID, PID and (when
// the row names one) MI text. Case-sensitive, as Windows writes the IDs.
bool MatchesRow(const wchar_t* firstHardwareId, const DeviceIdEntry& row);

// Port name list: names one after another, each zero-terminated, closed by
// an empty string. Names and terminators take at most 255 characters.
constexpr int kPortListChars = 256;

// A device property read whole. The buffer holds the bytes the device-setup
// interface returned followed by at least two zero wchar_t, so it can be read
// as a string or a multi-string even when the platform gave no terminator.
// Null when the property could not be read (the cause is traced).
std::unique_ptr<BYTE[]> ReadDeviceProperty(HDEVINFO deviceSet, SP_DEVINFO_DATA* device, DWORD property);

// Finds the first present device matching row and writes "\\.\" + its port
// name into path. Returns false and leaves path untouched when none is found.
bool FindDevicePort(const DeviceIdEntry& row, wchar_t (&path)[kDevFileNameChars]);

// One present terminal port, as FindDevicePorts reports it.
struct DevicePortMatch {
    std::wstring path;          // "\\.\" + the port name, as FindDevicePort writes it
    std::wstring hardwareId;    // the first hardware ID, the one the table matched
    std::wstring serialNumber;  // the USB serial number; empty when the device has none
    // Where the USB device is plugged in, as the system's own tools show it:
    // its location information on Windows ("Port_#0003.Hub_#0002"), its
    // sysfs name on Linux ("1-1.4.2"). It names the socket, where the port
    // name only says in which order units came. Empty when the device has
    // none or cannot be identified.
    std::wstring location;
};

// Every present device matching any row of the table, by the rules of
// FindDevicePort, in enumeration order, each once. The serial number is
// the instance part of the USB device's instance ID (for a port on an
// interface of a composite device, its parent's); a made-up instance part
// (one holding "&", which Windows gives devices without a serial number) is
// no serial number. The location is likewise the USB device's (the
// parent's for an interface). Device strings are the device's own:
// untrusted.
//
// When complete is given it says whether the scan answered for every
// present device. It is false when a device set could not be opened, an
// enumeration ended with an error other than ERROR_NO_MORE_ITEMS, or a
// property (hardware ID, friendly name, location) could not be read for a
// reason other than the device not having it. A port missing from an
// incomplete scan may still be plugged in; the ports it does give are.
std::vector<DevicePortMatch> FindDevicePorts(bool* complete = nullptr);

// Fills list with the port names of all present ports, in enumeration order.
void EnumSerialPorts(wchar_t (&list)[kPortListChars]);

// Rebuilds the main dialog's port box: "Auto Detect", then the present ports;
// selects "Auto Detect". Window thread only.
void RefreshPortList();
