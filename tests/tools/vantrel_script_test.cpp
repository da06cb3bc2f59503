// vantrel-script: the description language, and the tool end to end
// (build -> list -> validate, damaged files, estimate figures).
#include <gtest/gtest.h>

#include <stdexcept>

#include "tests/tools/harness.h"
#include "tools/script/description.h"
#include "tools/script/inspect.h"
#include "tools/script_format.h"

namespace tools {
namespace {

using testing::RunTool;
using testing::TempDir;
using testing::WriteText;

TEST(BuildScript, RecordsFollowTheDescriptionAfterTheDefaultHeader) {
    const auto bytes = BuildScript(
        "# comment line\n"
        "open\n"
        "delay 300   # five minutes\n"
        "send1 hex AABB 0xCC\n"
        "send2 4 seed 9\n"
        "wait\n"
        "close\n");
    ASSERT_GE(bytes.size(), kHeaderSize);
    EXPECT_TRUE(std::equal(kDefaultHeader.begin(), kDefaultHeader.end(), bytes.begin()));
    const Script s = ParseScript(bytes);
    ASSERT_TRUE(s.sound());
    ASSERT_EQ(s.records.size(), 6u);
    EXPECT_EQ(s.records[0].command, CMD_OPEN_PORT);
    EXPECT_EQ(DelaySeconds(s.records[1]), 300u);
    EXPECT_EQ(std::vector<std::uint8_t>(s.records[2].payload.begin(), s.records[2].payload.end()),
              (std::vector<std::uint8_t>{0xAA, 0xBB, 0xCC}));
    EXPECT_EQ(std::vector<std::uint8_t>(s.records[3].payload.begin(), s.records[3].payload.end()), PayloadBytes(4, 9));
    EXPECT_EQ(s.records[4].command, CMD_WAIT);
    EXPECT_EQ(s.records[5].command, CMD_CLOSE_PORT);
}

TEST(BuildScript, GeneratedPayloadsAreReproducibleAndDifferBySeed) {
    EXPECT_EQ(BuildScript("send1 64\nsend1 64\n"), BuildScript("send1 64\nsend1 64\n"));
    const auto bytes = BuildScript("send1 64\nsend1 64\n");  // outlives the spans
    const Script s = ParseScript(bytes);
    ASSERT_EQ(s.records.size(), 2u);
    EXPECT_FALSE(std::equal(s.records[0].payload.begin(), s.records[0].payload.end(), s.records[1].payload.begin()));
    EXPECT_NE(PayloadBytes(16, 1), PayloadBytes(16, 2));
}

TEST(BuildScript, HeaderAndRawBytesAreTakenAsGiven) {
    const auto bytes = BuildScript("header 0102\nraw 05 0000\n");
    EXPECT_EQ(bytes, (std::vector<std::uint8_t>{0x01, 0x02, 0x05, 0x00, 0x00}));
}

TEST(BuildScript, MistakesNameTheLine) {
    auto message = [](const std::string& text) {
        try {
            BuildScript(text);
        } catch (const std::invalid_argument& e) {
            return std::string(e.what());
        }
        return std::string("no error");
    };
    EXPECT_EQ(message("open\nfrobnicate\n").rfind("line 2:", 0), 0u);
    EXPECT_NE(message("delay 65536\n").find("65535"), std::string::npos);
    EXPECT_NE(message("send1 hex ABC\n").find("odd"), std::string::npos);
    EXPECT_NE(message("raw GG\n").find("not hex"), std::string::npos);
    EXPECT_NE(message("open now\n").find("no arguments"), std::string::npos);
    EXPECT_NE(message("send2 70000\n").find("line 1"), std::string::npos);
}

TEST(EstimateRunTime, CountsFixedWaitsAndPayloadAtTenBitsPerByte) {
    const auto bytes = BuildScript("open\ndelay 3\nsend1 1000\nsend2 152\nwait\nclose\n");
    const Estimate e = EstimateRunTime(bytes, 11520);
    EXPECT_DOUBLE_EQ(e.fixed_wait_s, 5.0);  // 1 + 3 + 1
    EXPECT_EQ(e.payload_bytes, 1152u);
    EXPECT_DOUBLE_EQ(e.transfer_s, 1.0);
    EXPECT_DOUBLE_EQ(e.total_s(), 6.0);
}

class ScriptToolCli : public ::testing::Test {
protected:
    std::string Build(const std::string& name, const std::string& description) {
        const std::string desc = dir.path(name + ".txt");
        const std::string out = dir.path(name + ".asc");
        WriteText(desc, description);
        const auto r = RunTool({VANTREL_SCRIPT_EXE, "build", desc, out});
        EXPECT_EQ(r.status, 0) << r.output;
        return out;
    }
    TempDir dir;
};

TEST_F(ScriptToolCli, BuildListValidateRoundTrip) {
    const auto file = Build("ok", "open\ndelay 2\nsend1 10\nsend2 hex 01\nclose\n");
    const auto list = RunTool({VANTREL_SCRIPT_EXE, "list", file});
    EXPECT_EQ(list.status, 0) << list.output;
    EXPECT_NE(list.output.find("32  CMD_OPEN_PORT"), std::string::npos) << list.output;
    EXPECT_NE(list.output.find("35  CMD_DELAY"), std::string::npos) << list.output;
    EXPECT_NE(list.output.find("delay 2 s"), std::string::npos) << list.output;
    EXPECT_NE(list.output.find("40  CMD_SEND_F1"), std::string::npos) << list.output;
    EXPECT_NE(list.output.find("53  CMD_SEND_F2"), std::string::npos) << list.output;
    EXPECT_NE(list.output.find("57  CMD_CLOSE_PORT"), std::string::npos) << list.output;
    const auto check = RunTool({VANTREL_SCRIPT_EXE, "validate", file});
    EXPECT_EQ(check.status, 0) << check.output;
    EXPECT_NE(check.output.find("5 records"), std::string::npos);
}

TEST_F(ScriptToolCli, DamagedFilesFailValidationNamingTheOffset) {
    struct Case {
        const char* description;
        const char* expected;
    } cases[] = {
        {"header 00 00 00\n", "offset 0:"},
        {"open\nraw 11 00\n", "offset 35: record head cut short"},
        {"open\nraw 11 00 09 01 02\n", "offset 35: CMD_SEND_F1 record declares 9"},
        {"raw 21 00 00\n", "offset 32: unknown command byte 0x21"},
        {"open\nraw 02 00 01 05\n", "offset 35: CMD_DELAY has 1"},
    };
    int n = 0;
    for (const auto& c : cases) {
        const auto file = Build("bad" + std::to_string(n++), c.description);
        const auto r = RunTool({VANTREL_SCRIPT_EXE, "validate", file});
        EXPECT_NE(r.status, 0) << c.description;
        EXPECT_NE(r.output.find(c.expected), std::string::npos) << c.description << r.output;
        const auto l = RunTool({VANTREL_SCRIPT_EXE, "list", file});
        EXPECT_NE(l.status, 0) << c.description;
    }
}

TEST_F(ScriptToolCli, EstimatePrintsSecondsForTheLineSpeed) {
    const auto file = Build("est", "open\ndelay 10\nsend1 9600\nclose\n");
    const auto r = RunTool({VANTREL_SCRIPT_EXE, "estimate", file, "--baud", "9600"});
    EXPECT_EQ(r.status, 0) << r.output;
    // 1 + 10 + 1 s of waits, 9600 bytes x 10 bits at 9600 baud = 10 s.
    EXPECT_EQ(r.output.rfind("estimate: 22.000 s", 0), 0u) << r.output;
    const auto bad = RunTool({VANTREL_SCRIPT_EXE, "estimate", file, "--baud", "fast"});
    EXPECT_EQ(bad.status, 2);
}

TEST_F(ScriptToolCli, MissingFileAndBadUsageExitTwo) {
    const auto r = RunTool({VANTREL_SCRIPT_EXE, "validate", dir.path("none.asc")});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.output.find("none.asc"), std::string::npos) << r.output;
    EXPECT_EQ(RunTool({VANTREL_SCRIPT_EXE, "frob", "x"}).status, 2);
}

}  // namespace
}  // namespace tools
