// The device table, the property read, the terminal's port lookup, the port
// name list and the port box refill, over the Win32 device-setup calls.
//
// A port's name is read from its friendly name, "USB Serial Device (COM7)"
// on Windows and "... (ttyACM0)" here; the text that opens it is the one
// platform difference and comes from platform/api.h.
//
// FindDevicePorts also says whether its answer is whole: a station counts a
// port missing from a scan as unplugged, and a read that failed (out of
// handles, access denied) is not a unit pulled out.
#include "device/lookup.h"

#include <cstring>
#include <cwchar>

#include "app/VantrelDlg.h"
#include "common/trace.h"

namespace {

// GUID_DEVCLASS_PORTS, spelled out so the table is a constant of its own.
constexpr GUID kPortsClass = {0x4d36e978, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};

// "\\.\": the prefix of a port path, 4 characters.
constexpr wchar_t kPathPrefix[] = L"\\\\.\\";
constexpr size_t kPathPrefixChars = 4;
// Linux port names (ttyACM10) are longer than the 7 characters a COM name
// needs; any name is taken as long as the whole path fits the buffer.
constexpr size_t kMaxPortNameChars = kDevFileNameChars - kPathPrefixChars - 1;
// Names and their terminators take at most this many list characters; the
// closing empty string may take the last one.
constexpr size_t kPortListNameChars = kPortListChars - 1;
// The zeros appended to every property buffer: the string's terminator and
// the multi-string's closing empty string.
constexpr size_t kPropertyPadBytes = 2 * sizeof(wchar_t);

struct DeviceSetCloser {
    void operator()(void* set) const {
        // Destroying a set we created cannot fail in a way we could act on.
        SetupDiDestroyDeviceInfoList(set);
    }
};
using DeviceSet = std::unique_ptr<void, DeviceSetCloser>;

// The present devices of one class, or null after tracing the failure.
DeviceSet OpenPresentDevices(const GUID& setupClass) {
    HDEVINFO set = SetupDiGetClassDevsW(&setupClass, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) {
        DebugTrace(L"获取设备信息集合失败\r\n");
        return nullptr;
    }
    return DeviceSet(set);
}

const wchar_t* AsText(const std::unique_ptr<BYTE[]>& property) {
    return reinterpret_cast<const wchar_t*>(property.get());
}

// Windows' answer for a property the device does not have.
constexpr DWORD kNoSuchProperty = ERROR_INVALID_DATA;

// A property buffer of `bytes` read bytes and the zero padding.
std::unique_ptr<BYTE[]> PaddedBuffer(size_t bytes) {
    const size_t whole = (bytes + sizeof(wchar_t) - 1) / sizeof(wchar_t) * sizeof(wchar_t);
    return std::make_unique<BYTE[]>(whole + kPropertyPadBytes);
}

// A property read, or the call that failed (1: the size query, 2: the
// read) and its error, taken before anything could overwrite it.
struct PropertyRead {
    std::unique_ptr<BYTE[]> bytes;
    int failedCall = 0;
    DWORD error = ERROR_SUCCESS;
};

PropertyRead ReadProperty(HDEVINFO deviceSet, SP_DEVINFO_DATA* device, DWORD property) {
    PropertyRead read;
    DWORD required = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(deviceSet, device, property, nullptr, nullptr, 0, &required) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
        read.failedCall = 1;
        read.error = GetLastError();
        return read;
    }
    // The registry type is not examined, and a value stored without its
    // terminator is common: the zero padding keeps every text read of the
    // buffer inside it whatever the platform returned.
    auto buffer = PaddedBuffer(required);
    if (!SetupDiGetDeviceRegistryPropertyW(deviceSet, device, property, nullptr, buffer.get(), required, &required)) {
        read.failedCall = 2;
        read.error = GetLastError();
        return read;
    }
    read.bytes = std::move(buffer);
    return read;
}

void TraceFailedRead(const PropertyRead& read) {
    if (read.failedCall == 1)
        DebugTrace(L"获取接口信息失败1, 查找下一个设备\r\n");
    else if (read.failedCall == 2)
        DebugTrace(L"获取接口信息失败2, 查找下一个设备\r\n");
}

}  // namespace

bool PortNameOf(const wchar_t* friendlyName, const wchar_t** name, size_t* length) {
    const wchar_t* opening = std::wcsstr(friendlyName, PLATFORM_PORT_NAME_OPENER);
    const wchar_t* closing = std::wcschr(friendlyName, L')');
    if (opening == nullptr || closing == nullptr || closing < opening)
        return false;
    *name = opening + 1;
    *length = static_cast<size_t>(closing - *name);
    return true;
}

