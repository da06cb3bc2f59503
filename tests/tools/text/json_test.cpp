// JSON strings under both policies: what every program escapes alike, and
// what the policy changes (text outside ASCII).
#include <gtest/gtest.h>

#include <string>

#include "tools/text/json.h"

namespace text {
namespace {

TEST(JsonString, BothPoliciesEscapeQuoteBackslashAndControls) {
    for (const JsonPolicy policy : {JsonPolicy::Utf8, JsonPolicy::Ascii}) {
        EXPECT_EQ(JsonString(std::string_view("a\"b\\c\n\r\t\b\f"), policy), R"("a\"b\\c\n\r\t\b\f")");
        EXPECT_EQ(JsonString(std::string_view("\x1b[2J\x01\x7f\0", 7), policy), R"("\u001b[2J\u0001\u007f\u0000")");
        EXPECT_EQ(JsonString(std::wstring_view(L"\x1b\"\\"), policy), R"("\u001b\"\\")");
    }
}

TEST(JsonString, Utf8PolicyPassesValidTextAndAsciiPolicyEscapesIt) {
    const std::string_view utf8 = "\xc3\xa4\xe7\xbb\x88\xf0\x9f\x98\x80\xe2\x80\xae";
    EXPECT_EQ(JsonString(utf8, JsonPolicy::Utf8), "\"" + std::string(utf8) + "\"");
    EXPECT_EQ(JsonString(utf8, JsonPolicy::Ascii), R"("\u00e4\u7ec8\ud83d\ude00\u202e")");
    const std::wstring_view wide = L"\u00e4\u7ec8\U0001F600\u202e";
    EXPECT_EQ(JsonString(wide, JsonPolicy::Utf8), "\"" + std::string(utf8) + "\"");
    EXPECT_EQ(JsonString(wide, JsonPolicy::Ascii), R"("\u00e4\u7ec8\ud83d\ude00\u202e")");
}

TEST(JsonString, BrokenTextBecomesReplacementsUnderBothPolicies) {
    for (const JsonPolicy policy : {JsonPolicy::Utf8, JsonPolicy::Ascii}) {
        EXPECT_EQ(JsonString(std::string_view("ok\xff\xc3(\xe2\x82\""), policy), R"("ok\ufffd\ufffd(\ufffd\ufffd\"")")
            << "a quote ending a broken sequence is still escaped";
        EXPECT_EQ(JsonString(std::wstring(1, static_cast<wchar_t>(0xDC00)), policy), R"("\ufffd")");
    }
}

}  // namespace
}  // namespace text
