// The station's script copy: refusal of damaged scripts, the private copy
// and its digest, the hang bound and the payload a progress position means.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "station/script.h"
#include "station/sha256.h"
#include "tools/script_format.h"

namespace station {
namespace {

std::vector<std::uint8_t> Script(const std::vector<std::pair<std::uint8_t, std::vector<std::uint8_t>>>& records) {
    std::vector<std::uint8_t> bytes(tools::kHeaderSize, 0x5A);
    for (const auto& [command, payload] : records)
        tools::AppendRecord(bytes, command, payload);
    return bytes;
}

TEST(PrivateScript, CopiesTheBytesIntoAFolderOnlyWeCanEnter) {
    const auto bytes = Script({{tools::CMD_OPEN_PORT, {}}, {tools::CMD_SEND_F1, std::vector<std::uint8_t>(100, 1)}});
    std::string error;
    std::string folder;
    {
        auto script = PrivateScript::FromBytes("x.asc", bytes, &error);
        ASSERT_TRUE(script) << error;
        folder = script->folder();
        EXPECT_EQ(tools::ReadFileBytes(folder + "/upgrader.asc"), bytes);
        EXPECT_EQ(script->sha256(), Sha256Hex(bytes));
        EXPECT_EQ(script->size(), bytes.size());
        struct stat st {};
        ASSERT_EQ(::stat(folder.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, 0700u);
    }
    EXPECT_FALSE(std::filesystem::exists(folder)) << "the folder goes with the station";
}

TEST(PrivateScript, EachRunGetsAFolderWithItsOwnCopy) {
    // vantrel-cli opens its script for exclusive use: runs at once must not
    // share one file.
    const auto bytes = Script({{tools::CMD_OPEN_PORT, {}}, {tools::CMD_CLOSE_PORT, {}}});
    std::string error;
    auto script = PrivateScript::FromBytes("x.asc", bytes, &error);
    ASSERT_TRUE(script) << error;
    const std::string one = script->MakeRunFolder(1, &error);
    const std::string two = script->MakeRunFolder(2, &error);
    ASSERT_FALSE(one.empty()) << error;
    ASSERT_FALSE(two.empty()) << error;
    EXPECT_NE(one, two);
    EXPECT_EQ(tools::ReadFileBytes(one + "/upgrader.asc"), bytes);
    EXPECT_EQ(tools::ReadFileBytes(two + "/upgrader.asc"), bytes);
    script->RemoveRunFolder(one);
    EXPECT_FALSE(std::filesystem::exists(one));
    EXPECT_TRUE(std::filesystem::exists(two + "/upgrader.asc"));
}

TEST(PrivateScript, RefusesEmptyCutAndUnknownRecords) {
    std::string error;
    EXPECT_FALSE(PrivateScript::FromBytes("a.asc", {}, &error));
    EXPECT_NE(error.find("empty"), std::string::npos) << error;
    auto cut = Script({{tools::CMD_SEND_F1, std::vector<std::uint8_t>(10, 1)}});
    cut.pop_back();
    EXPECT_FALSE(PrivateScript::FromBytes("b.asc", cut, &error));
    EXPECT_NE(error.find("b.asc: offset 32"), std::string::npos) << error;
    EXPECT_FALSE(PrivateScript::FromBytes("c.asc", Script({{0x05, {}}}), &error));
    EXPECT_FALSE(PrivateScript::FromBytes("d.asc", Script({{tools::CMD_DELAY, {1}}}), &error))
        << "a delay without its two bytes";
    EXPECT_FALSE(PrivateScript::Prepare("/nonexistent/upgrader.asc", &error));
}

TEST(PrivateScript, LongestQuietAddsUpTheWaitsBetweenTwoProgressSteps) {
    // Three small records share one percent of a long script: their waits
    // (15 s, a 20 s delay, 5 s) run without a line between them.
    std::vector<std::pair<std::uint8_t, std::vector<std::uint8_t>>> records = {
        {tools::CMD_WAIT, {}}, {tools::CMD_DELAY, {0, 20}}, {tools::CMD_SEND_F1, {1, 2}}};
    for (int i = 0; i < 20; ++i)
        records.push_back({tools::CMD_SEND_F2, std::vector<std::uint8_t>(1000, 3)});
    std::string error;
    auto script = PrivateScript::FromBytes("q.asc", Script(records), &error);
    ASSERT_TRUE(script) << error;
    EXPECT_EQ(script->longestQuiet(), std::chrono::seconds(40));
}

TEST(PrivateScript, PayloadAtCountsTheSendsConsumed) {
    std::string error;
    auto script = PrivateScript::FromBytes("p.asc",
                                           Script({{tools::CMD_OPEN_PORT, {}},
                                                   {tools::CMD_SEND_F1, std::vector<std::uint8_t>(100, 1)},
                                                   {tools::CMD_DELAY, {0, 1}},
                                                   {tools::CMD_SEND_F2, std::vector<std::uint8_t>(50, 2)}}),
                                           &error);
    ASSERT_TRUE(script) << error;
    EXPECT_EQ(script->PayloadAt(0), 0u);
    EXPECT_EQ(script->PayloadAt(3), 0u);    // the open record
    EXPECT_EQ(script->PayloadAt(105), 0u);  // the send's last byte not yet consumed
    EXPECT_EQ(script->PayloadAt(106), 100u);
    EXPECT_EQ(script->PayloadAt(111), 100u);  // through the delay
    EXPECT_EQ(script->PayloadAt(164), 150u);
    EXPECT_EQ(script->payloadTotal(), 150u);
}

}  // namespace
}  // namespace station
