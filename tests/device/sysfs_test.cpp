// The device-setup calls over sysfs, against a umockdev testbed holding a
// composite terminal (03EB:6133, ttys on interfaces 0 and 2), a second
// terminal (0483:5740), an FTDI adapter (0403:6001), a legacy 8250 port
// without a UART, a working on-board port and a PNP port.
//
// Besides the description of each port: the USB location of the terminals,
// and the scans that could not read everything (an unreadable entry or
// class, no descriptors left, a device vanishing mid-scan), which must say
// so rather than pass for "nothing there".
//
// umockdev redirects /sys for the process it is preloaded into, so main()
// runs the tests again under umockdev-wrapper.
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <umockdev.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <cstdlib>
#include <cwchar>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "app/VantrelDlg.h"
#include "common/state.h"
#include "device/lookup.h"
#include "device/monitor.h"
#include "framework/afxwin.h"
#include "platform/posix/user32/headless/harness.h"
#include "platform/posix/kernel32/trace_sink.h"
#include "tests/device/sysfs_faults.h"
#include "tests/fakes/umockdev.h"

namespace {

struct GFree {
    void operator()(gchar* p) const { g_free(p); }
};
using GString_ = std::unique_ptr<gchar, GFree>;

struct Port {
    std::wstring name;
    std::vector<std::wstring> hardwareIds;
    std::wstring friendlyName;
};

class SysfsPortsTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetUpgradeStateForTest();
        testbed_ = umockdev_testbed_new();
        ASSERT_NE(testbed_, nullptr);
        root_ = GString_(umockdev_testbed_get_root_dir(testbed_)).get();

        const std::string terminal = terminalDevice_ = Add("usb", "1-1", "",
                                                           {{"idVendor", "03eb"},
                                                            {"idProduct", "6133"},
                                                            {"bcdDevice", "0100"},
                                                            {"bDeviceClass", "ef"},
                                                            {"bDeviceSubClass", "02"},
                                                            {"bDeviceProtocol", "01"},
                                                            {"bNumInterfaces", " 3"},
                                                            {"bNumConfigurations", "1"},
                                                            {"product", "POS Terminal"},
                                                            {"serial", " SN\"1\n\x1b[2J "}});
        const std::string mi0 = Add("usb", "1-1:1.0", terminal, {{"bInterfaceNumber", "00"}});
        Add("usb", "1-1:1.1", terminal, {{"bInterfaceNumber", "01"}});
        const std::string mi2 = Add("usb", "1-1:1.2", terminal, {{"bInterfaceNumber", "02"}});
        terminalTty_ = AddTty("ttyACM0", mi0);
        AddTty("ttyACM2", mi2);

        const std::string pad = padDevice_ = Add("usb", "1-2", "",
                                                 {{"idVendor", "0483"},
                                                  {"idProduct", "5740"},
                                                  {"bcdDevice", "0200"},
                                                  {"bDeviceClass", "02"},
                                                  {"bNumInterfaces", " 2"}});
        padTty_ = AddTty("ttyACM10", Add("usb", "1-2:1.0", pad, {{"bInterfaceNumber", "00"}}));

        const std::string ftdi = Add("usb", "1-3", "",
                                     {{"idVendor", "0403"},
                                      {"idProduct", "6001"},
                                      {"bcdDevice", "0600"},
                                      {"bDeviceClass", "00"},
                                      {"bNumInterfaces", " 1"},
                                      {"product", "FT232R USB UART"}});
        const std::string ftdiInterface = Add("usb", "1-3:1.0", ftdi, {{"bInterfaceNumber", "00"}});
        Link(ftdiInterface + "/driver", "../../../bus/usb/drivers/ftdi_sio");
        const std::string serialPort = Add("usb-serial", "ttyUSB0", ftdiInterface, {});
        Link(serialPort + "/driver", "../../../../bus/usb-serial/drivers/ftdi_sio");
        AddTty("ttyUSB0", serialPort);

        const std::string legacy = Add("platform", "serial8250", "", {});
        Link(legacy + "/driver", "../../bus/platform/drivers/serial8250");
        AddTty("ttyS0", legacy, {{"type", "0"}});
        AddTty("ttyS1", legacy, {{"type", "4"}});

