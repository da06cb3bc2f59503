// The slot map's reading: what a fixture's file may hold and the one
// message a bad map gets.
#include <gtest/gtest.h>

#include "station/slots.h"
#include "tests/tools/harness.h"

namespace station {
namespace {

TEST(SlotMap, ReadsPairsInOrderWithCommentsBlankLinesAndSpaces) {
    std::string error;
    const auto map = SlotMap::Parse(
        "# fixture 3\n\n1-1.1   A1\n\t1-1.2 A 2  # the second socket\r\n"
        "Port_#0003.Hub_#0002 B1\n",
        "f", &error);
    ASSERT_TRUE(map) << error;
    ASSERT_EQ(map->slots().size(), 3u);
    EXPECT_EQ(map->slots()[1], (std::pair<std::string, std::string>{"1-1.2", "A 2"}));
    EXPECT_EQ(map->LabelOf("Port_#0003.Hub_#0002"), "B1");
    EXPECT_EQ(map->LabelOf("1-1.3"), "");
    EXPECT_EQ(map->LabelOf(""), "") << "a unit without a location is in no slot";
}

TEST(SlotMap, ABadMapNamesTheLineAndTheCause) {
    std::string error;
    EXPECT_FALSE(SlotMap::Parse("1-1 A1\n1-2 B1\n1-1 C1\n", "map.txt", &error));
    EXPECT_EQ(error, "map.txt line 3: the location 1-1 is mapped twice (line 1)");
    EXPECT_FALSE(SlotMap::Parse("1-1 A1\n# x\n1-2 A1\n", "map.txt", &error));
    EXPECT_EQ(error, "map.txt line 3: the label A1 is given twice (line 1)");
    EXPECT_FALSE(SlotMap::Parse("1-1 A1\n1-2   # no label\n", "map.txt", &error));
    EXPECT_EQ(error, "map.txt line 2: the location 1-2 has an empty label");
    EXPECT_FALSE(SlotMap::Parse("1-1 A\x1b[2J\n", "map.txt", &error));
    EXPECT_EQ(error, "map.txt line 1: a control character");
    EXPECT_FALSE(SlotMap::Parse("# nothing\n", "map.txt", &error));
    EXPECT_EQ(error, "map.txt: no slot in it");
    EXPECT_FALSE(SlotMap::Load("/nonexistent/map.txt", &error));
    EXPECT_EQ(error, "/nonexistent/map.txt: cannot be read");
}

TEST(SlotMap, LoadsAFile) {
    tools::testing::TempDir dir;
    tools::testing::WriteText(dir.path("slots"), "2-1 left\n2-2 right\n");
    std::string error;
    const auto map = SlotMap::Load(dir.path("slots"), &error);
    ASSERT_TRUE(map) << error;
    EXPECT_EQ(map->LabelOf("2-2"), "right");
}

}  // namespace
}  // namespace station
