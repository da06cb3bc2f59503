// Every program against bad input, one table: a missing value, an unknown
// option or rate, a port that does not exist, a script that is not one, an
// output that cannot be written. Each gets one first line on stderr naming
// the thing and the cause, a documented exit code, never exit 0, never an
// empty output, never an uncaught exception. And every program answers
// --help and --version. (The simulator's unwritable timing file is reported
// when the run ends: SimTiming.UnwritableTimingFileFailsTheSimulator.)
#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>
#include <vector>

#include "tests/tools/harness.h"
#include "tools/process/child.h"
#include "tests/cli/e2e_fixture.h"

namespace vantrel::e2e {
namespace {

using tools::testing::WaitCode;

using namespace std::chrono_literals;
using tools::testing::TempDir;

bool Contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

struct Program {
    std::string name;
    std::string path;
};

std::vector<Program> Programs() {
    std::vector<Program> all = {{"vantrel-cli", CliExe()}, {"vantrel-sim", SimExe()}, {"vantrel-script", ScriptExe()}};
#ifdef VANTREL_BENCH_EXE
    all.push_back({"vantrel-bench", VANTREL_BENCH_EXE});
#endif
#ifdef VANTREL_WINDOW_EXE
    all.push_back({"vantrel", VANTREL_WINDOW_EXE});
#endif
#ifdef VANTREL_STATION_EXE
    all.push_back({"vantrel-station", VANTREL_STATION_EXE});
#endif
#ifdef VANTREL_STATION_BENCH_EXE
    all.push_back({"vantrel-station-bench", VANTREL_STATION_BENCH_EXE});
#endif
#ifdef VANTREL_BENCH_REFERENCE_EXE
    all.push_back({"vantrel-bench-reference", VANTREL_BENCH_REFERENCE_EXE});
#endif
    return all;
}

std::string PathOf(const std::string& name) {
    for (const Program& p : Programs())
        if (p.name == name)
            return p.path;
    return name;
}

struct Case {
    std::string program;
    std::vector<std::string> args;
    std::string where;  // the folder to run in, under the test's directory
    int exit;
    std::string says;  // part of the first line on stderr (stdout when onStdout)
    bool onStdout = false;
    bool usage = true;  // a mistake on the command line: the usage follows
};

// A directory with a sound script and description, one without a script,
// one with an empty script, and a text that is no script.
class BadInput : public ::testing::Test {
protected:
    void SetUp() override {
        BuildScript(dir_, "open\nsend1 16\nclose\n");
        tools::testing::WriteText(dir_.path("desc.txt"), "open\nsend1 16\nclose\n");
        tools::testing::WriteText(dir_.path("garbage.asc"), "this is a shopping list\nmilk\neggs\n");
        ASSERT_EQ(::system(("mkdir -p " + dir_.path("noscript") + " " + dir_.path("emptyscript")).c_str()), 0);
        tools::testing::WriteText(dir_.path("emptyscript/upgrader.asc"), "");
    }

    void Check(const Case& c) {
        std::vector<std::string> argv = {PathOf(c.program)};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        tools::process::Child child(argv, tools::testing::InDirectory(dir_.path(c.where)));
        const auto exit = WaitCode(child, 20s);
        ASSERT_TRUE(exit.has_value()) << "still running at the deadline";
        const std::string& err = child.text(tools::process::Stream::Err);
        const std::string shown = c.onStdout ? child.text(tools::process::Stream::Out) : err;
        EXPECT_EQ(*exit, c.exit) << "stdout:\n" << child.text(tools::process::Stream::Out) << "stderr:\n" << err;
        const std::string first = shown.substr(0, shown.find('\n'));
        if (!c.onStdout) {
            EXPECT_EQ(first.rfind(c.program + ": ", 0), 0u) << "the line names no program: " << first;
        }
        EXPECT_TRUE(Contains(first, c.says)) << "first line: " << first << "\nall:\n" << shown;
        for (const char* crash : {"terminate called", "what():", "Aborted", "Segmentation", "Assertion"})
            EXPECT_FALSE(Contains(child.text(tools::process::Stream::Out) + err, crash))
                << child.text(tools::process::Stream::Out) << err;
        EXPECT_EQ(Contains(err, "usage: " + c.program + " "), c.usage) << err;
    }

