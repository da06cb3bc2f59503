// Escaping of untrusted text for terminals and JSON. See escape.h.
#include "cli/escape.h"

#include <cstdio>

namespace cli {
namespace {

// The code points of a wide text: UTF-32 as it is, UTF-16 with its pairs
// joined; a lone surrogate comes out as itself, for the caller to escape.
template <typename Visit>
void ForEachCodePoint(const std::wstring& text, Visit visit) {
    for (size_t i = 0; i < text.size(); ++i) {
        char32_t c = static_cast<char32_t>(text[i]);
        if constexpr (sizeof(wchar_t) == 2) {
            if (c >= 0xD800 && c <= 0xDBFF && i + 1 < text.size()) {
                const char32_t low = static_cast<char32_t>(text[i + 1]);
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    c = 0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00);
                    ++i;
                }
            }
        }
        visit(c);
    }
}

bool Surrogate(char32_t c) { return c >= 0xD800 && c <= 0xDFFF; }

// Characters that change how the text around them is shown without being
// seen themselves: a device name could use them to pass for another.
bool Invisible(char32_t c) {
    return (c >= 0x200B && c <= 0x200F) || (c >= 0x2028 && c <= 0x202E) || (c >= 0x2060 && c <= 0x2069) ||
           c == 0xFEFF;
}

template <typename Char>
std::basic_string<Char> Hex(const char* format, unsigned value) {
    char buffer[16];
    std::snprintf(buffer, sizeof buffer, format, value);
    return std::basic_string<Char>(buffer, buffer + std::char_traits<char>::length(buffer));
}

void AppendWide(std::wstring& out, char32_t c) {
    if constexpr (sizeof(wchar_t) == 2) {
        if (c >= 0x10000) {
            out += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
            return;
        }
    }
    out += static_cast<wchar_t>(c);
}

void AppendJson(std::string& out, char32_t c) {
    switch (c) {
    case '"': out += "\\\""; return;
    case '\\': out += "\\\\"; return;
    case '\n': out += "\\n"; return;
    case '\r': out += "\\r"; return;
    case '\t': out += "\\t"; return;
    case '\b': out += "\\b"; return;
    case '\f': out += "\\f"; return;
    default: break;
    }
    if (c >= 0x20 && c < 0x7F) {
        out += static_cast<char>(c);
    } else if (Surrogate(c) || c > 0x10FFFF) {
        out += "\\ufffd";
    } else if (c >= 0x10000) {
        out += Hex<char>("\\u%04x", 0xD800 + ((c - 0x10000) >> 10));
        out += Hex<char>("\\u%04x", 0xDC00 + ((c - 0x10000) & 0x3FF));
    } else {
        out += Hex<char>("\\u%04x", c);
    }
}

}  // namespace

std::wstring Printable(const std::wstring& text) {
    std::wstring out;
    out.reserve(text.size());
    ForEachCodePoint(text, [&](char32_t c) {
        if (c == '\n') {
            out += L"\\n";
        } else if (c == '\r') {
            out += L"\\r";
        } else if (c == '\t') {
            out += L"\\t";
        } else if (c == 0x1B) {
            out += L"\\e";
        } else if (c < 0x20 || c == 0x7F) {
            out += Hex<wchar_t>("\\x%02X", c);
        } else if ((c >= 0x80 && c < 0xA0) || Surrogate(c) || Invisible(c) || c > 0x10FFFF) {
            out += Hex<wchar_t>("\\u%04X", c);
        } else {
            AppendWide(out, c);
        }
    });
    return out;
}

std::string JsonString(const std::wstring& text) {
    std::string out = "\"";
    ForEachCodePoint(text, [&](char32_t c) { AppendJson(out, c); });
    return out + "\"";
}

std::string JsonString(const std::string& utf8) {
    std::string out = "\"";
    const auto byte = [&](size_t k) { return static_cast<unsigned char>(utf8[k]); };
    for (size_t i = 0; i < utf8.size();) {
        const unsigned char lead = byte(i);
        size_t length = lead < 0x80 ? 1 : (lead & 0xE0) == 0xC0 ? 2 : (lead & 0xF0) == 0xE0 ? 3 : (lead & 0xF8) == 0xF0 ? 4 : 0;
        char32_t c = length == 1 ? lead : length == 2 ? lead & 0x1F : length == 3 ? lead & 0x0F : lead & 0x07;
        bool valid = length > 0 && i + length <= utf8.size();
        for (size_t k = 1; valid && k < length; ++k) {
            valid = (byte(i + k) & 0xC0) == 0x80;
            c = (c << 6) | (byte(i + k) & 0x3F);
        }
        static constexpr char32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        if (valid && (c < kLeast[length] || Surrogate(c) || c > 0x10FFFF)) valid = false;
        if (!valid) {
            out += "\\ufffd";
            ++i;
            continue;
        }
        AppendJson(out, c);
        i += length;
    }
    return out + "\"";
}

}  // namespace cli
