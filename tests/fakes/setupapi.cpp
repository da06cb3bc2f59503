// The scripted device set: SetupDi* over a list of FakeDevice that tests
// replace at will. The property call follows the real one's contract
// (size query, ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_DATA for a missing
// property) and returns the scripted bytes unchanged, so callers are tested
// against exactly what a driver may have stored. The configuration manager
// calls answer for the device nodes the enumeration handed out: instance
// IDs, parents and their location information.
//
// In the Windows build the core calls the system's functions through import
// pointers (__imp_*), which the linker takes from setupapi's and cfgmgr32's
// import libraries; the end of this file defines those pointers, aimed at
// the fake, and the tests link neither library.
#include "tests/fakes/setupapi.h"

#include <atomic>
#include <cstring>
#include <memory>
#include <mutex>
#include <set>

const GUID GUID_DEVCLASS_PORTS = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

namespace fake {
namespace {

struct FakeSet {
    std::vector<FakeDevice> devices;
};

// A device node as the configuration manager calls see it.
struct Node {
    std::wstring id;
    DEVINST parent = 0;  // 0: none
    std::optional<std::vector<BYTE>> location;
    CONFIGRET locationError = CR_SUCCESS;
    bool operator==(const Node&) const = default;
};

std::mutex g_lock;
std::vector<FakeDevice> g_devices;
bool g_fails = false;
DWORD g_enumerationEnd = ERROR_NO_MORE_ITEMS;
std::function<void()> g_hook;
std::set<const void*> g_liveSets;
std::atomic<int> g_calls{0};
// DevInst n is g_nodes[n - 1]. Equal nodes share a handle, so the table
// grows with the distinct devices scripted, not with the scans.
std::vector<Node> g_nodes;

std::vector<BYTE> WideBytes(const std::wstring& text) {
    std::vector<BYTE> bytes(text.size() * sizeof(wchar_t));
    std::memcpy(bytes.data(), text.data(), bytes.size());
    return bytes;
}

FakeSet* LookUp(HDEVINFO handle) {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_liveSets.count(handle) != 0 ? static_cast<FakeSet*>(handle) : nullptr;
}

// Called with g_lock held.
DEVINST Intern(const Node& node) {
    for (size_t i = 0; i < g_nodes.size(); ++i)
        if (g_nodes[i] == node)
            return static_cast<DEVINST>(i + 1);
    g_nodes.push_back(node);
    return static_cast<DEVINST>(g_nodes.size());
}

DEVINST NodeOf(const FakeDevice& device) {
    std::lock_guard<std::mutex> lock(g_lock);
    Node node;
    node.id = device.instanceId;
    node.location = device.location;
    if (!device.parentId.empty())
        node.parent = Intern({device.parentId, 0, device.parentLocation, device.parentLocationError});
    return Intern(node);
}

// The node behind a handle, copied out under the lock; false when unknown.
bool NodeAt(DEVINST handle, Node* node) {
    std::lock_guard<std::mutex> lock(g_lock);
    if (handle == 0 || handle > g_nodes.size())
        return false;
    *node = g_nodes[handle - 1];
    return true;
}

// The member a device information element names, or null (last error set).
const FakeDevice* Member(HDEVINFO handle, const SP_DEVINFO_DATA* data) {
    FakeSet* set = LookUp(handle);
    if (set == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (data == nullptr || data->cbSize != sizeof(SP_DEVINFO_DATA) || data->Reserved >= set->devices.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return &set->devices[data->Reserved];
}

}  // namespace

std::vector<BYTE> MultiSzBytes(std::initializer_list<std::wstring> strings, bool terminated) {
    std::wstring text;
    for (const auto& s : strings)
        text += s + L'\0';
    text += L'\0';
    if (!terminated)
        text.resize(text.size() >= 2 ? text.size() - 2 : 0);
    return WideBytes(text);
}

std::vector<BYTE> SzBytes(const std::wstring& text, bool terminated) {
    return WideBytes(terminated ? text + L'\0' : text);
}

FakeDevice PortDevice(std::initializer_list<std::wstring> hardwareIds, const std::wstring& friendlyName) {
    FakeDevice device;
    device.hardwareId = MultiSzBytes(hardwareIds);
    device.friendlyName = SzBytes(friendlyName);
    return device;
}

void SetFakeDevices(std::vector<FakeDevice> devices) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_devices = std::move(devices);
}

void SetFakeClassDevsFails(bool fails) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_fails = fails;
}

void SetFakeEnumerationEnd(DWORD error) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_enumerationEnd = error;
}