bool MatchesRow(const wchar_t* firstHardwareId, const DeviceIdEntry& row) {
    if (std::wcsstr(firstHardwareId, row.vid) == nullptr)
        return false;
    if (std::wcsstr(firstHardwareId, row.pid) == nullptr)
        return false;
    return row.mi[0] == L'\0' || std::wcsstr(firstHardwareId, row.mi) != nullptr;
}

namespace {

// The instance part of a USB device's instance ID: everything after the
// enumerator and the device ID ("USB\VID_0483&PID_5740\<this>"), empty
// for another enumerator or a made-up instance.
std::wstring SerialOfUsbInstance(const std::wstring& id) {
    if (id.compare(0, 4, L"USB\\") != 0)
        return {};
    const size_t second = id.find(L'\\', 4);
    if (second == std::wstring::npos)
        return {};
    std::wstring instance = id.substr(second + 1);
    return instance.find(L'&') == std::wstring::npos ? instance : std::wstring();
}

// The USB device a port belongs to: the port's own device node, or for a
// port on an interface of a composite device the device above it, which
// holds the serial number and the location.
struct UsbDevice {
    bool known = false;  // false: the port's node could not be identified
    bool isParent = false;
    DEVINST parent = 0;
    std::wstring instanceId;
};

UsbDevice UsbDeviceOf(HDEVINFO set, SP_DEVINFO_DATA* device) {
    wchar_t id[MAX_DEVICE_ID_LEN];
    DWORD required = 0;
    if (!SetupDiGetDeviceInstanceIdW(set, device, id, MAX_DEVICE_ID_LEN, &required))
        return {};
    if (std::wcsstr(id, L"&MI_") == nullptr)
        return {true, false, 0, id};
    DEVINST parent = 0;
    if (CM_Get_Parent(&parent, device->DevInst, 0) != CR_SUCCESS ||
        CM_Get_Device_IDW(parent, id, MAX_DEVICE_ID_LEN, 0) != CR_SUCCESS)
        return {};
    return {true, true, parent, id};
}

// The location information of the USB device, empty when it has none. A
// read that fails for another reason clears *whole: the location is then
// unknown, not absent.
std::wstring UsbLocation(HDEVINFO set, SP_DEVINFO_DATA* device, const UsbDevice& usb, bool* whole) {
    if (!usb.known)
        return {};
    if (!usb.isParent) {
        const PropertyRead read = ReadProperty(set, device, SPDRP_LOCATION_INFORMATION);
        if (!read.bytes) {
            *whole = *whole && read.error == kNoSuchProperty;
            return {};
        }
        return AsText(read.bytes);
    }
    ULONG length = 0;
    CONFIGRET result =
        CM_Get_DevNode_Registry_PropertyW(usb.parent, CM_DRP_LOCATION_INFORMATION, nullptr, nullptr, &length, 0);
    if (result == CR_NO_SUCH_VALUE)
        return {};
    if (result != CR_BUFFER_SMALL) {
        *whole = false;
        return {};
    }
    auto buffer = PaddedBuffer(length);
    result =
        CM_Get_DevNode_Registry_PropertyW(usb.parent, CM_DRP_LOCATION_INFORMATION, nullptr, buffer.get(), &length, 0);
    if (result != CR_SUCCESS) {
        *whole = *whole && result == CR_NO_SUCH_VALUE;
        return {};
    }
    return AsText(buffer);
}

}  // namespace

const DeviceIdEntry g_DeviceIdTable[kDeviceIdRows] = {
    {kPortsClass, L"VID_03EB", L"PID_6133", L"MI_00"},
    {kPortsClass, L"VID_0483", L"PID_5740", L""},
};

std::unique_ptr<BYTE[]> ReadDeviceProperty(HDEVINFO deviceSet, SP_DEVINFO_DATA* device, DWORD property) {
    PropertyRead read = ReadProperty(deviceSet, device, property);
    TraceFailedRead(read);
    return std::move(read.bytes);
}

bool FindDevicePort(const DeviceIdEntry& row, wchar_t (&path)[kDevFileNameChars]) {
    DeviceSet set = OpenPresentDevices(row.classGuid);
    if (!set)
        return false;
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set.get(), index, &device); ++index) {
        auto hardwareIds = ReadDeviceProperty(set.get(), &device, SPDRP_HARDWAREID);
        // Only the first string of the multi-string names the device itself;
        // the later ones are its more generic IDs.
        if (!hardwareIds || !MatchesRow(AsText(hardwareIds), row))
            continue;
        auto friendlyName = ReadDeviceProperty(set.get(), &device, SPDRP_FRIENDLYNAME);
        if (!friendlyName)
            continue;
        const wchar_t* name = nullptr;
        size_t length = 0;
        if (!PortNameOf(AsText(friendlyName), &name, &length) || length > kMaxPortNameChars)
            continue;
        std::wmemcpy(path, kPathPrefix, kPathPrefixChars);
        std::wmemcpy(path + kPathPrefixChars, name, length);
        path[kPathPrefixChars + length] = L'\0';
        return true;
    }
    return false;
}