        const std::string pnp = Add("pnp", "00:05", "", {{"id", "PNP0501"}});
        Link(pnp + "/driver", "../../bus/pnp/drivers/serial");
        AddTty("ttyS2", pnp, {{"type", "4"}});

        // A virtual console: a tty without a device behind it.
        Add("tty", "tty0", "", {});
    }

    void TearDown() override {
        if (testbed_ != nullptr)
            g_object_unref(testbed_);
    }

    std::string Add(const char* subsystem, const char* name, const std::string& parent,
                    const std::vector<std::pair<const char*, const char*>>& attributes) {
        GString_ path(umockdev_testbed_add_device(testbed_, subsystem, name, parent.empty() ? nullptr : parent.c_str(),
                                                  nullptr, nullptr));
        EXPECT_TRUE(path) << name;
        const std::string syspath = path ? path.get() : "";
        for (const auto& [attribute, value] : attributes)
            umockdev_testbed_set_attribute(testbed_, syspath.c_str(), attribute, value);
        return syspath;
    }

    // A tty class device under parent, with the "device" link the kernel
    // gives every tty that has hardware behind it.
    std::string AddTty(const char* name, const std::string& parent,
                       const std::vector<std::pair<const char*, const char*>>& attributes = {}) {
        const std::string syspath = Add("tty", name, parent, attributes);
        Link(syspath + "/device", "..");
        return syspath;
    }

    void Link(const std::string& syspath, const std::string& target) {
        const std::string at = root_ + syspath;
        ASSERT_EQ(symlink(target.c_str(), at.c_str()), 0) << at << ": " << std::strerror(errno);
    }

    static std::vector<Port> Ports() {
        std::vector<Port> ports;
        HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
        EXPECT_NE(set, INVALID_HANDLE_VALUE);
        if (set == INVALID_HANDLE_VALUE)
            return ports;
        SP_DEVINFO_DATA data{};
        data.cbSize = sizeof(data);
        for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
            Port port;
            auto ids = ReadDeviceProperty(set, &data, SPDRP_HARDWAREID);
            auto name = ReadDeviceProperty(set, &data, SPDRP_FRIENDLYNAME);
            for (auto* s = reinterpret_cast<const wchar_t*>(ids.get()); ids && *s != L'\0'; s += std::wcslen(s) + 1)
                port.hardwareIds.emplace_back(s);
            if (name)
                port.friendlyName = reinterpret_cast<const wchar_t*>(name.get());
            const auto open = port.friendlyName.rfind(L'(');
            if (open != std::wstring::npos)
                port.name = port.friendlyName.substr(open + 1, port.friendlyName.size() - open - 2);
            ports.push_back(port);
        }
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
        EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
        return ports;
    }

    static const Port* Find(const std::vector<Port>& ports, const std::wstring& name) {
        for (const auto& port : ports)
            if (port.name == name)
                return &port;
        return nullptr;
    }

    UMockdevTestbed* testbed_ = nullptr;
    std::string root_;
    std::string terminalDevice_;  // the composite terminal's USB device, 1-1
    std::string terminalTty_;
    std::string padDevice_;  // the second terminal's USB device, 1-2
    std::string padTty_;
};

using vantrel::testing::ScopedSysfsFaults;

// A member's SPDRP_LOCATION_INFORMATION, or "<error N>".
std::wstring LocationOf(HDEVINFO set, SP_DEVINFO_DATA* data) {
    DWORD required = 0;
    if (!SetupDiGetDeviceRegistryPropertyW(set, data, SPDRP_LOCATION_INFORMATION, nullptr, nullptr, 0, &required) &&
        GetLastError() != ERROR_INSUFFICIENT_BUFFER)
        return L"<error " + std::to_wstring(GetLastError()) + L">";
    std::vector<wchar_t> text(required / sizeof(wchar_t) + 1);
    if (!SetupDiGetDeviceRegistryPropertyW(set, data, SPDRP_LOCATION_INFORMATION, nullptr,
                                           reinterpret_cast<BYTE*>(text.data()), required, nullptr))
        return L"<error " + std::to_wstring(GetLastError()) + L">";
    return text.data();
}

