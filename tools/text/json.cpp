// JSON string escaping; see json.h.
#include "tools/text/json.h"

#include "tools/text/utf8.h"

namespace text {
namespace {

constexpr char kHex[] = "0123456789abcdef";

void AppendEscape(std::string& out, char32_t unit) {
    out += "\\u";
    for (int shift = 12; shift >= 0; shift -= 4)
        out += kHex[(unit >> shift) & 15];
}

// One code point that decoded cleanly; `raw` is its UTF-8 form in the input
// (empty for wide input, where it has to be made).
void AppendCode(std::string& out, char32_t code, std::string_view raw, JsonPolicy policy) {
    switch (code) {
        case '"':
            out += "\\\"";
            return;
        case '\\':
            out += "\\\\";
            return;
        case '\n':
            out += "\\n";
            return;
        case '\r':
            out += "\\r";
            return;
        case '\t':
            out += "\\t";
            return;
        case '\b':
            out += "\\b";
            return;
        case '\f':
            out += "\\f";
            return;
        default:
            break;
    }
    if (code < 0x20 || code == 0x7F) {
        AppendEscape(out, code);
    } else if (code < 0x80) {
        out += static_cast<char>(code);
    } else if (IsSurrogate(code) || code > 0x10FFFF) {
        out += "\\ufffd";
    } else if (policy == JsonPolicy::Utf8) {
        if (raw.empty()) {
            AppendUtf8(out, code);
        } else {
            out.append(raw);
        }
    } else if (code >= 0x10000) {
        AppendEscape(out, 0xD800 + ((code - 0x10000) >> 10));
        AppendEscape(out, 0xDC00 + ((code - 0x10000) & 0x3FF));
    } else {
        AppendEscape(out, code);
    }
}

}  // namespace

std::string JsonString(std::string_view utf8, JsonPolicy policy) {
    std::string out = "\"";
    out.reserve(utf8.size() + 2);
    for (std::size_t at = 0; at < utf8.size();) {
        char32_t code = 0;
        std::size_t length = 1;
        if (DecodeUtf8(utf8, at, &code, &length)) {
            AppendCode(out, code, utf8.substr(at, length), policy);
        } else {
            out += "\\ufffd";
        }
        at += length;
    }
    return out + "\"";
}

std::string JsonString(std::wstring_view wide, JsonPolicy policy) {
    std::string out = "\"";
    out.reserve(wide.size() + 2);
    for (std::size_t at = 0; at < wide.size();) {
        std::size_t length = 1;
        AppendCode(out, DecodeWide(wide, at, &length), {}, policy);
        at += length;
    }
    return out + "\"";
}

}  // namespace text
