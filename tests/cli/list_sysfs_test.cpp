// vantrel-cli --list and --list --verbose, the real program, over a mocked
// device tree (umockdev): the composite terminal's two ports, the same
// terminal enumerated as a class 02 device (no interface numbers), a USB
// serial adapter that is no terminal, an on-board port, and a device whose
// product string carries an escape sequence and a line break.
//
// The test runs under umockdev-wrapper (main re-executes itself), and the
// runner started from it inherits the mocked /sys.
#include <umockdev.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

#include "tests/tools/harness.h"
#include "tools/process/child.h"
#include "tests/fakes/umockdev.h"

namespace {

using tools::testing::WaitCode;

using namespace std::chrono_literals;

struct GFree {
    void operator()(gchar* p) const { g_free(p); }
};
using GText = std::unique_ptr<gchar, GFree>;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

class ListOverSysfs : public ::testing::Test {
protected:
    void SetUp() override {
        testbed_ = umockdev_testbed_new();
        ASSERT_NE(testbed_, nullptr);
        root_ = GText(umockdev_testbed_get_root_dir(testbed_)).get();

        const std::string terminal = Add("usb", "1-1", "",
                                         {{"idVendor", "03eb"},
                                          {"idProduct", "6133"},
                                          {"bcdDevice", "0100"},
                                          {"bDeviceClass", "ef"},
                                          {"bDeviceSubClass", "02"},
                                          {"bDeviceProtocol", "01"},
                                          {"bNumConfigurations", "1"},
                                          {"bNumInterfaces", " 3"},
                                          {"product", "POS Terminal"}});
        AddTty("ttyACM0", Add("usb", "1-1:1.0", terminal, {{"bInterfaceNumber", "00"}}));
        AddTty("ttyACM2", Add("usb", "1-1:1.2", terminal, {{"bInterfaceNumber", "02"}}));

        // The same terminal with a firmware that reports device class 02.
        const std::string cdc = Add("usb", "1-2", "",
                                    {{"idVendor", "03eb"},
                                     {"idProduct", "6133"},
                                     {"bcdDevice", "0100"},
                                     {"bDeviceClass", "02"},
                                     {"bNumInterfaces", " 2"}});
        AddTty("ttyACM3", Add("usb", "1-2:1.0", cdc, {{"bInterfaceNumber", "00"}}));

        const std::string ftdi = Add("usb", "1-3", "",
                                     {{"idVendor", "0403"},
                                      {"idProduct", "6001"},
                                      {"bcdDevice", "0600"},
                                      {"bDeviceClass", "00"},
                                      {"bNumInterfaces", " 1"},
                                      {"product", "FT232R USB UART"}});
        const std::string serial =
            Add("usb-serial", "ttyUSB0", Add("usb", "1-3:1.0", ftdi, {{"bInterfaceNumber", "00"}}), {});
        Link(serial + "/driver", "../../../../bus/usb-serial/drivers/ftdi_sio");
        AddTty("ttyUSB0", serial);

        // A product string chosen to clear the screen and forge a line.
        const std::string evil = Add("usb", "1-4", "",
                                     {{"idVendor", "1234"},
                                      {"idProduct", "5678"},
                                      {"bcdDevice", "0001"},
                                      {"bDeviceClass", "02"},
                                      {"bNumInterfaces", " 2"},
                                      {"product", "Evil\x1b[2J\nterminal: ttyACM0"}});
        AddTty("ttyACM4", Add("usb", "1-4:1.0", evil, {{"bInterfaceNumber", "00"}}));

        const std::string pnp = Add("pnp", "00:05", "", {{"id", "PNP0501"}});
        Link(pnp + "/driver", "../../bus/pnp/drivers/serial");
        AddTty("ttyS2", pnp, {{"type", "4"}});
    }

    void TearDown() override {
        if (testbed_ != nullptr)
            g_object_unref(testbed_);
    }

    std::string Add(const char* subsystem, const char* name, const std::string& parent,
                    const std::vector<std::pair<const char*, const char*>>& attributes) {
        GText path(umockdev_testbed_add_device(testbed_, subsystem, name, parent.empty() ? nullptr : parent.c_str(),
                                               nullptr, nullptr));
        EXPECT_TRUE(path) << name;
        const std::string syspath = path ? path.get() : "";
        for (const auto& [attribute, value] : attributes)
            umockdev_testbed_set_attribute(testbed_, syspath.c_str(), attribute, value);
        return syspath;
    }

