// Fuzzer: arbitrary hardware-ID multi-strings and friendly names, with and
// without terminators, through FindDevicePort (both rows of the device
// table) and EnumSerialPorts over the scripted device set.
//
// Input: a sequence of devices, each
//   flags (bit 0: has a hardware ID, bit 1: has a friendly name, bit 2: not
//          of the ports class, bit 3: hardware ID as raw bytes, bit 4:
//          friendly name as raw bytes),
//   then for each property present a length byte and that many bytes.
// A property "as text" takes each input byte as one character (so the
// dictionary's "VID_03EB", "(tty" ... work), given in the platform's wide
// form without any terminator; raw bytes are handed over as they are, odd
// lengths and all.
//
// Checked (abort on violation), besides ASan's overrun checks on the exact
// 64- and 256-character caller buffers: the lookup's answer equals an
// independent reading of the device set; a path is "\\.\" and a name, closed
// within 64 characters; a failed lookup leaves the path untouched; the port
// list is closed by an empty string within its 256 characters and holds the
// names an independent walk expects.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/lookup.h"
#include "tests/fakes/setupapi.h"

namespace {

constexpr wchar_t kSentinel = static_cast<wchar_t>(0x2B1C);

[[noreturn]] void Broken(const char* what) {
    std::fprintf(stderr, "INVARIANT BROKEN: %s\n", what);
    std::abort();
}
void Check(bool holds, const char* what) {
    if (!holds)
        Broken(what);
}

struct Device {
    bool ports = true;
    std::optional<std::vector<BYTE>> hardwareId;
    std::optional<std::vector<BYTE>> friendlyName;
};

// The text a property holds up to its first zero character, its bytes read
// as wide characters with a partial last character padded by zeros.
std::wstring TextOf(const std::vector<BYTE>& bytes) {
    std::wstring text;
    for (size_t at = 0; at < bytes.size(); at += sizeof(wchar_t)) {
        wchar_t c = 0;
        std::memcpy(&c, bytes.data() + at, std::min(sizeof(wchar_t), bytes.size() - at));
        if (c == L'\0')
            break;
        text.push_back(c);
    }
    return text;
}

std::optional<std::wstring> PortName(const std::wstring& friendly) {
    const size_t open = friendly.find(PLATFORM_PORT_NAME_OPENER);
    const size_t close = friendly.find(L')');
    if (open == std::wstring::npos || close == std::wstring::npos || close < open)
        return std::nullopt;
    return friendly.substr(open + 1, close - open - 1);
}

std::optional<std::wstring> ExpectedPath(const std::vector<Device>& devices, const DeviceIdEntry& row) {
    for (const Device& d : devices) {
        if (!d.ports || !d.hardwareId || !d.friendlyName)
            continue;
        const std::wstring id = TextOf(*d.hardwareId);
        if (id.find(row.vid) == std::wstring::npos || id.find(row.pid) == std::wstring::npos)
            continue;
        if (row.mi[0] != L'\0' && id.find(row.mi) == std::wstring::npos)
            continue;
        const auto name = PortName(TextOf(*d.friendlyName));
        // Names that do not fit the 64-character path with its prefix are skipped.
        if (!name || name->size() > kDevFileNameChars - 5)
            continue;
        return L"\\\\.\\" + *name;
    }
    return std::nullopt;
}

std::vector<std::wstring> ExpectedList(const std::vector<Device>& devices) {
    std::vector<std::wstring> list;
    size_t used = 0;
    for (const Device& d : devices) {
        if (!d.ports || !d.friendlyName)
            continue;
        if (auto name = PortName(TextOf(*d.friendlyName))) {
            const size_t avail = kPortListChars - 1 - used;
            if (name->size() + 1 > avail)
                name->resize(avail - 1);
            list.push_back(*name);
            used += name->size() + 1;
        }
        if (used == kPortListChars - 1)
            break;
    }
    // A name cut to nothing is an empty string: the list ends there.
    for (size_t i = 0; i < list.size(); ++i)
        if (list[i].empty())
            list.resize(i);
    return list;
}

std::vector<BYTE> Property(const uint8_t*& at, const uint8_t* end, bool raw) {
    size_t length = at < end ? *at++ : 0;
    if (length > static_cast<size_t>(end - at))
        length = static_cast<size_t>(end - at);
    std::vector<BYTE> bytes;
    if (raw) {
        bytes.assign(at, at + length);
    } else {
        for (size_t i = 0; i < length; ++i) {
            const wchar_t c = static_cast<wchar_t>(at[i]);
            const BYTE* p = reinterpret_cast<const BYTE*>(&c);
            bytes.insert(bytes.end(), p, p + sizeof c);
        }
    }
    at += length;
    return bytes;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<Device> devices;
    const uint8_t* at = data;
    const uint8_t* end = data + size;
    while (at < end && devices.size() < 64) {
        const uint8_t flags = *at++;
        Device d;
        d.ports = (flags & 4) == 0;
        if (flags & 1)
            d.hardwareId = Property(at, end, (flags & 8) != 0);
        if (flags & 2)
            d.friendlyName = Property(at, end, (flags & 16) != 0);
        devices.push_back(std::move(d));
    }

    std::vector<fake::FakeDevice> fakes;
    for (const Device& d : devices) {
        fake::FakeDevice f;
        if (!d.ports)
            f.classGuid = GUID{0x4d36e96d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
        f.hardwareId = d.hardwareId;
        f.friendlyName = d.friendlyName;
        fakes.push_back(std::move(f));
    }
    fake::ResetFakeSetupApi();
    fake::SetFakeDevices(std::move(fakes));

    for (const DeviceIdEntry& row : g_DeviceIdTable) {
        // Exactly the caller's 64 characters on the heap, so that ASan sees
        // a write past them.
        auto storage = std::make_unique<wchar_t[]>(kDevFileNameChars);
        for (int i = 0; i < kDevFileNameChars; ++i)
            storage[i] = kSentinel;
        auto& path = *reinterpret_cast<wchar_t(*)[kDevFileNameChars]>(storage.get());
        const bool found = FindDevicePort(row, path);
        const auto expected = ExpectedPath(devices, row);
        Check(found == expected.has_value(), "FindDevicePort disagrees with the device set");
        if (found) {
            const wchar_t* zero = std::wmemchr(path, L'\0', kDevFileNameChars);
            Check(zero != nullptr, "port path not terminated within 64 characters");
            Check(std::wstring(path) == *expected, "FindDevicePort wrote another path than the device's");
        } else {
            for (int i = 0; i < kDevFileNameChars; ++i)
                Check(path[i] == kSentinel, "a failed lookup wrote the path");
        }
    }

    auto storage = std::make_unique<wchar_t[]>(kPortListChars);
    for (int i = 0; i < kPortListChars; ++i)
        storage[i] = kSentinel;
    auto& list = *reinterpret_cast<wchar_t(*)[kPortListChars]>(storage.get());
    EnumSerialPorts(list);
    std::vector<std::wstring> names;
    size_t pos = 0;
    for (;;) {
        Check(pos < static_cast<size_t>(kPortListChars), "port list not closed within 256 characters");
        const wchar_t* zero = std::wmemchr(list + pos, L'\0', kPortListChars - pos);
        Check(zero != nullptr, "port list not closed within 256 characters");
        const size_t length = static_cast<size_t>(zero - (list + pos));
        if (length == 0)
            break;
        names.emplace_back(list + pos, length);
        pos += length + 1;
    }
    Check(names == ExpectedList(devices), "EnumSerialPorts lists other names than the device set holds");
    Check(fake::FakeOpenDeviceSets() == 0, "a device set was not destroyed");
    return 0;
}
