// JSON strings, quotes included, for text from outside the program: a
// device's serial number or name, a port typed by the user. Whatever the
// text holds, the result is one valid JSON string on one line: quote,
// backslash and every control character escaped, and every byte that is not
// part of valid UTF-8 (or a lone surrogate in wide text) as \ufffd.
// Not here: the objects around the strings; each program writes its own.
#pragma once

#include <string>
#include <string_view>

namespace text {

// What happens to the characters outside ASCII, each program's choice:
enum class JsonPolicy {
    // Written as they are, in UTF-8: a log a person reads in any editor.
    Utf8,
    // As \uXXXX (a surrogate pair above U+FFFF): plain ASCII, the same bytes
    // whatever a Windows console's code page.
    Ascii,
};

// Quote, backslash, \n \r \t \b \f by name; other controls (C0 and DEL)
// as \u00xx.
std::string JsonString(std::string_view utf8, JsonPolicy policy);
std::string JsonString(std::wstring_view wide, JsonPolicy policy);

}  // namespace text
