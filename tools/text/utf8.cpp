// The UTF-8 and wide-text codec; see utf8.h.
#include "tools/text/utf8.h"

#include <type_traits>

namespace text {

bool IsSurrogate(char32_t code) { return code >= 0xD800 && code <= 0xDFFF; }

bool DecodeUtf8(std::string_view text, std::size_t at, char32_t* code, std::size_t* length) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
    const unsigned char lead = byte(at);
    *length = 1;
    *code = lead;
    if (lead < 0x80)
        return true;
    // 0xC0 and 0xC1 could only start an overlong form, 0xF5 and up a value
    // past U+10FFFF: neither starts a sequence at all.
    std::size_t extra;
    char32_t least;
    if (lead >= 0xC2 && lead <= 0xDF) {
        extra = 1, least = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        extra = 2, least = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        extra = 3, least = 0x10000;
    } else {
        return false;
    }
    if (text.size() - at <= extra)
        return false;
    char32_t value = lead & (0x3F >> extra);
    for (std::size_t k = 1; k <= extra; ++k) {
        const unsigned char next = byte(at + k);
        if ((next & 0xC0) != 0x80)
            return false;
        value = (value << 6) | (next & 0x3F);
    }
    if (value < least || value > 0x10FFFF || IsSurrogate(value))
        return false;
    *code = value;
    *length = extra + 1;
    return true;
}

char32_t DecodeWide(std::wstring_view text, std::size_t at, std::size_t* length) {
    // Through the unsigned type of the same width: a negative wchar_t (glibc's
    // is signed) must become a value past U+10FFFF, not wrap into range.
    using Unit = std::make_unsigned_t<wchar_t>;
    const char32_t code = static_cast<Unit>(text[at]);
    *length = 1;
    if (code >= 0xD800 && code <= 0xDBFF && at + 1 < text.size()) {
        const char32_t low = static_cast<Unit>(text[at + 1]);
        if (low >= 0xDC00 && low <= 0xDFFF) {
            *length = 2;
            return 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
        }
    }
    return code;
}

void AppendUtf8(std::string& out, char32_t code) {
    if (code > 0x10FFFF || IsSurrogate(code))
        code = kReplacement;
    if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (code < 0x800) {
        out += static_cast<char>(0xC0 | (code >> 6));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
        out += static_cast<char>(0xE0 | (code >> 12));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (code >> 18));
        out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (code & 0x3F));
    }
}

void AppendWide(std::wstring& out, char32_t code) {
    if constexpr (sizeof(wchar_t) == 2) {
        if (code >= 0x10000 && code <= 0x10FFFF) {
            out += static_cast<wchar_t>(0xD800 + ((code - 0x10000) >> 10));
            out += static_cast<wchar_t>(0xDC00 + ((code - 0x10000) & 0x3FF));
            return;
        }
    }
    out += static_cast<wchar_t>(code);
}

std::string WideToUtf8(std::wstring_view wide) {
    std::string out;
    out.reserve(wide.size());
    for (std::size_t at = 0; at < wide.size();) {
        std::size_t length = 1;
        AppendUtf8(out, DecodeWide(wide, at, &length));
        at += length;
    }
    return out;
}

std::wstring Utf8ToWide(std::string_view utf8) {
    std::wstring out;
    out.reserve(utf8.size());
    for (std::size_t at = 0; at < utf8.size();) {
        char32_t code = 0;
        std::size_t length = 1;
        AppendWide(out, DecodeUtf8(utf8, at, &code, &length) ? code : kReplacement);
        at += length;
    }
    return out;
}

}  // namespace text
