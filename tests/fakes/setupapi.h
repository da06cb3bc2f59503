// A scripted device set behind the device-setup calls, for tests of the
// lookups with data in the exact form Windows gives it: hardware-ID
// multi-strings such as "USB\VID_03EB&PID_6133&REV_0100&MI_00" and friendly
// names such as "... (COM7)", byte for byte, terminators included or not.
//
// Linked instead of vantrel_setupapi, and in the Windows build instead of
// the system's setupapi and cfgmgr32 (see setupapi.cpp). Every function is
// safe to call while another thread (the presence monitor) is inside the
// device-setup calls; a change takes effect at the next SetupDiGetClassDevsW.
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
    std::optional<std::vector<BYTE>> location;  // SPDRP_LOCATION_INFORMATION
    // The device instance ID, "USB\VID_0483&PID_5740\SN1"; empty: none can
    // be read (SetupDiGetDeviceInstanceIdW fails).
    std::wstring instanceId;
    // The device node above, for a port on an interface of a composite
    // device: its instance ID and location, through CM_Get_Parent,
    // CM_Get_Device_IDW and CM_Get_DevNode_Registry_PropertyW. Empty
    // parentId: no parent. A parentLocationError other than CR_SUCCESS is
    // what reading the parent's location fails with.
    std::wstring parentId;
    std::optional<std::vector<BYTE>> parentLocation;
    CONFIGRET parentLocationError = CR_SUCCESS;
    // A property that cannot be read, and the error its read fails with
    // (an unreadable registry key, a device going away): not the missing
    // property's ERROR_INVALID_DATA. The default names no property.
    DWORD unreadableProperty = 0xFFFFFFFF;
    DWORD unreadableError = 0;
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
// What SetupDiEnumDeviceInfo fails with past the last device: by default
// ERROR_NO_MORE_ITEMS; another error is an enumeration cut short.
void SetFakeEnumerationEnd(DWORD error);
// Called inside every SetupDiGetClassDevsW, before the set is taken, on the
// caller's thread; lets a test act in the middle of a scan. Empty: none.
void SetFakeScanHook(std::function<void()> hook);
// Device sets created and not yet destroyed.
int FakeOpenDeviceSets();
// SetupDiGetClassDevsW calls since the last reset.
int FakeClassDevsCalls();
// No devices, no failure, no hook, counters at 0, the usual enumeration end.
void ResetFakeSetupApi();

}  // namespace fake