// What a device set's enumeration ends with.
DWORD EnumerationEnd() {
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE)
        return GetLastError();
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
    }
    const DWORD end = GetLastError();
    SetupDiDestroyDeviceInfoList(set);
    return end;
}

}  // namespace

TEST_F(SysfsPortsTest, PresentPortsComeInNaturalOrderWithoutTheEmptyLegacyPort) {
    std::vector<std::wstring> names;
    for (const auto& port : Ports())
        names.push_back(port.name);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"ttyACM0", L"ttyACM2", L"ttyACM10", L"ttyS1", L"ttyS2", L"ttyUSB0"}));
}

TEST_F(SysfsPortsTest, CompositeTerminalPortsCarryTheirInterfaceNumber) {
    const auto ports = Ports();
    const Port* mi0 = Find(ports, L"ttyACM0");
    const Port* mi2 = Find(ports, L"ttyACM2");
    ASSERT_TRUE(mi0 && mi2);
    EXPECT_EQ(mi0->hardwareIds,
              (std::vector<std::wstring>{L"USB\\VID_03EB&PID_6133&REV_0100&MI_00", L"USB\\VID_03EB&PID_6133&MI_00"}));
    EXPECT_EQ(mi2->hardwareIds,
              (std::vector<std::wstring>{L"USB\\VID_03EB&PID_6133&REV_0100&MI_02", L"USB\\VID_03EB&PID_6133&MI_02"}));
    // The device's own product string is not part of the name.
    EXPECT_EQ(mi0->friendlyName, L"USB Serial Device (ttyACM0)");
}

TEST_F(SysfsPortsTest, SingleFunctionDevicesHaveNoInterfaceNumber) {
    const auto ports = Ports();
    const Port* pad = Find(ports, L"ttyACM10");
    const Port* ftdi = Find(ports, L"ttyUSB0");
    ASSERT_TRUE(pad && ftdi);
    // A CDC device (class 02) is one function even with two interfaces.
    EXPECT_EQ(pad->hardwareIds,
              (std::vector<std::wstring>{L"USB\\VID_0483&PID_5740&REV_0200", L"USB\\VID_0483&PID_5740"}));
    EXPECT_EQ(pad->friendlyName, L"USB Serial Device (ttyACM10)");
    // FTDI's driver puts its ports on a bus of its own.
    EXPECT_EQ(ftdi->hardwareIds, std::vector<std::wstring>{L"FTDIBUS\\COMPORT&VID_0403&PID_6001"});
    EXPECT_EQ(ftdi->friendlyName, L"USB Serial Port (ttyUSB0)");
}

TEST_F(SysfsPortsTest, OnBoardPortsGetTheirBusIds) {
    const auto ports = Ports();
    const Port* platformPort = Find(ports, L"ttyS1");
    const Port* pnpPort = Find(ports, L"ttyS2");
    ASSERT_TRUE(platformPort && pnpPort);
    EXPECT_EQ(platformPort->hardwareIds, std::vector<std::wstring>{L"PLATFORM\\serial8250"});
    EXPECT_EQ(platformPort->friendlyName, L"Communications Port (ttyS1)");
    EXPECT_EQ(pnpPort->hardwareIds,
              (std::vector<std::wstring>{L"ACPI\\VEN_PNP&DEV_0501", L"ACPI\\PNP0501", L"*PNP0501"}));
}

TEST_F(SysfsPortsTest, RowZeroFindsOnlyTheInterfaceZeroPort) {
    wchar_t path[kDevFileNameChars] = L"untouched";
    ASSERT_TRUE(FindDevicePort(g_DeviceIdTable[0], path));
    EXPECT_EQ(std::wstring(path), L"\\\\.\\ttyACM0");
    umockdev_testbed_remove_device(testbed_, terminalTty_.c_str());
    std::wcscpy(path, L"untouched");
    EXPECT_FALSE(FindDevicePort(g_DeviceIdTable[0], path)) << "ttyACM2 is interface 2";
    EXPECT_EQ(std::wstring(path), L"untouched");
}

