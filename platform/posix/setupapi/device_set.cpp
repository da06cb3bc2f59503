// The device-setup calls over sysfs: a device information set is a snapshot
// of the present ports taken when it is created, and the two registry
// properties the tool reads (hardware IDs, friendly name) are served from
// that snapshot in the sizes and with the errors Windows uses. Each set is
// taken afresh, as on Windows; port_cache.cpp makes that cheap while
// nothing changes.
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
#include "platform/posix/setupapi/port_cache.h"

const GUID GUID_DEVCLASS_PORTS = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

namespace {

struct PortSnapshot {
    // Shared with the port cache and with other sets taken while nothing
    // changed; never modified after the listing.
    std::shared_ptr<const std::vector<posix::SysfsPort>> ports = std::make_shared<const std::vector<posix::SysfsPort>>();
};

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

bool SameGuid(const GUID& a, const GUID& b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}

struct DeviceNode {
    std::wstring id;
    DEVINST parent = 0;  // 0: none known
};
std::mutex g_nodesLock;
std::vector<DeviceNode> g_nodes;  // DevInst n is g_nodes[n - 1]

// The handle of an instance ID, noting its parent's.
DEVINST NodeOf(const std::wstring& id, const std::wstring& parentId) {
    std::lock_guard<std::mutex> lock(g_nodesLock);
    const auto intern = [](const std::wstring& text) {
        for (size_t i = 0; i < g_nodes.size(); ++i)
            if (g_nodes[i].id == text)
                return static_cast<DEVINST>(i + 1);
        g_nodes.push_back({text, 0});
        return static_cast<DEVINST>(g_nodes.size());
    };
    const DEVINST parent = parentId.empty() ? 0 : intern(parentId);
    const DEVINST node = intern(id);
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
    if ((Flags & DIGCF_ALLCLASSES) != 0 || SameGuid(*ClassGuid, GUID_DEVCLASS_PORTS))
        set->ports = posix::PresentSysfsPorts();
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
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    const posix::SysfsPort& port = (*set->ports)[MemberIndex];
    DeviceInfoData->ClassGuid = GUID_DEVCLASS_PORTS;
    DeviceInfoData->DevInst = NodeOf(port.instanceId, port.parentInstanceId);
    DeviceInfoData->Reserved = MemberIndex;
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                              PDWORD RequiredSize) {
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

BOOL WINAPI SetupDiGetDeviceInstanceIdW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, LPWSTR DeviceInstanceId,
                                        DWORD DeviceInstanceIdSize, PDWORD RequiredSize) {
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
