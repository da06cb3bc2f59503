// Text from outside the program made safe to print on a terminal: the
// strings a USB device picked for itself (serial number, name, IDs) and
// anything else a person did not type. No control character or escape
// sequence reaches the terminal raw, and neither does a character that
// reorders or hides the text around it, with which a serial number could
// pose as another or rearrange a table: C0 controls and DEL, C1 controls,
// the bidi controls (U+061C, U+200E/F, U+202A..E, U+2066..9), the
// zero-width and invisible characters (U+200B..D, U+2060..5, U+FEFF), the
// line and paragraph separators, lone surrogates and values past U+10FFFF.
// Everything else is printed as it is. Not here: JSON (json.h).
#pragma once

#include <string>
#include <string_view>

namespace text {

// How the neutralised characters are written; each program keeps the
// notation its users and scripts already read.
enum class TerminalStyle {
    // \n \r \t \e for those four, \xNN for the other C0 controls and DEL,
    // \uNNNN for the rest, hex in upper case. A backslash stays as it is:
    // Windows device IDs are full of them.
    Named,
    // \xhh for every C0 control, DEL and byte outside valid UTF-8, \uhhhh for
    // the rest, hex in lower case. A backslash is doubled, so the text cannot
    // pose as an escape.
    Bytes,
};

// Whether a code point is one the terminal must not get raw.
bool Neutralised(char32_t code);

std::string TerminalText(std::string_view utf8, TerminalStyle style);
std::wstring TerminalText(std::wstring_view wide, TerminalStyle style);

}  // namespace text
