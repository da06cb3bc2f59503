// The device-setup calls over sysfs: a device information set is a snapshot
// of the present ports taken when it is created, and the two registry
// properties the tool reads (hardware IDs, friendly name) are served from
// that snapshot in the sizes and with the errors Windows uses, with the
// location information of USB devices. Each set is taken afresh, as on
// Windows; port_cache.cpp makes that cheap while nothing changes.
//
// A listing that could not read sysfs is not passed off as the present
// ports: when /sys/class/tty cannot be opened the set is not created
// (INVALID_HANDLE_VALUE and the cause), and when an entry behind it could
// not be read the enumeration ends with that failure instead of
// ERROR_NO_MORE_ITEMS. Loops that stop at the first FALSE work as before;
// a caller that must know whether a port is missing looks at the error.
//
// Device instance handles (DevInst) stay valid beyond the set, as on
// Windows, so CM_Get_Parent and CM_Get_Device_IDW answer from the handle
// alone: every instance ID seen gets one number for the life of the process
// (a table bounded by the devices ever plugged in).
//
// Only the ports setup class has members here; every other class gives an
// empty set, so a lookup over it finds nothing rather than failing.
// Without DIGCF_PRESENT Windows would add installed-but-absent devices;
// Linux keeps no record of those, so the set is the present ports either way.
#include <algorithm>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/api.h"
#include "platform/posix/kernel32/error.h"
#include "platform/posix/setupapi/port_cache.h"

const GUID GUID_DEVCLASS_PORTS = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

