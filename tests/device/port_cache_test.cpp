// The reuse of the sysfs port listing, against a umockdev testbed: a tree
// left alone is not walked again, and every change between two device sets
// shows in the second one: ports leaving and arriving together, a port name
// taken over by another device, a "device" link made after its class entry,
// an 8250 port's type rewritten in place. Sets taken before a change keep
// what they listed. A listing that could not read an entry is never handed out
// again as the truth.
//
// Linked into device_sysfs_tests, whose main() runs it under
// umockdev-wrapper.
#include <gtest/gtest.h>
#include <umockdev.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "device/lookup.h"
#include "platform/api.h"
#include "platform/posix/setupapi/port_cache.h"
#include "tests/device/sysfs_faults.h"

namespace {

struct GFree {
    void operator()(gchar* p) const { g_free(p); }
};
using GText = std::unique_ptr<gchar, GFree>;

using Attributes = std::vector<std::pair<const char*, const char*>>;

struct Listed {
    std::wstring friendlyName;
    std::wstring firstHardwareId;
    bool operator==(const Listed&) const = default;
};

std::ostream& operator<<(std::ostream& out, const Listed& port) {
    char text[512];
    std::snprintf(text, sizeof(text), "{%ls, %ls}", port.friendlyName.c_str(), port.firstHardwareId.c_str());
    return out << text;
}

struct DeviceSetCloser {
    void operator()(void* set) const { EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set)); }
};
using DeviceSet = std::unique_ptr<void, DeviceSetCloser>;

DeviceSet OpenPorts() {
    HDEVINFO set = SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT);
    EXPECT_NE(set, INVALID_HANDLE_VALUE);
    return DeviceSet(set == INVALID_HANDLE_VALUE ? nullptr : set);
}

std::vector<Listed> Members(const DeviceSet& set) {
    std::vector<Listed> ports;
    if (!set)
        return ports;
    SP_DEVINFO_DATA data{};
    data.cbSize = sizeof(data);
    for (DWORD i = 0; SetupDiEnumDeviceInfo(set.get(), i, &data); ++i) {
        auto ids = ReadDeviceProperty(set.get(), &data, SPDRP_HARDWAREID);
        auto name = ReadDeviceProperty(set.get(), &data, SPDRP_FRIENDLYNAME);
        Listed port;
        if (name)
            port.friendlyName = reinterpret_cast<const wchar_t*>(name.get());
        if (ids)
            port.firstHardwareId = reinterpret_cast<const wchar_t*>(ids.get());
        ports.push_back(port);
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NO_MORE_ITEMS));
    return ports;
}

std::vector<Listed> Ports() { return Members(OpenPorts()); }

// Fills stack below the caller's frame, where the next calls' frames go.
__attribute__((noinline)) void ScribbleStack(unsigned char value) {
    volatile unsigned char area[64 * 1024];
    for (size_t i = 0; i < sizeof(area); ++i)
        area[i] = value;
}

class PortCacheTest : public ::testing::Test {
protected:
    void SetUp() override {
        testbed_ = umockdev_testbed_new();
        ASSERT_NE(testbed_, nullptr);
        root_ = GText(umockdev_testbed_get_root_dir(testbed_)).get();
        // What every real tree has in numbers: entries without hardware.
        for (const char* console : {"tty0", "tty1", "console", "ptmx"})
            Add("tty", console, "", {});
    }

    void TearDown() override {
        if (testbed_ != nullptr)
            g_object_unref(testbed_);
    }

    std::string Add(const char* subsystem, const char* name, const std::string& parent, const Attributes& attributes) {
        GText path(umockdev_testbed_add_device(testbed_, subsystem, name, parent.empty() ? nullptr : parent.c_str(),
                                               nullptr, nullptr));
        EXPECT_TRUE(path) << name;
        const std::string syspath = path ? path.get() : "";
        for (const auto& [attribute, value] : attributes)
            umockdev_testbed_set_attribute(testbed_, syspath.c_str(), attribute, value);
        return syspath;
    }

    void Link(const std::string& syspath, const std::string& target) {
        const std::string at = root_ + syspath;
        ASSERT_EQ(symlink(target.c_str(), at.c_str()), 0) << at << ": " << std::strerror(errno);
    }

    std::string AddTty(const char* name, const std::string& parent, const Attributes& attributes = {}) {
        const std::string syspath = Add("tty", name, parent, attributes);
        Link(syspath + "/device", "..");
        return syspath;
    }

