// Text for a terminal: the characters neutralised are the same in both
// styles and for both kinds of input; only the notation differs.
#include <gtest/gtest.h>

#include <string>

#include "tools/text/terminal.h"
#include "tools/text/utf8.h"

namespace text {
namespace {

TEST(TerminalText, OrdinaryTextPassesUnchangedInBothStyles) {
    const std::string utf8 = "Kasse \xc3\xa4 \xe7\xbb\x88\xe7\xab\xaf (ttyACM0) \xf0\x9f\x98\x80 #12-b";
    for (const TerminalStyle style : {TerminalStyle::Named, TerminalStyle::Bytes}) {
        EXPECT_EQ(TerminalText(utf8, style), utf8);
        EXPECT_EQ(TerminalText(std::wstring_view(Utf8ToWide(utf8)), style), Utf8ToWide(utf8));
    }
}

TEST(TerminalText, CharactersThatReorderOrHideTextAreShownAsEscapes) {
    // Right-to-left override, zero-width space and joiner, a bidi isolate,
    // the Arabic letter mark, a line separator and a byte-order mark.
    const std::wstring hostile = L"A\u202eB\u200bC\u200dD\u2066E\u061cF\u2028G\ufeff";
    EXPECT_EQ(TerminalText(std::wstring_view(hostile), TerminalStyle::Named),
              L"A\\u202EB\\u200BC\\u200DD\\u2066E\\u061CF\\u2028G\\uFEFF");
    EXPECT_EQ(TerminalText(WideToUtf8(hostile), TerminalStyle::Bytes),
              "A\\u202eB\\u200bC\\u200dD\\u2066E\\u061cF\\u2028G\\ufeff");
}

TEST(TerminalText, NamedStyleNamesCommonControlsAndKeepsBackslashes) {
    EXPECT_EQ(TerminalText(std::wstring_view(L"a\x1b[31mb\nc\rd\te\x07\x7f\x85"), TerminalStyle::Named),
              L"a\\e[31mb\\nc\\rd\\te\\x07\\x7F\\u0085");
    EXPECT_EQ(TerminalText(std::wstring_view(L"USB\\VID_03EB"), TerminalStyle::Named), L"USB\\VID_03EB");
    EXPECT_EQ(TerminalText(std::wstring(1, static_cast<wchar_t>(0xD800)), TerminalStyle::Named), L"\\uD800");
}

TEST(TerminalText, BytesStyleShowsEveryControlAndBadByteAsHexAndDoublesBackslashes) {
    EXPECT_EQ(TerminalText("Q\n\x1b[31m\x7f", TerminalStyle::Bytes), "Q\\x0a\\x1b[31m\\x7f");
    EXPECT_EQ(TerminalText("\xc2\x9b"
                           "2J\x9b",
                           TerminalStyle::Bytes),
              "\\u009b2J\\x9b");
    EXPECT_EQ(TerminalText("a\\x1b", TerminalStyle::Bytes), "a\\\\x1b");
}

TEST(TerminalText, Utf8AndWideInputAgreeOnHostileText) {
    const std::string utf8 =
        "S\xe2\x80\xae"
        "N\x1b]0;x\x07\xc2\x85\xe2\x81\xa9 \xc3\xa4";
    for (const TerminalStyle style : {TerminalStyle::Named, TerminalStyle::Bytes}) {
        EXPECT_EQ(TerminalText(utf8, style), WideToUtf8(TerminalText(std::wstring_view(Utf8ToWide(utf8)), style)));
    }
}

}  // namespace
}  // namespace text
