// The UTF-8 and wide-text codec: what counts as valid, what a bad byte
// becomes, and surrogate pairs from UTF-16.
#include <gtest/gtest.h>

#include <string>

#include "tools/text/utf8.h"

namespace text {
namespace {

const std::wstring kReplaced(1, static_cast<wchar_t>(kReplacement));

TEST(Utf8, EveryLengthOfSequenceSurvivesTheRoundTrip) {
    const std::string utf8 = "A \xc3\xa4 \xe7\xbb\x88 \xf0\x9f\x98\x80 \xf4\x8f\xbf\xbf";
    const std::wstring wide = Utf8ToWide(utf8);
    EXPECT_EQ(wide, L"A \u00e4 \u7ec8 \U0001F600 \U0010FFFF");
    EXPECT_EQ(WideToUtf8(wide), utf8);
}

TEST(Utf8, EachByteOfABadSequenceBecomesOneReplacement) {
    EXPECT_EQ(Utf8ToWide("\xc0\xaf"), kReplaced + kReplaced) << "an overlong '/'";
    EXPECT_EQ(Utf8ToWide("\xed\xa0\x80"), kReplaced + kReplaced + kReplaced) << "a UTF-16 surrogate";
    EXPECT_EQ(Utf8ToWide("\xf4\x90\x80\x80"), kReplaced + kReplaced + kReplaced + kReplaced) << "past U+10FFFF";
    EXPECT_EQ(Utf8ToWide("a\xe2\x82"), L"a" + kReplaced + kReplaced) << "cut off at the end";
    EXPECT_EQ(Utf8ToWide("\xe2\x82(b"), kReplaced + kReplaced + L"(b") << "the byte that broke it is kept";
    EXPECT_EQ(Utf8ToWide("\xff\x80"), kReplaced + kReplaced);
}

TEST(Utf8, DecodingReportsTheLengthOfAValidSequenceAndOneForABadByte) {
    char32_t code = 0;
    std::size_t length = 0;
    EXPECT_TRUE(DecodeUtf8("x\xe2\x82\xac", 1, &code, &length));
    EXPECT_EQ(code, U'\u20ac');
    EXPECT_EQ(length, 3u);
    EXPECT_FALSE(DecodeUtf8("\xe2\x82", 0, &code, &length));
    EXPECT_EQ(code, 0xe2u);
    EXPECT_EQ(length, 1u);
}

TEST(Utf8, SurrogatePairsJoinAndLoneSurrogatesAreReplaced) {
    const wchar_t text[] = {0xD83D, 0xDE00, L'!', 0xDC00, L'x', 0xD800, 0};
    EXPECT_EQ(WideToUtf8(text), "\xf0\x9f\x98\x80!\xef\xbf\xbdx\xef\xbf\xbd");
}

TEST(Utf8, WideTextHoldsCodePointsAsThePlatformDoes) {
    // UTF-16 pairs where wchar_t is 16 bits, one unit each where it is 32.
    const std::wstring wide = Utf8ToWide("\xf0\x9f\x98\x80");
    EXPECT_EQ(wide.size(), sizeof(wchar_t) == 2 ? 2u : 1u);
    std::size_t length = 0;
    EXPECT_EQ(DecodeWide(wide, 0, &length), U'\U0001F600');
    EXPECT_EQ(length, wide.size());
    if constexpr (sizeof(wchar_t) == 4) {
        const wchar_t beyond[] = {static_cast<wchar_t>(0x110000), static_cast<wchar_t>(-1), 0};
        EXPECT_EQ(WideToUtf8(beyond), "\xef\xbf\xbd\xef\xbf\xbd") << "no code point, so no UTF-8 form";
    }
}

}  // namespace
}  // namespace text
