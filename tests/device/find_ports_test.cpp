// FindDevicePorts over the scripted device set, with data in the form
// Windows gives it: each terminal's serial number and USB location (the
// device's own, or for a port on an interface of a composite device the
// parent's), and whether the scan read everything it needed.
//
// Portable: built into device_tests here and into windows_device_tests,
// which runs the same cases on the Windows build under Wine against the
// system headers' types and constants.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/lookup.h"
#include "tests/fakes/setupapi.h"

using fake::FakeDevice;
using fake::SzBytes;

namespace {

const std::wstring kCdcTerminal = L"USB\\VID_0483&PID_5740&REV_0200";
const std::wstring kCompositeTerminal = L"USB\\VID_03EB&PID_6133&REV_0100&MI_00";

// "Terminal (COM7)" on Windows, "Terminal (tty7)" here.
std::wstring Friendly(const std::wstring& suffix) {
    return L"Terminal " + std::wstring(PLATFORM_PORT_NAME_OPENER) + suffix + L")";
}

std::wstring PathOf(const std::wstring& suffix) {
    return L"\\\\.\\" + std::wstring(PLATFORM_PORT_NAME_OPENER).substr(1) + suffix;
}

// A single-function terminal: its port is the USB device itself.
FakeDevice CdcTerminal(const std::wstring& suffix, const std::wstring& serial, const std::wstring& location) {
    FakeDevice device = fake::PortDevice({kCdcTerminal, L"USB\\VID_0483&PID_5740"}, Friendly(suffix));
    device.instanceId = L"USB\\VID_0483&PID_5740\\" + serial;
    device.location = SzBytes(location);
    return device;
}

// A port on interface 0 of a composite terminal: the serial number and the
// USB location belong to the device above it. The interface's own location
// is the kind Windows gives a function, not the socket.
FakeDevice CompositeTerminal(const std::wstring& suffix, const std::wstring& serial, const std::wstring& location) {
    FakeDevice device = fake::PortDevice({kCompositeTerminal}, Friendly(suffix));
    device.instanceId = L"USB\\VID_03EB&PID_6133&MI_00\\6&2C7F1A3B&0&0000";
    device.location = SzBytes(L"0000.0014.0000.003.000.000.000.000.000");
    device.parentId = L"USB\\VID_03EB&PID_6133\\" + serial;
    device.parentLocation = SzBytes(location);
    return device;
}

class FindDevicePortsTest : public ::testing::Test {
protected:
    void SetUp() override { fake::ResetFakeSetupApi(); }
    void TearDown() override { fake::ResetFakeSetupApi(); }

    // The scan, and its completeness in complete_.
    std::vector<DevicePortMatch> Scan() {
        complete_ = false;
        return FindDevicePorts(&complete_);
    }

    bool complete_ = false;
};

}  // namespace

TEST_F(FindDevicePortsTest, SingleFunctionTerminalGivesItsOwnSerialAndLocation) {
    fake::SetFakeDevices({CdcTerminal(L"7", L"SN0042", L"Port_#0003.Hub_#0002")});
    const auto found = Scan();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].path, PathOf(L"7"));
    EXPECT_EQ(found[0].serialNumber, L"SN0042");
    EXPECT_EQ(found[0].location, L"Port_#0003.Hub_#0002");
    EXPECT_TRUE(complete_);
}

TEST_F(FindDevicePortsTest, CompositeTerminalGivesItsParentsSerialAndLocation) {
    fake::SetFakeDevices({CompositeTerminal(L"4", L"T-01", L"Port_#0001.Hub_#0004"),
                          CompositeTerminal(L"5", L"T-02", L"Port_#0002.Hub_#0004")});
    const auto found = Scan();
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].serialNumber, L"T-01");
    EXPECT_EQ(found[0].location, L"Port_#0001.Hub_#0004");
    EXPECT_EQ(found[1].serialNumber, L"T-02");
    EXPECT_EQ(found[1].location, L"Port_#0002.Hub_#0004");
    EXPECT_TRUE(complete_);
}

TEST_F(FindDevicePortsTest, TwoUnitsWithOneSerialNumberAreToldApartByLocation) {
    fake::SetFakeDevices(
        {CdcTerminal(L"7", L"0001", L"Port_#0001.Hub_#0002"), CdcTerminal(L"8", L"0001", L"Port_#0002.Hub_#0002")});
    const auto found = Scan();
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].serialNumber, found[1].serialNumber);
    EXPECT_EQ(found[0].location, L"Port_#0001.Hub_#0002");
    EXPECT_EQ(found[1].location, L"Port_#0002.Hub_#0002");
}

TEST_F(FindDevicePortsTest, LocationWithoutTerminatorIsReadWithinItsBytes) {
    FakeDevice device = CdcTerminal(L"7", L"SN1", L"");
    device.location = SzBytes(L"Port_#0009.Hub_#0001", false);
    FakeDevice composite = CompositeTerminal(L"8", L"SN2", L"");
    composite.parentLocation = SzBytes(L"Port_#0010.Hub_#0001", false);
    fake::SetFakeDevices({device, composite});
    const auto found = Scan();
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].location, L"Port_#0009.Hub_#0001");
    EXPECT_EQ(found[1].location, L"Port_#0010.Hub_#0001");
}

