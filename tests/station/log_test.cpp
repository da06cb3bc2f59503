// The run log: JSON string escaping of device strings and the record line.
#include <gtest/gtest.h>

#include <fstream>
#include <string>

#include "station/log.h"
#include "tests/tools/harness.h"

namespace station {
namespace {

std::string ReadText(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(JsonString, EscapesQuoteBackslashAndControlCharacters) {
    EXPECT_EQ(JsonString("a\"b\\c"), R"("a\"b\\c")");
    EXPECT_EQ(JsonString("l1\nl2\r\t\b\f"), R"("l1\nl2\r\t\b\f")");
    EXPECT_EQ(JsonString(std::string("\x1b[2J\x01\x7f", 6)), R"("\u001b[2J\u0001\u007f")");
    EXPECT_EQ(JsonString(std::string("a\0b", 3)), R"("a\u0000b")");
}

TEST(JsonString, KeepsValidUtf8AndReplacesInvalidBytes) {
    EXPECT_EQ(JsonString("Kasse \xc3\xa4 \xe2\x82\xac \xf0\x9f\x98\x80"),
              "\"Kasse \xc3\xa4 \xe2\x82\xac \xf0\x9f\x98\x80\"");
    EXPECT_EQ(JsonString("\xff"), R"("\ufffd")");
    EXPECT_EQ(JsonString("a\xc3"), R"("a\ufffd")") << "a sequence cut off at the end";
    EXPECT_EQ(JsonString("\xc0\xaf"), R"("\ufffd\ufffd")") << "an overlong '/'";
    EXPECT_EQ(JsonString("\xed\xa0\x80"), R"("\ufffd\ufffd\ufffd")") << "a UTF-16 surrogate";
    EXPECT_EQ(JsonString("\xf4\x90\x80\x80"), R"("\ufffd\ufffd\ufffd\ufffd")") << "past U+10FFFF";
    EXPECT_EQ(JsonString("\xe2\x82\""), R"("\ufffd\ufffd\"")") << "a quote ending a broken sequence is still a quote";
}

RunRecord Sample() {
    RunRecord r;
    r.start = std::chrono::system_clock::time_point(std::chrono::milliseconds(1796728478123));
    r.end = r.start + std::chrono::milliseconds(2500);
    r.port = "ttyACM0";
    r.hardwareId = "USB\\VID_0483&PID_5740&REV_0200";
    r.serial = "S\"1\n";
    r.scriptSize = 4242;
    r.scriptSha256 = std::string(64, 'a');
    r.baud = "3686400";
    r.result = "success";
    r.exitCode = 0;
    r.payloadBytes = 4096;
    r.success = true;
    r.location = "1-1.4";
    r.slot = "A1";
    r.attempt = 2;
    r.duplicateSerial = true;
    r.cause = "open: \"x\"";
    return r;
}

TEST(JsonLine, HoldsEveryFieldOnOneLine) {
    EXPECT_EQ(JsonLine(Sample()),
              "{\"start\":\"2026-12-08T11:14:38.123Z\",\"end\":\"2026-12-08T11:14:40.623Z\",\"port\":\"ttyACM0\","
              "\"location\":\"1-1.4\",\"slot\":\"A1\",\"hardware_id\":\"USB\\\\VID_0483&PID_5740&REV_0200\",\"serial\":"
              "\"S\\\"1\\n\",\"script_size\":4242,"
              "\"script_sha256\":\"" +
                  std::string(64, 'a') +
                  "\",\"baud\":\"3686400\",\"result\":\"success\","
                  "\"exit_code\":0,\"payload_bytes\":4096,\"duration_s\":2.500,\"attempt\":2,\"duplicate_serial\":true,"
                  "\"cause\":\"open: \\\"x\\\"\"}");
}

TEST(RunLog, AppendsToWhatIsThereOneLineEach) {
    tools::testing::TempDir dir;
    const std::string path = dir.path("runs.log");
    tools::testing::WriteText(path, "earlier\n");
    std::string error;
    {
        auto log = RunLog::Open(path, &error);
        ASSERT_TRUE(log) << error;
        ASSERT_TRUE(log->Append(Sample(), &error)) << error;
        // Flushed at once: readable before the log is closed.
        std::ifstream in(path);
        std::string first, second;
        std::getline(in, first);
        std::getline(in, second);
        EXPECT_EQ(first, "earlier");
        EXPECT_EQ(second, JsonLine(Sample()));
    }
}

TEST(RunLog, AFolderThatDoesNotExistIsRefusedWithTheCause) {
    std::string error;
    EXPECT_FALSE(RunLog::Open("/nonexistent-dir/runs.log", &error));
    EXPECT_NE(error.find("/nonexistent-dir/runs.log: No such file or directory"), std::string::npos) << error;
}

TEST(RunLog, AFragmentLeftByACrashGetsItsNewlineBeforeTheNextRecord) {
    tools::testing::TempDir dir;
    const std::string path = dir.path("runs.log");
    tools::testing::WriteText(path, "{\"start\":\"2026-12-08T1");  // cut short
    std::string error;
    auto log = RunLog::Open(path, &error);
    ASSERT_TRUE(log) << error;
    ASSERT_TRUE(log->Append(Sample(), &error)) << error;
    ASSERT_TRUE(log->Append(Sample(), &error)) << error;
    const auto lines = ReadText(path);
    EXPECT_EQ(lines, "{\"start\":\"2026-12-08T1\n" + JsonLine(Sample()) + "\n" + JsonLine(Sample()) + "\n");
}

TEST(RunLog, AFullDeviceKeepsTheLinesWaitingWithTheCause) {
    std::string error;
    auto log = RunLog::Open("/dev/full", &error);
    ASSERT_TRUE(log) << error;
    EXPECT_FALSE(log->regular());
    EXPECT_FALSE(log->Append(Sample(), &error));
    EXPECT_NE(error.find("No space left on device"), std::string::npos) << error;
    EXPECT_FALSE(log->writable());
    EXPECT_FALSE(log->Append(Sample(), &error));
    EXPECT_FALSE(log->Flush(&error));
    ASSERT_EQ(log->waiting().size(), 2u) << "nothing is dropped";
    EXPECT_EQ(log->waiting()[0], JsonLine(Sample()));
}

TEST(RunLog, ARotatedLogIsFollowedAndTheOldFileEndsWhole) {
    tools::testing::TempDir dir;
    const std::string path = dir.path("runs.log");
    std::string error;
    auto log = RunLog::Open(path, &error);
    ASSERT_TRUE(log) << error;
    RunRecord first = Sample(), second = Sample(), third = Sample();
    first.port = "first";
    second.port = "second";
    third.port = "third";
    ASSERT_TRUE(log->Append(first, &error)) << error;
    ASSERT_EQ(std::rename(path.c_str(), (path + ".1").c_str()), 0);  // logrotate's move
    ASSERT_TRUE(log->Append(second, &error)) << error;
    ASSERT_EQ(std::remove(path.c_str()), 0);  // removed outright
    ASSERT_TRUE(log->Append(third, &error)) << error;
    EXPECT_EQ(ReadText(path + ".1"), JsonLine(first) + "\n");
    EXPECT_EQ(ReadText(path), JsonLine(third) + "\n");
}

}  // namespace
}  // namespace station
