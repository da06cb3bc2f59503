// What reaches the terminal from device strings, and the table's columns.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "station/screen.h"

namespace station {
namespace {

TEST(ScreenText, ShowsControlCharactersAndEscapeSequencesAsText) {
    EXPECT_EQ(ScreenText("Q\"\n\x1b[31mX"), "Q\"\\x0a\\x1b[31mX");
    EXPECT_EQ(ScreenText(std::string("\r\x7f\0", 3)), "\\x0d\\x7f\\x00");
    EXPECT_EQ(ScreenText("a\\x1b"), "a\\\\x1b") << "a backslash is doubled, so the text cannot pose as an escape";
}

TEST(ScreenText, ShowsC1ControlsAndInvalidUtf8AsText) {
    EXPECT_EQ(ScreenText("\xc2\x9b"
                         "2J"),
              "\\u009b2J")
        << "CSI as a C1 control";
    EXPECT_EQ(ScreenText("\x9b"
                         "2J"),
              "\\x9b2J")
        << "CSI as a lone byte";
    EXPECT_EQ(ScreenText("\xc3\xa4\xe2\x82"), "\xc3\xa4\\xe2\\x82");
}

TEST(Column, PadsAndCutsByCharacters) {
    EXPECT_EQ(Column("ab", 5), "ab   ");
    EXPECT_EQ(Column("abcdefgh", 5), "abc~ ");
    EXPECT_EQ(Column("\xc3\xa4\xc3\xa4", 4), "\xc3\xa4\xc3\xa4  ");
}

TEST(EventLines, DeviceStringsAreEscapedInEveryLine) {
    std::string text;
    {
        Output out([&](const std::string& bytes) {
            text += bytes;
            return true;
        });
        auto screen = MakeEventLines(out);
        RunEvent start;
        start.port = "ttyACM0";
        start.serial = "\x1b]0;owned\x07";
        start.location = "1-1\x1b[H";
        screen->Event(start);
        RunRecord r;
        r.port = "tty\x1b[2J";
        r.result = "success";
        r.exitCode = 0;
        r.slot = "A\n1";
        r.attempt = 2;
        screen->End(r);
        ASSERT_TRUE(out.Drain(std::chrono::seconds(5)));
    }
    EXPECT_EQ(text.find('\x1b'), std::string::npos);
    EXPECT_EQ(text.find('\x07'), std::string::npos);
    EXPECT_NE(text.find("start: ttyACM0 serial=\\x1b]0;owned\\x07 location=1-1\\x1b[H\n"), std::string::npos) << text;
    EXPECT_NE(text.find("end: tty\\x1b[2J success exit=0"), std::string::npos) << text;
    EXPECT_NE(text.find(" slot=A\\x0a1 attempt=2\n"), std::string::npos) << text;
}

TEST(Screen, AHostileSerialCannotReorderOrHideTheTableOrTheLines) {
    // U+202E would show the rest of the row right to left; U+200B hides where
    // one part of the serial ends.
    const std::string serial =
        "SN\xe2\x80\xae"
        "4321\xe2\x80\x8b"
        "X";
    std::string text;
    {
        Output out([&](const std::string& bytes) {
            text += bytes;
            return true;
        });
        TerminalRow row;
        row.port = "ttyACM0";
        row.serial = serial;
        row.state = "running";
        MakeLiveTable(out)->Refresh({row}, "0 done", true);
        RunEvent start;
        start.port = "ttyACM0";
        start.serial = serial;
        MakeEventLines(out)->Event(start);
        ASSERT_TRUE(out.Drain(std::chrono::seconds(5)));
    }
    EXPECT_EQ(text.find("\xe2\x80\xae"), std::string::npos) << text;
    EXPECT_EQ(text.find("\xe2\x80\x8b"), std::string::npos) << text;
    EXPECT_NE(text.find("ttyACM0       SN\\u202e4321\\u200bX "), std::string::npos) << "the table row: " << text;
    EXPECT_NE(text.find("start: ttyACM0 serial=SN\\u202e4321\\u200bX\n"), std::string::npos) << text;
}

}  // namespace
}  // namespace station