    // A single-function USB device with one interface and a tty on it.
    std::string AddUsbPort(const char* usbName, const char* vid, const char* pid, const char* product,
                           const char* tty) {
        const std::string device = Add("usb", usbName, "",
                                       {{"idVendor", vid},
                                        {"idProduct", pid},
                                        {"bcdDevice", "0100"},
                                        {"bDeviceClass", "02"},
                                        {"bNumInterfaces", " 1"},
                                        {"product", product}});
        const std::string itf =
            Add("usb", (std::string(usbName) + ":1.0").c_str(), device, {{"bInterfaceNumber", "00"}});
        return AddTty(tty, itf);
    }

    void Remove(const std::string& syspath) { umockdev_testbed_remove_device(testbed_, syspath.c_str()); }

    UMockdevTestbed* testbed_ = nullptr;
    std::string root_;
};

}  // namespace

TEST_F(PortCacheTest, UnchangedTreeIsListedOnceForManySets) {
    AddUsbPort("1-1", "0483", "5740", "Pad", "ttyACM0");
    const auto first = Ports();
    const auto scans = posix::SysfsFullScanCount();
    for (int i = 0; i < 20; ++i) {
        // Different leftovers on the stack each time: the check must not
        // compare bytes the kernel did not write.
        ScribbleStack(static_cast<unsigned char>(i * 37 + 1));
        EXPECT_EQ(Ports(), first);
    }
    EXPECT_EQ(posix::SysfsFullScanCount(), scans);
    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].friendlyName, L"USB Serial Device (ttyACM0)");
}

TEST_F(PortCacheTest, RemovalAndArrivalBetweenTwoSetsAreBothSeen) {
    const std::string leaving = AddUsbPort("1-1", "0483", "5740", "Pad", "ttyACM0");
    AddUsbPort("1-2", "0403", "6001", "Adapter", "ttyUSB0");
    ASSERT_EQ(Ports(), (std::vector<Listed>{{L"USB Serial Device (ttyACM0)", L"USB\\VID_0483&PID_5740&REV_0100"},
                                            {L"USB Serial Device (ttyUSB0)", L"USB\\VID_0403&PID_6001&REV_0100"}}));
    Remove(leaving);
    AddUsbPort("1-3", "03eb", "6133", "Terminal", "ttyACM1");
    EXPECT_EQ(Ports(), (std::vector<Listed>{{L"USB Serial Device (ttyACM1)", L"USB\\VID_03EB&PID_6133&REV_0100"},
                                            {L"USB Serial Device (ttyUSB0)", L"USB\\VID_0403&PID_6001&REV_0100"}}));
}

TEST_F(PortCacheTest, PortNameTakenOverByAnotherDeviceIsSeen) {
    // Unplugging one device and plugging another between two polls gives
    // the same entry names; only the entries' identity differs.
    const std::string first = AddUsbPort("1-1", "0483", "5740", "Pad", "ttyACM0");
    ASSERT_EQ(Ports(), (std::vector<Listed>{{L"USB Serial Device (ttyACM0)", L"USB\\VID_0483&PID_5740&REV_0100"}}));
    Remove(first);
    Remove("/sys/devices/1-1");
    // umockdev keeps the removed device's bus link, so the newcomer sits on
    // another USB port; the tty name is what matters.
    AddUsbPort("1-4", "03eb", "6133", "Terminal", "ttyACM0");
    EXPECT_EQ(Ports(), (std::vector<Listed>{{L"USB Serial Device (ttyACM0)", L"USB\\VID_03EB&PID_6133&REV_0100"}}));
}

TEST_F(PortCacheTest, DeviceLinkMadeAfterTheClassEntryIsSeen) {
    const std::string device =
        Add("usb", "1-1", "", {{"idVendor", "0483"}, {"idProduct", "5740"}, {"bcdDevice", "0100"}});
    const std::string tty = Add("tty", "ttyACM0", device, {});
    EXPECT_TRUE(Ports().empty()) << "no device link yet";
    Link(tty + "/device", "..");
    EXPECT_EQ(Ports(), (std::vector<Listed>{{L"USB Serial Device (ttyACM0)", L"USB\\VID_0483&PID_5740&REV_0100"}}));
}

TEST_F(PortCacheTest, SerialPortTypeRewrittenInPlaceIsSeen) {
    const std::string legacy = Add("platform", "serial8250", "", {});
    Link(legacy + "/driver", "../../bus/platform/drivers/serial8250");
    const std::string tty = AddTty("ttyS1", legacy, {{"type", "0"}});
    EXPECT_TRUE(Ports().empty()) << "an 8250 port without a UART";
    umockdev_testbed_set_attribute(testbed_, tty.c_str(), "type", "4");
    EXPECT_EQ(Ports(), (std::vector<Listed>{{L"Communications Port (ttyS1)", L"PLATFORM\\serial8250"}}));
    umockdev_testbed_set_attribute(testbed_, tty.c_str(), "type", "0");
    EXPECT_TRUE(Ports().empty());
}

