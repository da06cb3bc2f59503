// The scripted device set: SetupDi* over a list of FakeDevice that tests
// replace at will. The property call follows the real one's contract
// (size query, ERROR_INSUFFICIENT_BUFFER, ERROR_INVALID_DATA for a missing
// property) and returns the scripted bytes unchanged, so callers are tested
// against exactly what a driver may have stored.
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

std::mutex g_lock;
std::vector<FakeDevice> g_devices;
bool g_fails = false;
std::function<void()> g_hook;
std::set<const void*> g_liveSets;
std::atomic<int> g_calls{0};

std::vector<BYTE> WideBytes(const std::wstring& text) {
    std::vector<BYTE> bytes(text.size() * sizeof(wchar_t));
    std::memcpy(bytes.data(), text.data(), bytes.size());
    return bytes;
}

FakeSet* LookUp(HDEVINFO handle) {
    std::lock_guard<std::mutex> lock(g_lock);
    return g_liveSets.count(handle) != 0 ? static_cast<FakeSet*>(handle) : nullptr;
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
        SetLastError(ERROR_NO_MORE_ITEMS);
        return FALSE;
    }
    DeviceInfoData->ClassGuid = set->devices[MemberIndex].classGuid;
    DeviceInfoData->DevInst = MemberIndex + 1;
    DeviceInfoData->Reserved = MemberIndex;
    return TRUE;
}

BOOL WINAPI SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                              PDWORD RequiredSize) {
    FakeSet* set = fake::LookUp(DeviceInfoSet);
    if (set == nullptr) {
        SetLastError(ERROR_INVALID_HANDLE);
        return FALSE;
    }
    if (DeviceInfoData == nullptr || DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA) ||
        DeviceInfoData->Reserved >= set->devices.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const fake::FakeDevice& device = set->devices[DeviceInfoData->Reserved];
    const std::optional<std::vector<BYTE>>* value = nullptr;
    DWORD type = 0;
    if (Property == SPDRP_HARDWAREID) {
        value = &device.hardwareId;
        type = REG_MULTI_SZ;
    } else if (Property == SPDRP_FRIENDLYNAME) {
        value = &device.friendlyName;
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

// The scripted devices carry no instance IDs: the lookups read them only for
// the USB serial number, which these devices then do not have.
BOOL WINAPI SetupDiGetDeviceInstanceIdW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA /*DeviceInfoData*/, LPWSTR /*DeviceInstanceId*/,
                                        DWORD /*DeviceInstanceIdSize*/, PDWORD /*RequiredSize*/) {
    SetLastError(fake::LookUp(DeviceInfoSet) == nullptr ? ERROR_INVALID_HANDLE : ERROR_CALL_NOT_IMPLEMENTED);
    return FALSE;
}

CONFIGRET WINAPI CM_Get_Parent(DEVINST* /*pdnDevInst*/, DEVINST /*dnDevInst*/, ULONG /*ulFlags*/) {
    return CR_NO_SUCH_DEVNODE;
}

CONFIGRET WINAPI CM_Get_Device_IDW(DEVINST /*dnDevInst*/, LPWSTR /*Buffer*/, ULONG /*BufferLen*/, ULONG /*ulFlags*/) {
    return CR_NO_SUCH_DEVNODE;
}