void SetFakeScanHook(std::function<void()> hook) {
    std::lock_guard<std::mutex> lock(g_lock);
    g_hook = std::move(hook);
}

int FakeOpenDeviceSets() {
    std::lock_guard<std::mutex> lock(g_lock);
    return static_cast<int>(g_liveSets.size());
}

int FakeClassDevsCalls() { return g_calls.load(); }

void ResetFakeSetupApi() {
    std::lock_guard<std::mutex> lock(g_lock);
    g_devices.clear();
    g_fails = false;
    g_enumerationEnd = ERROR_NO_MORE_ITEMS;
    g_hook = nullptr;
    g_calls.store(0);
}

}  // namespace fake

using fake::FakeSet;

HDEVINFO WINAPI SetupDiGetClassDevsW(const GUID* ClassGuid, PCWSTR /*Enumerator*/, HWND /*hwndParent*/, DWORD Flags) {
    fake::g_calls.fetch_add(1);
    std::function<void()> hook;
    {
        std::lock_guard<std::mutex> lock(fake::g_lock);
        hook = fake::g_hook;
    }
    if (hook)
        hook();
    std::lock_guard<std::mutex> lock(fake::g_lock);
    if (fake::g_fails || ClassGuid == nullptr || (Flags & DIGCF_PRESENT) == 0) {
        // Only present-device queries of one class are scripted.
        SetLastError(fake::g_fails ? ERROR_INVALID_FLAGS : ERROR_CALL_NOT_IMPLEMENTED);
        return INVALID_HANDLE_VALUE;
    }
    auto set = std::make_unique<FakeSet>();
    for (const auto& device : fake::g_devices) {
        if (std::memcmp(&device.classGuid, ClassGuid, sizeof(GUID)) == 0)
            set->devices.push_back(device);
    }
    fake::g_liveSets.insert(set.get());
    return set.release();
}

