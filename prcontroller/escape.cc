#include "escape.h"

#include <iterator>

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

struct Range {
  char32_t first, last;
};

bool InRanges(char32_t cp, const Range* ranges, std::size_t count) {
  for (std::size_t k = 0; k < count; ++k)
    if (cp >= ranges[k].first && cp <= ranges[k].last) return true;
  return false;
}

// The columns a terminal gives one character, from the East Asian Width
// and combining-mark blocks of Unicode rather than the C library's wcwidth,
// which depends on which locales the machine has installed. The common
// blocks, not every last code point.
std::size_t CharWidth(char32_t cp) {
  static constexpr Range kZero[] = {
      {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x0610, 0x061A},
      {0x064B, 0x065F}, {0x0E31, 0x0E31}, {0x0E34, 0x0E3A}, {0x0E47, 0x0E4E},
      {0x1160, 0x11FF}, {0x1AB0, 0x1AFF}, {0x1DC0, 0x1DFF}, {0x200B, 0x200D},
      {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F}, {0xE0100, 0xE01EF}};
  static constexpr Range kWide[] = {
      {0x1100, 0x115F},   {0x2329, 0x232A},   {0x2E80, 0x303E},
      {0x3041, 0x33FF},   {0x3400, 0x4DBF},   {0x4E00, 0x9FFF},
      {0xA000, 0xA4CF},   {0xA960, 0xA97F},   {0xAC00, 0xD7A3},
      {0xF900, 0xFAFF},   {0xFE10, 0xFE19},   {0xFE30, 0xFE6F},
      {0xFF00, 0xFF60},   {0xFFE0, 0xFFE6},   {0x1F300, 0x1F64F},
      {0x1F900, 0x1F9FF}, {0x20000, 0x2FFFD}, {0x30000, 0x3FFFD}};
  if (cp < 0x300) return 1;
  if (InRanges(cp, kZero, std::size(kZero))) return 0;
  return InRanges(cp, kWide, std::size(kWide)) ? 2 : 1;
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
  for (std::size_t i = 0; i < visible.size();) {
    char32_t cp = 0;
    const std::size_t len = DecodeUtf8(visible, i, &cp);
    if (len == 0) {  // ASCII, or a byte Visible() would have escaped
      ++width;
      ++i;
      continue;
    }
    width += CharWidth(cp);
    i += len;
  }
  return width;
}

}  // namespace prcontroller
