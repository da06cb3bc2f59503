// The station's end-to-end bench: a umockdev testbed standing in for the
// machine's device tree, terminals plugged into it (a USB device with its
// serial number and a tty whose /dev node in the testbed leads to a
// simulator's pty), and vantrel-station run as a child with its event
// lines and log read back. umockdev redirects /sys (and the /dev nodes the
// testbed holds) for the processes it is preloaded into; main() runs the
// tests again under umockdev-wrapper and the children inherit it, but for
// the runs' vantrel-cli, which opens the testbed's node by its path (see
// SetUp).
#pragma once

#include <gtest/gtest.h>
#include <umockdev.h>

#include <sys/types.h>

#include <chrono>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tests/cli/e2e_fixture.h"
#include "tools/process/child.h"

namespace station::testing {

// One simulated terminal: its simulator and its place in the testbed.
struct PluggedTerminal {
    std::string name;  // the tty name, "ttyACM1"
    std::string serial;
    std::unique_ptr<vantrel::e2e::Simulator> sim;
    std::string usbPath;  // syspaths in the testbed
    std::string interfacePath;
    std::string ttyPath;
};

// A parsed "end:" line.
struct EndLine {
    std::string port;
    std::string result;
    int exit = -1;
};

class StationE2ETest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;

    // Builds the script every terminal plays from a description.
    void UseScript(const std::string& description);
    // Starts a simulator for the terminal and plugs it in: the pty linked at
    // the testbed's /dev/NAME, then the USB device and its tty added.
    // With nodeLate, the /dev node is not there yet (as before the system's
    // rules ran): ShowNode puts it in place.
    PluggedTerminal& Plug(const std::string& name, const std::string& serial,
                          const std::vector<std::string>& faults = {}, bool nodeLate = false);
    void ShowNode(const std::string& name);
    // Takes the terminal out of the device tree (the simulator stays).
    void Unplug(const std::string& name);
    // Plugs a terminal that was unplugged in again, with a fresh simulator.
    void Replug(const std::string& name);

    // The station's command line: the script, the log, the runs' vantrel-cli,
    // a 50 ms poll and these arguments.
    std::vector<std::string> StationArgv(const std::vector<std::string>& args) const;
    // vantrel-station with that command line.
    void StartStation(const std::vector<std::string>& args);
    // Waits (bounded) for a stdout line starting with prefix, from where the
    // last wait stopped.
    std::optional<std::string> WaitForLine(const std::string& prefix, std::chrono::milliseconds timeout);
    // Waits for the station to end; its exit code, empty if killed at the limit.
    std::optional<int> FinishStation(std::chrono::milliseconds timeout);

    std::vector<std::string> StationLines() const;
    std::vector<EndLine> Ends() const;
    std::vector<std::string> LogLines() const;
    // The most runs going at once, from the start: and end: lines.
    int MostAtOnce() const;

    tools::testing::TempDir dir_;
    std::string script_;
    std::string log_;
    std::string root_;
    std::string cliWrapper_;
    UMockdevTestbed* testbed_ = nullptr;
    std::map<std::string, PluggedTerminal> terminals_;
    std::unique_ptr<tools::process::Child> station_;
    std::size_t readLines_ = 0;
    int plugs_ = 0;
    std::vector<std::string> faultsOf_;
};

// The pids of the living (not zombie) children of parent.
std::vector<pid_t> ChildrenOf(pid_t parent);
// A value of a JSON line's field, as written (strings with their quotes).
std::string JsonField(const std::string& line, const std::string& name);
// The SHA-256 of a file by the system's sha256sum, to check ours against.
std::string SystemSha256(const std::string& path);
// Lines of a text file.
std::vector<std::string> ReadLines(const std::string& path);

}  // namespace station::testing
