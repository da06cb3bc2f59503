// The tools' script reader: records come out as written, and every kind of
// damage is reported with the offset where it starts, never read past.
#include "tools/script_format.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <vector>

namespace tools {
namespace {

std::vector<std::uint8_t> Header() { return std::vector<std::uint8_t>(kHeaderSize, 0xAB); }

std::vector<std::uint8_t> With(std::vector<std::uint8_t> bytes, std::initializer_list<int> more) {
    for (int b : more)
        bytes.push_back(static_cast<std::uint8_t>(b));
    return bytes;
}

TEST(ScriptReader, WalksRecordsWithOffsetsIndicesAndPayloads) {
    auto data = Header();
    AppendRecord(data, CMD_OPEN_PORT, {});
    const std::uint8_t delay[] = {0x01, 0x02};
    AppendRecord(data, CMD_DELAY, delay);
    std::vector<std::uint8_t> big(300, 0x5A);
    AppendRecord(data, CMD_SEND_F1, big);

    ScriptReader reader(data);
    auto r0 = reader.Next();
    ASSERT_TRUE(r0);
    EXPECT_EQ(r0->index, 0u);
    EXPECT_EQ(r0->offset, 32u);
    EXPECT_EQ(r0->command, CMD_OPEN_PORT);
    EXPECT_EQ(r0->size(), 3u);
    auto r1 = reader.Next();
    ASSERT_TRUE(r1);
    EXPECT_EQ(r1->offset, 35u);
    EXPECT_EQ(DelaySeconds(*r1), 258u);
    auto r2 = reader.Next();
    ASSERT_TRUE(r2);
    EXPECT_EQ(r2->index, 2u);
    EXPECT_EQ(r2->offset, 40u);
    ASSERT_EQ(r2->payload.size(), 300u);
    EXPECT_EQ(r2->payload.data(), data.data() + 43);
    EXPECT_FALSE(reader.Next());
    EXPECT_FALSE(reader.problem());
}

TEST(ScriptReader, LengthFieldIsBigEndian) {
    auto data = With(Header(), {0x11, 0x01, 0x00});
    data.resize(data.size() + 256, 0x00);
    ScriptReader reader(data);
    auto r = reader.Next();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->payload.size(), 256u);
    EXPECT_FALSE(reader.Next());
    EXPECT_FALSE(reader.problem());
}

TEST(ScriptReader, HeaderOnlyFileHasNoRecordsAndNoDamage) {
    ScriptReader reader(Header());
    EXPECT_FALSE(reader.Next());
    EXPECT_FALSE(reader.problem());
}

TEST(ScriptReader, FileShorterThanHeaderIsDamageAtOffsetZero) {
    const std::vector<std::uint8_t> data(31, 0);
    ScriptReader reader(data);
    EXPECT_FALSE(reader.Next());
    ASSERT_TRUE(reader.problem());
    EXPECT_EQ(reader.problem()->kind, Damage::ShortHeader);
    EXPECT_EQ(reader.problem()->offset, 0u);
    EXPECT_NE(reader.problem()->message.find("31 bytes"), std::string::npos);
}

TEST(ScriptReader, CutRecordHeadIsReportedAtItsOffset) {
    auto data = Header();
    AppendRecord(data, CMD_WAIT, {});
    data.push_back(0x11);
    data.push_back(0x00);  // two of the three head bytes
    ScriptReader reader(data);
    EXPECT_TRUE(reader.Next());
    EXPECT_FALSE(reader.Next());
    ASSERT_TRUE(reader.problem());
    EXPECT_EQ(reader.problem()->kind, Damage::CutHead);
    EXPECT_EQ(reader.problem()->offset, 35u);
    EXPECT_EQ(reader.problem()->message.rfind("offset 35:", 0), 0u);
}

TEST(ScriptReader, RecordRunningPastTheEndIsReportedNotRead) {
    // Declares 16 payload bytes, holds 4: the reader must stop at the head.
    auto data = With(Header(), {0x12, 0x00, 0x10, 1, 2, 3, 4});
    ScriptReader reader(data);
    EXPECT_FALSE(reader.Next());
    ASSERT_TRUE(reader.problem());
    EXPECT_EQ(reader.problem()->kind, Damage::PastEnd);
    EXPECT_EQ(reader.problem()->offset, 32u);
    EXPECT_NE(reader.problem()->message.find("16 payload bytes but only 4"), std::string::npos);
    EXPECT_FALSE(reader.Next());  // stays stopped
}

TEST(ParseScript, UnknownCommandIsNotedAndTheWalkGoesOn) {
    auto data = With(Header(), {0x05, 0x00, 0x00});
    AppendRecord(data, CMD_CLOSE_PORT, {});
    const Script s = ParseScript(data);
    EXPECT_EQ(s.records.size(), 2u);
    ASSERT_EQ(s.problems.size(), 1u);
    EXPECT_EQ(s.problems[0].kind, Damage::UnknownCommand);
    EXPECT_EQ(s.problems[0].offset, 32u);
    EXPECT_NE(s.problems[0].message.find("0x05"), std::string::npos);
    EXPECT_FALSE(s.sound());
}

TEST(ParseScript, DelayWithOneByteHasNoDelayAndIsNoted) {
    auto data = Header();
    const std::uint8_t one[] = {0x07};
    AppendRecord(data, CMD_DELAY, one);
    const Script s = ParseScript(data);
    ASSERT_EQ(s.records.size(), 1u);
    EXPECT_FALSE(DelaySeconds(s.records[0]));
    ASSERT_EQ(s.problems.size(), 1u);
    EXPECT_EQ(s.problems[0].kind, Damage::ShortDelay);
    EXPECT_EQ(s.problems[0].offset, 32u);
}

TEST(ParseScript, StructuralDamageComesAfterSemanticProblems) {
    auto data = With(Header(), {0x7F, 0x00, 0x00, 0x11, 0xFF});
    const Script s = ParseScript(data);
    ASSERT_EQ(s.problems.size(), 2u);
    EXPECT_EQ(s.problems[0].kind, Damage::UnknownCommand);
    EXPECT_EQ(s.problems[1].kind, Damage::CutHead);
    EXPECT_EQ(s.problems[1].offset, 35u);
}

TEST(AppendRecord, RefusesPayloadBeyondTheLengthField) {
    std::vector<std::uint8_t> out;
    const std::vector<std::uint8_t> max(kMaxPayload, 1);
    AppendRecord(out, CMD_SEND_F1, max);
    EXPECT_EQ(out[1], 0xFF);
    EXPECT_EQ(out[2], 0xFF);
    const std::vector<std::uint8_t> over(kMaxPayload + 1, 1);
    const auto before = out.size();
    EXPECT_THROW(AppendRecord(out, CMD_SEND_F1, over), std::length_error);
    EXPECT_EQ(out.size(), before);
}

TEST(CommandLabel, NamesKnownCommandsAndHexesOthers) {
    EXPECT_EQ(CommandLabel(CMD_SEND_F2), "CMD_SEND_F2");
    EXPECT_EQ(CommandLabel(0x05), "0x05");
    EXPECT_FALSE(IsKnownCommand(0x00));
}

TEST(ReadFileBytes, MissingFileErrorNamesFileAndCause) {
    try {
        ReadFileBytes("/nonexistent/dir/upgrader.asc");
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("/nonexistent/dir/upgrader.asc"), std::string::npos);
        EXPECT_NE(std::string(e.what()).find("No such file"), std::string::npos);
    }
}

// The build writes beside the target and renames over it: an existing,
// longer script must be replaced whole, with nothing of it left behind and
// no temporary file beside it.
TEST(WriteFileBytes, ReplacesAnExistingLongerFileWhole) {
    char pattern[] = "/tmp/vantrel-write-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    const std::string dir = pattern;
    const std::string file = dir + "/upgrader.asc";
    WriteFileBytes(file, std::vector<std::uint8_t>(4096, 0xEE));
    const std::vector<std::uint8_t> shorter{1, 2, 3};
    WriteFileBytes(file, shorter);
    EXPECT_EQ(ReadFileBytes(file), shorter);
    EXPECT_NE(access((file + ".part").c_str(), F_OK), 0) << "the temporary file was left";
    std::remove(file.c_str());
    rmdir(dir.c_str());
}

TEST(WriteFileBytes, FailureToCreateNamesTheTemporaryFileAndCause) {
    try {
        WriteFileBytes("/nonexistent/dir/upgrader.asc", std::vector<std::uint8_t>{1});
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("creating /nonexistent/dir/upgrader.asc.part"), std::string::npos)
            << e.what();
        EXPECT_NE(std::string(e.what()).find("No such file"), std::string::npos) << e.what();
    }
}

}  // namespace
}  // namespace tools