TEST_F(FindDevicePortsTest, DeviceWithoutLocationOrIdentityHasNoneAndTheScanStaysComplete) {
    FakeDevice noLocation = CdcTerminal(L"1", L"SN1", L"");
    noLocation.location.reset();
    FakeDevice parentWithout = CompositeTerminal(L"2", L"SN2", L"");
    parentWithout.parentLocation.reset();
    // No instance ID: neither a serial number nor the node whose location
    // counts; the port itself is still there.
    FakeDevice anonymous = CdcTerminal(L"3", L"SN3", L"Port_#0003.Hub_#0001");
    anonymous.instanceId.clear();
    fake::SetFakeDevices({noLocation, parentWithout, anonymous});
    const auto found = Scan();
    ASSERT_EQ(found.size(), 3u);
    for (const auto& match : found) {
        EXPECT_EQ(match.location, L"") << match.path;
    }
    EXPECT_EQ(found[2].serialNumber, L"");
    EXPECT_TRUE(complete_);
}

TEST_F(FindDevicePortsTest, UnopenableDeviceSetMakesTheScanIncomplete) {
    fake::SetFakeDevices({CdcTerminal(L"7", L"SN1", L"Port_#0001.Hub_#0001")});
    fake::SetFakeClassDevsFails(true);
    EXPECT_TRUE(Scan().empty());
    EXPECT_FALSE(complete_);
}

TEST_F(FindDevicePortsTest, EnumerationEndingWithAnErrorMakesTheScanIncomplete) {
    fake::SetFakeDevices({CdcTerminal(L"7", L"SN1", L"Port_#0001.Hub_#0001")});
    fake::SetFakeEnumerationEnd(ERROR_TOO_MANY_OPEN_FILES);
    const auto found = Scan();
    ASSERT_EQ(found.size(), 1u) << "the ports listed before the failure are present";
    EXPECT_FALSE(complete_);
}

TEST_F(FindDevicePortsTest, MissingPropertiesAreAnswersButUnreadableOnesAreNot) {
    // A device without a hardware ID or friendly name is no terminal port.
    FakeDevice bare;
    fake::SetFakeDevices({bare, CdcTerminal(L"7", L"SN1", L"Port_#0001.Hub_#0001")});
    EXPECT_EQ(Scan().size(), 1u);
    EXPECT_TRUE(complete_);

    // The same device whose hardware ID cannot be read could be a terminal.
    bare.unreadableProperty = SPDRP_HARDWAREID;
    bare.unreadableError = ERROR_ACCESS_DENIED;
    fake::SetFakeDevices({bare, CdcTerminal(L"7", L"SN1", L"Port_#0001.Hub_#0001")});
    EXPECT_EQ(Scan().size(), 1u);
    EXPECT_FALSE(complete_);
}

TEST_F(FindDevicePortsTest, UnreadableFriendlyNameOfATerminalMakesTheScanIncomplete) {
    FakeDevice device = CdcTerminal(L"7", L"SN1", L"Port_#0001.Hub_#0001");
    device.unreadableProperty = SPDRP_FRIENDLYNAME;
    device.unreadableError = ERROR_NOT_ENOUGH_MEMORY;
    fake::SetFakeDevices({device});
    EXPECT_TRUE(Scan().empty());
    EXPECT_FALSE(complete_);
}

TEST_F(FindDevicePortsTest, UnreadableLocationKeepsThePortButMakesTheScanIncomplete) {
    FakeDevice own = CdcTerminal(L"7", L"SN1", L"Port_#0001.Hub_#0001");
    own.unreadableProperty = SPDRP_LOCATION_INFORMATION;
    own.unreadableError = ERROR_ACCESS_DENIED;
    fake::SetFakeDevices({own});
    auto found = Scan();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].location, L"");
    EXPECT_FALSE(complete_);

    FakeDevice composite = CompositeTerminal(L"8", L"SN2", L"Port_#0002.Hub_#0001");
    composite.parentLocationError = CR_INVALID_DEVNODE;
    fake::SetFakeDevices({composite});
    found = Scan();
    ASSERT_EQ(found.size(), 1u);
    EXPECT_EQ(found[0].location, L"");
    EXPECT_EQ(found[0].serialNumber, L"SN2");
    EXPECT_FALSE(complete_);
}

TEST_F(FindDevicePortsTest, CompletenessIsOptionalAndOtherLookupsIgnoreAnEnumerationError) {
    fake::SetFakeDevices({CdcTerminal(L"7", L"SN1", L"Port_#0001.Hub_#0001")});
    fake::SetFakeEnumerationEnd(ERROR_ACCESS_DENIED);
    EXPECT_EQ(FindDevicePorts().size(), 1u);
    wchar_t path[kDevFileNameChars] = {};
    ASSERT_TRUE(FindDevicePort(g_DeviceIdTable[1], path));
    EXPECT_EQ(std::wstring(path), PathOf(L"7"));
    wchar_t list[kPortListChars];
    EnumSerialPorts(list);
    EXPECT_EQ(std::wstring(list), std::wstring(PLATFORM_PORT_NAME_OPENER).substr(1) + L"7");
}