    TempDir dir_;
};

TEST_F(BadInput, CliReportsEachMistakeOnOneLine) {
    const std::vector<Case> cases = {
        {"vantrel-cli", {"--port"}, "", 2, "--port needs a value (TEXT)"},
        {"vantrel-cli", {"--baud"}, "", 2, "--baud needs a value (RATE)"},
        {"vantrel-cli", {"--baud", "9600"}, "", 2, "--baud: no line speed '9600' (3686400 or 115200)"},
        {"vantrel-cli", {"--bogus"}, "", 2, "unknown option '--bogus'"},
        {"vantrel-cli", {"--list=yes"}, "", 2, "--list takes no value"},
        {"vantrel-cli", {"ttyACM0"}, "", 2, "unexpected argument 'ttyACM0'"},
        {"vantrel-cli", {"--verbose"}, "", 2, "--verbose goes with --list"},
        {"vantrel-cli",
         {"--port", "/dev/vantrel-no-such-port"},
         "",
         4,
         "cannot open /dev/vantrel-no-such-port: ",
         false,
         false},
        {"vantrel-cli",
         {"--port", "/dev/vantrel-no-such-port"},
         "noscript",
         3,
         "cannot read upgrader.asc in the current directory: No such file or directory",
         false,
         false},
        {"vantrel-cli",
         {"--port", "/dev/vantrel-no-such-port"},
         "emptyscript",
         3,
         "upgrader.asc is not an upgrade script: it is empty",
         false,
         false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.empty() ? c.where : c.args.front() + " in " + (c.where.empty() ? "." : c.where));
        Check(c);
    }
}

// stdout on a full disk: the run cannot be reported, so it is no success.
TEST_F(BadInput, CliFailsWhenStdoutCannotBeWritten) {
    tools::process::Child child({"/bin/sh", "-c", "exec \"$0\" --list >/dev/full", CliExe()},
                                tools::testing::InDirectory(dir_.path("")));
    const auto exit = WaitCode(child, 20s);
    ASSERT_TRUE(exit.has_value());
    EXPECT_EQ(*exit, 1);
    EXPECT_EQ(child.text(tools::process::Stream::Err)
                  .rfind("vantrel-cli: cannot write to stdout: No space left on device\n", 0),
              0u)
        << child.text(tools::process::Stream::Err);
}

TEST_F(BadInput, SimulatorReportsEachMistakeOnOneLine) {
    const std::vector<Case> cases = {
        {"vantrel-sim", {}, "", 2, "--script is required"},
        {"vantrel-sim", {"--script"}, "", 2, "--script needs a value (FILE)"},
        {"vantrel-sim",
         {"--script", "missing.asc"},
         "",
         2,
         "opening missing.asc: No such file or directory",
         false,
         false},
        {"vantrel-sim", {"--script", "garbage.asc"}, "", 2, "garbage.asc: not an upgrade script", false, false},
        {"vantrel-sim", {"--script", "upgrader.asc", "--fault", "0:bogus"}, "", 2, "--fault: "},
        {"vantrel-sim",
         {"--script", "upgrader.asc", "--wait-reply-ms", "soon"},
         "",
         2,
         "--wait-reply-ms: 'soon' is not 0 to 600000"},
        {"vantrel-sim",
         {"--script", "upgrader.asc", "--idle-timeout-s", "0"},
         "",
         2,
         "--idle-timeout-s: '0' is not 1 to 86400"},
        {"vantrel-sim", {"--script", "upgrader.asc", "--bogus"}, "", 2, "unknown option '--bogus'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "no arguments" : c.args.back());
        Check(c);
    }
}

TEST_F(BadInput, ScriptToolReportsEachMistakeOnOneLine) {
    const std::vector<Case> cases = {
        {"vantrel-script", {}, "", 2, "no verb: list, validate, estimate or build"},
        {"vantrel-script", {"frob", "upgrader.asc"}, "", 2, "unknown verb 'frob'"},
        {"vantrel-script", {"list"}, "", 2, "list takes one FILE"},
        {"vantrel-script",
         {"list", "missing.asc"},
         "",
         2,
         "opening missing.asc: No such file or directory",
         false,
         false},
        {"vantrel-script", {"estimate", "upgrader.asc"}, "", 2, "estimate needs --baud RATE"},
        {"vantrel-script", {"estimate", "upgrader.asc", "--baud"}, "", 2, "--baud needs a value (RATE)"},
        {"vantrel-script",
         {"estimate", "upgrader.asc", "--baud", "fast"},
         "",
         2,
         "--baud: 'fast' is not a positive number"},
        {"vantrel-script",
         {"build", "desc.txt", "/proc/vantrel/out.asc"},
         "",
         2,
         "creating /proc/vantrel/out.asc.part: No such file or directory",
         false,
         false},
        {"vantrel-script", {"build", "garbage.asc", "out.asc"}, "", 2, "garbage.asc: line 1: ", false, false},
        {"vantrel-script", {"validate", "garbage.asc"}, "", 1, "error: ", true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "no arguments" : c.args.front() + " " + c.args.back());
        Check(c);
    }
}

#ifdef VANTREL_BENCH_EXE
TEST_F(BadInput, BenchReportsEachMistakeOnOneLine) {
    const std::vector<Case> cases = {
        {"vantrel-bench", {"--records"}, "", 2, "--records needs a value (N)"},
        {"vantrel-bench", {"--records", "1"}, "", 2, "--records: '1' is not 2 to 10000"},
        {"vantrel-bench", {"--idle-seconds", "long"}, "", 2, "--idle-seconds: 'long' is not 1 to 60"},
        {"vantrel-bench",
         {"--cli", "/nonexistent/vantrel-cli"},
         "",
         2,
         "--cli /nonexistent/vantrel-cli: cannot be run: No such file or directory"},
        {"vantrel-bench", {"--bogus"}, "", 2, "unknown option '--bogus'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        Check(c);
    }
}
#endif

#ifdef VANTREL_WINDOW_EXE
// Answered before any window exists: no display is needed.
TEST_F(BadInput, WindowReportsEachMistakeOnOneLine) {
    const std::vector<Case> cases = {
        {"vantrel", {"--bogus"}, "", 2, "unknown option '--bogus'"},
        {"vantrel", {"-platform"}, "", 2, "-platform needs a value (NAME)"},
        {"vantrel", {"upgrader.asc"}, "", 2, "unexpected argument 'upgrader.asc'"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args.back());
        Check(c);
    }
}
#endif

TEST(EveryProgram, AnswersHelpAndVersionOnStdout) {
    const std::regex version(R"(^(\S+) \d+\.\d+\.\d+ \(revision [^ )]+\)\n$)");
    for (const Program& p : Programs()) {
        SCOPED_TRACE(p.name);
        tools::process::Child help({p.path, "--help"});
        ASSERT_EQ(WaitCode(help, 10s), 0) << help.text(tools::process::Stream::Err);
        EXPECT_EQ(help.text(tools::process::Stream::Out).rfind("usage: " + p.name + " ", 0), 0u)
            << help.text(tools::process::Stream::Out);
        EXPECT_TRUE(Contains(help.text(tools::process::Stream::Out), "\noptions:\n"))
            << help.text(tools::process::Stream::Out);
        EXPECT_TRUE(Contains(help.text(tools::process::Stream::Out), "\nexit codes:\n  0 "))
            << help.text(tools::process::Stream::Out);
        EXPECT_TRUE(Contains(help.text(tools::process::Stream::Out), "  --version "))
            << help.text(tools::process::Stream::Out);
        EXPECT_EQ(help.text(tools::process::Stream::Err), "");

        tools::process::Child ver({p.path, "--version"});
        ASSERT_EQ(WaitCode(ver, 10s), 0) << ver.text(tools::process::Stream::Err);
        std::smatch m;
        ASSERT_TRUE(std::regex_match(ver.text(tools::process::Stream::Out), m, version))
            << ver.text(tools::process::Stream::Out);
        EXPECT_EQ(m[1], p.name);
    }
}

}  // namespace
}  // namespace vantrel::e2e
