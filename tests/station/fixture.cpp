// The station's end-to-end bench.
#include "tests/station/fixture.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace station::testing {

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

struct GFree {
    void operator()(gchar* p) const { g_free(p); }
};
using GText = std::unique_ptr<gchar, GFree>;

std::string StationExe() {
    const char* v = std::getenv("VANTREL_STATION_EXE");
    return v && *v ? v : VANTREL_STATION_EXE;
}

}  // namespace

void StationE2ETest::SetUp() {
    testbed_ = umockdev_testbed_new();
    ASSERT_NE(testbed_, nullptr);
    root_ = GText(umockdev_testbed_get_root_dir(testbed_)).get();
    ASSERT_EQ(::mkdir((root_ + "/dev").c_str(), 0755), 0) << std::strerror(errno);
    log_ = dir_.path("runs.log");
    // The runs' vantrel-cli outside the preload: umockdev takes every open of
    // a /dev node it holds for a device it emulates and wants an ioctl
    // recording for it, where our nodes are plain links to real ptys. So the
    // children open the testbed's node by its path instead, as they would
    // open /dev/NAME on a machine with the terminal plugged in.
    cliWrapper_ = dir_.path("vantrel-cli");
    tools::testing::WriteText(cliWrapper_,
                              "#!/bin/sh\n"
                              "n=$#; prev=\n"
                              "while [ $n -gt 0 ]; do\n"
                              "  a=$1; shift; n=$((n-1))\n"
                              "  case \"$prev:$a\" in --port:*/*) ;; --port:*) a=\"$UMOCKDEV_DIR/dev/$a\" ;; esac\n"
                              "  set -- \"$@\" \"$a\"; prev=$a\n"
                              "done\n"
                              "exec env -u LD_PRELOAD '" +
                                  vantrel::e2e::CliExe() + "' \"$@\"\n");
    ASSERT_EQ(::chmod(cliWrapper_.c_str(), 0755), 0);
}

void StationE2ETest::TearDown() {
    if (station_)
        station_->Wait(5000ms);
    station_.reset();
    terminals_.clear();  // the simulators are killed with their children
    if (testbed_ != nullptr)
        g_object_unref(testbed_);
}

void StationE2ETest::UseScript(const std::string& description) {
    script_ = vantrel::e2e::BuildScript(dir_, description);
}

PluggedTerminal& StationE2ETest::Plug(const std::string& name, const std::string& serial,
                                      const std::vector<std::string>& faults, bool nodeLate) {
    PluggedTerminal& t = terminals_[name];
    t.name = name;
    t.serial = serial;
    std::vector<std::string> args = {"--link", root_ + "/dev/" + (nodeLate ? "." + name + ".late" : name)};
    for (const auto& f : faults) {
        args.push_back("--fault");
        args.push_back(f);
    }
    t.sim = std::make_unique<vantrel::e2e::Simulator>(script_, args);
    // A 0483:5740 terminal: a CDC device, its tty on interface 0.
    // A fresh bus name each time: the testbed keeps a removed device's bus link.
    const std::string bus = "1-" + std::to_string(++plugs_);
    const auto add = [&](const char* subsystem, const std::string& n, const std::string& parent,
                         const std::vector<std::pair<const char*, std::string>>& attributes) {
        GText path(umockdev_testbed_add_device(testbed_, subsystem, n.c_str(),
                                               parent.empty() ? nullptr : parent.c_str(), nullptr, nullptr));
        EXPECT_TRUE(path) << n;
        const std::string syspath = path ? path.get() : "";
        for (const auto& [attribute, value] : attributes)
            umockdev_testbed_set_attribute(testbed_, syspath.c_str(), attribute, value.c_str());
        return syspath;
    };
    std::vector<std::pair<const char*, std::string>> usb = {{"idVendor", "0483"},
                                                            {"idProduct", "5740"},
                                                            {"bcdDevice", "0200"},
                                                            {"bDeviceClass", "02"},
                                                            {"bNumInterfaces", " 2"}};
    if (!serial.empty())
        usb.push_back({"serial", serial});
    t.usbPath = add("usb", bus, "", usb);
    t.interfacePath = add("usb", bus + ":1.0", t.usbPath, {{"bInterfaceNumber", "00"}});
    t.ttyPath = add("tty", name, t.interfacePath, {});
    const std::string link = root_ + t.ttyPath + "/device";
    EXPECT_EQ(::symlink("..", link.c_str()), 0) << link << ": " << std::strerror(errno);
    return t;
}

void StationE2ETest::ShowNode(const std::string& name) {
    const std::string late = root_ + "/dev/." + name + ".late";
    ASSERT_EQ(std::rename(late.c_str(), (root_ + "/dev/" + name).c_str()), 0) << std::strerror(errno);
}