namespace {

struct PortSnapshot {
    // Shared with the port cache and with other sets taken while nothing
    // changed; never modified after the listing.
    std::shared_ptr<const std::vector<posix::SysfsPort>> ports =
        std::make_shared<const std::vector<posix::SysfsPort>>();
    // What the enumeration ends with: ERROR_NO_MORE_ITEMS, or the failure
    // that may have left a port out.
    DWORD end = ERROR_NO_MORE_ITEMS;
};

// The code for a failed sysfs read; a read that failed without saying why
// still failed.
DWORD ScanError(int error) {
    return error == 0 ? ERROR_GEN_FAILURE : platform::ErrorFromErrno(error, platform::ErrorObject::File);
}

// Handles handed out and not yet destroyed, so that a stale or foreign
// handle fails with ERROR_INVALID_HANDLE instead of being dereferenced.
std::mutex g_setsLock;
std::set<const void*> g_liveSets;

PortSnapshot* LookUp(HDEVINFO handle) {
    std::lock_guard<std::mutex> lock(g_setsLock);
    if (handle == nullptr || handle == INVALID_HANDLE_VALUE || g_liveSets.count(handle) == 0)
        return nullptr;
    return static_cast<PortSnapshot*>(handle);
}

bool SameGuid(const GUID& a, const GUID& b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

struct DeviceNode {
    std::wstring id;
    DEVINST parent = 0;     // 0: none known
    std::wstring location;  // as last listed; empty: none
};
std::mutex g_nodesLock;
std::vector<DeviceNode> g_nodes;  // DevInst n is g_nodes[n - 1]

// The handle of an instance ID, noting its parent's and both locations. A
// serial number names a device wherever it is plugged in, so a node's
// location is the one of its latest listing, as on Windows.
DEVINST NodeOf(const posix::SysfsPort& port) {
    std::lock_guard<std::mutex> lock(g_nodesLock);
    const auto intern = [](const std::wstring& text, const std::wstring& location) {
        for (size_t i = 0; i < g_nodes.size(); ++i) {
            if (g_nodes[i].id == text) {
                g_nodes[i].location = location;
                return static_cast<DEVINST>(i + 1);
            }
        }
        g_nodes.push_back({text, 0, location});
        return static_cast<DEVINST>(g_nodes.size());
    };
    const DEVINST parent = port.parentInstanceId.empty() ? 0 : intern(port.parentInstanceId, port.parentLocation);
    const DEVINST node = intern(port.instanceId, port.location);
    g_nodes[node - 1].parent = parent;
    return node;
}

// The member a device information element names, or null (last error set).
const posix::SysfsPort* Member(HDEVINFO handle, const SP_DEVINFO_DATA* data) {
    PortSnapshot* set = LookUp(handle);
    if (set == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (data == nullptr || data->cbSize != sizeof(SP_DEVINFO_DATA) || data->Reserved >= set->ports->size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return &(*set->ports)[data->Reserved];
}

}  // namespace

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* ClassGuid, PCWSTR Enumerator, HWND /*hwndParent*/, DWORD Flags) {
    if (Enumerator != nullptr || (Flags & (DIGCF_DEVICEINTERFACE | DIGCF_PROFILE)) != 0) {
        // No enumerator names or interface classes exist over sysfs.
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return INVALID_HANDLE_VALUE;
    }
    if (ClassGuid == nullptr && (Flags & DIGCF_ALLCLASSES) == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto set = std::make_unique<PortSnapshot>();
    if ((Flags & DIGCF_ALLCLASSES) != 0 || SameGuid(*ClassGuid, GUID_DEVCLASS_PORTS)) {
        posix::PresentPorts present = posix::PresentSysfsPorts();
        if (!present.listed) {
            // An empty set would say that no port is present.
            platform::SetLastErrorWithCause(ScanError(present.error),
                                            "listing the ports in /sys/class/tty: " +
                                                platform::ErrnoCause(present.error, platform::ErrorObject::File));
            return INVALID_HANDLE_VALUE;
        }
        set->ports = std::move(present.ports);
        if (!present.complete)
            set->end = ScanError(present.error);
    }
    std::lock_guard<std::mutex> lock(g_setsLock);
    g_liveSets.insert(set.get());
    // Ownership passes to the handle until SetupDiDestroyDeviceInfoList.
    return set.release();
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData) {
    PortSnapshot* set = LookUp(DeviceInfoSet);
    if (set == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (DeviceInfoData == nullptr || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (MemberIndex >= set->ports->size()) {
        SetLastError(set->end);
        return FALSE;
    }
    const posix::SysfsPort& port = (*set->ports)[MemberIndex];
    DeviceInfoData->ClassGuid = GUID_DEVCLASS_PORTS;
    DeviceInfoData->DevInst = NodeOf(port);
    DeviceInfoData->Reserved = MemberIndex;
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize) {
    const posix::SysfsPort* port = Member(DeviceInfoSet, DeviceInfoData);
    if (port == nullptr)
        return FALSE;
    std::wstring value;
    DWORD type = 0;
    if (Property == SPDRP_HARDWAREID && !port->hardwareIds.empty()) {
        for (const auto& id : port->hardwareIds)
            value += id + L'\0';
        value += L'\0';
        type = REG_MULTI_SZ;
    } else if (Property == SPDRP_FRIENDLYNAME && !port->friendlyName.empty()) {
        value = port->friendlyName + L'\0';
        type = REG_SZ;
    } else if (Property == SPDRP_LOCATION_INFORMATION && !port->location.empty()) {
        value = port->location + L'\0';
        type = REG_SZ;
    } else {
        // Windows' answer for a property the device does not have.
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    const DWORD bytes = static_cast<DWORD>(value.size() * sizeof(wchar_t));
    if (RequiredSize != nullptr)
        *RequiredSize = bytes;
    if (PropertyRegDataType != nullptr)
        *PropertyRegDataType = type;
    if (PropertyBuffer == nullptr && PropertyBufferSize != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (PropertyBufferSize < bytes) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(PropertyBuffer, value.data(), bytes);
    return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    std::unique_ptr<PortSnapshot> owned;
    {
        std::lock_guard<std::mutex> lock(g_setsLock);
        if (DeviceInfoSet == nullptr || g_liveSets.erase(DeviceInfoSet) == 0) {
            SetLastError(ERROR_INVALID_HANDLE);
            return FALSE;
        }
        owned.reset(static_cast<PortSnapshot*>(DeviceInfoSet));
    }
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInstanceIdW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        LPWSTR DeviceInstanceId, DWORD DeviceInstanceIdSize, PDWORD RequiredSize) {
    const posix::SysfsPort* port = Member(DeviceInfoSet, DeviceInfoData);
    if (port == nullptr)
        return FALSE;
    // In characters, with the terminator, as Windows counts it.
    const DWORD chars = static_cast<DWORD>(port->instanceId.size() + 1);
    if (RequiredSize != nullptr)
        *RequiredSize = chars;
    if (DeviceInstanceId == nullptr && DeviceInstanceIdSize != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (DeviceInstanceIdSize < chars) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(DeviceInstanceId, port->instanceId.c_str(), chars * sizeof(wchar_t));
    return TRUE;
}

CONFIGRET WINAPI CM_Get_Parent(DEVINST* pdnDevInst, DEVINST dnDevInst, ULONG /*ulFlags*/) {
    if (pdnDevInst == nullptr)
        return CR_INVALID_POINTER;
    std::lock_guard<std::mutex> lock(g_nodesLock);
    if (dnDevInst == 0 || dnDevInst > g_nodes.size())
        return CR_INVALID_DEVNODE;
    // A port without a USB device above it: the machine's tree above it is
    // not modelled, so it has no parent to name.
    const DEVINST parent = g_nodes[dnDevInst - 1].parent;
    if (parent == 0)
        return CR_NO_SUCH_DEVNODE;
    *pdnDevInst = parent;
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Device_IDW(DEVINST dnDevInst, LPWSTR Buffer, ULONG BufferLen, ULONG /*ulFlags*/) {
    if (Buffer == nullptr)
        return CR_INVALID_POINTER;
    std::lock_guard<std::mutex> lock(g_nodesLock);
    if (dnDevInst == 0 || dnDevInst > g_nodes.size())
        return CR_INVALID_DEVNODE;
    const std::wstring& id = g_nodes[dnDevInst - 1].id;
    // Windows fills the buffer without a terminator when only that misses;
    // refusing is the safer answer for our callers.
    if (BufferLen < id.size() + 1)
        return CR_BUFFER_SMALL;
    std::memcpy(Buffer, id.c_str(), (id.size() + 1) * sizeof(wchar_t));
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_DevNode_Registry_PropertyW(DEVINST dnDevInst, ULONG ulProperty, PULONG pulRegDataType,
                                                   PVOID Buffer, PULONG pulLength, ULONG ulFlags) {
    if (pulLength == nullptr)
        return CR_INVALID_POINTER;
    if (ulFlags != 0)
        return CR_INVALID_FLAG;
    std::lock_guard<std::mutex> lock(g_nodesLock);
    if (dnDevInst == 0 || dnDevInst > g_nodes.size())
        return CR_INVALID_DEVNODE;
    // The nodes keep no other property; saying a node has none of them
    // would be a wrong answer, not a missing one.
    if (ulProperty != CM_DRP_LOCATION_INFORMATION)
        return CR_CALL_NOT_IMPLEMENTED;
    const std::wstring& location = g_nodes[dnDevInst - 1].location;
    if (location.empty())
        return CR_NO_SUCH_VALUE;
    const ULONG bytes = static_cast<ULONG>((location.size() + 1) * sizeof(wchar_t));
    if (pulRegDataType != nullptr)
        *pulRegDataType = REG_SZ;
    // Windows sets the length needed with CR_BUFFER_SMALL, and the length
    // written on success.
    if (Buffer == nullptr || *pulLength < bytes) {
        *pulLength = bytes;
        return CR_BUFFER_SMALL;
    }
    std::memcpy(Buffer, location.c_str(), bytes);
    *pulLength = bytes;
    return CR_SUCCESS;
}