TEST_F(PortCacheTest, SetTakenBeforeAChangeKeepsItsPorts) {
    const std::string port = AddUsbPort("1-1", "0483", "5740", "Pad", "ttyACM0");
    DeviceSet before = OpenPorts();
    Remove(port);
    EXPECT_TRUE(Ports().empty());
    EXPECT_EQ(Members(before),
              (std::vector<Listed>{{L"USB Serial Device (ttyACM0)", L"USB\\VID_0483&PID_5740&REV_0100"}}));
}

TEST_F(PortCacheTest, TerminalLookupFollowsPlugAndUnplug) {
    wchar_t path[kDevFileNameChars] = {};
    EXPECT_FALSE(FindDevicePort(g_DeviceIdTable[1], path));
    const std::string port = AddUsbPort("1-1", "0483", "5740", "Pad", "ttyACM3");
    ASSERT_TRUE(FindDevicePort(g_DeviceIdTable[1], path));
    EXPECT_EQ(std::wstring(path), L"\\\\.\\ttyACM3");
    Remove(port);
    EXPECT_FALSE(FindDevicePort(g_DeviceIdTable[1], path));
    AddTty("ttyACM3", "/sys/devices/1-1/1-1:1.0");
    EXPECT_TRUE(FindDevicePort(g_DeviceIdTable[1], path));
}

TEST_F(PortCacheTest, ANewTreeIsListedAfresh) {
    AddUsbPort("1-1", "0483", "5740", "Pad", "ttyACM0");
    ASSERT_EQ(Ports().size(), 1u);
    // Another testbed, as a later test builds one: same names, another tree.
    g_object_unref(testbed_);
    testbed_ = umockdev_testbed_new();
    ASSERT_NE(testbed_, nullptr);
    root_ = GText(umockdev_testbed_get_root_dir(testbed_)).get();
    AddUsbPort("1-1", "0403", "6001", "Adapter", "ttyACM0");
    EXPECT_EQ(Ports(), (std::vector<Listed>{{L"USB Serial Device (ttyACM0)", L"USB\\VID_0403&PID_6001&REV_0100"}}));
}

TEST_F(PortCacheTest, ConsoleNameOutsideTheVirtualTreeIsRechecked) {
    // Only the kernel's own virtual consoles never gain a device link; an
    // entry merely named like one is watched like any other.
    const std::string device =
        Add("usb", "1-1", "", {{"idVendor", "0483"}, {"idProduct", "5740"}, {"bcdDevice", "0100"}});
    const std::string tty = Add("tty", "tty7", device, {});
    EXPECT_TRUE(Ports().empty());
    Link(tty + "/device", "..");
    EXPECT_EQ(Ports(), (std::vector<Listed>{{L"USB Serial Device (tty7)", L"USB\\VID_0483&PID_5740&REV_0100"}}));
}

TEST_F(PortCacheTest, ListingThatMissedAnEntryIsNotReusedWhileTheTreeStaysStill) {
    AddUsbPort("1-1", "0483", "5740", "Pad", "ttyACM0");
    AddUsbPort("1-2", "03eb", "6133", "Terminal", "ttyACM1");
    {
        vantrel::testing::ScopedSysfsFaults faults({{"/sys/class/tty/ttyACM1", EMFILE}});
        const DeviceSet set = OpenPorts();
        ASSERT_TRUE(set);
        SP_DEVINFO_DATA data{};
        data.cbSize = sizeof(data);
        DWORD members = 0;
        while (SetupDiEnumDeviceInfo(set.get(), members, &data))
            ++members;
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_TOO_MANY_OPEN_FILES));
        EXPECT_EQ(members, 1u);
    }
    // Nothing changed in the tree: only the failed listing's refusal to be
    // kept makes the next set read it again and find the port.
    const auto scans = posix::SysfsFullScanCount();
    EXPECT_EQ(Ports().size(), 2u);
    EXPECT_EQ(posix::SysfsFullScanCount(), scans + 1);
    // A whole listing is kept as before.
    EXPECT_EQ(Ports().size(), 2u);
    EXPECT_EQ(posix::SysfsFullScanCount(), scans + 1);
}
