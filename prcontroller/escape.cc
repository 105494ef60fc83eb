#include "escape.h"

namespace prcontroller {
namespace {

const char kHex[] = "0123456789ABCDEF";

void AppendHex(std::string* out, unsigned long value, int digits) {
  for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4)
    *out += kHex[(value >> shift) & 0xF];
}

// Length of the well-formed UTF-8 sequence starting at text[i] and its code
// point, or 0 when the bytes there are not one (overlong forms and
// surrogates included, as a terminal may still act on them).
std::size_t DecodeUtf8(std::string_view text, std::size_t i, char32_t* cp) {
  const auto lead = static_cast<unsigned char>(text[i]);
  std::size_t len;
  char32_t value;
  char32_t least;
  if (lead >= 0xC2 && lead <= 0xDF) {
    len = 2, value = lead & 0x1F, least = 0x80;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    len = 3, value = lead & 0x0F, least = 0x800;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    len = 4, value = lead & 0x07, least = 0x10000;
  } else {
    return 0;
  }
  if (i + len > text.size()) return 0;
  for (std::size_t k = 1; k < len; ++k) {
    const auto next = static_cast<unsigned char>(text[i + k]);
    if ((next & 0xC0) != 0x80) return 0;
    value = (value << 6) | (next & 0x3F);
  }
  if (value < least || value > 0x10FFFF || (value >= 0xD800 && value <= 0xDFFF))
    return 0;
  *cp = value;
  return len;
}

// C1 controls act like escape sequences on many terminals; the directional
// marks and overrides let a name display as different text than it is.
bool IsHiddenControl(char32_t cp) {
  return (cp >= 0x80 && cp <= 0x9F) || cp == 0x200E || cp == 0x200F ||
         (cp >= 0x202A && cp <= 0x202E) || (cp >= 0x2066 && cp <= 0x2069);
}

void AppendVisible(std::string_view text, bool quoting, std::string* out) {
  for (std::size_t i = 0; i < text.size();) {
    const auto c = static_cast<unsigned char>(text[i]);
    if (c < 0x20) {
      *out += '^';
      *out += static_cast<char>(c + 0x40);
      ++i;
    } else if (c == 0x7F) {
      *out += "^?";
      ++i;
    } else if (c < 0x80) {
      if (quoting && (c == '"' || c == '\\')) *out += '\\';
      *out += static_cast<char>(c);
      ++i;
    } else {
      char32_t cp = 0;
      const std::size_t len = DecodeUtf8(text, i, &cp);
      if (len == 0) {
        *out += "\\x";
        AppendHex(out, c, 2);
        ++i;
      } else if (IsHiddenControl(cp)) {
        *out += "\\u";
        AppendHex(out, cp, 4);
        i += len;
      } else {
        out->append(text.substr(i, len));
        i += len;
      }
    }
  }
}

}  // namespace

std::string Visible(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  AppendVisible(text, false, &out);
  return out;
}

std::string Quoted(std::string_view text) {
  std::string out = "\"";
  AppendVisible(text, true, &out);
  out += '"';
  return out;
}

std::size_t DisplayWidth(std::string_view visible) {
  std::size_t width = 0;
  for (char c : visible)
    if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) ++width;
  return width;
}

}  // namespace prcontroller
