// Text made safe for a terminal; see terminal.h.
#include "tools/text/terminal.h"

#include "tools/text/utf8.h"

namespace text {
namespace {

template <typename String>
void AppendHex(String& out, const char* prefix, char32_t value, int digits, TerminalStyle style) {
    const char* hex = style == TerminalStyle::Named ? "0123456789ABCDEF" : "0123456789abcdef";
    while (digits < 8 && (value >> (4 * digits)) != 0)
        ++digits;
    for (const char* p = prefix; *p != '\0'; ++p)
        out += static_cast<typename String::value_type>(*p);
    for (int shift = 4 * (digits - 1); shift >= 0; shift -= 4) {
        out += static_cast<typename String::value_type>(hex[(value >> shift) & 15]);
    }
}

template <typename String>
void AppendControl(String& out, char32_t code, TerminalStyle style) {
    using Char = typename String::value_type;
    if (style == TerminalStyle::Named) {
        const char* name = code == '\n'   ? "\\n"
                           : code == '\r' ? "\\r"
                           : code == '\t' ? "\\t"
                           : code == 0x1B ? "\\e"
                                          : nullptr;
        if (name != nullptr) {
            out += static_cast<Char>(name[0]);
            out += static_cast<Char>(name[1]);
            return;
        }
    }
    AppendHex(out, "\\x", code, 2, style);
}

// A code point that decoded cleanly; `raw` is how it came in.
template <typename String>
void AppendShown(String& out, char32_t code, std::basic_string_view<typename String::value_type> raw,
                 TerminalStyle style) {
    if (code < 0x20 || code == 0x7F) {
        AppendControl(out, code, style);
    } else if (Neutralised(code)) {
        AppendHex(out, "\\u", code, 4, style);
    } else if (code == '\\' && style == TerminalStyle::Bytes) {
        out += static_cast<typename String::value_type>('\\');
        out += static_cast<typename String::value_type>('\\');
    } else {
        out.append(raw);
    }
}

}  // namespace

bool Neutralised(char32_t code) {
    return code < 0x20 || code == 0x7F || (code >= 0x80 && code < 0xA0) || code == 0x061C ||
           (code >= 0x200B && code <= 0x200F) || (code >= 0x2028 && code <= 0x202E) ||
           (code >= 0x2060 && code <= 0x2069) || code == 0xFEFF || IsSurrogate(code) || code > 0x10FFFF;
}

std::string TerminalText(std::string_view utf8, TerminalStyle style) {
    std::string out;
    out.reserve(utf8.size());
    for (std::size_t at = 0; at < utf8.size();) {
        char32_t code = 0;
        std::size_t length = 1;
        if (DecodeUtf8(utf8, at, &code, &length)) {
            AppendShown(out, code, utf8.substr(at, length), style);
        } else {
            AppendHex(out, "\\x", code, 2, style);
        }
        at += length;
    }
    return out;
}

std::wstring TerminalText(std::wstring_view wide, TerminalStyle style) {
    std::wstring out;
    out.reserve(wide.size());
    for (std::size_t at = 0; at < wide.size();) {
        std::size_t length = 1;
        const char32_t code = DecodeWide(wide, at, &length);
        AppendShown(out, code, wide.substr(at, length), style);
        at += length;
    }
    return out;
}

}  // namespace text
