// The device-setup calls over sysfs and the terminal lookup, against the
// sysfs layouts of real devices (real_devices/*.umockdev, each naming where
// its layout was published and what in it is not from there).
//
// For every device the table states what Windows lists for its ports (first
// hardware ID, friendly name) and what this tool shows through the same
// calls: its hardware ID and friendly name, the port list and the terminal
// that "Auto Detect" finds. The tool's hardware ID and the text before
// " (COMn)" are Windows' unless a row says how they differ. Rows built on a
// real device with one thing changed (another product string, an interface
// without its driver, the identity of a terminal) say what they change.
#include <gtest/gtest.h>
#include <umockdev.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cwchar>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "common/state.h"
#include "device/lookup.h"

namespace {

struct GFree {
    void operator()(gchar* p) const { g_free(p); }
};
using GText = std::unique_ptr<gchar, GFree>;

// A testbed holding one fixture, and the changes a row makes to it.
class Bed {
public:
    Bed() : testbed_(umockdev_testbed_new()) { root_ = GText(umockdev_testbed_get_root_dir(testbed_)).get(); }
    ~Bed() { g_object_unref(testbed_); }
    Bed(const Bed&) = delete;
    Bed& operator=(const Bed&) = delete;

    // Loads real_devices/<file>; '#' lines are the fixture's comments, which
    // the record format itself does not have.
    ::testing::AssertionResult Load(const std::string& file) {
        const std::string path = std::string(VANTREL_REAL_DEVICES_DIR) + "/" + file;
        std::ifstream in(path);
        if (!in)
            return ::testing::AssertionFailure() << "cannot read " << path;
        // Records are separated by one empty line; none may come first.
        std::ostringstream records;
        bool separate = false;
        for (std::string line; std::getline(in, line);) {
            if (!line.empty() && line[0] == '#')
                continue;
            if (line.empty()) {
                separate = records.tellp() > 0;
                continue;
            }
            if (separate)
                records << '\n';
            separate = false;
            records << line << '\n';
        }
        GError* error = nullptr;
        if (!umockdev_testbed_add_from_string(testbed_, records.str().c_str(), &error)) {
            const std::string message = error != nullptr ? error->message : "?";
            g_clear_error(&error);
            return ::testing::AssertionFailure() << path << ": " << message;
        }
        return ::testing::AssertionSuccess();
    }

    void Set(const std::string& device, const char* attribute, const char* value) {
        umockdev_testbed_set_attribute(testbed_, device.c_str(), attribute, value);
    }
    // Removes an attribute file or a link (a driver binding).
    void Remove(const std::string& device, const char* name) {
        const std::string path = root_ + "/sys" + device + "/" + name;
        EXPECT_EQ(unlink(path.c_str()), 0) << path << ": " << std::strerror(errno);
    }

private:
    UMockdevTestbed* testbed_;
    std::string root_;
};

// One port as Windows lists it and as this tool shows it.
struct PortView {
    const wchar_t* tty;
    // Windows' first hardware ID for the port; for a row whose port Windows
    // does not list, the ID of the device itself.
    const wchar_t* windowsHardwareId;
    // Windows' friendly name; null where Windows lists no port for it.
    const wchar_t* windowsFriendlyName;
    // Where the tool differs from Windows: its first hardware ID, and the
    // text its friendly name has before " (tty...)".
    const wchar_t* toolHardwareId = nullptr;
    const wchar_t* toolDescription = nullptr;
};

struct RealDevice {
    const char* name;
    const char* fixture;
    std::function<void(Bed&)> change;  // null: the layout as published
    std::vector<PortView> ports;       // the ports the tool lists, in its order
    const wchar_t* terminal;           // what "Auto Detect" opens; L"" for none
};

void PrintTo(const RealDevice& device, std::ostream* out) { *out << device.name; }

// The text of a friendly name before its last " (".
std::wstring Description(const std::wstring& friendlyName) { return friendlyName.substr(0, friendlyName.rfind(L" (")); }

struct Listed {
    std::wstring friendlyName;
    std::wstring firstHardwareId;
    bool operator==(const Listed&) const = default;
};

void PrintTo(const Listed& port, std::ostream* out) {
    std::string text;
    for (const wchar_t c : port.friendlyName + L" | " + port.firstHardwareId)
        text += c < 0x80 ? static_cast<char>(c) : '?';
    *out << text;
}

// The ports-class members as the tool reads them.
std::vector<Listed> ListedPorts() {
    std::vector<Listed> ports;
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    if (set == INVALID_HANDLE_VALUE)
        return ports;
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
        auto ids = ReadDeviceProperty(set, &data, SPDRP_HARDWAREID);
        auto name = ReadDeviceProperty(set, &data, SPDRP_FRIENDLYNAME);
        ports.push_back({name ? reinterpret_cast<const wchar_t*>(name.get()) : L"<none>",
                         ids ? reinterpret_cast<const wchar_t*>(ids.get()) : L"<none>"});
    }
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    return ports;
}

