// vantrel-cli --list --verbose over the scripted device set: the device-table
// verdict for each kind of near miss, the open check's report, and device
// strings that try to write to the terminal (an escape sequence, a line
// break) coming out escaped.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "cli/host.h"
#include "cli/list.h"
#include "tests/fakes/setupapi.h"

namespace {

using fake::PortDevice;

class VerboseList : public ::testing::Test {
protected:
    void SetUp() override { fake::ResetFakeSetupApi(); }
    void TearDown() override { fake::ResetFakeSetupApi(); }

    // The listing as printed, every port opening unless named in `denied`.
    std::string List(bool json = false, const std::wstring& denied = L"") {
        char* buffer = nullptr;
        size_t size = 0;
        std::FILE* out = open_memstream(&buffer, &size);
        if (out == nullptr)
            return "open_memstream failed";
        cli::ListPortsVerbose(
            out, json,
            [&](const std::wstring& name) {
                return name == denied ? cli::OpenCheck{false, "permission denied: add the user to the group dialout"}
                                      : cli::OpenCheck{true, ""};
            },
            cli::Utf8);
        std::fclose(out);
        std::string text(buffer, size);
        std::free(buffer);
        return text;
    }
};

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

TEST_F(VerboseList, TerminalWithItsInterfaceMatchesRowZero) {
    fake::SetFakeDevices({PortDevice({L"USB\\VID_03EB&PID_6133&REV_0100&MI_00", L"USB\\VID_03EB&PID_6133&MI_00"},
                                     L"Vantrel Terminal (ttyACM0)")});
    EXPECT_EQ(List(),
              "port: ttyACM0\n"
              "  hardware ID: USB\\VID_03EB&PID_6133&REV_0100&MI_00\n"
              "         also: USB\\VID_03EB&PID_6133&MI_00\n"
              "  friendly name: Vantrel Terminal (ttyACM0)\n"
              "  opens: yes\n"
              "  device table: matches row 0\n");
}

TEST_F(VerboseList, MissingInterfaceNamesTheRowAndTheInterface) {
    fake::SetFakeDevices({PortDevice({L"USB\\VID_03EB&PID_6133&REV_0100&MI_02"}, L"Terminal data (ttyACM1)")});
    const std::string text = List();
    EXPECT_TRUE(Contains(text, "  device table: VID_03EB&PID_6133 without MI_00: row 0 needs interface 00\n")) << text;
}

TEST_F(VerboseList, IdWithoutAnyInterfaceIsExplainedAsANonCompositeDevice) {
    fake::SetFakeDevices({PortDevice({L"USB\\VID_03EB&PID_6133&REV_0100"}, L"Terminal (ttyACM0)")});
    const std::string text = List();
    EXPECT_TRUE(Contains(text,
                         "VID_03EB&PID_6133 without MI_00: row 0 needs interface 00; the ID has no MI_ at all: "
                         "a device of class 02 (communications) is not split into interfaces, so Windows gives "
                         "it no MI_"))
        << text;
}

TEST_F(VerboseList, RowWithoutInterfaceMatchesAnyInterface) {
    fake::SetFakeDevices({PortDevice({L"USB\\VID_0483&PID_5740&REV_0200"}, L"Loader (ttyACM3)")});
    EXPECT_TRUE(Contains(List(), "  device table: matches row 1\n"));
}

TEST_F(VerboseList, UnknownDevicesAndLowerCaseIdsAreToldApart) {
    fake::SetFakeDevices({PortDevice({L"USB\\VID_1234&PID_5678&REV_0100"}, L"Modem (ttyACM0)"),
                          PortDevice({L"USB\\vid_03eb&pid_6133&mi_00"}, L"Terminal (ttyACM1)"),
                          PortDevice({L"PNP0501"}, L"Communications Port (ttyS0)")});
    const std::string text = List();
    EXPECT_TRUE(Contains(text, "  device table: VID_1234&PID_5678 is not in the device table\n")) << text;
    EXPECT_TRUE(Contains(text, "compared case-sensitively")) << text;
    EXPECT_TRUE(Contains(text, "  device table: not a USB device: the table holds USB IDs only\n")) << text;
}

TEST_F(VerboseList, MatchWithoutPortNameSaysWhyAutoDetectCannotUseIt) {
    fake::FakeDevice noName;
    noName.hardwareId = fake::MultiSzBytes({L"USB\\VID_03EB&PID_6133&MI_00"});
    fake::SetFakeDevices({PortDevice({L"USB\\VID_03EB&PID_6133&MI_00"}, L"Terminal without a name"), noName});
    const std::string text = List();
    EXPECT_TRUE(Contains(text, "port: (none in its friendly name)\n")) << text;
    EXPECT_TRUE(Contains(text, "matches row 0, but its friendly name has no \"(tty...)\" port name")) << text;
    EXPECT_TRUE(Contains(text, "  friendly name: (none)\n")) << text;
    EXPECT_TRUE(Contains(text, "matches row 0, but it has no friendly name")) << text;
    EXPECT_TRUE(Contains(text, "  opens: no: no port name to open\n")) << text;
}

TEST_F(VerboseList, PortThatDoesNotOpenShowsTheCause) {
    fake::SetFakeDevices({PortDevice({L"USB\\VID_03EB&PID_6133&MI_00"}, L"Terminal (ttyACM0)"),
                          PortDevice({L"USB\\VID_0483&PID_5740"}, L"Loader (ttyACM1)")});
    const std::string text = List(false, L"ttyACM0");
    EXPECT_TRUE(Contains(text, "  opens: no: permission denied: add the user to the group dialout\n")) << text;
    EXPECT_TRUE(Contains(text, "Loader (ttyACM1)\n  opens: yes\n")) << text;
}

// A product string is the device's own choice: one that clears the screen
// and starts a line of its own must reach the terminal as visible text.
TEST_F(VerboseList, ControlCharactersFromTheDeviceAreEscaped) {
    fake::SetFakeDevices({PortDevice({L"USB\\VID_03EB&PID_6133&MI_00\x1b]0;owned\x07"},
                                     L"Evil\x1b[2J\nport: ttyFAKE\r\x9b"
                                     L"1m\u202e (ttyACM0)")});
    const std::string text = List();
    EXPECT_EQ(text.find('\x1b'), std::string::npos) << text;
    EXPECT_EQ(text.find('\r'), std::string::npos) << text;
    EXPECT_EQ(text.find("\xc2\x9b"), std::string::npos) << text;
    EXPECT_TRUE(Contains(text, "  friendly name: Evil\\e[2J\\nport: ttyFAKE\\r\\u009B1m\\u202E (ttyACM0)\n")) << text;
    EXPECT_TRUE(Contains(text, "  hardware ID: USB\\VID_03EB&PID_6133&MI_00\\e]0;owned\\x07\n")) << text;
    // Five lines for the one port: the line break in the name made none.
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 5) << text;
}