TEST_F(SysfsPortsTest, RowOneFindsTheSecondTerminal) {
    wchar_t path[kDevFileNameChars] = {};
    ASSERT_TRUE(FindDevicePort(g_DeviceIdTable[1], path));
    EXPECT_EQ(std::wstring(path), L"\\\\.\\ttyACM10");
}

TEST_F(SysfsPortsTest, FindDevicePortsGivesEveryTerminalWithItsSerialNumber) {
    const std::vector<DevicePortMatch> found = FindDevicePorts();
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].path, L"\\\\.\\ttyACM0");
    EXPECT_EQ(found[0].hardwareId, L"USB\\VID_03EB&PID_6133&REV_0100&MI_00");
    // The composite device's serial number, read from the device above the
    // interface, whole: the device's blanks, quote, newline and escape kept.
    EXPECT_EQ(found[0].serialNumber, L" SN\"1\n\x1b[2J ");
    EXPECT_EQ(found[1].path, L"\\\\.\\ttyACM10");
    EXPECT_EQ(found[1].hardwareId, L"USB\\VID_0483&PID_5740&REV_0200");
    EXPECT_EQ(found[1].serialNumber, L"") << "a device without a serial attribute has none";
}

TEST_F(SysfsPortsTest, FindDevicePortsFollowsAnUnplug) {
    umockdev_testbed_remove_device(testbed_, terminalTty_.c_str());
    const std::vector<DevicePortMatch> found = FindDevicePorts();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].path, L"\\\\.\\ttyACM10");
}

TEST_F(SysfsPortsTest, TerminalsCarryTheSysfsNameOfTheirUsbDevice) {
    bool complete = false;
    const std::vector<DevicePortMatch> found = FindDevicePorts(&complete);
    ASSERT_EQ(found.size(), 2u);
    // The composite terminal's port is on interface 1-1:1.0; the socket is
    // the device's.
    EXPECT_EQ(found[0].location, L"1-1");
    EXPECT_EQ(found[1].location, L"1-2");
    EXPECT_TRUE(complete);
}

TEST_F(SysfsPortsTest, LocationPropertyNamesTheNodeAndOnlyUsbPortsHaveOne) {
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    std::vector<std::wstring> locations;
    DEVINST interfaceNode = 0, platformNode = 0;
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set, i, &data); ++i) {
        locations.push_back(LocationOf(set, &data));
        if (i == 0)
            interfaceNode = data.DevInst;
        if (i == 3)
            platformNode = data.DevInst;
    }
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    const std::wstring none = L"<error " + std::to_wstring(ERROR_INVALID_DATA) + L">";
    // ttyACM0, ttyACM2 (interfaces), ttyACM10, ttyS1, ttyS2, ttyUSB0 (the
    // FTDI port, whose node is made up: the USB device's place).
    EXPECT_EQ(locations, (std::vector<std::wstring>{L"1-1:1.0", L"1-1:1.2", L"1-2", none, none, L"1-3"}));

    // The composite device above the interface, through the configuration
    // manager's size query and read.
    DEVINST parent = 0;
    ASSERT_EQ(CM_Get_Parent(&parent, interfaceNode, 0), static_cast<CONFIGRET>(CR_SUCCESS));
    ULONG length = 0, type = 0;
    EXPECT_EQ(CM_Get_DevNode_Registry_PropertyW(parent, CM_DRP_LOCATION_INFORMATION, &type, nullptr, &length, 0),
              static_cast<CONFIGRET>(CR_BUFFER_SMALL));
    EXPECT_EQ(length, 4 * sizeof(wchar_t));
    wchar_t text[8] = {};
    length = sizeof(text);
    ASSERT_EQ(CM_Get_DevNode_Registry_PropertyW(parent, CM_DRP_LOCATION_INFORMATION, &type, text, &length, 0),
              static_cast<CONFIGRET>(CR_SUCCESS));
    EXPECT_EQ(std::wstring(text), L"1-1");
    EXPECT_EQ(length, 4 * sizeof(wchar_t));
    EXPECT_EQ(type, static_cast<ULONG>(REG_SZ));
    EXPECT_EQ(CM_Get_DevNode_Registry_PropertyW(platformNode, CM_DRP_LOCATION_INFORMATION, nullptr, text, &length, 0),
              static_cast<CONFIGRET>(CR_NO_SUCH_VALUE));
    EXPECT_EQ(CM_Get_DevNode_Registry_PropertyW(parent, CM_DRP_LOCATION_INFORMATION, nullptr, text, &length, 1),
              static_cast<CONFIGRET>(CR_INVALID_FLAG));
    EXPECT_EQ(CM_Get_DevNode_Registry_PropertyW(parent, CM_DRP_LOCATION_INFORMATION, nullptr, text, nullptr, 0),
              static_cast<CONFIGRET>(CR_INVALID_POINTER));
}