std::vector<std::wstring> PortList() {
    wchar_t list[kPortListChars];
    EnumSerialPorts(list);
    std::vector<std::wstring> names;
    for (const wchar_t* name = list; *name != L'\0'; name += std::wcslen(name) + 1)
        names.emplace_back(name);
    return names;
}

// The terminal as "Auto Detect" finds it: row 0 first, then row 1.
std::wstring Terminal() {
    for (const auto& row : g_DeviceIdTable) {
        wchar_t path[kDevFileNameChars] = {};
        if (FindDevicePort(row, path))
            return path;
    }
    return L"";
}

// Sysfs paths of the devices the rows change.
const std::string kProbe = "/sys/devices/pci0000:00/0000:00:1d.2/usb8/8-1";
const std::string kUno = "/sys/devices/pci0000:00/0000:00:14.0/usb1/1-1";
const std::string kModem = "/sys/devices/pci0000:00/0000:00:1c.1/0000:08:00.0/usb3/3-1";
const std::string kCh340Interface = "/devices/pci0000:00/0000:00:08.1/0000:04:00.3/usb1/1-2/1-2.2/1-2.2:1.0";

// The probe's layout carrying the identity of the row-0 terminal: a device
// with interface associations whose first CDC function is interface 0.
void AsRowZeroTerminal(Bed& bed) {
    bed.Set(kProbe, "idVendor", "03eb");
    bed.Set(kProbe, "idProduct", "6133");
}

std::function<void(Bed&)> RowZeroTerminalNamed(const char* product) {
    return [product](Bed& bed) {
        AsRowZeroTerminal(bed);
        bed.Set(kProbe, "product", product);
    };
}

const std::vector<PortView> kRowZeroTerminalPorts = {
    {L"ttyACM0", L"USB\\VID_03EB&PID_6133&REV_0100&MI_00", L"USB Serial Device (COM5)"},
    {L"ttyACM1", L"USB\\VID_03EB&PID_6133&REV_0100&MI_02", L"USB Serial Device (COM6)"},
};