BOOL WINAPI SetupDiEnumDeviceInfo(HDEVINFO DeviceInfoSet, DWORD MemberIndex, PSP_DEVINFO_DATA DeviceInfoData) {
    FakeSet* set = fake::LookUp(DeviceInfoSet);
    if (set == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (DeviceInfoData == nullptr || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (MemberIndex >= set->devices.size()) {
        std::lock_guard<std::mutex> lock(fake::g_lock);
        SetLastError(fake::g_enumerationEnd);
        return FALSE;
    }
    DeviceInfoData->ClassGuid = set->devices[MemberIndex].classGuid;
    DeviceInfoData->DevInst = fake::NodeOf(set->devices[MemberIndex]);
    DeviceInfoData->Reserved = MemberIndex;
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize) {
    const fake::FakeDevice* device = fake::Member(DeviceInfoSet, DeviceInfoData);
    if (device == nullptr)
        return FALSE;
    if (Property == device->unreadableProperty) {
        SetLastError(device->unreadableError);
        return FALSE;
    }
    const std::optional<std::vector<BYTE>>* value = nullptr;
    DWORD type = 0;
    if (Property == SPDRP_HARDWAREID) {
        value = &device->hardwareId;
        type = REG_MULTI_SZ;
    } else if (Property == SPDRP_FRIENDLYNAME) {
        value = &device->friendlyName;
        type = REG_SZ;
    } else if (Property == SPDRP_LOCATION_INFORMATION) {
        value = &device->location;
        type = REG_SZ;
    }
    if (value == nullptr || !value->has_value()) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    const DWORD bytes = static_cast<DWORD>((*value)->size());
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
    if (bytes != 0)
        std::memcpy(PropertyBuffer, (*value)->data(), bytes);
    return TRUE;
}

BOOL WINAPI SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    std::unique_ptr<FakeSet> owned;
    std::lock_guard<std::mutex> lock(fake::g_lock);
    if (fake::g_liveSets.erase(DeviceInfoSet) == 0) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    owned.reset(static_cast<FakeSet*>(DeviceInfoSet));
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceInstanceIdW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        LPWSTR DeviceInstanceId, DWORD DeviceInstanceIdSize, PDWORD RequiredSize) {
    const fake::FakeDevice* device = fake::Member(DeviceInfoSet, DeviceInfoData);
    if (device == nullptr)
        return FALSE;
    if (device->instanceId.empty()) {
        SetLastError(ERROR_CALL_NOT_IMPLEMENTED);
        return FALSE;
    }
    // In characters, with the terminator, as Windows counts it.
    const DWORD chars = static_cast<DWORD>(device->instanceId.size() + 1);
    if (RequiredSize != nullptr)
        *RequiredSize = chars;
    if (DeviceInstanceId == nullptr || DeviceInstanceIdSize < chars) {
        SetLastError(DeviceInstanceId == nullptr && DeviceInstanceIdSize != 0 ? ERROR_INVALID_PARAMETER
                                                                              : ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    std::memcpy(DeviceInstanceId, device->instanceId.c_str(), chars * sizeof(wchar_t));
    return TRUE;
}

CONFIGRET WINAPI CM_Get_Parent(DEVINST* pdnDevInst, DEVINST dnDevInst, ULONG /*ulFlags*/) {
    if (pdnDevInst == nullptr)
        return CR_INVALID_POINTER;
    fake::Node node;
    if (!fake::NodeAt(dnDevInst, &node))
        return CR_INVALID_DEVNODE;
    if (node.parent == 0)
        return CR_NO_SUCH_DEVNODE;
    *pdnDevInst = node.parent;
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_Device_IDW(DEVINST dnDevInst, LPWSTR Buffer, ULONG BufferLen, ULONG /*ulFlags*/) {
    if (Buffer == nullptr)
        return CR_INVALID_POINTER;
    fake::Node node;
    if (!fake::NodeAt(dnDevInst, &node))
        return CR_INVALID_DEVNODE;
    if (node.id.empty())
        return CR_NO_SUCH_DEVNODE;
    if (BufferLen < node.id.size() + 1)
        return CR_BUFFER_SMALL;
    std::memcpy(Buffer, node.id.c_str(), (node.id.size() + 1) * sizeof(wchar_t));
    return CR_SUCCESS;
}

CONFIGRET WINAPI CM_Get_DevNode_Registry_PropertyW(DEVINST dnDevInst, ULONG ulProperty, PULONG pulRegDataType,
                                                   PVOID Buffer, PULONG pulLength, ULONG ulFlags) {
    if (pulLength == nullptr)
        return CR_INVALID_POINTER;
    if (ulFlags != 0)
        return CR_INVALID_FLAG;
    fake::Node node;
    if (!fake::NodeAt(dnDevInst, &node))
        return CR_INVALID_DEVNODE;
    if (ulProperty != CM_DRP_LOCATION_INFORMATION)
        return CR_CALL_NOT_IMPLEMENTED;  // only the location is scripted
    if (node.locationError != CR_SUCCESS)
        return node.locationError;
    if (!node.location)
        return CR_NO_SUCH_VALUE;
    const ULONG bytes = static_cast<ULONG>(node.location->size());
    if (pulRegDataType != nullptr)
        *pulRegDataType = REG_SZ;
    if (Buffer == nullptr || *pulLength < bytes) {
        *pulLength = bytes;
        return CR_BUFFER_SMALL;
    }
    if (bytes != 0)
        std::memcpy(Buffer, node.location->data(), bytes);
    *pulLength = bytes;
    return CR_SUCCESS;
}

#ifdef _WIN32
// The import pointers, by their decorated names: "__imp_" and the name on
// x64; on x86 "__imp__", the name, "@" and the bytes of stdcall arguments.
#ifdef _WIN64
#define FAKE_IMPORT_NAME(name, bytes) "__imp_" #name
#else
#define FAKE_IMPORT_NAME(name, bytes) "__imp__" #name "@" #bytes
#endif
#define FAKE_IMPORT(name, bytes)                                                                                      \
    extern "C" {                                                                                                      \
    __attribute__((used)) void* fake_import_##name __asm__(FAKE_IMPORT_NAME(name,                                     \
                                                                            bytes)) = reinterpret_cast<void*>(&name); \
    }
FAKE_IMPORT(SetupDiGetClassDevsW, 16)
FAKE_IMPORT(SetupDiEnumDeviceInfo, 12)
FAKE_IMPORT(SetupDiGetDeviceRegistryPropertyW, 28)
FAKE_IMPORT(SetupDiDestroyDeviceInfoList, 4)
FAKE_IMPORT(SetupDiGetDeviceInstanceIdW, 20)
FAKE_IMPORT(CM_Get_Parent, 12)
FAKE_IMPORT(CM_Get_Device_IDW, 16)
FAKE_IMPORT(CM_Get_DevNode_Registry_PropertyW, 24)
#endif