TEST_F(SysfsPortsTest, UnreadableEntryMakesTheScanIncompleteButKeepsTheOthers) {
    ScopedSysfsFaults faults({{padDevice_, EACCES}});
    bool complete = true;
    const std::vector<DevicePortMatch> found = FindDevicePorts(&complete);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].path, L"\\\\.\\ttyACM0");
    EXPECT_FALSE(complete);
    EXPECT_EQ(EnumerationEnd(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_GT(faults.Failed(), 0);
}

TEST_F(SysfsPortsTest, UnreadableClassFailsTheDeviceSetWithItsCause) {
    ScopedSysfsFaults faults({{"/sys/class/tty", EACCES}});
    EXPECT_EQ(SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    bool complete = true;
    EXPECT_TRUE(FindDevicePorts(&complete).empty());
    EXPECT_FALSE(complete);
    // The lookups that cannot say so find nothing, as before.
    wchar_t path[kDevFileNameChars] = L"untouched";
    EXPECT_FALSE(FindDevicePort(g_DeviceIdTable[0], path));
    EXPECT_EQ(std::wstring(path), L"untouched");
}

TEST_F(SysfsPortsTest, DeviceGoneBeforeItsEntryIsReadIsLeftOutOfACompleteScan) {
    // Unplugged after the class was listed: its two ttys' entries and the
    // device answer as absent, which is the truth.
    ScopedSysfsFaults faults(
        {{"/sys/class/tty/ttyACM0", ENOENT}, {"/sys/class/tty/ttyACM2", ENOENT}, {terminalDevice_, ENOENT}});
    bool complete = false;
    const std::vector<DevicePortMatch> found = FindDevicePorts(&complete);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].path, L"\\\\.\\ttyACM10");
    EXPECT_TRUE(complete);
    EXPECT_EQ(EnumerationEnd(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
}

TEST_F(SysfsPortsTest, DeviceGoneWhileItIsReadIsNotListedWithWhatItLacked) {
    // Unplugged between the first read of its vendor ID and the rest: every
    // later read answers as absent. Listed anyway, it would be a port with
    // made-up IDs and no serial number.
    ScopedSysfsFaults faults({{"/sys/class/tty/ttyACM10", ENOENT}, {padDevice_, ENOENT}}, padDevice_ + "/idVendor");
    bool complete = false;
    const std::vector<DevicePortMatch> found = FindDevicePorts(&complete);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].path, L"\\\\.\\ttyACM0");
    EXPECT_GT(faults.Failed(), 0) << "the device was not read after the trigger";
    wchar_t list[kPortListChars];
    EnumSerialPorts(list);
    std::vector<std::wstring> names;
    for (const wchar_t* name = list; *name != L'\0'; name += std::wcslen(name) + 1)
        names.emplace_back(name);
    EXPECT_EQ(std::count(names.begin(), names.end(), L"ttyACM10"), 0);
}

