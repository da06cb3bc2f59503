// A scripted device set behind the device-setup calls, for tests of the
// lookups with data in the exact form Windows gives it: hardware-ID
// multi-strings such as "USB\VID_03EB&PID_6133&REV_0100&MI_00" and friendly
// names such as "... (COM7)", byte for byte, terminators included or not.
//
// Linked instead of vantrel_setupapi. Every function is safe to call while
// another thread (the presence monitor) is inside the device-setup calls;
// a change takes effect at the next SetupDiGetClassDevsW.
#pragma once

#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <vector>

#include "platform/api.h"

namespace fake {

struct FakeDevice {
    GUID classGuid = GUID_DEVCLASS_PORTS;
    // The property's bytes exactly as SetupDiGetDeviceRegistryPropertyW
    // returns them; nullopt: the device has no such property.
    std::optional<std::vector<BYTE>> hardwareId;
    std::optional<std::vector<BYTE>> friendlyName;
};

// The bytes of a REG_MULTI_SZ: each string and its zero, then the closing
// zero. With terminated false the last string's zero and the closing zero
// are left out, as a badly written driver's registry entry can be.
std::vector<BYTE> MultiSzBytes(std::initializer_list<std::wstring> strings, bool terminated = true);
// The bytes of a REG_SZ, with or without its zero.
std::vector<BYTE> SzBytes(const std::wstring& text, bool terminated = true);
// A port of the ports class with both properties, well terminated.
FakeDevice PortDevice(std::initializer_list<std::wstring> hardwareIds, const std::wstring& friendlyName);

// Replaces the devices present, in enumeration order.
void SetFakeDevices(std::vector<FakeDevice> devices);
// Makes SetupDiGetClassDevsW fail (INVALID_HANDLE_VALUE) or work again.
void SetFakeClassDevsFails(bool fails);
// Called inside every SetupDiGetClassDevsW, before the set is taken, on the
// caller's thread; lets a test act in the middle of a scan. Empty: none.
void SetFakeScanHook(std::function<void()> hook);
// Device sets created and not yet destroyed.
int FakeOpenDeviceSets();
// SetupDiGetClassDevsW calls since the last reset.
int FakeClassDevsCalls();
// No devices, no failure, no hook, counters at 0.
void ResetFakeSetupApi();

}  // namespace fake
