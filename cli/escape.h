// Text from outside the program made safe for where vantrel-cli prints it:
// a terminal (names and IDs a USB device picked for itself, shown by
// --list --verbose and the progress line) and JSON strings (--json). The
// rules are the ones every program shares (tools/text/); what is chosen
// here is the cli's notation, which scripts already read.
//
// Both take the platform's wide text (UTF-32 here, UTF-16 on Windows): the
// device strings arrive as such, and bytes that were not UTF-8 on the way in
// have already become code points of their own (U+0080..U+00FF).
#pragma once

#include <string>

#include "tools/text/json.h"
#include "tools/text/terminal.h"

namespace cli {

// For a terminal or a log a person reads: printable text as it is; C0
// controls and DEL as \n, \r, \t, \e or \xNN; C1 controls, lone surrogates
// and the characters that reorder or hide text (bidi controls, zero-width
// marks, line and paragraph separators, BOM) as \uNNNN. A backslash stays as
// it is: Windows IDs are full of them.
inline std::wstring Printable(const std::wstring& text) {
    return text::TerminalText(std::wstring_view(text), text::TerminalStyle::Named);
}

// A JSON string, quotes included, in plain ASCII: quote, backslash and
// controls escaped (\", \\, \n, \u001b), every other character outside
// ASCII as \uNNNN (a surrogate pair above U+FFFF), so the bytes are the same
// whatever the console's code page. A lone surrogate becomes \ufffd.
inline std::string JsonString(const std::wstring& text) {
    return text::JsonString(std::wstring_view(text), text::JsonPolicy::Ascii);
}
// The same for our own ASCII or UTF-8 texts (result words, port names typed
// by the user); invalid UTF-8 becomes \ufffd.
inline std::string JsonString(const std::string& utf8) {
    return text::JsonString(std::string_view(utf8), text::JsonPolicy::Ascii);
}

}  // namespace cli