TEST_F(SysfsPortsTest, RunningOutOfDescriptorsMakesTheScanIncomplete) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    // A sanitizer's runtime needs descriptors of its own (its check whether
    // memory is readable opens a pipe), so under one a real limit fails the
    // runtime before the scan; the same errno comes from the fault hook here,
    // and the real limit is exercised by the plain build.
    {
        ScopedSysfsFaults faults({{"/sys/class/tty", EMFILE}});
        EXPECT_EQ(SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TOO_MANY_OPEN_FILES));
        bool complete = true;
        FindDevicePorts(&complete);
        EXPECT_FALSE(complete);
    }
    {
        ScopedSysfsFaults faults({{"/sys/class/tty/ttyACM0", EMFILE},
                                  {"/sys/class/tty/ttyACM2", EMFILE},
                                  {"/sys/class/tty/ttyACM10", EMFILE}});
        EXPECT_EQ(EnumerationEnd(), static_cast<DWORD>(ERROR_TOO_MANY_OPEN_FILES));
        bool complete = true;
        FindDevicePorts(&complete);
        EXPECT_FALSE(complete);
    }
#else
    // In a child, so the lowered limit ends with it. With no descriptor left
    // the class cannot be opened; with one, it can, but nothing behind it.
    for (const int spare : {0, 1}) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            const int lowest = open("/dev/null", O_RDONLY | O_CLOEXEC);
            if (lowest < 0)
                _exit(10);
            close(lowest);
            const rlimit limit{static_cast<rlim_t>(lowest + spare), static_cast<rlim_t>(lowest + spare)};
            if (setrlimit(RLIMIT_NOFILE, &limit) != 0)
                _exit(11);
            HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
            if (spare == 0 && (set != INVALID_HANDLE_VALUE || GetLastError() != ERROR_TOO_MANY_OPEN_FILES))
                _exit(12);
            if (set != INVALID_HANDLE_VALUE) {
                SetupDiDestroyDeviceInfoList(set);
                if (EnumerationEnd() != ERROR_TOO_MANY_OPEN_FILES)
                    _exit(13);
            }
            bool complete = true;
            FindDevicePorts(&complete);
            _exit(complete ? 14 : 0);
        }
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFEXITED(status)) << "spare " << spare;
        EXPECT_EQ(WEXITSTATUS(status), 0) << "spare " << spare;
    }
#endif
    // The parent's limit is untouched: the same tree scans whole here.
    bool complete = false;
    EXPECT_EQ(FindDevicePorts(&complete).size(), 2u);
    EXPECT_TRUE(complete);
}

// Root reads through permissions: the calling thread puts down the two
// capabilities that let it (capabilities are per thread), and takes them up
// again at the end.
class WithoutDacOverride {
public:
    WithoutDacOverride() {
        if (syscall(SYS_capget, &header_, saved_) != 0)
            return;
        __user_cap_data_struct lowered[2] = {saved_[0], saved_[1]};
        lowered[0].effective &= ~((1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH));
        lowered_ = syscall(SYS_capset, &header_, lowered) == 0;
    }
    ~WithoutDacOverride() {
        if (lowered_)
            syscall(SYS_capset, &header_, saved_);
    }
    WithoutDacOverride(const WithoutDacOverride&) = delete;
    WithoutDacOverride& operator=(const WithoutDacOverride&) = delete;
    bool ok() const { return lowered_ || geteuid() != 0; }

private:
    __user_cap_header_struct header_{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct saved_[2]{};
    bool lowered_ = false;
};

TEST_F(SysfsPortsTest, EntryWithoutPermissionMakesTheScanIncomplete) {
    WithoutDacOverride asAUser;
    ASSERT_TRUE(asAUser.ok()) << "the capabilities could not be put down: " << std::strerror(errno);
    const std::string dir = root_ + padDevice_;
    ASSERT_EQ(chmod(dir.c_str(), 0), 0) << std::strerror(errno);
    bool complete = true;
    const auto found = FindDevicePorts(&complete);
    chmod(dir.c_str(), 0755);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].path, L"\\\\.\\ttyACM0");
    EXPECT_FALSE(complete);
}

TEST_F(SysfsPortsTest, PortListHoldsEveryPresentPort) {
    wchar_t list[kPortListChars];
    EnumSerialPorts(list);
    std::vector<std::wstring> names;
    for (const wchar_t* name = list; *name != L'\0'; name += std::wcslen(name) + 1)
        names.emplace_back(name);
    EXPECT_EQ(names, (std::vector<std::wstring>{L"ttyACM0", L"ttyACM2", L"ttyACM10", L"ttyS1", L"ttyS2", L"ttyUSB0"}));
}

