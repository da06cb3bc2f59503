// The station's service end to end, as the .deb installs it: the unit's
// command (ExecStart, through the wrapper that reads the settings) run as
// the system user vantrel in a sandbox holding the package's files
// (sandbox.sh, service_run.sh), against a terminal plugged into a umockdev
// device tree. It must upgrade the terminal and log the run where the
// settings file says. systemd itself does not run here (this machine's init
// is not systemd): service_run.sh applies the unit's user, groups, folder
// and settings the way systemd does. Every wait is bounded.
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "tests/fakes/umockdev.h"
#include "tests/station/fixture.h"

namespace station::testing {
namespace {

using namespace std::chrono_literals;

class StationServiceTest : public StationE2ETest {
protected:
    // The sandbox runs as the user vantrel what the test made as root: the
    // testbed, the script and the output folder must be open to it.
    void OpenToOthers(const std::string& path, mode_t mode) {
        ASSERT_EQ(::chmod(path.c_str(), mode), 0) << path << ": " << std::strerror(errno);
    }
};

TEST_F(StationServiceTest, TheUnitsCommandRunAsVantrelUpgradesAPluggedTerminal) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "needs root: the sandbox mounts and switches users";
    UseScript("open\nsend1 2048\nsend2 2048\nclose\n");
    Plug("ttyACM1", "SN-SERVICE");

    // What the udev rules do for a terminal: its port belongs to dialout, 0660.
    const group* dialout = ::getgrnam("dialout");
    ASSERT_NE(dialout, nullptr) << "no group dialout on this machine";
    const std::string port = std::filesystem::canonical(root_ + "/dev/ttyACM1").string();
    ASSERT_EQ(::chown(port.c_str(), 0, dialout->gr_gid), 0) << port << ": " << std::strerror(errno);
    OpenToOthers(port, 0660);

    const std::string top = std::filesystem::path(script_).parent_path().string();
    OpenToOthers(top, 0755);
    OpenToOthers(root_, 0755);
    OpenToOthers(script_, 0644);
    const std::string out = top + "/out";
    ASSERT_EQ(::mkdir(out.c_str(), 0777), 0);
    OpenToOthers(out, 0777);

    // The runs' vantrel-cli is the package's, started outside the preload and
    // on the testbed's node (as the station bench's wrapper does); it records
    // who it runs as.
    const std::string cli = top + "/cli-wrapper";
    tools::testing::WriteText(cli,
                              "#!/bin/sh\n"
                              "id -un >\"" +
                                  out + "/cli-user\"; id -Gn >>\"" + out +
                                  "/cli-user\"\n"
                                  "n=$#; prev=\n"
                                  "while [ $n -gt 0 ]; do\n"
                                  "  a=$1; shift; n=$((n-1))\n"
                                  "  case \"$prev:$a\" in --port:*/*) ;; --port:*) a=\"$UMOCKDEV_DIR/dev/$a\" ;; esac\n"
                                  "  set -- \"$@\" \"$a\"; prev=$a\n"
                                  "done\n"
                                  "exec env -u LD_PRELOAD /usr/bin/vantrel-cli \"$@\"\n");
    OpenToOthers(cli, 0755);
    // The administrator's settings: the script; the test's own options after.
    const std::string settings = top + "/settings";
    tools::testing::WriteText(settings,
                              "SCRIPT=\"" + script_ + "\"\nOPTIONS=\"--cli " + cli + " --poll-ms 50 --count 1\"\n");

    const char* preload = std::getenv("LD_PRELOAD");
    tools::process::Options options;
    options.env = {{"LD_PRELOAD", ""}, {"VANTREL_PRELOAD", preload ? preload : ""}};
    options.error_output = tools::process::Options::ErrorOutput::Merge;
    station_ = std::make_unique<tools::process::Child>(
        std::vector<std::string>{VANTREL_SANDBOX, VANTREL_DEB_DIR "/root", VANTREL_SERVICE_RUN,
                                 VANTREL_DEB_DIR "/control", settings, out},
        options);

    const auto end = WaitForLine("end: ttyACM1", 30s);
    ASSERT_TRUE(end) << station_->text(tools::process::Stream::Out);
    EXPECT_NE(end->find(" success exit=0 "), std::string::npos) << *end;
    const auto code = FinishStation(30s);
    ASSERT_TRUE(code);
    EXPECT_EQ(*code, 0) << station_->text(tools::process::Stream::Out);
    const std::string said = station_->text(tools::process::Stream::Out);
    EXPECT_NE(said.find("service: ExecStart=/usr/libexec/vantrel/station-service as vantrel:vantrel+dialout"),
              std::string::npos)
        << said;
    EXPECT_NE(said.find("service: log owner vantrel:vantrel"), std::string::npos) << said;

    const auto who = ReadLines(out + "/cli-user");
    ASSERT_EQ(who.size(), 2u);
    EXPECT_EQ(who[0], "vantrel");
    EXPECT_NE((" " + who[1] + " ").find(" dialout "), std::string::npos) << who[1];

    // The settings' log, /var/log/vantrel/runs.jsonl, copied out of the sandbox.
    const auto log = ReadLines(out + "/runs.jsonl");
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(JsonField(log[0], "port"), "\"ttyACM1\"");
    EXPECT_EQ(JsonField(log[0], "serial"), "\"SN-SERVICE\"");
    EXPECT_EQ(JsonField(log[0], "result"), "\"success\"");
    EXPECT_EQ(JsonField(log[0], "script_sha256"), "\"" + SystemSha256(script_) + "\"");

    auto& sim = *terminals_.at("ttyACM1").sim;
    sim.Finish(5s);
    const auto summary = sim.summary();
    ASSERT_TRUE(summary) << sim.output();
    EXPECT_EQ(summary->mismatches, 0u);
    EXPECT_EQ(summary->payload_bytes, vantrel::e2e::SendPayloadBytes(script_));
}

}  // namespace
}  // namespace station::testing

int main(int argc, char** argv) {
    if (const int failed = vantrel::testing::EnterUmockdev(argc, argv); failed >= 0)
        return failed;
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
