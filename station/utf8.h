// UTF-8 for the station's outputs: one strict decoding step (no overlong
// forms, no surrogates, nothing past U+10FFFF) shared by the JSON log and
// the screen, and wide text (a device's strings) to UTF-8. Not here: any
// escaping; each output escapes in its own file.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace station {

// The code point at text[at] and its length in bytes. False for a byte that
// does not start a valid sequence; *length is then 1.
bool DecodeUtf8(std::string_view text, std::size_t at, char32_t* code, std::size_t* length);

// Appends the UTF-8 form of a code point (U+FFFD for a surrogate or one
// past U+10FFFF).
void AppendUtf8(std::string& out, char32_t code);

// UTF-16 (Windows) or UTF-32 wide text to UTF-8; a lone surrogate or a
// value that is no code point becomes U+FFFD.
std::string WideToUtf8(std::wstring_view text);

}  // namespace station