TEST_F(SysfsPortsTest, PropertySizesAndErrorsFollowTheDeviceSetupContract) {
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    ASSERT_TRUE(SetupDiEnumDeviceInfo(set, 0, &data));
    DWORD required = 0, type = 0;
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_FRIENDLYNAME, &type, nullptr, 0, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    const std::wstring expected = L"USB Serial Device (ttyACM0)";
    EXPECT_EQ(required, (expected.size() + 1) * sizeof(wchar_t));
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    std::vector<BYTE> small(required - 1);
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_FRIENDLYNAME, nullptr, small.data(),
                                                   static_cast<DWORD>(small.size()), &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INSUFFICIENT_BUFFER));
    std::vector<BYTE> whole(required);
    ASSERT_TRUE(
        SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_FRIENDLYNAME, nullptr, whole.data(), required, nullptr));
    EXPECT_EQ(std::wstring(reinterpret_cast<const wchar_t*>(whole.data())), expected);
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_HARDWAREID, &type, nullptr, 0, &required));
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    // Both strings, their terminators and the closing one.
    const std::wstring first = L"USB\\VID_03EB&PID_6133&REV_0100&MI_00", second = L"USB\\VID_03EB&PID_6133&MI_00";
    EXPECT_EQ(required, (first.size() + 1 + second.size() + 1 + 1) * sizeof(wchar_t));
    EXPECT_FALSE(SetupDiGetDeviceRegistryPropertyW(set, &data, SPDRP_DEVICEDESC, nullptr, nullptr, 0, &required));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_DATA));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_FALSE(SetupDiDestroyDeviceInfoList(set));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST_F(SysfsPortsTest, OtherSetupClassesAreEmpty) {
    const GUID other = {0x4d36e96d, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
    HDEVINFO set = SetupDiGetClassDevsW(&other, nullptr, nullptr, DIGCF_PRESENT);
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    EXPECT_FALSE(SetupDiEnumDeviceInfo(set, 0, &data));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set));
}

TEST_F(SysfsPortsTest, MonitorNoticesTheTerminalLeaving) {
    std::mutex lock;
    std::vector<std::string> trace;
    SetTraceSink([&](const std::string& text) {
        std::lock_guard<std::mutex> guard(lock);
        trace.push_back(text);
    });
    const auto count = [&](const std::string& line) {
        std::lock_guard<std::mutex> guard(lock);
        return std::count(trace.begin(), trace.end(), line);
    };
    const auto pumpUntil = [](const std::function<bool()>& done) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(3);
        while (!done() && std::chrono::steady_clock::now() < end) {
            headless::PumpMessages();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        return done();
    };
    auto dlg = std::make_unique<CVantrelDlg>();
    AfxSetMainWnd(dlg.get());
    ASSERT_TRUE(dlg->Create(IDD_MAIN_DIALOG, nullptr));
    EXPECT_EQ(std::wstring(State().g_DebugDevFileName), L"\\\\.\\ttyACM0");
    ASSERT_TRUE(pumpUntil([] { return State().g_ListenState.load() == LISTEN_PRESENT; }));
    // Interface 2 of the first terminal stays: it is not a terminal port.
    umockdev_testbed_remove_device(testbed_, terminalTty_.c_str());
    umockdev_testbed_remove_device(testbed_, padTty_.c_str());
    EXPECT_TRUE(pumpUntil([&] { return count("OnDevRemoved\r\n") == 1; }));
    EXPECT_FALSE(State().g_DevicePresent);
    AppUninit();
    EXPECT_TRUE(pumpUntil([] { return AfxRunningThreadCount() == 0; }));
    dlg->DestroyWindow();
    AfxSetMainWnd(nullptr);
    SetTraceSink(nullptr);
    EXPECT_EQ(count("OnDevArrival\r\n"), 0);
}

int main(int argc, char** argv) {
    if (const int failed = vantrel::testing::EnterUmockdev(argc, argv); failed >= 0)
        return failed;
    headless::UseManualClock(true);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
