// The station's discovery: the known terminals over the scripted device set
// (port name, serial number and USB location in UTF-8, and whether the scan
// was whole), and the listed ports that exist, where only a port's absence
// is a definite answer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "station/discovery.h"
#include "tests/fakes/setupapi.h"

namespace {

fake::FakeDevice Terminal(const std::wstring& suffix, const std::wstring& serial, const std::wstring& location) {
    fake::FakeDevice device =
        fake::PortDevice({L"USB\\VID_0483&PID_5740&REV_0200"}, L"Terminal " PLATFORM_PORT_NAME_OPENER + suffix + L")");
    device.instanceId = L"USB\\VID_0483&PID_5740\\" + serial;
    device.location = fake::SzBytes(location);
    return device;
}

class DiscoveryTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake::ResetFakeSetupApi();
        dir_ = std::filesystem::temp_directory_path() / ("vantrel-discovery-" + std::to_string(getpid()));
        std::filesystem::remove_all(dir_);
        std::filesystem::create_directories(dir_);
    }
    void TearDown() override {
        fake::ResetFakeSetupApi();
        std::filesystem::remove_all(dir_);
    }

    std::filesystem::path dir_;
};

}  // namespace

TEST_F(DiscoveryTest, TerminalsCarryTheirLocationAndSerialInUtf8) {
    fake::SetFakeDevices({Terminal(L"7", L"Gr\u00f6\u00dfe-1", L"1-1.4.2"), Terminal(L"8", L"", L"1-1.4.3")});
    const station::Scan scan = station::FindTerminals();
    ASSERT_EQ(scan.terminals.size(), 2u);
    EXPECT_EQ(scan.terminals[0].port, "tty7");
    EXPECT_EQ(scan.terminals[0].serial,
              "Gr\xC3\xB6\xC3\x9F"
              "e-1");
    EXPECT_EQ(scan.terminals[0].location, "1-1.4.2");
    EXPECT_EQ(scan.terminals[1].serial, "");
    EXPECT_EQ(scan.terminals[1].location, "1-1.4.3");
    EXPECT_TRUE(scan.complete);
}

TEST_F(DiscoveryTest, ScanThatCouldNotReadEverythingSaysSo) {
    fake::SetFakeDevices({Terminal(L"7", L"SN1", L"1-1")});
    fake::SetFakeEnumerationEnd(ERROR_TOO_MANY_OPEN_FILES);
    station::Scan scan = station::FindTerminals();
    EXPECT_EQ(scan.terminals.size(), 1u);
    EXPECT_FALSE(scan.complete);
    fake::SetFakeClassDevsFails(true);
    scan = station::FindTerminals();
    EXPECT_TRUE(scan.terminals.empty());
    EXPECT_FALSE(scan.complete);
}

TEST_F(DiscoveryTest, AbsentListedPortIsADefiniteAnswer) {
    const std::string present = (dir_ / "present").string();
    std::filesystem::create_directory(present);
    const station::Scan scan = station::PresentListedPorts({(dir_ / "absent").string(), present});
    ASSERT_EQ(scan.terminals.size(), 1u);
    EXPECT_EQ(scan.terminals[0].port, present);
    EXPECT_EQ(scan.terminals[0].location, "");
    EXPECT_TRUE(scan.complete);
}

TEST_F(DiscoveryTest, ListedPortThatCannotBeAskedForMakesTheScanIncomplete) {
    // A link loop: stat fails with ELOOP, which says nothing about a port.
    std::filesystem::create_symlink(dir_ / "b", dir_ / "a");
    std::filesystem::create_symlink(dir_ / "a", dir_ / "b");
    const station::Scan scan = station::PresentListedPorts({(dir_ / "a").string()});
    EXPECT_TRUE(scan.terminals.empty());
    EXPECT_FALSE(scan.complete);
}