void StationE2ETest::Unplug(const std::string& name) {
    PluggedTerminal& t = terminals_.at(name);
    umockdev_testbed_remove_device(testbed_, t.ttyPath.c_str());
    umockdev_testbed_remove_device(testbed_, t.interfacePath.c_str());
    umockdev_testbed_remove_device(testbed_, t.usbPath.c_str());
}

void StationE2ETest::Replug(const std::string& name) {
    const std::string serial = terminals_.at(name).serial;
    terminals_.at(name).sim.reset();
    terminals_.erase(name);
    Plug(name, serial);
}

std::vector<std::string> StationE2ETest::StationArgv(const std::vector<std::string>& args) const {
    std::vector<std::string> argv = {StationExe(), "--script",  script_,     "--log", log_,
                                     "--cli",      cliWrapper_, "--poll-ms", "50"};
    argv.insert(argv.end(), args.begin(), args.end());
    return argv;
}

void StationE2ETest::StartStation(const std::vector<std::string>& args) {
    station_ = std::make_unique<tools::process::Child>(StationArgv(args));
}

std::optional<std::string> StationE2ETest::WaitForLine(const std::string& prefix, std::chrono::milliseconds timeout) {
    const auto deadline = Clock::now() + timeout;
    for (;;) {
        const auto lines = StationLines();
        for (; readLines_ < lines.size(); ++readLines_) {
            if (lines[readLines_].rfind(prefix, 0) == 0)
                return lines[readLines_++];
        }
        if (Clock::now() >= deadline || !station_->Running()) {
            if (!station_->Running()) {
                station_->Pump(0ms);
                const auto more = StationLines();
                for (; readLines_ < more.size(); ++readLines_) {
                    if (more[readLines_].rfind(prefix, 0) == 0)
                        return more[readLines_++];
                }
            }
            return std::nullopt;
        }
        station_->Pump(20ms);
    }
}

std::optional<int> StationE2ETest::FinishStation(std::chrono::milliseconds timeout) {
    const auto end = station_->Wait(timeout);
    if (end.timed_out)
        return std::nullopt;
    return end.shell_code();
}

std::vector<std::string> StationE2ETest::StationLines() const {
    return vantrel::e2e::SplitLines(station_->text(tools::process::Stream::Out));
}

std::vector<EndLine> StationE2ETest::Ends() const {
    std::vector<EndLine> ends;
    for (const auto& line : StationLines()) {
        if (line.rfind("end: ", 0) != 0)
            continue;
        std::istringstream in(line.substr(5));
        EndLine e;
        std::string exit;
        in >> e.port >> e.result >> exit;
        if (exit.rfind("exit=", 0) == 0)
            e.exit = std::atoi(exit.c_str() + 5);
        ends.push_back(e);
    }
    return ends;
}

std::vector<std::string> StationE2ETest::LogLines() const { return ReadLines(log_); }

int StationE2ETest::MostAtOnce() const {
    int now = 0, most = 0;
    for (const auto& line : StationLines()) {
        if (line.rfind("start: ", 0) == 0)
            most = std::max(most, ++now);
        if (line.rfind("end: ", 0) == 0)
            --now;
    }
    return most;
}

std::vector<pid_t> ChildrenOf(pid_t parent) {
    std::vector<pid_t> found;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const pid_t pid = std::atoi(entry.path().filename().c_str());
        if (pid <= 0)
            continue;
        std::ifstream stat(entry.path() / "stat");
        std::string text;
        std::getline(stat, text);
        const auto close = text.rfind(')');
        if (close == std::string::npos)
            continue;
        std::istringstream rest(text.substr(close + 2));
        char state = 0;
        pid_t ppid = 0;
        rest >> state >> ppid;
        if (ppid == parent && state != 'Z')
            found.push_back(pid);
    }
    return found;
}

std::string JsonField(const std::string& line, const std::string& name) {
    const std::string key = "\"" + name + "\":";
    const auto at = line.find(key);
    if (at == std::string::npos)
        return "<missing>";
    std::size_t i = at + key.size();
    std::size_t end = i;
    if (i < line.size() && line[i] == '"') {
        for (end = i + 1; end < line.size() && line[end] != '"'; ++end) {
            if (line[end] == '\\')
                ++end;
        }
        ++end;
    } else {
        while (end < line.size() && line[end] != ',' && line[end] != '}')
            ++end;
    }
    return line.substr(i, end - i);
}

std::string SystemSha256(const std::string& path) {
    const auto r = tools::testing::RunTool({"/usr/bin/sha256sum", path}, 5000ms);
    return r.status == 0 ? r.output.substr(0, 64) : "sha256sum failed: " + r.output;
}

std::vector<std::string> ReadLines(const std::string& path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

}  // namespace station::testing