    void AddTty(const char* name, const std::string& parent,
                const std::vector<std::pair<const char*, const char*>>& attributes = {}) {
        Link(Add("tty", name, parent, attributes) + "/device", "..");
    }

    void Link(const std::string& syspath, const std::string& target) {
        const std::string at = root_ + syspath;
        ASSERT_EQ(symlink(target.c_str(), at.c_str()), 0) << at << ": " << std::strerror(errno);
    }

    // The runner's stdout; stderr and the exit code are checked here.
    std::string Run(const std::vector<std::string>& args) {
        std::vector<std::string> argv = {VANTREL_CLI_EXE};
        argv.insert(argv.end(), args.begin(), args.end());
        tools::process::Child cli(argv);
        const auto exit = WaitCode(cli, 20s);
        EXPECT_EQ(exit, 0) << cli.text(tools::process::Stream::Err);
        EXPECT_EQ(cli.text(tools::process::Stream::Err), "");
        if (std::getenv("VANTREL_SHOW_LISTING"))
            std::fputs(cli.text(tools::process::Stream::Out).c_str(), stdout);
        return cli.text(tools::process::Stream::Out);
    }

    UMockdevTestbed* testbed_ = nullptr;
    std::string root_;
};

TEST_F(ListOverSysfs, PlainListIsTheContractLines) {
    EXPECT_EQ(Run({"--list"}),
              "port: Auto Detect\nport: ttyACM0\nport: ttyACM2\nport: ttyACM3\nport: ttyACM4\nport: ttyS2\n"
              "port: ttyUSB0\nterminal: ttyACM0\n");
}

TEST_F(ListOverSysfs, VerboseListExplainsEachPort) {
    const std::string text = Run({"--list", "--verbose"});
    EXPECT_TRUE(Contains(text,
                         "port: ttyACM0\n  hardware ID: USB\\VID_03EB&PID_6133&REV_0100&MI_00\n"
                         "         also: USB\\VID_03EB&PID_6133&MI_00\n"
                         "  friendly name: USB Serial Device (ttyACM0)\n"))
        << text;
    EXPECT_TRUE(Contains(text,
                         "(ttyACM0)\n  opens: no: no device node /dev/ttyACM0: the port is listed by the kernel "
                         "but udev made no node for it\n"))
        << "umockdev makes no device nodes:\n"
        << text;
    EXPECT_TRUE(Contains(text, "  device table: matches row 0\n")) << text;
    EXPECT_TRUE(
        Contains(text, "  device table: VID_03EB&PID_6133 without MI_00: row 0 needs interface 00\nport: ttyACM3"))
        << "ttyACM2 is interface 02:\n"
        << text;
    EXPECT_TRUE(Contains(text, "  hardware ID: USB\\VID_03EB&PID_6133&REV_0100\n")) << text;
    EXPECT_TRUE(Contains(text,
                         "the ID has no MI_ at all: a device of class 02 (communications) is not split into "
                         "interfaces, so Windows gives it no MI_\n"))
        << text;
    // The friendly name is the driver's port description, never the device's
    // own product string, so the escape sequence in it reaches no output (the
    // scripted device set checks escaping inside a name).
    EXPECT_TRUE(Contains(text, "  friendly name: USB Serial Device (ttyACM4)\n")) << text;
    EXPECT_EQ(text.find('\x1b'), std::string::npos) << "an escape sequence reached the terminal";
    EXPECT_TRUE(Contains(text, "  device table: VID_1234&PID_5678 is not in the device table\n")) << text;
    EXPECT_TRUE(Contains(text, "  device table: VID_0403&PID_6001 is not in the device table\n")) << text;
    EXPECT_TRUE(Contains(text, "port: ttyS2\n  hardware ID: ACPI\\VEN_PNP&DEV_0501\n")) << text;
}

}  // namespace

int main(int argc, char** argv) {
    if (const int failed = vantrel::testing::EnterUmockdev(argc, argv); failed >= 0)
        return failed;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