TEST_F(VerboseList, JsonGivesOneEscapedObjectPerPort) {
    fake::SetFakeDevices({PortDevice({L"USB\\VID_03EB&PID_6133&MI_00"}, L"Evil\x1b[2J\n\"x\" (ttyACM0)"),
                          PortDevice({L"USB\\VID_1234&PID_5678"}, L"Modem (ttyACM1)")});
    const std::string text = List(true, L"ttyACM1");
    ASSERT_EQ(std::count(text.begin(), text.end(), '\n'), 2) << text;
    const std::string first = text.substr(0, text.find('\n'));
    EXPECT_EQ(first.find('\x1b'), std::string::npos);
    EXPECT_TRUE(Contains(first, "\"event\":\"port-check\",\"name\":\"ttyACM0\"")) << first;
    EXPECT_TRUE(Contains(first, "\"hardware_ids\":[\"USB\\\\VID_03EB&PID_6133&MI_00\"]")) << first;
    EXPECT_TRUE(Contains(first, "\"friendly_name\":\"Evil\\u001b[2J\\n\\\"x\\\" (ttyACM0)\"")) << first;
    EXPECT_TRUE(Contains(first, "\"opens\":true,\"open_cause\":null,\"row\":0,")) << first;
    const std::string second = text.substr(text.find('\n') + 1);
    EXPECT_TRUE(Contains(second, "\"opens\":false,\"open_cause\":\"permission denied")) << second;
    EXPECT_TRUE(Contains(second, "\"row\":null,\"table\":\"VID_1234&PID_5678 is not in the device table\"")) << second;
}

TEST_F(VerboseList, NoPortSaysSo) { EXPECT_EQ(List(), "no serial port is present\n"); }

// --- the open check on real device nodes ------------------------------------

TEST(PortOpenCheck, MissingNodeSaysSo) {
    const cli::OpenCheck check = cli::CheckPortOpens(L"/dev/vantrel-no-such-port");
    EXPECT_FALSE(check.opens);
    EXPECT_EQ(check.cause,
              "no device node /dev/vantrel-no-such-port: the port is listed by the kernel but udev made "
              "no node for it");
}

// A node this user may not open: the cause names both fixes. Root opens
// anything, so the check runs in a child that became an ordinary user.
TEST(PortOpenCheck, PermissionDeniedNamesTheGroupAndTheUdevRules) {
    char dir[] = "/tmp/vantrel-open-XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    const std::string node = std::string(dir) + "/ttyACM0";
    std::FILE* f = std::fopen(node.c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
    ASSERT_EQ(chmod(node.c_str(), 0600), 0);
    ASSERT_EQ(chmod(dir, 0755), 0);

    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        close(pipeFds[0]);
        if (geteuid() == 0 && (setgid(65534) != 0 || setuid(65534) != 0))
            _exit(3);
        const cli::OpenCheck check = cli::CheckPortOpens(cli::Wide(node.c_str()));
        const std::string report = (check.opens ? "opens" : "no") + std::string("|") + check.cause;
        _exit(write(pipeFds[1], report.data(), report.size()) == static_cast<ssize_t>(report.size()) ? 0 : 4);
    }
    close(pipeFds[1]);
    std::string report;
    char buffer[512];
    for (ssize_t n; (n = read(pipeFds[0], buffer, sizeof buffer)) > 0;)
        report.append(buffer, static_cast<size_t>(n));
    close(pipeFds[0]);
    int status = 0;
    waitpid(child, &status, 0);
    unlink(node.c_str());
    rmdir(dir);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_TRUE(Contains(report, "no|permission denied: add the user to the group dialout")) << report;
    EXPECT_TRUE(Contains(report, "70-vantrel-terminals.rules")) << report;
}

}  // namespace