const RealDevice kRealDevices[] = {
    // Single-function CDC device (class 02): one port, no MI_.
    {"ArduinoUnoR3",
     "arduino_uno_r3.umockdev",
     nullptr,
     {{L"ttyACM0", L"USB\\VID_2341&PID_0043&REV_0001", L"USB Serial Device (COM3)"}},
     L""},
    // The same device with the identity of the row-0 terminal: a class-02
    // device has no MI_00, so row 0 cannot match it.
    {"ClassTwoDeviceNeverMatchesRowZero",
     "arduino_uno_r3.umockdev",
     [](Bed& bed) {
         bed.Set(kUno, "idVendor", "03eb");
         bed.Set(kUno, "idProduct", "6133");
     },
     {{L"ttyACM0", L"USB\\VID_03EB&PID_6133&REV_0001", L"USB Serial Device (COM3)"}},
     L""},
    // Row 1's vendor and product: found. Windows ran ST's driver, which
    // names the port its own way.
    {"RusefiEcuIsTheRowOneTerminal",
     "rusefi_ecu.umockdev",
     nullptr,
     {{L"ttyACM0", L"USB\\VID_0483&PID_5740&REV_0200", L"STMicroelectronics Virtual COM Port (COM30)", nullptr,
       L"USB Serial Device"}},
     L"\\\\.\\ttyACM0"},
    // Three CDC functions on interfaces 1, 3 and 5 of a class-02 device:
    // Windows does not split a class-02 device, so there is no MI_ (and no
    // in-box name: ZTE's own driver names the ports).
    {"ZteModemClassTwo",
     "zte_mf190j.umockdev",
     nullptr,
     {{L"ttyACM0", L"USB\\VID_19D2&PID_1544&REV_0001", nullptr, nullptr, L"USB Serial Device"},
      {L"ttyACM1", L"USB\\VID_19D2&PID_1544&REV_0001", nullptr, nullptr, L"USB Serial Device"},
      {L"ttyACM2", L"USB\\VID_19D2&PID_1544&REV_0001", nullptr, nullptr, L"USB Serial Device"}},
     L""},
    // The same modem declaring interface associations (class EF/02/01, one
    // per function, as the kernel shows in iad_bFirstInterface): composite,
    // functions on MI_01, MI_03 and MI_05.
    {"ZteModemWithInterfaceAssociations",
     "zte_mf190j.umockdev",
     [](Bed& bed) {
         bed.Set(kModem, "bDeviceClass", "ef");
         bed.Set(kModem, "bDeviceSubClass", "02");
         bed.Set(kModem, "bDeviceProtocol", "01");
         for (const char* function : {"01", "03", "05"})
             bed.Set(kModem + "/3-1:1." + function[1], "iad_bFirstInterface", function);
     },
     {{L"ttyACM0", L"USB\\VID_19D2&PID_1544&REV_0001&MI_01", L"USB Serial Device (COM7)"},
      {L"ttyACM1", L"USB\\VID_19D2&PID_1544&REV_0001&MI_03", L"USB Serial Device (COM8)"},
      {L"ttyACM2", L"USB\\VID_19D2&PID_1544&REV_0001&MI_05", L"USB Serial Device (COM9)"}},
     L""},
    // Windows splits only a device with a single configuration; with two,
    // the whole device is one (no MI_, no in-box port name).
    {"ZteModemWithTwoConfigurations",
     "zte_mf190j.umockdev",
     [](Bed& bed) {
         bed.Set(kModem, "bDeviceClass", "ef");
         bed.Set(kModem, "bDeviceSubClass", "02");
         bed.Set(kModem, "bDeviceProtocol", "01");
         bed.Set(kModem, "bNumConfigurations", "2");
     },
     {{L"ttyACM0", L"USB\\VID_19D2&PID_1544&REV_0001", nullptr, nullptr, L"USB Serial Device"},
      {L"ttyACM1", L"USB\\VID_19D2&PID_1544&REV_0001", nullptr, nullptr, L"USB Serial Device"},
      {L"ttyACM2", L"USB\\VID_19D2&PID_1544&REV_0001", nullptr, nullptr, L"USB Serial Device"}},
     L""},
    // IAD device whose product string has parentheses before the port name.
    {"BlackMagicProbe",
     "black_magic_probe.umockdev",
     nullptr,
     {{L"ttyACM0", L"USB\\VID_1D50&PID_6018&REV_0100&MI_00", L"USB Serial Device (COM5)"},
      {L"ttyACM1", L"USB\\VID_1D50&PID_6018&REV_0100&MI_02", L"USB Serial Device (COM6)"}},
     L""},
    // The row-0 terminal's identity on that layout, with every kind of
    // product string: the port and the terminal are found whatever it holds.
    {"TerminalWithItsRealProductString", "black_magic_probe.umockdev", AsRowZeroTerminal, kRowZeroTerminalPorts,
     L"\\\\.\\ttyACM0"},
    {"TerminalWithParenthesesInItsProductString", "black_magic_probe.umockdev",
     RowZeroTerminalNamed("Virtual COM Port (CDC)"), kRowZeroTerminalPorts, L"\\\\.\\ttyACM0"},
    {"TerminalWithAPortNameInItsProductString", "black_magic_probe.umockdev",
     RowZeroTerminalNamed("Terminal (ttyS0) (COM1)"), kRowZeroTerminalPorts, L"\\\\.\\ttyACM0"},
    {"TerminalWithNonAsciiProductString", "black_magic_probe.umockdev",
     RowZeroTerminalNamed("Kassenterminal (Gr\xC3\xB6\xC3\x9F"
                          "e 2) \xE7\xAB\xAF\xE6\x9C\xAB"),
     kRowZeroTerminalPorts, L"\\\\.\\ttyACM0"},
    {"TerminalWithInvalidUtf8ProductString", "black_magic_probe.umockdev", RowZeroTerminalNamed("\xC3(\xFF)\xE2\x82"),
     kRowZeroTerminalPorts, L"\\\\.\\ttyACM0"},
    {"TerminalWithEmptyProductString", "black_magic_probe.umockdev", RowZeroTerminalNamed(""), kRowZeroTerminalPorts,
     L"\\\\.\\ttyACM0"},
    {"TerminalWithoutProductString", "black_magic_probe.umockdev",
     [](Bed& bed) {
         AsRowZeroTerminal(bed);
         bed.Remove(kProbe.substr(4), "product");
     },
     kRowZeroTerminalPorts, L"\\\\.\\ttyACM0"},
    // IAD device behind a hub, its CDC function on interface 1: the vendor of
    // row 0, another product and interface.
    {"AtmelEdbgBehindHub",
     "atmel_edbg_behind_hub.umockdev",
     nullptr,
     {{L"ttyACM0", L"USB\\VID_03EB&PID_2111&REV_0101&MI_01", L"USB Serial Device (COM4)"}},
     L""},
    // usb-serial adapters behind hubs.
    {"Ch340BehindHub",
     "ch340_behind_hub.umockdev",
     nullptr,
     {{L"ttyUSB0", L"USB\\VID_1A86&PID_7523&REV_8134", L"USB-SERIAL CH340 (COM27)"}},
     L""},
    {"Ft232rBehindHub",
     "ft232r_behind_hub.umockdev",
     nullptr,
     {{L"ttyUSB0", L"FTDIBUS\\COMPORT&VID_0403&PID_6001", L"USB Serial Port (COM26)"}},
     L""},
    // Multi-port usb-serial devices. Silicon Labs' driver names each port
    // of a CP2108 after the chip and its interface; the tool gives the name
    // of the single-port bridges.
    {"Cp2108QuadBehindHubs",
     "cp2108_behind_hubs.umockdev",
     nullptr,
     {{L"ttyUSB0", L"USB\\VID_10C4&PID_EA71&REV_0100&MI_00",
       L"Silicon Labs Quad CP2108 USB to UART Bridge: Interface 0 (COM10)", nullptr,
       L"Silicon Labs CP210x USB to UART Bridge"},
      {L"ttyUSB1", L"USB\\VID_10C4&PID_EA71&REV_0100&MI_01",
       L"Silicon Labs Quad CP2108 USB to UART Bridge: Interface 1 (COM11)", nullptr,
       L"Silicon Labs CP210x USB to UART Bridge"},
      {L"ttyUSB2", L"USB\\VID_10C4&PID_EA71&REV_0100&MI_02",
       L"Silicon Labs Quad CP2108 USB to UART Bridge: Interface 2 (COM12)", nullptr,
       L"Silicon Labs CP210x USB to UART Bridge"},
      {L"ttyUSB3", L"USB\\VID_10C4&PID_EA71&REV_0100&MI_03",
       L"Silicon Labs Quad CP2108 USB to UART Bridge: Interface 3 (COM13)", nullptr,
       L"Silicon Labs CP210x USB to UART Bridge"}},
     L""},
    // FTDI's driver lists the four ports on its own bus, without MI_.
    {"Ft4232hQuad",
     "ft4232h_quad.umockdev",
     nullptr,
     {{L"ttyUSB0", L"FTDIBUS\\COMPORT&VID_0403&PID_6011", L"USB Serial Port (COM14)"},
      {L"ttyUSB1", L"FTDIBUS\\COMPORT&VID_0403&PID_6011", L"USB Serial Port (COM15)"},
      {L"ttyUSB2", L"FTDIBUS\\COMPORT&VID_0403&PID_6011", L"USB Serial Port (COM16)"},
      {L"ttyUSB3", L"FTDIBUS\\COMPORT&VID_0403&PID_6011", L"USB Serial Port (COM17)"}},
     L""},
    // A tty whose USB interface has no driver bound (between an unbind and
    // the tty's removal): Windows lists no port for a device without a
    // driver; the tool still lists it, under the generic name.
    {"Ch340WithoutInterfaceDriver",
     "ch340_behind_hub.umockdev",
     [](Bed& bed) { bed.Remove(kCh340Interface, "driver"); },
     {{L"ttyUSB0", L"USB\\VID_1A86&PID_7523&REV_8134", nullptr, nullptr, L"USB Serial Device"}},
     L""},
    // On-board ports on Linux 6.5 and later: the two PNP UARTs are listed,
    // the legacy ports without a UART (ttyS1, ttyS3) are not.
    {"OnBoardPortsBehindTheSerialCore",
     "onboard_8250_serial_core.umockdev",
     nullptr,
     {{L"ttyS0", L"ACPI\\VEN_PNP&DEV_0501", L"Communications Port (COM1)"},
      {L"ttyS2", L"ACPI\\VEN_PNP&DEV_0501", L"Communications Port (COM3)"}},
     L""},
    // Older kernels, a tablet PC whose only PNP UART is the pen digitizer's
    // (ACPI\WACF004, not a COM port on Windows) and answers as no UART; the
    // legacy ports neither: nothing is listed.
    {"TabletPcWithoutUsablePorts", "tablet_pc_legacy_ports.umockdev", nullptr, {}, L""},
};

