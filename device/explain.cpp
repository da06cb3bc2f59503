// The device-table diagnosis: the ports as the lookups see them and the
// reasons a row does not match. See explain.h.
#include "device/explain.h"

#include <cwchar>
#include <memory>

#include "device/lookup.h"

namespace {

struct DeviceSetCloser {
    void operator()(void* set) const {
        // Destroying a set we created cannot fail in a way we could act on.
        SetupDiDestroyDeviceInfoList(set);
    }
};
using DeviceSet = std::unique_ptr<void, DeviceSetCloser>;

// What the lookups accept as a port name: the path "\\.\" + name must fit.
constexpr size_t kMaxPortNameChars = kDevFileNameChars - 5;

std::vector<std::wstring> MultiString(const wchar_t* text) {
    std::vector<std::wstring> out;
    for (const wchar_t* s = text; *s != L'\0'; s += std::wcslen(s) + 1)
        out.emplace_back(s);
    return out;
}

bool Contains(const std::wstring& text, const wchar_t* part) { return text.find(part) != std::wstring::npos; }

// The interface number a row's MI text names: "MI_00" -> "00".
std::wstring Interface(const wchar_t* mi) { return std::wstring(mi).substr(3); }

// The VID_xxxx&PID_xxxx part of an ID, for naming the device in a sentence.
std::wstring Identity(const std::wstring& id) {
    const size_t vid = id.find(L"VID_");
    if (vid == std::wstring::npos)
        return id;
    const size_t pid = id.find(L"PID_", vid);
    if (pid == std::wstring::npos)
        return id.substr(vid, 8);
    return id.substr(vid, 8) + L"&" + id.substr(pid, 8);
}

std::wstring Upper(std::wstring s) {
    for (wchar_t& c : s)
        if (c >= L'a' && c <= L'z')
            c = static_cast<wchar_t>(c - L'a' + L'A');
    return s;
}

}  // namespace

std::vector<PresentPort> ListPresentPorts() {
    std::vector<PresentPort> ports;
    DeviceSet set(SetupDiGetClassDevsW(&g_DeviceIdTable[0].classGuid, nullptr, nullptr, DIGCF_PRESENT));
    if (set.get() == INVALID_HANDLE_VALUE) {
        set.release();
        return ports;
    }
    SP_DEVINFO_DATA device{};
    device.cbSize = sizeof(device);
    for (DWORD index = 0; SetupDiEnumDeviceInfo(set.get(), index, &device); ++index) {
        PresentPort port;
        if (auto ids = ReadDeviceProperty(set.get(), &device, SPDRP_HARDWAREID))
            port.hardwareIds = MultiString(reinterpret_cast<const wchar_t*>(ids.get()));
        if (auto friendly = ReadDeviceProperty(set.get(), &device, SPDRP_FRIENDLYNAME)) {
            port.hasFriendlyName = true;
            port.friendlyName = reinterpret_cast<const wchar_t*>(friendly.get());
            const wchar_t* name = nullptr;
            size_t length = 0;
            if (PortNameOf(port.friendlyName.c_str(), &name, &length))
                port.name.assign(name, length);
        }
        ports.push_back(std::move(port));
    }
    return ports;
}

RowVerdict ExplainRows(const PresentPort& port) {
    if (port.hardwareIds.empty())
        return {-1, L"no hardware ID: no row can match"};
    const std::wstring& id = port.hardwareIds.front();
    for (int r = 0; r < kDeviceIdRows; ++r) {
        if (!MatchesRow(id.c_str(), g_DeviceIdTable[r]))
            continue;
        const std::wstring row = L"row " + std::to_wstring(r);
        if (!port.hasFriendlyName)
            return {r, L"matches " + row + L", but it has no friendly name to take the port name from"};
        if (port.name.empty())
            return {r, L"matches " + row +
                           L", but its friendly name has no \"" PLATFORM_PORT_NAME_OPENER L"...)\" port name"};
        if (port.name.size() > kMaxPortNameChars)
            return {r, L"matches " + row + L", but its port name is longer than " + std::to_wstring(kMaxPortNameChars) +
                           L" characters"};
        return {r, L"matches " + row};
    }
    // No row matches: the nearest miss explains best.
    for (int r = 0; r < kDeviceIdRows; ++r) {
        const DeviceIdEntry& row = g_DeviceIdTable[r];
        if (!Contains(id, row.vid) || !Contains(id, row.pid))
            continue;
        // Only a row with an interface can fail here.
        std::wstring why = Identity(id) + L" without " + row.mi + L": row " + std::to_wstring(r) +
                           L" needs interface " + Interface(row.mi);
        if (!Contains(id, L"MI_"))
            why +=
                L"; the ID has no MI_ at all: a device of class 02 (communications) is not split into interfaces, so "
                L"Windows gives it no MI_";
        return {-1, why};
    }
    for (int r = 0; r < kDeviceIdRows; ++r) {
        const DeviceIdEntry& row = g_DeviceIdTable[r];
        const std::wstring upper = Upper(id);
        if (upper.find(row.vid) != std::wstring::npos && upper.find(row.pid) != std::wstring::npos)
            return {-1, Identity(id) + L" is row " + std::to_wstring(r) +
                            L"'s device written in other letters: the IDs "
                            L"are compared case-sensitively, in capitals"};
    }
    if (!Contains(id, L"VID_"))
        return {-1, L"not a USB device: the table holds USB IDs only"};
    return {-1, Identity(id) + L" is not in the device table"};
}
