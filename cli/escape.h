// Text from outside the program made safe for where it is printed: a
// terminal (names and IDs a USB device picked for itself, shown by
// --list --verbose and the progress line) and JSON strings (--json).
// Neither passes on a control character or an escape sequence.
//
// Both take the platform's wide text (UTF-32 here, UTF-16 on Windows): the
// device strings arrive as such, and bytes that were not UTF-8 on the way in
// have already become code points of their own (U+0080..U+00FF).
#pragma once

#include <string>

namespace cli {

// For a terminal or a log a person reads: printable text as it is; C0
// controls and DEL as \n, \r, \t, \e or \xNN; C1 controls, lone surrogates
// and the characters that reorder or hide text (bidi controls, zero-width
// marks, line and paragraph separators, BOM) as \uNNNN. A backslash stays as
// it is: Windows IDs are full of them.
std::wstring Printable(const std::wstring& text);

// A JSON string, quotes included, in plain ASCII: quote, backslash and
// controls escaped (\", \\, \n, \u001b), every other character outside
// ASCII as \uNNNN (a surrogate pair above U+FFFF), so the bytes are the same
// whatever the console's code page. A lone surrogate becomes \ufffd.
std::string JsonString(const std::wstring& text);
// The same for our own ASCII or UTF-8 texts (result words, port names typed
// by the user); invalid UTF-8 becomes \ufffd.
std::string JsonString(const std::string& utf8);

}  // namespace cli