class RealDeviceTest : public ::testing::TestWithParam<RealDevice> {
protected:
    void SetUp() override { ResetUpgradeStateForTest(); }
};

TEST_P(RealDeviceTest, ToolShowsThePortsAndTheTerminalAsStated) {
    const RealDevice& device = GetParam();
    Bed bed;
    ASSERT_TRUE(bed.Load(device.fixture));
    if (device.change)
        device.change(bed);

    std::vector<Listed> expected;
    std::vector<std::wstring> names;
    for (const PortView& port : device.ports) {
        ASSERT_TRUE(port.windowsFriendlyName != nullptr || port.toolDescription != nullptr) << "row without a name";
        const std::wstring description =
            port.toolDescription != nullptr ? port.toolDescription : Description(port.windowsFriendlyName);
        expected.push_back({description + L" (" + port.tty + L")",
                            port.toolHardwareId != nullptr ? port.toolHardwareId : port.windowsHardwareId});
        names.emplace_back(port.tty);
    }
    EXPECT_EQ(ListedPorts(), expected);
    EXPECT_EQ(PortList(), names);
    EXPECT_EQ(Terminal(), device.terminal);
}

INSTANTIATE_TEST_SUITE_P(Published, RealDeviceTest, ::testing::ValuesIn(kRealDevices),
                         [](const ::testing::TestParamInfo<RealDevice>& info) { return std::string(info.param.name); });