std::vector<DevicePortMatch> FindDevicePorts(bool* complete) {
    std::vector<DevicePortMatch> found;
    bool whole = true;
    // A failed read that may hide a port; a missing property is an answer.
    const auto read = [&whole](HDEVINFO set, SP_DEVINFO_DATA* device, DWORD property) {
        PropertyRead result = ReadProperty(set, device, property);
        TraceFailedRead(result);
        whole = whole && (result.bytes || result.error == kNoSuchProperty);
        return std::move(result.bytes);
    };
    // Each setup class of the table once, in the order of its first row.
    std::vector<const GUID*> classes;
    for (const DeviceIdEntry& row : g_DeviceIdTable) {
        bool seen = false;
        for (const GUID* known : classes)
            seen = seen || std::memcmp(known, &row.classGuid, sizeof(GUID)) == 0;
        if (!seen)
            classes.push_back(&row.classGuid);
    }
    for (const GUID* setupClass : classes) {
        DeviceSet set = OpenPresentDevices(*setupClass);
        if (!set) {
            whole = false;
            continue;
        }
        SP_DEVINFO_DATA device{};
        device.cbSize = sizeof(device);
        for (DWORD index = 0; SetupDiEnumDeviceInfo(set.get(), index, &device); ++index) {
            auto hardwareIds = read(set.get(), &device, SPDRP_HARDWAREID);
            if (!hardwareIds)
                continue;
            bool matches = false;
            for (const DeviceIdEntry& row : g_DeviceIdTable)
                matches = matches || (std::memcmp(&row.classGuid, setupClass, sizeof(GUID)) == 0 &&
                                      MatchesRow(AsText(hardwareIds), row));
            if (!matches)
                continue;
            auto friendlyName = read(set.get(), &device, SPDRP_FRIENDLYNAME);
            const wchar_t* name = nullptr;
            size_t length = 0;
            if (!friendlyName || !PortNameOf(AsText(friendlyName), &name, &length) || length > kMaxPortNameChars)
                continue;
            DevicePortMatch match;
            match.path = std::wstring(kPathPrefix) + std::wstring(name, length);
            match.hardwareId = AsText(hardwareIds);
            const UsbDevice usb = UsbDeviceOf(set.get(), &device);
            match.serialNumber = usb.known ? SerialOfUsbInstance(usb.instanceId) : std::wstring();
            match.location = UsbLocation(set.get(), &device, usb, &whole);
            found.push_back(std::move(match));
        }
        // Read before anything else can set the last error.
        if (GetLastError() != ERROR_NO_MORE_ITEMS)
            whole = false;
    }
    if (complete != nullptr)
        *complete = whole;
    return found;
}

void EnumSerialPorts(wchar_t (&list)[kPortListChars]) {
    size_t used = 0;
    DeviceSet set = OpenPresentDevices(kPortsClass);
    if (!set) {
        list[0] = L'\0';
        return;
    }
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set.get(), index, &device); ++index) {
        auto friendlyName = ReadDeviceProperty(set.get(), &device, SPDRP_FRIENDLYNAME);
        if (!friendlyName)
            continue;
        DebugTrace(L"FRIENDLYNAME = [%ls]\r\n", AsText(friendlyName));
        const wchar_t* name = nullptr;
        size_t length = 0;
        if (PortNameOf(AsText(friendlyName), &name, &length)) {
            const size_t avail = kPortListNameChars - used;
            if (length + 1 > avail)
                length = avail - 1;
            wchar_t* at = list + used;
            std::wmemcpy(at, name, length);
            at[length] = L'\0';
            DebugTrace(L"Serial Port = [%ls]\r\n", at);
            used += length + 1;
        }
        if (used == kPortListNameChars) {
            list[used] = L'\0';
            return;
        }
    }
    DebugTrace(L"设备查找完毕\r\n");
    list[used] = L'\0';
}

void RefreshPortList() {
    wchar_t list[kPortListChars];
    EnumSerialPorts(list);
    CComboBox& port = MainDialog().m_Port;
    port.ResetContent();
    port.AddString(L"Auto Detect");
    for (const wchar_t* name = list; *name != L'\0'; name += std::wcslen(name) + 1)
        port.AddString(name);
    port.SetCurSel(0);
}
