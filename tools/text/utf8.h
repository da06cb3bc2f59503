// UTF-8 and the platform's wide text (UTF-16 on Windows, UTF-32 on glibc),
// converted by hand rather than by the C library, whose conversions follow
// the locale: file names, device strings and logs must come out the same
// whatever LANG says. Not here: escaping (json.h, terminal.h) or any other
// code page.
//
// One rule everywhere: a byte that does not start a valid UTF-8 sequence
// (overlong forms, surrogates and values past U+10FFFF included) is one bad
// byte, and becomes one U+FFFD where text is converted.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace text {

inline constexpr char32_t kReplacement = 0xFFFD;

// The code point at text[at] and its length in bytes. False for a byte that
// does not start a valid sequence; *code is then that byte and *length 1.
bool DecodeUtf8(std::string_view text, std::size_t at, char32_t* code, std::size_t* length);

// The code point at text[at] and its length in wide characters: a surrogate
// pair (text that came from UTF-16, even where wchar_t is 32 bits) is joined
// into one. A lone surrogate or a value past U+10FFFF is returned as it is,
// for the caller to replace or escape.
char32_t DecodeWide(std::wstring_view text, std::size_t at, std::size_t* length);

// The UTF-8 form of a code point; a surrogate or a value past U+10FFFF
// becomes U+FFFD.
void AppendUtf8(std::string& out, char32_t code);
// The wide form of a code point: a surrogate pair where wchar_t is 16 bits.
void AppendWide(std::wstring& out, char32_t code);

bool IsSurrogate(char32_t code);

std::string WideToUtf8(std::wstring_view wide);
std::wstring Utf8ToWide(std::string_view utf8);

}  // namespace text
