// Strict UTF-8 decoding and encoding.
#include "station/utf8.h"

namespace station {

bool DecodeUtf8(std::string_view text, std::size_t at, char32_t* code, std::size_t* length) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(at);
  *length = 1;
  *code = lead;
  if (lead < 0x80) return true;
  std::size_t extra;
  char32_t min;
  if (lead >= 0xC2 && lead <= 0xDF) {
    extra = 1, min = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    extra = 2, min = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    extra = 3, min = 0x10000;
  } else {
    return false;
  }
  if (text.size() - at <= extra) return false;
  char32_t value = lead & (0x3F >> extra);
  for (std::size_t k = 1; k <= extra; ++k) {
    const unsigned char next = byte(at + k);
    if ((next & 0xC0) != 0x80) return false;
    value = (value << 6) | (next & 0x3F);
  }
  if (value < min || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF)) return false;
  *code = value;
  *length = extra + 1;
  return true;
}

void AppendUtf8(std::string& out, char32_t code) {
  if (code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) code = 0xFFFD;
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

std::string WideToUtf8(std::wstring_view text) {
  std::string out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t code = static_cast<char32_t>(text[i]);
    if constexpr (sizeof(wchar_t) == 2) {
      code &= 0xFFFF;
      if (code >= 0xD800 && code <= 0xDBFF && i + 1 < text.size()) {
        const char32_t low = static_cast<char32_t>(text[i + 1]) & 0xFFFF;
        if (low >= 0xDC00 && low <= 0xDFFF) {
          code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
          ++i;
        }
      }
    }
    AppendUtf8(out, code);
  }
  return out;
}

}  // namespace station