// Where each listed port's node sits (its location information), and the
// place FindDevicePorts gives the terminal: the USB device's sysfs name,
// behind hubs too, the composite device's for a port on its interface.
struct PlacedDevice {
    const char* name;
    const char* fixture;
    std::function<void(Bed&)> change;
    std::vector<std::wstring> nodeLocations;  // "" for a port without one
    std::wstring terminalLocation;            // "" when no terminal is found
};

void PrintTo(const PlacedDevice& device, std::ostream* out) { *out << device.name; }

std::vector<std::wstring> NodeLocations() {
    std::vector<std::wstring> locations;
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    if (set == INVALID_HANDLE_VALUE)
        return locations;
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
        auto location = ReadDeviceProperty(set, &data, SPDRP_LOCATION_INFORMATION);
        locations.emplace_back(location ? reinterpret_cast<const wchar_t*>(location.get()) : L"");
    }
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    return locations;
}

const PlacedDevice kPlacedDevices[] = {
    {"RootHubPort", "arduino_uno_r3.umockdev", nullptr, {L"1-1"}, L""},
    {"RowOneTerminal", "rusefi_ecu.umockdev", nullptr, {L"1-4"}, L"1-4"},
    {"CompositeTerminalTakesTheDevicesPlace",
     "black_magic_probe.umockdev",
     AsRowZeroTerminal,
     {L"8-1:1.0", L"8-1:1.2"},
     L"8-1"},
    {"InterfaceBehindAHub", "atmel_edbg_behind_hub.umockdev", nullptr, {L"2-2.1:1.1"}, L""},
    {"AdapterBehindAHub", "ch340_behind_hub.umockdev", nullptr, {L"1-2.2"}, L""},
    {"FtdiPortsShareTheirDevicesPlace",
     "ft4232h_quad.umockdev",
     nullptr,
     {L"1-3.1", L"1-3.1", L"1-3.1", L"1-3.1"},
     L""},
    {"InterfacesBehindTwoHubs",
     "cp2108_behind_hubs.umockdev",
     nullptr,
     {L"1-1.1.1:1.0", L"1-1.1.1:1.1", L"1-1.1.1:1.2", L"1-1.1.1:1.3"},
     L""},
    {"OnBoardPortsHaveNone", "onboard_8250_serial_core.umockdev", nullptr, {L"", L""}, L""},
};

class RealDeviceLocationTest : public ::testing::TestWithParam<PlacedDevice> {
protected:
    void SetUp() override { ResetUpgradeStateForTest(); }
};

TEST_P(RealDeviceLocationTest, PortsAndTheTerminalAreWhereTheKernelNamesThem) {
    const PlacedDevice& device = GetParam();
    Bed bed;
    ASSERT_TRUE(bed.Load(device.fixture));
    if (device.change)
        device.change(bed);
    EXPECT_EQ(NodeLocations(), device.nodeLocations);
    bool complete = false;
    const auto found = FindDevicePorts(&complete);
    EXPECT_TRUE(complete);
    EXPECT_EQ(found.empty() ? L"" : found.front().location, device.terminalLocation);
}

INSTANTIATE_TEST_SUITE_P(Published, RealDeviceLocationTest, ::testing::ValuesIn(kPlacedDevices),
                         [](const ::testing::TestParamInfo<PlacedDevice>& info) {
                             return std::string(info.param.name);
                         });

}  // namespace
